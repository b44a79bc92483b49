"""Running commands for the driver: messages, child processes (stopped with the driver on an
interrupt), chroots, mounts, the host's interpreters and the Debian archive it uses."""

import os
import re
import shutil
import signal
import subprocess
import sys

CHROOT_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


class Failure(Exception):
    """A check or a step that failed, with the message to report."""


class Console:
    def __init__(self, tool):
        self.tool = tool

    def say(self, message):
        print("[%s] %s" % (self.tool, message), file=sys.stderr, flush=True)


# Each child runs in a process group of its own, so that an interrupt stops all of it
# (mmdebstrap, apt, pytest) at once.
_running = []


def _stop_children(signum, frame):
    for signal_name in ("SIGINT", "SIGTERM", "SIGHUP"):
        signal.signal(getattr(signal, signal_name), signal.SIG_DFL)
    for child in _running:
        try:
            os.killpg(child.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    for child in _running:
        child.wait()
    raise SystemExit(130)


def stop_children_on_signals():
    for signal_name in ("SIGINT", "SIGTERM", "SIGHUP"):
        signal.signal(getattr(signal, signal_name), _stop_children)


def run(argv, check=True, capture=False, log=None, tee=False, env=None, cwd=None, stdin=None):
    """Runs ARGV. With CAPTURE, returns its standard output as text; with LOG, its output goes
    to that file (and to standard error as well with TEE) and the exit status is returned."""
    if log is not None:
        with open(log, "wb") as log_file:
            child = _start(argv, env, cwd, stdin, subprocess.PIPE, subprocess.STDOUT)
            # Read as it comes, so that a progress line shows before it ends.
            for chunk in iter(lambda: os.read(child.stdout.fileno(), 65536), b""):
                log_file.write(chunk)
                if tee:
                    sys.stderr.buffer.write(chunk)
                    sys.stderr.flush()
            status = _finish(child)
    else:
        child = _start(argv, env, cwd, stdin, subprocess.PIPE if capture else None, None)
        output = child.stdout.read().decode("utf-8", "replace") if capture else None
        status = _finish(child)
    if check and status != 0:
        raise subprocess.CalledProcessError(status, argv)
    return output if capture else status


def _start(argv, env, cwd, stdin, stdout, stderr):
    child = subprocess.Popen(
        argv, env=env, cwd=cwd, stdin=stdin, stdout=stdout, stderr=stderr, start_new_session=True
    )
    _running.append(child)
    return child


def _finish(child):
    try:
        if child.stdout:
            child.stdout.read()
        return child.wait()
    finally:
        _running.remove(child)


def chroot_command(root, argv, env=()):
    """ARGV run in the chroot ROOT with a clean environment; ENV holds VAR=value additions."""
    return [
        "chroot",
        root,
        "/usr/bin/env",
        "-i",
        "PATH=" + CHROOT_PATH,
        "HOME=/root",
        "LANG=C.UTF-8",
        "TERM=dumb",
        *env,
        *argv,
    ]


# ---------------------------------------------------------------------------------------
# Mounts


def mounts_under(folder, mountinfo="/proc/self/mountinfo"):
    """Mount points at or below FOLDER, deepest first."""
    with open(mountinfo, encoding="utf-8") as file:
        points = [line.split()[4] for line in file]
    points = [point.replace("\\040", " ") for point in points]
    return sorted((p for p in points if p == folder or p.startswith(folder + "/")), reverse=True)


def release_mounts(folder):
    folder = os.path.realpath(folder)
    for point in mounts_under(folder):
        if run(["umount", point], check=False, env=None) != 0:
            run(["umount", "-l", point])
    if mounts_under(folder):
        raise Failure("still mounted below %s" % folder)


def remove_tree(folder):
    """A tree may hold bind mounts of the repo or of another tree: unmount before deleting,
    or the deletion would walk into them."""
    if os.path.lexists(folder):
        release_mounts(folder)
        run(["rm", "-rf", "--one-file-system", folder])


def bind_read_only(source, point):
    run(["mount", "--bind", source, point])
    run(["mount", "-o", "remount,bind,ro", point])


# ---------------------------------------------------------------------------------------
# The host


def find_python(version):
    """The host's CPython X.Y: pyenv's newest of that version, else python3.X on PATH; 3.14t
    is built from source (tools/driver interpreter)."""
    if version == "3.14t":
        driver = os.path.dirname(os.path.abspath(__file__))
        return run([sys.executable, driver, "interpreter"], capture=True).strip()
    if shutil.which("pyenv"):
        installed = run(["pyenv", "versions", "--bare"], capture=True).split()
        found = [v for v in installed if re.fullmatch(re.escape(version) + r"\.\d+", v)]
        if found:
            newest = max(found, key=lambda v: tuple(int(n) for n in v.split(".")))
            prefix = run(["pyenv", "prefix", newest], capture=True).strip()
            return "%s/bin/python%s" % (prefix, version)
    found = shutil.which("python" + version)
    if not found:
        raise Failure("no CPython %s found" % version)
    return found


def archive_url():
    """The Debian archive's base URL, from the host's apt sources whatever their format."""
    listing = run(
        ["apt-get", "indextargets", "--format", "$(LABEL) $(REPO_URI)", "Identifier: Packages"],
        capture=True,
        check=False,
    )
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[0] == "Debian":
            return fields[1].rstrip("/")
    return ""


def mirror_url():
    mirror = os.environ.get("TAVRO_DEBIAN_MIRROR") or archive_url()
    if not mirror:
        run(["apt-get", "update"], capture=True)
        mirror = archive_url()
    if not mirror:
        raise Failure("no Debian archive in the host's apt sources; set TAVRO_DEBIAN_MIRROR")
    return mirror


def install_host_packages(packages, commands, also_when=False):
    """apt installs PACKAGES unless every one of COMMANDS is on PATH (and ALSO_WHEN is false)."""
    if all(shutil.which(command) for command in commands) and not also_when:
        return
    run(["apt-get", "update"])
    run(
        ["apt-get", "install", "-y", "--no-install-recommends", *packages],
        env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"),
    )


def version_key(version):
    return tuple(int(part) for part in re.findall(r"\d+", version))
