import os
import shutil
import subprocess
import sys

import pytest

from conftest import PYTHON_COMMAND, run_python

CRYPT3 = "tavro.libs.ciphers.tavro_crypt_3"
CRYPT4 = "tavro.libs.ciphers.tavro_crypt_4"


def installed_tree():
    import tavro.libs.ciphers
    package = os.path.dirname(tavro.libs.ciphers.__file__)
    return os.path.dirname(os.path.dirname(os.path.dirname(package)))


@pytest.fixture
def package_copy(tmp_path):
    """A copy of the installed `tavro` tree; returns (PYTHONPATH environment, package folder)."""
    shutil.copytree(os.path.join(installed_tree(), "tavro"), tmp_path / "tavro")
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    return env, tmp_path / "tavro" / "libs" / "ciphers"


def check(process):
    assert process.returncode == 0, process.stderr
    return process.stdout


def test_namespace_after_import(crypt3):
    names = check(run_python(f"import {CRYPT3} as m; print(*vars(m))")).split()
    assert [name for name in names if name != "__spec__"] == [
        "__name__", "__doc__", "__package__", "__loader__", "__file__", "__builtins__",
        "base64", "_TavroCrypt3", "__test__"]
    import base64
    import builtins
    assert crypt3.base64 is base64 and crypt3.__builtins__ is builtins
    assert crypt3.__test__ == {} and crypt3.__package__ == "tavro.libs.ciphers"
    assert len(crypt3.__doc__.strip().splitlines()) == 3
    codec = crypt3._TavroCrypt3
    assert (codec.__doc__, codec.__bases__, codec.__module__, codec.__qualname__) == (
        None, (object,), CRYPT3, "_TavroCrypt3")
    assert list(vars(codec))[:4] == ["__module__", "e1", "e2", "d1"]
    assert all(isinstance(vars(codec)[name], staticmethod) for name in ("e1", "e2", "d1"))
    assert not hasattr(crypt3, "__path__")


def test_reimport_gives_the_same_module():
    check(run_python(f"""
        import sys
        import {CRYPT4} as first
        first.marker = 42
        codec = sys.modules["{CRYPT3}"]
        del sys.modules["{CRYPT4}"], sys.modules["{CRYPT3}"]
        import {CRYPT4} as second
        import {CRYPT3} as codec_again
        assert second is first and second.marker == 42, second
        assert codec_again is codec and second._TavroCrypt3 is codec._TavroCrypt3
        """))


def test_planted_base64_is_imported_in_place_of_the_standard_one(package_copy):
    env, package = package_copy
    (package / "base64.py").write_text(
        "def b64encode(data):\n    return b'planted'\n")
    output = check(run_python(f"""
        import {CRYPT3} as m
        print(m.base64.__name__, m._TavroCrypt3.e1("x"))
        """, env=env))
    assert output.split() == ["tavro.libs.ciphers.base64", "planted"]


def test_second_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    inner = f"try:\n    import {CRYPT3}\nexcept ImportError as error:\n    print(error)\n"
    output = check(run_python(f"import _testcapi, {CRYPT3}\n"
                              f"_testcapi.run_in_subinterp({inner!r})\n"))
    assert output.strip() == ("Interpreter change detected - this module can only be loaded "
                              "into one interpreter per process.")


def test_host_can_load_the_module_as_main():
    output = check(run_python(f"""
        import ctypes, importlib.util
        origin = importlib.util.find_spec("{CRYPT3}").origin
        ctypes.c_int.in_dll(ctypes.CDLL(origin), "tavro_crypt_3_run_as_main").value = 1
        import {CRYPT3} as m
        print(m.__name__)
        """))
    assert output.strip() == "__main__"


def test_missing_class_fails_the_import_and_a_later_import_succeeds(package_copy):
    env, package = package_copy
    for library in package.glob("tavro_crypt_3*"):
        library.unlink()
    (package / "tavro_crypt_3.py").write_text("")
    output = check(run_python(f"""
        import sys, traceback
        try:
            import {CRYPT4}
        except ImportError as error:
            entry = traceback.extract_tb(error.__traceback__)[-1]
            print(error, entry.name, entry.filename, entry.lineno, sep="|")
        assert "{CRYPT4}" not in sys.modules
        class Stand_in:
            pass
        sys.modules["{CRYPT3}"]._TavroCrypt3 = Stand_in
        import {CRYPT4} as m
        print(m._TavroCrypt3 is Stand_in)
        """, env=env))
    failure, retried = output.strip().splitlines()
    message, name, filename, line = failure.split("|")
    assert message == "cannot import name _TavroCrypt3"
    assert (name, filename) == (f"init {CRYPT4}", "tavro/libs/ciphers/tavro_crypt_4.py")
    assert int(line) > 1
    assert retried == "True"


def python_310():
    if shutil.which("pyenv") is None:
        return None
    versions = subprocess.run(["pyenv", "versions", "--bare"], capture_output=True,
                              text=True).stdout.split()
    found = sorted(v for v in versions if v.startswith("3.10."))
    if not found:
        return None
    prefix = subprocess.run(["pyenv", "prefix", found[-1]], capture_output=True,
                            text=True).stdout.strip()
    return os.path.join(prefix, "bin", "python3.10")


@pytest.mark.skipif(sys.version_info[:2] != (3, 9), reason="checks a 3.9 build")
def test_version_check_warns_on_another_minor_version(tmp_path):
    interpreter = python_310()
    if interpreter is None or PYTHON_COMMAND[:-1]:
        pytest.skip("needs a native CPython 3.10 beside the 3.9 under test")
    package = tmp_path / "tavro" / "libs" / "ciphers"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    import tavro.libs.ciphers.tavro_crypt_3 as m
    shutil.copy(m.__file__, package / "tavro_crypt_3.so")
    code = f"""
import warnings, sys
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import {CRYPT3} as m
print(caught[0].category.__name__, caught[0].message, "|", m._TavroCrypt3.e1("abc"))
"""
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    result = subprocess.run([interpreter, "-c", code], env=env, cwd=tmp_path,
                            capture_output=True, text=True)
    expected = (f"RuntimeWarning compiletime version 3.9 of module '{CRYPT3}' does not match "
                "runtime version 3.1 | YWJj")
    assert result.stdout.strip() == expected, result.stderr
    strict = subprocess.run([interpreter, "-W", "error::RuntimeWarning", "-c",
                             f"import {CRYPT3}"], env=env, cwd=tmp_path,
                            capture_output=True, text=True)
    assert strict.returncode == 1
    assert strict.stderr.strip().splitlines()[-1] == "RuntimeWarning: " + expected.split(
        "RuntimeWarning ")[1].split(" |")[0]
    assert "init " not in strict.stderr
