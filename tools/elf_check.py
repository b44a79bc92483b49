"""Checks what built extension modules ask of the system that loads them.

Usage: elf_check.py --machine EM_ARM --max-glibc 2.31 MODULE.so...

For each module, prints its name, the shared objects it needs and the newest glibc symbol
version it wants, separated by tabs. Each problem goes to stderr on a line of its own: the
wrong machine, a needed library other than libc.so.6, a glibc symbol version newer than
--max-glibc, a reference to the shared C++ runtime. Exits 1 if there was any.
"""

import argparse
import os
import re
import sys

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

# Should ld-linux-*.so turn up, something pulled in the C++ runtime's exception machinery: its
# per-thread state is reached on ARM through the loader's __tls_get_addr. The frame is built
# without exceptions so that this never happens.
ALLOWED_NEEDED = ("libc.so.6",)
GLIBC_VERSION = re.compile(r"GLIBC_(\d+(?:\.\d+)+)$")
CXX_RUNTIME_VERSION = re.compile(r"(GLIBCXX|CXXABI)_")


def version_key(text):
    return tuple(int(part) for part in text.split("."))


def read_module(path):
    """The module's machine, needed libraries and wanted symbol versions."""
    with open(path, "rb") as file:
        elf = ELFFile(file)
        needed = []
        versions = []
        for section in elf.iter_sections():
            if isinstance(section, DynamicSection):
                needed += [tag.needed for tag in section.iter_tags("DT_NEEDED")]
            elif isinstance(section, GNUVerNeedSection):
                for _, auxiliaries in section.iter_versions():
                    versions += [aux.name for aux in auxiliaries]
        return elf["e_machine"], needed, versions


def check_module(path, machine, max_glibc):
    """Prints the module's report line; returns its problems."""
    name = os.path.basename(path).split(".")[0]
    found_machine, needed, versions = read_module(path)
    glibc = [m.group(1) for m in map(GLIBC_VERSION.match, versions) if m]
    newest = max(glibc, key=version_key) if glibc else "none"
    print(f"{name}\t{' '.join(needed) or 'nothing'}\t{newest}")

    problems = []
    if found_machine != machine:
        problems.append(f"{name}: built for {found_machine}, not {machine}")
    for library in needed:
        if library not in ALLOWED_NEEDED:
            problems.append(f"{name}: needs {library}; allowed: {' '.join(ALLOWED_NEEDED)}")
    if glibc and version_key(newest) > version_key(max_glibc):
        problems.append(f"{name}: wants GLIBC_{newest}; the target has {max_glibc}")
    if any(CXX_RUNTIME_VERSION.match(version) for version in versions):
        problems.append(f"{name}: refers to the shared C++ runtime")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--machine", required=True, help="ELF machine, as EM_ARM or EM_X86_64")
    parser.add_argument("--max-glibc", required=True, help="newest glibc the target has")
    parser.add_argument("modules", nargs="+")
    args = parser.parse_args()
    problems = []
    for path in args.modules:
        problems += check_module(path, args.machine, args.max_glibc)
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
