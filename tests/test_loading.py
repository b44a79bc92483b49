import hashlib
import os
import shutil
import subprocess
import sys

import pytest

import token_model as model
from conftest import PYTHON_COMMAND, run_python

CRYPT3 = "tavro.libs.ciphers.tavro_crypt_3"
CRYPT4 = "tavro.libs.ciphers.tavro_crypt_4"


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


def test_range_is_captured_once_at_load():
    """The cipher takes `range` from the builtins when it loads, never afterwards."""
    # From 3.15 the import system calls `range` itself while it imports a dotted name: it
    # gets a global `range` of its own, so that only lookups in the builtins miss it.
    output = check(run_python(f"""
        import builtins, importlib._bootstrap as import_system, traceback
        saved = builtins.range
        import_system.range = saved
        del builtins.range
        try:
            import {CRYPT4}
        except NameError as error:
            failure = error
        builtins.range = saved
        del import_system.range
        print(failure, *traceback.extract_tb(failure.__traceback__)[-1][:3], sep="|")
        import {CRYPT4} as m
        builtins.range = None
        print(m._TavroCrypt4.d1(m._TavroCrypt4.e1("kept"), "utf-8"))
        """))
    failure, result = output.strip().splitlines()
    assert failure == (f"name 'range' is not defined|tavro/libs/ciphers/tavro_crypt_4.py|1|"
                       f"init {CRYPT4}")
    assert result == "kept"



def test_module_namespace(crypt3, crypt4):
    cipher = crypt4._TavroCrypt4
    import random
    import numpy
    namespace = vars(crypt4)
    assert {"hashlib", "random", "np", "_TavroCrypt3", "_TavroCrypt4", "__test__"} <= set(namespace)
    assert namespace["hashlib"] is hashlib and namespace["random"] is random
    assert namespace["np"] is numpy and namespace["__test__"] == {}
    assert namespace["_TavroCrypt3"] is crypt3._TavroCrypt3
    entries = list(vars(cipher))
    assert entries[:5] == ["__module__", "_TavroCrypt4__f1", "_TavroCrypt4__f2", "e1", "d1"]
    assert all(isinstance(vars(cipher)[name], staticmethod) for name in entries[1:5])
    assert vars(cipher)["__module__"] == "tavro.libs.ciphers.tavro_crypt_4"


def test_import_needs_numpy(tmp_path):
    result = run_python("""
        import sys
        sys.modules["numpy"] = None
        try:
            from tavro.libs.ciphers import tavro_crypt_4
        except ImportError as error:
            print(type(error).__name__, "tavro.libs.ciphers.tavro_crypt_4" in sys.modules)
        from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3
        print(_TavroCrypt3.e1("ok"))
    """, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ModuleNotFoundError", "False", "b2s="]


def test_planted_hashlib_is_the_one_bound(crypt4, tmp_path):
    cipher = crypt4._TavroCrypt4
    import tavro.libs.ciphers as package
    installed = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(package.__file__))))
    root = tmp_path / "copy"
    shutil.copytree(installed, root / "tavro", ignore=shutil.ignore_patterns("__pycache__"))
    (root / "tavro" / "libs" / "ciphers" / "hashlib.py").write_text(
        "PLANTED = True\n"
        "class md5:\n"
        "    def __init__(self, data):\n"
        "        self.data = data\n"
        "    def hexdigest(self):\n"
        "        return 'f' * 32\n")
    result = run_python("""
        from tavro.libs.ciphers import tavro_crypt_4 as m
        print(m.__file__.startswith(%r), m.hashlib.PLANTED)
        print(m._TavroCrypt4.e1("x"))
    """ % str(root), cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(root)))
    assert result.returncode == 0, result.stderr
    first, token = result.stdout.split("\n")[:2]
    assert first == "True True"
    made = model.make_token(b"x", cipher._TavroCrypt4__f2())
    assert token.endswith("f" * 32) and token[:-32] == made[:-32]


def test_loading_through_the_loader_with_a_bare_spec():
    """A host may load the library without the import system, from a spec holding only a
    name, an origin, a loader and package paths; a second module made before the first ran
    is refused."""
    output = check(run_python(f"""
        import importlib.util, sys
        found = importlib.util.find_spec("{CRYPT3}")
        class Bare:
            name, origin, loader, submodule_search_locations = (
                found.name, found.origin, found.loader, ["paths"])
        first, second = (found.loader.create_module(Bare()) for _ in range(2))
        found.loader.exec_module(first)
        print(sys.modules["{CRYPT3}"] is first, first.__file__ == found.origin,
              first.__package__, first.__path__, first._TavroCrypt3.e1("x"))
        try:
            found.loader.exec_module(second)
        except RuntimeError as error:
            print(error)
        """))
    assert output.splitlines() == [
        "True True None ['paths'] eA==", "Module 'tavro_crypt_3' has already been imported. "
        "Re-initialisation is not supported."]
