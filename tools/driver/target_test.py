"""scripts/target-test: the modules built with each Debian release's own compiler and the
suite run with the release's interpreters, as its options and tools/driver/target_plan.py say."""

import fcntl
import os
import re
import shlex
import shutil
import subprocess
import time

import junit_counts

from . import metadata, system, target_plan
from .cmake import Build
from .phases import Phases
from .system import Failure, chroot_command, run
from .table import TARGETS
from .trees import TreeCache

# Bump when the way a tree is made changes, so cached trees made the old way are not reused.
TREE_RECIPE = 2
MODULES = ("tavro_crypt_3", "tavro_crypt_4")
PACKAGE_DIR = "tavro/libs/ciphers"
# Where the repo, the ARM trees and the work folder appear inside an amd64 chroot.
IN_SRC, IN_SYSROOT, IN_WORK = "/tavro/src", "/tavro/sysroot", "/tavro/work"


def chroot_packages(release, targets):
    """Every target of the release builds in its chroot (cross compilers for all its ARM
    targets, whichever are selected, so the chroot stays the same), and the amd64 targets'
    suites run there."""
    packages = {"g++", "cmake", "make", "python3-numpy", "python3-pytest", "python3-hypothesis"}
    for target in (t for t in targets if t.release.name == release):
        python = target.python
        packages |= {
            "python" + python,
            "libpython%s-dev" % python,
            target.debug_python,
            "lib" + target.debug_python,
        }
        # scripts/test makes its venv in the amd64 chroot (--scripts-test)
        packages.add(
            "python%s-venv" % python
            if target.arch.name == "amd64"
            else "g++-" + target.arch.triplet
        )
    return sorted(packages, key=lambda p: p.encode())


def target_packages(python):
    return [
        "python" + python,
        "libpython%s-dev" % python,
        "python3-numpy",
        "python3-pytest",
        "python3-hypothesis",
    ]


def newer_than(version, other):
    return system.version_key(version) > system.version_key(other)


