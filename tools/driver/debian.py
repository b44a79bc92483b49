"""scripts/dist's phases in Debian trees: the Debian packages, and the wheels whose modules
are built there (the ARM ones, and the x86-64 ones of the CPythons pyenv lacks)."""

import email.utils
import fcntl
import glob
import os
import re
import shlex
import shutil
import sys

from . import reproducible, system, trees
from .cmake import Build
from .system import Failure, run
from .table import ARCHS, RELEASES

# Bump when the way a tree is made changes, so that trees made the old way are made anew.
TREE_RECIPE = 1
BUILD_PACKAGES = (
    "build-essential",
    "crossbuild-essential-armhf",
    "crossbuild-essential-arm64",
    "debhelper",
    "dh-python",
    "lintian",
    "cmake",
    "python3-all-dev",
)
TEST_PACKAGES = ("python3-pip", "python3-numpy", "python3-pytest", "python3-hypothesis")


def deb_name(version, release, arch):
    return "python3-tavro-ciphers_%s-1+deb%d_%s.deb" % (version, RELEASES[release].number, arch)


def deb_pythons(contents):
    """The CPythons a package holds modules for, as 3.X, from its listing."""
    found = set(re.findall(r"tavro_crypt_3\.cpython-3(\d*)-", contents))
    return sorted(("3." + minor for minor in found), key=system.version_key)


def release_changelog(changelog, version, release, epoch):
    """A version of its own for each release, above the plain one, dated EPOCH: dpkg takes
    the package's time stamps from it."""
    number = RELEASES[release].number
    signature = next(line for line in changelog.splitlines() if line.startswith(" -- "))
    date = email.utils.formatdate(int(epoch))[: -len("-0000")] + "+0000"
    signature = signature[: signature.index(">  ") + 3] + date
    return (
        "tavro-ciphers (%s-1+deb%d) %s; urgency=medium\n\n  * Built for Debian %d.\n\n%s\n\n%s"
        % (version, number, release, number, signature, changelog)
    )


