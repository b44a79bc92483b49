import os
import shlex
import shutil
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


# The reference body of each module, beside its native code: the model every behaviour test
# also runs against, and the map of the lines tracebacks show.
import reference_bodies  # noqa: E402
import standard_39  # noqa: E402

MODULE_FOLDERS = reference_bodies.MODULE_FOLDERS


class Implementation:
    """Both modules of one implementation: the library, or the plain-Python model."""

    def __init__(self, name, crypt3, crypt4):
        self.name, self.crypt3, self.crypt4 = name, crypt3, crypt4
        self.native = name == "library"

    def method_entries(self, exception):
        """(method short name, line) of each traceback entry of this implementation's methods."""
        found = []
        for filename, name, line in entries(exception):
            if self.native and filename.startswith("tavro/libs/ciphers/"):
                found.append((name.rpartition(".")[2], line))
            elif not self.native and filename.startswith(MODULE_FOLDERS + os.sep):
                found.append((name, line))
        return found

    def __repr__(self):
        return self.name


@pytest.fixture(scope="session")
def model():
    return Implementation("model", *reference_bodies.load(standard_39.pin))


@pytest.fixture(scope="session")
def library():
    from tavro.libs.ciphers import tavro_crypt_3, tavro_crypt_4
    return Implementation("library", tavro_crypt_3, tavro_crypt_4)


@pytest.fixture(scope="session", params=["library", "model"])
def implementation(request):
    """Runs a behaviour test once against the library and once against the model."""
    return request.getfixturevalue(request.param)


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
