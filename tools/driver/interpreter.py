"""python3 tools/driver interpreter [--tsan]: the free-threaded CPython 3.14 (and its
ThreadSanitizer build) made from the source release kept beside the project, cached like the
target trees, and its path printed.

The release is looked for in $TAVRO_TOOLCHAINS, in a shared/toolchains folder beside the
checkout or one of its parents, and in the cache, which keeps a copy once it has been found,
so that a clone elsewhere reuses it. Each build sits under a name that holds a digest of the
release and of the recipe, and is renamed into place only once complete."""

import argparse
import fcntl
import hashlib
import os
import shutil

from . import system
from .system import Failure, run

RELEASE = "Python-3.14.7-source.tar.xz"
RELEASE_SHA256 = "5105095abc28e85ef3ac436cfd5d9544bf86d82d20e6e7725c327102d49b4c8e"
VERSION = "3.14"
# Bump when the way an interpreter is made changes.
RECIPE = 1
CONFIGURE = ("--disable-gil", "--with-ensurepip=no", "--without-static-libpython")
SANITIZER = ("--with-thread-sanitizer",)


def find_release(repo, cache):
    places = [os.environ.get("TAVRO_TOOLCHAINS", "")]
    folder = repo
    while os.path.dirname(folder) != folder:
        folder = os.path.dirname(folder)
        places.append(os.path.join(folder, "shared", "toolchains"))
    places.append(cache)
    for place in places:
        path = os.path.join(place, RELEASE)
        if place and os.path.isfile(path):
            return path
    raise Failure("no %s: set TAVRO_TOOLCHAINS to the folder that holds it" % RELEASE)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as release:
        for chunk in iter(lambda: release.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def build(console, cache, release, sanitizer):
    flags = CONFIGURE + (SANITIZER if sanitizer else ())
    key = hashlib.sha256(("%s\n%d\n%s" % (RELEASE_SHA256, RECIPE, " ".join(flags))).encode())
    name = "cpython-%st%s-%s" % (VERSION, "-tsan" if sanitizer else "", key.hexdigest()[:12])
    prefix = os.path.join(cache, name)
    python = os.path.join(prefix, "bin", "python%st" % VERSION)
    if os.path.exists(python):
        return python
    scratch = os.path.join(cache, ".partial-" + name)
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    console.say("building %s (several minutes; cached afterwards)" % name)
    run(["tar", "-xJf", release, "-C", scratch])
    source = os.path.join(scratch, "Python-3.14.7")
    log = os.path.join(scratch, "build.log")
    # The interpreter is configured for its final place and installed into the scratch folder
    # (DESTDIR), then moved there whole.
    steps = [
        ["./configure", "--prefix=" + prefix, *flags],
        ["make", "-j%d" % (os.cpu_count() or 1)],
        # The install's byte-compiling of the standard library (minutes under the
        # sanitizer) is left out: its failure is ignored by the makefile, and modules are
        # compiled on first import instead.
        ["make", "install", "DESTDIR=" + os.path.join(scratch, "root"), "COMPILEALL_OPTS=--skip"],
    ]
    for step in steps:
        if run(step, cwd=source, log=log) != 0:
            raise Failure("%s failed; its output is in %s" % (" ".join(step[:2]), log))
    shutil.copytree(
        os.path.join(source, "Tools", "tsan"),
        os.path.join(scratch, "root", prefix.lstrip("/"), "tsan"),
    )
    os.rename(os.path.join(scratch, "root", prefix.lstrip("/")), prefix)
    shutil.rmtree(scratch)
    return python


def main(repo, arguments):
    parser = argparse.ArgumentParser(prog="tools/driver interpreter", description=__doc__)
    parser.add_argument("--tsan", action="store_true", help="the ThreadSanitizer build")
    options = parser.parse_args(arguments)
    console = system.Console("interpreter")
    cache = os.path.join(
        os.environ.get("TAVRO_TARGET_CACHE") or "/var/cache/tavro-target", "interpreters"
    )
    os.makedirs(cache, exist_ok=True)
    release = find_release(repo, cache)
    if sha256(release) != RELEASE_SHA256:
        raise Failure("%s does not have the expected digest" % release)
    # One build at a time: another run that wants the same interpreter waits, then reuses it.
    with open(os.path.join(cache, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        kept = os.path.join(cache, RELEASE)
        if not os.path.exists(kept):
            shutil.copyfile(release, kept + ".partial")
            os.rename(kept + ".partial", kept)
        try:
            python = build(console, cache, kept, options.tsan)
            # pip, for what builds with the interpreter itself (wheels); the sanitizer build
            # is only ever used through a venv.
            log = os.path.join(cache, "ensurepip.log")
            if (
                not options.tsan
                and run([python, "-c", "import pip"], log=log, check=False) != 0
                and run([python, "-m", "ensurepip"], log=log, check=False) != 0
            ):
                raise Failure("ensurepip failed; its output is in " + log)
            print(python)
        except Failure as failure:
            console.say(str(failure))
            return 1
    return 0