class TargetRun:
    def __init__(self, repo, options):
        self.repo, self.options = repo, options
        self.console = system.Console("target-test")
        self.cache = os.environ.get("TAVRO_TARGET_CACHE") or "/var/cache/tavro-target"
        self.work = os.path.join(self.cache, "work")
        self.host_python = os.path.join(self.cache, "host-python/bin/python")
        self.phases = Phases(self.console)
        self.chroot, self.tree = {}, {}
        self.jobs = str(os.cpu_count() or 1)

    # -- trees -----------------------------------------------------------------------------

    def install_host_tools(self):
        system.install_host_packages(
            ["mmdebstrap", "qemu-user-static", "python3-venv"],
            ["mmdebstrap", "qemu-arm-static", "qemu-aarch64-static"],
            also_when=run(["python3", "-c", "import ensurepip"], check=False) != 0,
        )
        venv = os.path.dirname(os.path.dirname(self.host_python))
        if (
            os.path.exists(self.host_python)
            and run([self.host_python, "-c", "import elftools"], check=False) == 0
        ):
            return
        shutil.rmtree(venv, ignore_errors=True)
        run(["python3", "-m", "venv", venv])
        run([self.host_python, "-m", "pip", "install", "-q", "pyelftools"])

    def plan_trees(self):
        self.trees = TreeCache(
            self.console,
            self.cache,
            TREE_RECIPE,
            system.mirror_url(),
            prune=True,
            rebuild=self.options.rebuild_trees,
        )
        for release in target_plan.releases(self.options.targets):
            self.chroot[release] = self.trees.path(
                release, "amd64", "apt", chroot_packages(release, TARGETS)
            )
            for target in self.release_targets(release):
                self.tree[target.name] = (
                    self.chroot[release]
                    if target.arch.name == "amd64"
                    else self.trees.path(
                        release, target.arch.name, "extract", target_packages(target.python)
                    )
                )

    def release_targets(self, release):
        return [t for t in self.options.targets if t.release.name == release]

    def make_trees(self, release):
        timings = []
        for target in [None] + self.release_targets(release):
            if target and target.arch.name == "amd64":
                continue
            start = time.monotonic()
            if target is None:
                tree = self.trees.get(release, "amd64", "apt", chroot_packages(release, TARGETS))
            else:
                tree = self.trees.get(
                    release, target.arch.name, "extract", target_packages(target.python)
                )
            timings.append("%s %ds" % (os.path.basename(tree), time.monotonic() - start))
        for target in self.release_targets(release):
            if not os.access(
                "%s/usr/bin/python%s" % (self.tree[target.name], target.python), os.X_OK
            ):
                raise Failure("%s tree has no python%s" % (target.name, target.python))
        self.phases.note("trees-" + release, ", ".join(timings))

    def mount_chroot(self, release):
        """/proc, a fresh /dev/shm (the device nodes are mmdebstrap's), the repo and the ARM
        trees read-only, the work folder."""
        root = self.chroot[release]
        system.release_mounts(root)
        for point in (IN_SRC, IN_WORK):
            os.makedirs(root + point, exist_ok=True)
        run(["mount", "-t", "proc", "proc", root + "/proc"])
        run(["mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", root + "/dev/shm"])
        system.bind_read_only(self.repo, root + IN_SRC)
        run(["mount", "--bind", self.work, root + IN_WORK])
        for target in self.release_targets(release):
            if target.arch.name != "amd64":
                os.makedirs("%s%s/%s" % (root, IN_SYSROOT, target.arch.name), exist_ok=True)
                system.bind_read_only(
                    self.tree[target.name], "%s%s/%s" % (root, IN_SYSROOT, target.arch.name)
                )

    def in_chroot(self, release, argv, env=(), **how):
        return run(chroot_command(self.chroot[release], argv, env), **how)

    # -- staging: the package as it would be installed, and a copy of the tests beside it ----

    def stage_sources(self, stage):
        """STAGE/site gets the repo's tavro/ (its Python files only; modules come from the
        build) and the package's metadata, STAGE/run the tests, the sources they read their
        models from (libs/) and the repo's pytest configuration, but no tavro/, so the staged
        package is the only one on the path."""
        shutil.rmtree(stage, ignore_errors=True)

        def copy(name, into, *ignored):
            shutil.copytree(
                os.path.join(self.repo, name),
                os.path.join(stage, into, name),
                symlinks=True,
                ignore=shutil.ignore_patterns("__pycache__", *ignored),
            )

        copy("tavro", "site", "*.so")
        metadata.write_dist_info(os.path.join(self.repo, "pyproject.toml"), stage + "/site")
        copy("tests", "run", ".hypothesis")
        copy("libs", "run", ".hypothesis")
        copy("docs", "run")  # the stored token vectors the suite reads
        for name in ("pyproject.toml", "setup.cfg", "pytest.ini", "tox.ini", "conftest.py"):
            if os.path.isfile(os.path.join(self.repo, name)):
                shutil.copy(os.path.join(self.repo, name), stage + "/run/")

    def check_outputs(self, stage, soabi):
        """Both modules, named for that interpreter, and nothing else."""
        folder = os.path.join(stage, "site", PACKAGE_DIR)
        for module in MODULES:
            if not os.path.isfile("%s/%s.%s.so" % (folder, module, soabi)):
                raise Failure("missing %s/%s.%s.so" % (PACKAGE_DIR, module, soabi))
        found = [n for _, _, names in os.walk(folder) for n in names if n.endswith(".so")]
        if len(found) != len(MODULES):
            raise Failure(
                "expected %d modules in %s, found %d" % (len(MODULES), folder, len(found))
            )

    def in_stage(self, release, stage, argv, **how):
        """ARGV run in the chroot from the staging folder, on the staged package, with its
        console scripts first on PATH (and named by TAVRO_TEST_SCRIPT_DIR)."""
        inside = IN_WORK + stage[len(self.work) :]
        env = (
            "PATH=%s/bin:/usr/sbin:/usr/bin:/sbin:/bin" % inside,
            "TAVRO_TEST_SCRIPT_DIR=%s/bin" % inside,
            "PYTHONPATH=%s/site" % inside,
            "PYTHONNOUSERSITE=1",
        )
        return self.in_chroot(
            release, ["/bin/sh", "-c", 'cd "$0" && exec "$@"', inside + "/run", *argv], env, **how
        )

    def run_pytest(self, phase, stage, command, cwd=None, env=None, in_release=None):
        """A suite from STAGE/run; its log is kept and its counts noted from its JUnit report."""
        log, report = (
            "%s/pytest-%s.log" % (self.work, phase[len("test-") :]),
            stage + "/run/junit.xml",
        )
        for old in (log, report):
            if os.path.exists(old):
                os.remove(old)
        # Naming the report's format keeps bullseye's pytest from warning that its default changes.
        argv = [
            *command,
            "-m",
            "pytest",
            "-ra",
            "--junitxml=junit.xml",
            "-o",
            "junit_family=xunit2",
            *self.options.pytest_extra,
            "tests",
        ]
        if in_release:
            status = self.in_stage(in_release, stage, argv, log=log, tee=True, check=False)
        else:
            status = run(argv, cwd=cwd, env=env, log=log, tee=True, check=False)
        counts = (
            junit_counts.describe(junit_counts.counts(report))
            if os.path.isfile(report)
            else "no test report"
        )
        self.phases.note(phase, counts)
        if status != 0:
            raise Failure("pytest exit %d" % status)

    def build(self, release, spec, stage, soabi):
        for env, argv in spec.steps(IN_WORK + stage[len(self.work) :] + "/site", self.jobs):
            self.in_chroot(release, argv, env)
        self.check_outputs(stage, soabi)

    # -- the phases ------------------------------------------------------------------------

    def build_target(self, target):
        folder = os.path.join(self.work, target.name)
        shutil.rmtree(folder + "/build", ignore_errors=True)
        self.stage_sources(folder + "/stage")
        build = IN_WORK + "/%s/build" % target.name
        if target.arch.name == "amd64":
            spec = Build(IN_SRC, build, python="/usr/bin/python" + target.python)
        else:
            sysroot = "%s/%s" % (IN_SYSROOT, target.arch.name)
            spec = Build(
                IN_SRC,
                build,
                include="%s/usr/include/python%s" % (sysroot, target.python),
                soabi=target.soabi,
                cross_triplet=target.arch.triplet,
                cross_sysroot=sysroot,
            )
        self.build(target.release.name, spec, folder + "/stage", target.soabi)
        if target.arch.name == "amd64":
            self.stage_scripts(folder + "/stage", "/usr/bin/python" + target.python)

    def stage_scripts(self, stage, python):
        metadata.write_scripts(os.path.join(self.repo, "pyproject.toml"), stage + "/bin", python)

    def check_target(self, target):
        tree, triplet = self.tree[target.name], target.arch.triplet
        found = None
        for libc in (
            "%s/lib/%s/libc.so.6" % (tree, triplet),
            "%s/usr/lib/%s/libc.so.6" % (tree, triplet),
        ):
            if os.path.exists(libc):
                with open(libc, "rb") as file:
                    found = re.search(rb"release version (\d+\.\d+)", file.read())
                break
        if not found:
            raise Failure("no glibc version in the %s tree's libc.so.6" % target.name)
        shipped = found.group(1).decode()
        if newer_than(target.release.glibc, shipped):
            raise Failure(
                "the table allows glibc %s, the %s tree ships %s"
                % (target.release.glibc, target.name, shipped)
            )
        site = "%s/%s/stage/site/%s" % (self.work, target.name, PACKAGE_DIR)
        modules = ["%s/%s.%s.so" % (site, m, target.soabi) for m in MODULES]
        problems = "%s/check-%s.problems" % (self.work, target.name)
        with open(problems, "w") as errors:
            checked = subprocess.run(
                [
                    self.host_python,
                    os.path.join(self.repo, "tools/elf_check.py"),
                    "--machine",
                    target.arch.elf_machine,
                    "--max-glibc",
                    target.release.glibc,
                    *modules,
                ],
                stdout=subprocess.PIPE,
                stderr=errors,
                text=True,
            )
        with open(problems) as errors:
            for line in errors.read().splitlines():
                self.console.say(line)
        if not checked.stdout:
            raise Failure("no report from tools/elf_check.py")
        summary = []
        for line in checked.stdout.splitlines():
            module, needed, newest = line.split("\t")
            self.console.say("%s: needs %s; newest glibc symbol %s" % (module, needed, newest))
            summary.append("%s %s GLIBC_%s" % (module, needed, newest))
        self.phases.note("check-" + target.name, "%s, glibc %s" % (";".join(summary), shipped))
        if checked.returncode != 0:
            raise Failure("tools/elf_check.py found problems")

    def test_target(self, target):
        stage = "%s/%s/stage" % (self.work, target.name)
        if target.arch.name == "amd64":
            return self.run_pytest(
                "test-" + target.name,
                stage,
                ["python" + target.python],
                in_release=target.release.name,
            )
        tree = self.tree[target.name]
        qemu = [*target.arch.emulator, "-L", tree]
        os.makedirs(self.work + "/home", exist_ok=True)
        # Tests that start a fresh interpreter put this in front of sys.executable: nothing
        # here can exec an ARM binary by itself.
        env = {
            "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": self.work + "/home",
            "LANG": "C.UTF-8",
            "TERM": "dumb",
            "PYTHONPATH": stage + "/site",
            "PYTHONNOUSERSITE": "1",
            "TAVRO_TEST_PYTHON_PREFIX": shlex.join(qemu),
        }
        self.run_pytest(
            "test-" + target.name,
            stage,
            [*qemu, "%s/usr/bin/python%s" % (tree, target.python)],
            cwd=stage + "/run",
            env=env,
        )

    def build_debug(self, target):
        name, release = target_plan.debug_name(target), target.release.name
        config = [target.debug_python + "-config"]
        includes = self.in_chroot(release, config + ["--includes"], capture=True).split()
        include = next(flag[2:] for flag in includes if flag.startswith("-I"))
        suffix = self.in_chroot(release, config + ["--extension-suffix"], capture=True).strip()
        soabi = suffix[1 : -len(".so")]
        folder = os.path.join(self.work, name)
        shutil.rmtree(folder + "/build", ignore_errors=True)
        self.stage_sources(folder + "/stage")
        build = "%s/%s/build" % (IN_WORK, name)
        spec = Build(
            IN_SRC,
            build,
            "Debug",
            "/usr/bin/" + target.debug_python,
            include,
            soabi,
            extra=("-DCMAKE_CXX_FLAGS=-I" + include,),
        )
        self.build(release, spec, folder + "/stage", soabi)
        # Debian's debug headers are links into the release ones; reached through -isystem
        # alone, Python.h picks the release pyconfig.h, and reference counts would go
        # uncounted. Only a debug build's Py_DECREF refers to _Py_NegativeRefcount (3.9 to 3.15).
        for library in sorted(os.listdir(folder + "/build")):
            if library.endswith(suffix):
                symbols = self.in_chroot(release, ["nm", "-D", build + "/" + library], capture=True)
                if " _Py_NegativeRefcount" not in symbols:
                    raise Failure(
                        "%s was not built with the debug interpreter's reference counting" % library
                    )
        self.stage_scripts(folder + "/stage", "/usr/bin/" + target.debug_python)

    def test_debug(self, target):
        name = target_plan.debug_name(target)
        self.run_pytest(
            "test-" + name,
            "%s/%s/stage" % (self.work, name),
            [target.debug_python],
            in_release=target.release.name,
        )

    def refleak_debug(self, target):
        stage = "%s/%s/stage" % (self.work, target_plan.debug_name(target))
        self.in_stage(target.release.name, stage, [target.debug_python, "tests/refleak_check.py"])

    def scripts_test(self, target):
        """The checkout appears in the chroot where it is on the host, read-write
        (scripts/test keeps its venv and build folder in it), and pip gets the host's trust
        store to reach the index."""
        root = self.chroot[target.release.name]
        certs = os.environ.get("PIP_CERT") or "/etc/ssl/certs/ca-certificates.crt"
        os.makedirs(root + self.repo, exist_ok=True)
        run(["mount", "--bind", self.repo, root + self.repo])
        open(root + "/tavro/ca-certificates.crt", "a").close()
        system.bind_read_only(certs, root + "/tavro/ca-certificates.crt")
        return self.in_chroot(
            target.release.name,
            [
                "bash",
                self.repo + "/scripts/test",
                "--python",
                target.python,
                *self.options.pytest_extra,
            ],
            (
                "PIP_CERT=/tavro/ca-certificates.crt",
                "PIP_DISABLE_PIP_VERSION_CHECK=1",
                "TAVRO_PYTHON=/usr/bin/python" + target.python,
            ),
            check=False,
        )

    # -- the run ---------------------------------------------------------------------------

    def execute(self):
        actions = {
            "build": self.build_target,
            "check": self.check_target,
            "test": self.test_target,
            "build-debug": self.build_debug,
            "test-debug": self.test_debug,
            "refleak": self.refleak_debug,
        }
        mounted = set()
        for step in target_plan.plan(self.options):
            if step.kind == "host-tools":
                self.phases.run(step.name, self.install_host_tools)
                self.plan_trees()
            elif step.kind == "trees":
                self.phases.run(step.name, self.make_trees, step.release)
            elif not self.phases.ok("trees-" + step.release):
                continue
            else:
                if step.release not in mounted:
                    self.mount_chroot(step.release)
                    mounted.add(step.release)
                if not all(self.phases.ok(need) for need in step.needs):
                    self.phases.skip(step.name, "no build")
                elif step.skip:
                    self.phases.skip(step.name, step.skip)
                else:
                    self.phases.run(step.name, actions[step.kind], step.target)
        self.console.say("=== summary")
        for line in self.phases.summary():
            print(line, flush=True)
        if self.phases.failed():
            self.console.say("FAILED")
            return 1
        self.console.say("all phases passed")
        return 0

    def main(self):
        if os.geteuid() != 0:
            raise Failure("run as root (mmdebstrap, chroot and mount need it)")
        os.makedirs(self.work, exist_ok=True)
        lock = open(os.path.join(self.cache, "lock"), "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self.console.say("waiting for another run on " + self.cache)
            fcntl.flock(lock, fcntl.LOCK_EX)
        system.stop_children_on_signals()
        trees = os.path.join(self.cache, "trees")
        try:
            # Mounts left by a run that was killed outright.
            system.release_mounts(trees)
            if self.options.scripts_test:
                target = self.options.targets[0]
                self.install_host_tools()
                self.plan_trees()
                self.make_trees(target.release.name)
                self.mount_chroot(target.release.name)
                return self.scripts_test(target)
            return self.execute()
        finally:
            system.release_mounts(trees)


def main(repo, argv):
    console = system.Console("target-test")
    try:
        return TargetRun(repo, target_plan.parse(argv)).main()
    except Failure as error:
        console.say("error: %s" % error)
        return 1