class DebianPhases:
    def __init__(self, dist):
        self.dist = dist
        self.say = dist.say
        self.mounted = []
        self.trees = None
        self.lock = None

    def host_tools(self):
        if self.trees:
            return
        if os.geteuid() != 0:
            raise Failure("this phase runs as root (mmdebstrap, chroot, mount)")
        system.install_host_packages(
            ["mmdebstrap", "qemu-user-static"], ["mmdebstrap", "qemu-aarch64-static"]
        )
        os.makedirs(self.dist.cache, exist_ok=True)
        self.lock = open(os.path.join(self.dist.cache, "lock"), "w")
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self.say("waiting for another run on " + self.dist.cache)
            fcntl.flock(self.lock, fcntl.LOCK_EX)
        # Mounts left by a run that was killed outright.
        system.release_mounts(os.path.join(self.dist.cache, "trees"))
        self.trees = trees.TreeCache(
            self.dist.console, self.dist.cache, TREE_RECIPE, system.mirror_url()
        )

    def release(self):
        for point in reversed(self.mounted):
            if run(["mountpoint", "-q", point], check=False) == 0:
                run(["umount", "-l", point])
        self.mounted = []

    def tree(self, release, arch, variant, packages):
        return self.trees.get(
            release, arch, variant, list(packages), log=self.dist.work + "/tree.log"
        )

    def in_tree(self, root, script, log=None, check=True, env=()):
        """A shell script run in the chroot ROOT with /proc mounted."""
        if run(["mountpoint", "-q", root + "/proc"], check=False) != 0:
            run(["mount", "-t", "proc", "proc", root + "/proc"])
            self.mounted.append(root + "/proc")
        env = (
            "LC_ALL=C.UTF-8",
            "PYTEST_ADDOPTS=" + os.environ.get("PYTEST_ADDOPTS", ""),
            "SOURCE_DATE_EPOCH=" + self.dist.epoch,
            *env,
        )
        return run(
            system.chroot_command(root, ["bash", "-euo", "pipefail", "-c", script], env),
            log=log,
            check=check,
        )

    def failed(self, log, lines, message):
        with open(log, encoding="utf-8", errors="replace") as file:
            print("".join(file.readlines()[-lines:]), end="", file=sys.stderr)
        raise Failure(message)

    def build_tree(self, release):
        """The amd64 tree a release builds in: the native and ARM cross compilers, lintian,
        and apt's lists for all three architectures (apt-get build-dep installs the rest)."""
        root = self.tree(release, "amd64", "buildd", BUILD_PACKAGES)
        if not os.path.exists(root + "/.tavro-ready"):
            mirror = self.trees.mirror
            sources = "".join(
                "deb [arch=amd64,armhf,arm64] %s %s main\n" % (mirror, suite)
                for suite in (release, release + "-updates")
            )
            self.in_tree(
                root,
                "dpkg --add-architecture armhf && dpkg --add-architecture arm64 && "
                "printf %s >/etc/apt/sources.list && "
                "apt-get -o Acquire::Check-Valid-Until=false update -qq" % shlex.quote(sources),
            )
            open(root + "/.tavro-ready", "w").close()
        return root

    def fresh_sources(self, root, top="/build"):
        """The sdist unpacked into the folder TOP of the tree ROOT (a second build takes
        another); returns the source folder in the tree."""
        shutil.rmtree(root + top, ignore_errors=True)
        os.makedirs(root + top)
        run(["tar", "-xzf", self.dist.sdist, "-C", root + top])
        return "%s/tavro_ciphers-%s" % (top, self.dist.version)

    # -- Debian packages -------------------------------------------------------------------

    def build_deb(self, root, release, arch, top):
        """The package built from the sdist in the folder TOP of the release's tree ROOT;
        returns its path."""
        source = self.fresh_sources(root, top)
        changelog = root + source + "/debian/changelog"
        with open(changelog, encoding="utf-8") as file:
            text = release_changelog(file.read(), self.dist.version, release, self.dist.epoch)
        with open(changelog, "w", encoding="utf-8") as file:
            file.write(text)
        cross = "" if arch == "amd64" else "-a %s -Pcross,nocheck" % arch
        log = "%s/deb-%s-%s.log" % (self.dist.work, release, arch)
        if (
            self.in_tree(
                root,
                "cd %s && DEBIAN_FRONTEND=noninteractive apt-get build-dep -qq -y"
                " %s ./ && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc %s"
                % (source, cross, cross),
                log=log,
                check=False,
            )
            != 0
        ):
            self.failed(log, 30, "the %s %s package does not build" % (release, arch))
        return "%s%s/%s" % (root, top, deb_name(self.dist.version, release, arch))

    def build_debs(self, release):
        """The packages of every selected architecture, built in the release's tree."""
        root, out = self.build_tree(release), "%s/debs/%s" % (self.dist.work, release)
        os.makedirs(out, exist_ok=True)
        for arch in self.dist.archs:
            self.say("Debian package for %s %s" % (release, arch))
            deb = self.build_deb(root, release, arch, "/build")
            if self.dist.twice_all:
                reproducible.same_build(
                    deb, self.build_deb(root, release, arch, "/again"), self.say
                )
            log = self.dist.work + "/lintian.log"
            if (
                self.in_tree(
                    root, "cd /build && lintian --fail-on error *.changes", log=log, check=False
                )
                != 0
            ):
                self.failed(log, 10**6, "lintian: errors in the %s %s package" % (release, arch))
            with open(log, encoding="utf-8", errors="replace") as file:
                for line in file:
                    print("  lintian: " + line, end="", file=sys.stderr)
            shutil.copy(deb, out)

    def test_deb(self, release, arch, folder):
        """apt installs the package from FOLDER into a bare tree of its release (with the
        release's pytest and every CPython it supports), where the suite runs with each
        CPython the package is built for: in a chroot for amd64, under qemu for ARM."""
        deb = "%s/%s" % (folder, deb_name(self.dist.version, release, arch))
        self.say("installing %s into a bare %s %s tree" % (os.path.basename(deb), release, arch))
        pythons = deb_pythons(run(["dpkg-deb", "--contents", deb], capture=True))
        if not pythons:
            raise Failure(os.path.basename(deb) + " holds no modules")
        root = "%s/installed-%s-%s" % (self.dist.work, release, arch)
        variant = "apt" if arch == "amd64" else "extract"
        try:
            trees.make_tree(
                root,
                release,
                arch,
                variant,
                [deb, "python3-all", "python3-pytest", "python3-hypothesis"],
                self.trees.mirror,
                log=self.dist.work + "/install.log",
            )
        except Failure:
            raise Failure("apt cannot install " + os.path.basename(deb))
        if arch == "amd64":
            if self.in_tree(root, "tavro-token --version", check=False) != 0:
                raise Failure("tavro-token fails from " + os.path.basename(deb))
            self.dist.copy_suite(root + "/suite")
        elif not os.access(root + "/usr/bin/tavro-token", os.X_OK):
            raise Failure(os.path.basename(deb) + " installs no tavro-token")
        for python in pythons:
            self.say("the suite with CPython %s" % python)
            if arch == "amd64":
                passed = (
                    self.in_tree(
                        root,
                        "cd /suite && python%s -m pytest -q -p no:cacheprovider"
                        " tests | tail -3" % python,
                        check=False,
                    )
                    == 0
                )
            else:
                qemu = [*ARCHS[arch].emulator, "-L", root]
                passed = self.dist.run_suite(
                    [*qemu, "%s/usr/bin/python%s" % (root, python)],
                    {"TAVRO_TEST_PYTHON_PREFIX": " ".join(qemu)},
                )
            if not passed:
                raise Failure(
                    "the suite fails on %s with CPython %s" % (os.path.basename(deb), python)
                )
        system.remove_tree(root)

    def debs(self):
        self.host_tools()
        for release in self.dist.suites:
            self.build_debs(release)
            for arch in self.dist.archs:
                self.test_deb(release, arch, "%s/debs/%s" % (self.dist.work, release))
                self.dist.publish(
                    "%s/debs/%s/%s"
                    % (self.dist.work, release, deb_name(self.dist.version, release, arch)),
                    "%s/debian/%s" % (self.dist.dist, release),
                )

    def debtests(self):
        self.host_tools()
        for release in self.dist.suites:
            for arch in self.dist.archs:
                self.test_deb(release, arch, "%s/debian/%s" % (self.dist.dist, release))

    # -- wheels built in Debian trees ------------------------------------------------------

    def python_headers(self, release, arch, python, folder):
        """The headers of the release's libpython3.X-dev for ARCH in FOLDER, with that
        architecture's pyconfig.h in place of Debian's dispatching one, so that FOLDER alone
        serves as the interpreter's include folder and no other header of the release is seen."""
        root = self.build_tree(release)
        self.in_tree(
            root,
            "rm -rf /tmp/python-dev && mkdir /tmp/python-dev && cd /tmp/python-dev"
            " && apt-get download -qq -o APT::Sandbox::User=root libpython%s-dev:%s &&"
            " dpkg-deb -x ./*.deb ." % (python, arch),
        )
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(
            "%s/tmp/python-dev/usr/include/python%s" % (root, python), folder, symlinks=True
        )
        shutil.copy(
            "%s/tmp/python-dev/usr/include/%s/python%s/pyconfig.h"
            % (root, ARCHS[arch].triplet, python),
            folder,
        )
        shutil.rmtree(root + "/tmp/python-dev")

    def tree_modules(self, release, arch, python, top):
        """Builds the modules for the release's CPython PYTHON on ARCH in the folder TOP of
        the tree of the release that builds its wheels, through the cross recipe (for amd64
        too, so that CMake looks for headers and no interpreter); returns the folder they are
        installed to."""
        builder = RELEASES[release].wheels_built_in or release
        root = self.build_tree(builder)
        source = self.fresh_sources(root, top)
        packages = []
        if builder == release:
            headers = "/usr/include/python" + python
            packages.append("libpython%s-dev:%s" % (python, arch))
        else:
            headers = "%s/python%s" % (top, python)
            self.python_headers(release, arch, python, root + headers)
        if arch != "amd64":
            packages.append("crossbuild-essential-" + arch)
        triplet = ARCHS[arch].triplet
        spec = Build(
            source,
            top + "/out",
            include=headers,
            soabi="cpython-%s-%s" % (python.replace(".", ""), triplet),
            cross_triplet=triplet,
            cross_sysroot="/",
        )
        commands = [
            " ".join(env + (shlex.join(argv),)) for env, argv in spec.steps(top + "/installed")
        ]
        log = "%s/modules-%s-%s-%s.log" % (self.dist.work, release, arch, python)
        script = "DEBIAN_FRONTEND=noninteractive apt-get install -qq -y %s && %s" % (
            " ".join(packages),
            " && ".join(commands),
        )
        if self.in_tree(root, script, log=log, check=False) != 0:
            self.failed(
                log, 30, "the %s %s modules for CPython %s do not build" % (release, arch, python)
            )
        return root + top + "/installed/tavro/libs/ciphers"

    def tree_wheel(self, release, arch, python, base, top="/build"):
        """The x86-64 wheel BASE with the modules built for the release's CPython PYTHON on
        ARCH in place of its own (the rest of a wheel is the same for every CPython and
        machine), tagged for both, then by auditwheel; returns its path. The modules are built
        in the folder TOP of the tree, the wheel in a work folder of the same name."""
        abi = "cp" + python.replace(".", "")
        modules = self.tree_modules(release, arch, python, top)
        work = self.dist.work + top
        unpacked = "%s/unpacked-%s-%s-%s" % (work, release, arch, python)
        shutil.rmtree(unpacked, ignore_errors=True)
        run(["wheel", "unpack", "--dest", unpacked, base], capture=True)
        unpacked = glob.glob(unpacked + "/*")[0]
        for old in glob.glob(unpacked + "/tavro/libs/ciphers/*.so"):
            os.remove(old)
        for module in glob.glob(modules + "/*.so"):
            shutil.copy(module, unpacked + "/tavro/libs/ciphers/")
        wheel_file = glob.glob(unpacked + "/*.dist-info/WHEEL")[0]
        with open(wheel_file, encoding="utf-8") as file:
            lines = [
                line for line in file.read().splitlines() if line and not line.startswith("Tag: ")
            ]
        lines.append("Tag: %s-%s-linux_%s" % (abi, abi, ARCHS[arch].wheel_machine))
        with open(wheel_file, "w", encoding="utf-8") as file:
            file.write("\n".join(lines) + "\n")
        packed = work + "/packed"
        shutil.rmtree(packed, ignore_errors=True)
        os.makedirs(packed)
        run(["wheel", "pack", "--dest-dir", packed, unpacked], capture=True)
        return self.dist.repair(glob.glob(packed + "/*.whl")[0], work + "/repaired")

    def test_tree_wheel(self, release, arch, python, wheel):
        """pip installs the wheel into a fresh venv of the release's interpreter PYTHON, which
        sees the release's numpy, pytest and hypothesis; the suite runs there: in a chroot of
        the release for amd64, in a bare tree under qemu for ARM."""
        packages = ["python" + p for p in RELEASES[release].pythons] + list(TEST_PACKAGES)
        name = os.path.basename(wheel)
        if arch == "amd64":
            root = self.tree(release, "amd64", "apt", packages)
            folder = root + "/tmp/wheel-test"
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            shutil.copy(wheel, folder)
            self.dist.copy_suite(folder + "/suite")
            passed = (
                self.in_tree(
                    root,
                    "cd /tmp/wheel-test && python%s -m venv --system-site-packages"
                    " --without-pip /tmp/wheel-test/venv && venv/bin/python -m pip"
                    " install -q --no-index ./%s && cd suite && /tmp/wheel-test/venv/"
                    "bin/python -m pytest -q -p no:cacheprovider tests | tail -3" % (python, name),
                    check=False,
                )
                == 0
            )
            shutil.rmtree(folder)
        else:
            root = self.tree(release, arch, "extract", packages)
            qemu = [*ARCHS[arch].emulator, "-L", root]
            venv = "%s/venv-%s-%s-%s" % (self.dist.work, release, arch, python)
            run(
                [
                    *qemu,
                    "%s/usr/bin/python%s" % (root, python),
                    "-m",
                    "venv",
                    "--system-site-packages",
                    "--without-pip",
                    venv,
                ]
            )
            run([*qemu, venv + "/bin/python", "-m", "pip", "install", "-q", "--no-index", wheel])
            passed = self.dist.run_suite(
                [*qemu, venv + "/bin/python"], {"TAVRO_TEST_PYTHON_PREFIX": " ".join(qemu)}
            )
        if not passed:
            raise Failure("the suite fails on %s in %s" % (name, release))

    def debian_wheel(self, release, arch, python, base, twice):
        """The wheel built in a Debian tree (twice with TWICE, to compare), checked, tested
        and put into dist/."""
        self.host_tools()
        self.say("wheel for CPython %s (%s, for %s)" % (python, ARCHS[arch].wheel_machine, release))
        wheel = self.tree_wheel(release, arch, python, base)
        if twice:
            again = self.tree_wheel(release, arch, python, base, "/again")
            reproducible.same_build(wheel, again, self.say)
        self.dist.check_wheel(wheel)
        self.test_tree_wheel(release, arch, python, wheel)
        self.dist.publish(wheel, self.dist.dist)

    def armwheels(self):
        self.host_tools()
        for release in self.dist.suites:
            for arch in (a for a in self.dist.archs if a != "amd64"):
                for python in RELEASES[release].pythons:
                    self.debian_wheel(
                        release, arch, python, self.dist.x86_wheel(python), self.dist.twice_all
                    )
