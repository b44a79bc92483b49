"""The CMake command lines that build the modules: natively against an interpreter that runs
where it builds, or cross-built through cmake/debian-cross.cmake against an interpreter's
headers alone (for another machine, or for an interpreter the build tree does not run)."""

from dataclasses import dataclass
from typing import Optional, Tuple


@dataclass(frozen=True)
class Build:
    source: str
    build: str
    build_type: str = "Release"
    python: Optional[str] = None  # the interpreter, for a native build
    include: Optional[str] = None  # its headers
    soabi: Optional[str] = None
    cross_triplet: Optional[str] = None
    cross_sysroot: Optional[str] = None
    extra: Tuple[str, ...] = ()

    @property
    def environment(self):
        """The cross settings go in the environment too: it survives into CMake's
        try_compile projects, a -D only when forwarded."""
        if not self.cross_triplet:
            return ()
        return (
            "TAVRO_CROSS_TRIPLET=" + self.cross_triplet,
            "TAVRO_CROSS_SYSROOT=" + self.cross_sysroot,
        )

    def configure(self):
        command = [
            "cmake",
            "-S",
            self.source,
            "-B",
            self.build,
            "-DCMAKE_BUILD_TYPE=" + self.build_type,
        ]
        if self.cross_triplet:
            command.append("-DCMAKE_TOOLCHAIN_FILE=%s/cmake/debian-cross.cmake" % self.source)
        if self.python:
            command.append("-DPython_EXECUTABLE=" + self.python)
        if self.include:
            command.append("-DPython_INCLUDE_DIR=" + self.include)
        if self.soabi:
            command.append("-DPython_SOABI=" + self.soabi)
        return command + list(self.extra)

    def compile(self, jobs=None):
        return ["cmake", "--build", self.build] + (["-j", str(jobs)] if jobs else [])

    def install(self, prefix):
        return ["cmake", "--install", self.build, "--prefix", prefix]

    def steps(self, prefix, jobs=None):
        """The three commands, each with its environment additions."""
        return [
            (self.environment, self.configure()),
            (self.environment, self.compile(jobs)),
            ((), self.install(prefix)),
        ]
