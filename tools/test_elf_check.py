"""tools/elf_check.py on small shared objects built here with the host's compilers."""

import os
import platform
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if platform.machine() != "x86_64":
    pytest.skip("the cases are written for an x86-64 host", allow_module_level=True)

C_LIBRARY = '#include <stdio.h>\nvoid greet(void) { puts("hello"); }\n'
CXX_LIBRARY = '#include <string>\nstd::string greet() { return std::string(40, \'x\'); }\n'


def build(tmp_path, compiler, suffix, source):
    if shutil.which(compiler) is None:
        pytest.skip(f"no {compiler}")
    source_path = tmp_path / f"library{suffix}"
    source_path.write_text(source)
    library = tmp_path / f"library_{compiler.replace('+', 'x')}.so"
    # Under scripts/sanitize the ASan runtime is preloaded; the compiler has no use for it.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source_path)],
                   check=True, env=environment)
    return str(library)


def elf_check(library, machine="EM_X86_64", max_glibc="99.0"):
    return subprocess.run(
        [sys.executable, os.path.join(HERE, "elf_check.py"),
         "--machine", machine, "--max-glibc", max_glibc, library],
        capture_output=True, text=True)


def test_library_of_libc_alone_passes_and_is_reported(tmp_path):
    done = elf_check(build(tmp_path, "gcc", ".c", C_LIBRARY))
    assert (done.returncode, done.stderr) == (0, "")
    name, needed, newest = done.stdout.rstrip("\n").split("\t")
    assert (name, needed) == ("library_gcc", "libc.so.6")
    assert newest == "2.2.5"  # puts, as old as x86-64 glibc


@pytest.mark.parametrize("machine, max_glibc, problem", [
    ("EM_X86_64", "2.10", None),  # 2.10 is newer than 2.2.5: versions compare by number
    ("EM_X86_64", "2.2.5", None),
    ("EM_X86_64", "2.2", "library_gcc: wants GLIBC_2.2.5; the target has 2.2"),
    ("EM_ARM", "99.0", "library_gcc: built for EM_X86_64, not EM_ARM"),
])
def test_machine_and_glibc_limits(tmp_path, machine, max_glibc, problem):
    done = elf_check(build(tmp_path, "gcc", ".c", C_LIBRARY), machine, max_glibc)
    if problem is None:
        assert (done.returncode, done.stderr) == (0, "")
    else:
        assert (done.returncode, done.stderr) == (1, problem + "\n")


def test_shared_cxx_runtime_is_rejected(tmp_path):
    done = elf_check(build(tmp_path, "g++", ".cpp", CXX_LIBRARY))
    assert done.returncode == 1
    problems = done.stderr.splitlines()
    assert "library_gxx: needs libstdc++.so.6; allowed: libc.so.6" in problems
    assert "library_gxx: refers to the shared C++ runtime" in problems
