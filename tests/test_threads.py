"""Calls in several threads at once; the free-threaded interpreters."""
import os
import sysconfig

import pytest

import stress_threads
from conftest import run_python

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_calls_in_threads_answer_as_the_model(capsys):
    status = stress_threads.main(["--seconds", "2", "--threads", "3"])
    assert status == 0, capsys.readouterr().out


@pytest.mark.skipif(not FREE_THREADED, reason="a free-threaded interpreter")
def test_the_interpreter_lock_stays_off_after_import():
    process = run_python("""
        import sys
        from tavro.libs.ciphers import tavro_crypt_3, tavro_crypt_4
        print(sys._is_gil_enabled())
    """, env=dict(os.environ, PYTHONWARNINGS="error"))
    assert (process.returncode, process.stdout, process.stderr) == (0, "False\n", "")
