"""The tree cache: Debian trees made with mmdebstrap, each kept under a name that holds a
digest of all that decides its content, made in a scratch folder and renamed into place only
once complete, so that an interrupted run never leaves a tree that looks finished."""

import hashlib
import os
import subprocess
import sys

from . import system
from .table import ARCHS


def tree_key(recipe, mirror, release, arch, variant, packages):
    text = "".join("%s\n" % item for item in (recipe, mirror, release, arch, variant, *packages))
    return hashlib.sha256(text.encode()).hexdigest()[:12]


def mmdebstrap_command(folder, release, arch, variant, packages, mirror):
    """A PACKAGE may be the path of a .deb: apt reads it at the same path inside the tree as
    outside, so it is copied there first and taken away afterwards."""
    command = ["mmdebstrap", "--variant=" + variant, "--architectures=" + arch]
    command += ["--include=" + package for package in packages]
    for package in packages:
        if package.endswith(".deb"):
            parent = os.path.dirname(package)
            command += [
                '--setup-hook=mkdir -p "$1%s" && cp "%s" "$1%s/"' % (parent, package, parent),
                '--customize-hook=rm "$1%s"' % package,
            ]
    # The security archive is left out: it does not serve every port (bullseye armhf), and a
    # tree must match its chroot. The archive reached here may be a copy that is not refreshed
    # every day: a testing release's Release file then outlives its week of validity. Its
    # signature is still checked.
    command += [
        '--aptopt=Acquire::Check-Valid-Until "false"',
        release,
        folder,
        "deb %s %s main" % (mirror, release),
        "deb %s %s-updates main" % (mirror, release),
    ]
    return command


def fix_unpacked_tree(root, arch):
    """Nothing ran in an unpacked tree, so the alternatives that point numpy at a BLAS and a
    LAPACK were never made; make them by hand. From trixie on, packages ship their files below
    /usr alone and leave /lib (where the loader is looked for) to the merged-/usr set-up,
    which did not run either."""
    for top in ("bin", "sbin", "lib"):
        if not os.path.lexists(os.path.join(root, top)):
            os.symlink("usr/" + top, os.path.join(root, top))
    lib = os.path.join(root, "usr/lib", ARCHS[arch].triplet)
    for library in ("blas/libblas.so.3", "lapack/liblapack.so.3"):
        if not os.path.exists(os.path.join(lib, library)):
            raise system.Failure("tree has no " + library)
        link = os.path.join(lib, os.path.basename(library))
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(library, link)


class TreeCache:
    """Trees in FOLDER/trees. RECIPE is bumped when the way a tree is made changes, so that
    trees made the old way are not reused. With PRUNE, other trees of the same release and
    architecture are stale and go (the target runs keep one of each); with REBUILD, a tree is
    made anew even when the cache has it."""

    def __init__(self, console, folder, recipe, mirror, prune=False, rebuild=False):
        self.console = console
        self.folder = os.path.join(folder, "trees")
        self.recipe = recipe
        self.mirror = mirror
        self.prune = prune
        self.rebuild = rebuild

    def path(self, release, arch, variant, packages):
        key = tree_key(self.recipe, self.mirror, release, arch, variant, packages)
        return os.path.join(self.folder, "%s-%s-%s" % (release, arch, key))

    def get(self, release, arch, variant, packages, log=None):
        """The tree's path, made first unless the cache has it. With LOG, mmdebstrap's output
        goes there and its last lines are shown when it fails."""
        tree = self.path(release, arch, variant, packages)
        name = os.path.basename(tree)
        partial = os.path.join(self.folder, ".partial-" + name)
        if self.rebuild:
            system.remove_tree(tree)
        stem = name.rsplit("-", 1)[0]
        for other in sorted(os.listdir(self.folder)) if os.path.isdir(self.folder) else ():
            other_path = os.path.join(self.folder, other)
            half_made = other.startswith(".partial-" + stem + "-")
            if other_path != tree and (half_made or self.prune and other.startswith(stem + "-")):
                self.console.say("removing stale " + other_path)
                system.remove_tree(other_path)
        if os.path.isdir(tree):
            self.console.say("reusing " + tree)
            return tree
        self.console.say("making %s (%s %s, variant %s)" % (tree, release, arch, variant))
        os.makedirs(self.folder, exist_ok=True)
        make_tree(partial, release, arch, variant, packages, self.mirror, log)
        system.release_mounts(partial)
        os.rename(partial, tree)
        return tree


def make_tree(folder, release, arch, variant, packages, mirror, log=None):
    """Makes a tree at FOLDER, outside the cache too (the bare trees a package is installed
    into)."""
    command = mmdebstrap_command(folder, release, arch, variant, packages, mirror)
    try:
        system.run(command, log=log)
    except subprocess.CalledProcessError:
        if log:
            with open(log, encoding="utf-8", errors="replace") as file:
                lines = file.readlines()[-20:]
            print("".join(lines), end="", file=sys.stderr)
        raise system.Failure("cannot make the %s %s tree" % (release, arch))
    if variant == "extract":
        fix_unpacked_tree(folder, arch)
