import os
import shlex
import subprocess
import sys
import tempfile
import textwrap

import pytest

# Under emulation the interpreter cannot exec itself: this prefix (for example
# "qemu-arm-static -L ROOT") goes in front of every fresh interpreter the tests start.
PYTHON_COMMAND = shlex.split(os.environ.get("TAVRO_TEST_PYTHON_PREFIX", "")) + [sys.executable]


# Fresh interpreters start outside the checkout, whose source tree would hide the package.
NEUTRAL_FOLDER = tempfile.gettempdir()


def run_python(code, *arguments, env=None, cwd=NEUTRAL_FOLDER, input=None):
    """Runs `code` in a fresh interpreter; returns the completed process (text mode)."""
    return subprocess.run(
        PYTHON_COMMAND + ["-c", textwrap.dedent(code), *arguments],
        env=env, cwd=cwd, input=input, capture_output=True, text=True, timeout=300,
    )


def pytest_configure(config):
    import tavro.libs.ciphers as package

    checkout = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    here = os.path.abspath(package.__file__)
    if here.startswith(os.path.join(checkout, "tavro") + os.sep):
        raise pytest.UsageError(
            "the tests must run against the installed package, not the source tree "
            "(run them through scripts/test, or from another folder)")


@pytest.fixture(scope="session")
def crypt3():
    from tavro.libs.ciphers import tavro_crypt_3
    return tavro_crypt_3


@pytest.fixture(scope="session")
def crypt4():
    from tavro.libs.ciphers import tavro_crypt_4
    return tavro_crypt_4


def entries(exception):
    """The traceback entries of `exception`, outermost first: (file name, function, line)."""
    found = []
    traceback = exception.__traceback__
    while traceback is not None:
        code = traceback.tb_frame.f_code
        found.append((code.co_filename, code.co_name, traceback.tb_lineno))
        traceback = traceback.tb_next
    return found


def last_entry(exception):
    """The innermost traceback entry of `exception`."""
    return entries(exception)[-1]
