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


def pyenv_python(minor):
    """pyenv's newest CPython 3.<minor>, or None."""
    if shutil.which("pyenv") is None:
        return None
    versions = subprocess.run(["pyenv", "versions", "--bare"], capture_output=True,
                              text=True).stdout.split()
    found = sorted((v for v in versions if v.startswith(f"3.{minor}.")),
                   key=lambda v: [int(part) for part in v.split(".")])
    if not found:
        return None
    prefix = subprocess.run(["pyenv", "prefix", found[-1]], capture_output=True,
                            text=True).stdout.strip()
    return os.path.join(prefix, "bin", f"python3.{minor}")


def foreign_copy(tmp_path):
    """The text codec's library alone in a package tree, named as any interpreter loads it."""
    package = tmp_path / "tavro" / "libs" / "ciphers"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    import tavro.libs.ciphers.tavro_crypt_3 as m
    shutil.copy(m.__file__, package / "tavro_crypt_3.so")
    return dict(os.environ, PYTHONPATH=str(tmp_path))


# A 3.9 build compares the first digit of each number only, as it always has, so every 3.1x
# reads "3.1"; later builds compare and name the whole major.minor. (An older interpreter
# cannot link a newer build at all.)
OTHER_VERSIONS = [(10, "3.1")] if sys.version_info[:2] == (3, 9) else [
    (minor, f"3.{minor}") for minor in (11, 12, 13) if minor > sys.version_info[1]]


@pytest.mark.parametrize("minor, runtime", OTHER_VERSIONS)
def test_version_check_warns_on_another_minor_version(tmp_path, minor, runtime):
    interpreter = pyenv_python(minor)
    if interpreter is None or PYTHON_COMMAND[:-1]:
        pytest.skip(f"needs a native CPython 3.{minor} beside the one under test")
    env = foreign_copy(tmp_path)
    compiled = "%d.%d" % sys.version_info[:2]
    message = (f"compiletime version {compiled} of module '{CRYPT3}' does not match "
               f"runtime version {runtime}")
    strict = subprocess.run([interpreter, "-W", "error::RuntimeWarning", "-c",
                             f"import {CRYPT3}"], env=env, cwd=tmp_path,
                            capture_output=True, text=True)
    assert strict.returncode == 1
    assert strict.stderr.strip().splitlines()[-1] == "RuntimeWarning: " + message
    assert "init " not in strict.stderr
    if sys.version_info[:2] != (3, 9):
        return  # going on would run a library in an interpreter of another layout
    code = f"""
import warnings, sys
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import {CRYPT3} as m
print(caught[0].category.__name__, caught[0].message, "|", m._TavroCrypt3.e1("abc"))
"""
    result = subprocess.run([interpreter, "-c", code], env=env, cwd=tmp_path,
                            capture_output=True, text=True)
    assert result.stdout.strip() == f"RuntimeWarning {message} | YWJj", result.stderr
