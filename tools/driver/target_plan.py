"""scripts/target-test's options, and the plan of phases they make: which trees, builds,
checks, suites and debug runs, in which order, and what each waits for."""

from dataclasses import dataclass, field
from typing import List, Optional, Tuple

from .system import Failure
from .table import CI_TARGETS, TARGETS, Target

USAGE = """\
target-test: build tavro's extension modules for the Debian releases it is deployed on and
run the test suite there, from an x86-64 Debian host.

Targets (the table in tools/driver/table.py):
  bullseye-armhf     Debian 11, 32-bit ARM hard-float, CPython 3.9
  bookworm-armhf     Debian 12, 32-bit ARM hard-float, CPython 3.11
  trixie-armhf       Debian 13, 32-bit ARM hard-float, CPython 3.13
  trixie-arm64       Debian 13, 64-bit ARM, CPython 3.13
  forky-amd64        Debian testing, x86-64, CPython 3.14
  forky-amd64-py315  Debian testing, x86-64, CPython 3.15
  forky-armhf        Debian testing, 32-bit ARM hard-float, CPython 3.15
  forky-arm64        Debian testing, 64-bit ARM, CPython 3.15

For each Debian release the run
  1. installs its host tools (mmdebstrap, qemu-user-static) when they are missing, and
     makes a venv in the cache folder with pyelftools for the helpers in tools/;
  2. makes, or reuses from the cache folder, the release's trees:
       amd64 chroot  the release's g++ and its cross compilers, cmake, the interpreter and
                     its debug build, numpy, pytest, hypothesis
       ARCH tree     for each ARM target: unpacked only, the target's interpreter, numpy,
                     pytest, hypothesis; it is the cross compiler's sysroot and runs under
                     qemu-ARCH-static
  3. builds the modules of each target with the release's own compiler: cross compiled in
     the chroot with cmake/debian-cross.cmake, or natively there for an amd64 target;
  4. checks what the modules ask of the target (tools/elf_check.py, on the host): libc.so.6
     alone, no symbol newer than the release's glibc, no shared C++ runtime;
  5. runs tests/ with the target's own interpreter: under emulation for ARM, in the chroot
     for amd64;
  6. for each interpreter of the release's selected targets, builds the modules against its
     debug build and runs tests/ with that (the project's console scripts staged for it,
     first on PATH and named by TAVRO_TEST_SCRIPT_DIR), then tests/refleak_check.py;
  7. prints a summary (test counts, time per phase); exits non-zero if anything failed.

Usage: scripts/target-test [options] [-- extra pytest arguments]
  --target NAME    run this target (repeatable); default: all of them
  --ci             run the targets CI runs: bullseye-armhf trixie-arm64 forky-amd64
                   forky-amd64-py315 forky-armhf
  --quick          leave out the debug interpreter's full suite (the debug build and the
                   leak check still run) and stop each suite at its first failure
  --debug-only     only the debug builds, their suites and the leak checks
  --no-debug       leave out the debug build, its suite and the leak check
  --trees-only     make or reuse the trees, then stop
  --rebuild-trees  throw the cached trees away and make them anew
  --scripts-test X.Y
                   run scripts/test --python X.Y (with the extra arguments) in the chroot
                   of the release whose amd64 target runs CPython X.Y, on this checkout:
                   how scripts/test reaches an interpreter the host lacks (3.14, 3.15)
  -h, --help       print this text

Environment:
  TAVRO_TARGET_CACHE   trees, build output and the helpers' venv (default
                       /var/cache/tavro-target); one run at a time per cache folder
  TAVRO_DEBIAN_MIRROR  archive base URL (default: the Debian archive in this host's apt
                       sources)

Runs as root: mmdebstrap, chroot and mount need it. Safe to interrupt and re-run: a tree is
made in a scratch folder and renamed into place only once it is complete, and mounts are
released on exit (and, after a hard kill, at the start of the next run).
"""


class UsageError(Failure):
    """A bad command line: the usage goes before the message."""


@dataclass
class Options:
    targets: List[Target] = field(default_factory=list)
    quick: bool = False
    do_targets: bool = True
    do_debug: bool = True
    trees_only: bool = False
    rebuild_trees: bool = False
    scripts_test: Optional[str] = None
    pytest_extra: List[str] = field(default_factory=list)
    help: bool = False


def parse(argv):
    options, names, known = Options(), [], [t.name for t in TARGETS]
    flags = {"--quick": ("quick", True), "--debug-only": ("do_targets", False),
             "--no-debug": ("do_debug", False), "--trees-only": ("trees_only", True),
             "--rebuild-trees": ("rebuild_trees", True)}
    arguments = list(argv)
    while arguments:
        argument = arguments.pop(0)
        if argument in flags:
            setattr(options, *flags[argument])
        elif argument == "--target":
            if not arguments:
                raise Failure("--target needs a name: " + " ".join(known))
            names.append(arguments.pop(0))
        elif argument == "--ci":
            names += CI_TARGETS
        elif argument == "--scripts-test":
            if not arguments:
                raise Failure("--scripts-test needs a CPython version")
            options.scripts_test = arguments.pop(0)
        elif argument in ("-h", "--help"):
            options.help = True
            return options
        elif argument == "--":
            options.pytest_extra = arguments
            break
        else:
            raise UsageError("unknown option: " + argument)
    if options.quick:
        options.pytest_extra = ["-x"] + options.pytest_extra
    if options.scripts_test:
        found = [t.name for t in TARGETS
                 if t.arch.name == "amd64" and t.python == options.scripts_test]
        if not found:
            raise Failure("no CPython %s here: neither on this host nor in an amd64 target's "
                          "chroot" % options.scripts_test)
        names = found[:1]
    for name in names:
        if name not in known:
            raise Failure("unknown target %s; known: %s" % (name, " ".join(known)))
    # Table order, each once.
    options.targets = [t for t in TARGETS if not names or t.name in names]
    return options


@dataclass(frozen=True)
class Step:
    name: str
    kind: str                     # trees, build, check, test, build-debug, test-debug, refleak
    release: str
    target: Optional[Target] = None
    needs: Tuple[str, ...] = ()   # phases that must pass first, or this one is skipped
    skip: str = ""                # why it is skipped outright


def releases(targets):
    return list(dict.fromkeys(t.release.name for t in targets))


def debug_targets(targets, release):
    """The first selected target of the release for each interpreter: the debug runs go by
    these."""
    first = {}
    for target in targets:
        if target.release.name == release:
            first.setdefault(target.python, target)
    return list(first.values())


def debug_name(target):
    return "debug-%s-%s" % (target.release.name, target.python)


def plan(options):
    steps = [Step("host-tools", "host-tools", "")]
    for release in releases(options.targets):
        steps.append(Step("trees-" + release, "trees", release))
        if options.trees_only:
            continue
        if options.do_targets:
            for target in (t for t in options.targets if t.release.name == release):
                build = "build-" + target.name
                steps += [Step(build, "build", release, target),
                          Step("check-" + target.name, "check", release, target, (build,)),
                          Step("test-" + target.name, "test", release, target, (build,))]
        if options.do_debug:
            for target in debug_targets(options.targets, release):
                name = debug_name(target)
                build = "build-" + name
                steps += [Step(build, "build-debug", release, target),
                          Step("test-" + name, "test-debug", release, target, (build,),
                               "--quick" if options.quick else ""),
                          Step("refleak-" + name[len("debug-"):], "refleak", release, target,
                               (build,))]
    return steps
