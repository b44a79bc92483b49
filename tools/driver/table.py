"""The table of what the target runs and the release artefacts are built for: Debian releases,
their architectures and interpreters, the emulators, and the targets of scripts/target-test."""

from dataclasses import dataclass
from typing import Optional, Tuple


@dataclass(frozen=True)
class Arch:
    name: str  # Debian's name
    triplet: str
    elf_machine: str
    wheel_machine: str
    emulator: Tuple[str, ...]  # empty for the host's own machine


ARCHS = {
    arch.name: arch
    for arch in (
        Arch("amd64", "x86_64-linux-gnu", "EM_X86_64", "x86_64", ()),
        Arch("armhf", "arm-linux-gnueabihf", "EM_ARM", "armv7l", ("qemu-arm-static",)),
        # qemu's default 64-bit ARM CPU computes pointer authentication codes with the
        # architecture's own cipher, which makes the interpreter (built with branch protection)
        # about five times slower to start; the implementation-defined one does the same checks
        # far cheaper.
        Arch(
            "arm64",
            "aarch64-linux-gnu",
            "EM_AARCH64",
            "aarch64",
            ("qemu-aarch64-static", "-cpu", "max,pauth-impdef=on"),
        ),
    )
}


@dataclass(frozen=True)
class Release:
    name: str
    number: int  # Debian 11
    glibc: str  # the newest symbol version a module may ask for
    pythons: Tuple[str, ...]  # the CPythons it ships
    # Forky's compilers would tie the modules to its glibc (2.43). Its wheels' modules are
    # built in bullseye's tree, against forky's interpreter headers alone, so they ask no
    # more of glibc than the other wheels do.
    wheels_built_in: Optional[str] = None


RELEASES = {
    release.name: release
    for release in (
        Release("bullseye", 11, "2.31", ("3.9",)),
        Release("bookworm", 12, "2.36", ("3.11",)),
        Release("trixie", 13, "2.41", ("3.13",)),
        Release("forky", 14, "2.43", ("3.14", "3.15"), wheels_built_in="bullseye"),
    )
}


@dataclass(frozen=True)
class Target:
    name: str
    release: Release
    arch: Arch
    python: str

    @property
    def debug_python(self):
        return "python%s-dbg" % self.python

    @property
    def soabi(self):
        return "cpython-%s-%s" % (self.python.replace(".", ""), self.arch.triplet)


def _target(name, release, arch, python):
    return Target(name, RELEASES[release], ARCHS[arch], python)


TARGETS = (
    _target("bullseye-armhf", "bullseye", "armhf", "3.9"),
    _target("bookworm-armhf", "bookworm", "armhf", "3.11"),
    _target("trixie-armhf", "trixie", "armhf", "3.13"),
    _target("trixie-arm64", "trixie", "arm64", "3.13"),
    _target("forky-amd64", "forky", "amd64", "3.14"),
    _target("forky-amd64-py315", "forky", "amd64", "3.15"),
    _target("forky-armhf", "forky", "armhf", "3.15"),
    _target("forky-arm64", "forky", "arm64", "3.15"),
)
CI_TARGETS = ("bullseye-armhf", "trixie-arm64", "forky-amd64", "forky-amd64-py315", "forky-armhf")

# The CPythons pyenv (or PATH) gives the host, for the x86-64 wheels built there.
HOST_PYTHONS = ("3.9", "3.10", "3.11", "3.12", "3.13", "3.14t")
