"""scripts/target-test's options, and the plan of phases they make: which trees, builds,
checks, suites and debug runs, in which order, and what each waits for."""

import argparse
from dataclasses import dataclass
from typing import Optional, Tuple

from .system import Failure
from .table import CI_TARGETS, TARGETS, Target

DESCRIPTION = """\
Build tavro's extension modules for the Debian releases it is deployed on and run the test
suite there, from an x86-64 Debian host.

targets (the table in tools/driver/table.py):
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

Arguments after -- go to pytest.
"""

EPILOG = """\
environment:
  TAVRO_TARGET_CACHE   trees, build output and the helpers' venv (default
                       /var/cache/tavro-target); one run at a time per cache folder
  TAVRO_DEBIAN_MIRROR  archive base URL (default: the Debian archive in this host's apt
                       sources)

Runs as root: mmdebstrap, chroot and mount need it. Safe to interrupt and re-run: a tree is
made in a scratch folder and renamed into place only once it is complete, and mounts are
released on exit (and, after a hard kill, at the start of the next run).
"""


def parser():
    parser = argparse.ArgumentParser(
        prog="scripts/target-test",
        usage="%(prog)s [options] [-- PYTEST_ARGUMENT...]",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--target",
        action="append",
        dest="names",
        default=[],
        metavar="NAME",
        help="run this target (repeatable); default: all of them",
    )
    parser.add_argument(
        "--ci", action="store_true", help="run the targets CI runs: " + " ".join(CI_TARGETS)
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help="leave out the debug interpreter's full suite (the debug build and "
        "the leak check still run) and stop each suite at its first failure",
    )
    parser.add_argument(
        "--debug-only",
        action="store_false",
        dest="do_targets",
        help="only the debug builds, their suites and the leak checks",
    )
    parser.add_argument(
        "--no-debug",
        action="store_false",
        dest="do_debug",
        help="leave out the debug build, its suite and the leak check",
    )
    parser.add_argument(
        "--trees-only", action="store_true", help="make or reuse the trees, then stop"
    )
    parser.add_argument(
        "--rebuild-trees",
        action="store_true",
        help="throw the cached trees away and make them anew",
    )
    parser.add_argument(
        "--scripts-test",
        metavar="X.Y",
        help="run scripts/test --python X.Y (with the pytest arguments) on this "
        "checkout in the chroot whose amd64 target runs CPython X.Y: how "
        "scripts/test reaches 3.14 and 3.15, which the host lacks",
    )
    return parser


def parse(argv):
    """The options, with the targets they select (in table order) and the pytest arguments."""
    argv = list(argv)
    # Everything after the first -- is pytest's, even what looks like an option of ours.
    split = argv.index("--") if "--" in argv else len(argv)
    options = parser().parse_args(argv[:split])
    options.pytest_extra = argv[split + 1 :]
    names, known = options.names + list(CI_TARGETS if options.ci else ()), [t.name for t in TARGETS]
    if options.quick:
        options.pytest_extra = ["-x"] + options.pytest_extra
    if options.scripts_test:
        found = [
            t.name for t in TARGETS if t.arch.name == "amd64" and t.python == options.scripts_test
        ]
        if not found:
            raise Failure(
                "no CPython %s here: neither on this host nor in an amd64 target's "
                "chroot" % options.scripts_test
            )
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
    kind: str  # trees, build, check, test, build-debug, test-debug, refleak
    release: str
    target: Optional[Target] = None
    needs: Tuple[str, ...] = ()  # phases that must pass first, or this one is skipped
    skip: str = ""  # why it is skipped outright


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
                steps += [
                    Step(build, "build", release, target),
                    Step("check-" + target.name, "check", release, target, (build,)),
                    Step("test-" + target.name, "test", release, target, (build,)),
                ]
        if options.do_debug:
            for target in debug_targets(options.targets, release):
                name = debug_name(target)
                build = "build-" + name
                steps += [
                    Step(build, "build-debug", release, target),
                    Step(
                        "test-" + name,
                        "test-debug",
                        release,
                        target,
                        (build,),
                        "--quick" if options.quick else "",
                    ),
                    Step("refleak-" + name[len("debug-") :], "refleak", release, target, (build,)),
                ]
    return steps
