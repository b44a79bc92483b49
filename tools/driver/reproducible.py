"""Reproducible artefacts: the commit's time that every build takes its time stamps from, and
the member-by-member comparison of two builds of one archive (tar, zip, and a Debian
package's ar with the tar archives inside it)."""

import hashlib
import io
import os
import shutil
import subprocess
import tarfile
import zipfile

from .system import Failure, install_host_packages, run

# A Debian package's inner archives, compared member by member as well.
INNER_TARS = ("control.tar", "data.tar")
SHOWN = 20


def source_date_epoch(repo):
    """The time of the checkout's last commit, as SOURCE_DATE_EPOCH."""
    return run(["git", "-C", repo, "log", "-1", "--format=%ct"], capture=True).strip()


def _digest(data):
    return hashlib.sha256(data).hexdigest()[:16]


def _tar_members(data, prefix=""):
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:*") as archive:
        for member in archive.getmembers():
            content = archive.extractfile(member).read() if member.isfile() else member.linkname
            yield (
                prefix + member.name,
                {
                    "mode": oct(member.mode),
                    "type": member.type.decode(),
                    "mtime": member.mtime,
                    "owner": "%s:%s %s:%s" % (member.uid, member.gid, member.uname, member.gname),
                    "content": _digest(content if isinstance(content, bytes) else content.encode()),
                },
            )


def _zip_members(data):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        for info in archive.infolist():
            yield (
                info.filename,
                {
                    "mode": oct(info.external_attr >> 16),
                    "mtime": "%04d-%02d-%02d %02d:%02d:%02d" % info.date_time,
                    "system": info.create_system,
                    "method": info.compress_type,
                    "content": _digest(archive.read(info)),
                },
            )


def _ar_members(data):
    """The members of an ar archive (dpkg-deb's: no long names), each inner tar archive's
    members after its own entry."""
    if not data.startswith(b"!<arch>\n"):
        raise Failure("not an ar archive")
    offset = 8
    while offset < len(data):
        header = data[offset : offset + 60]
        name = header[:16].decode().strip().rstrip("/")
        size = int(header[48:58])
        content = data[offset + 60 : offset + 60 + size]
        yield (
            name,
            {
                "mode": header[40:48].decode().strip(),
                "mtime": int(header[16:28]),
                "owner": "%s:%s" % (int(header[28:34]), int(header[34:40])),
                "content": _digest(content),
            },
        )
        if name.startswith(INNER_TARS):
            yield from _tar_members(content, name + "/")
        offset += 60 + size + size % 2


def members(path):
    """The archive's members in their order: (name, {field: value}) with the mode, the time
    stamp, the owner where the format has one, and a digest of the content."""
    with open(path, "rb") as file:
        data = file.read()
    if path.endswith(".deb"):
        return list(_ar_members(data))
    if path.endswith((".whl", ".zip")):
        return list(_zip_members(data))
    return list(_tar_members(data))


def differences(first, second):
    """What tells the two archives' members apart, one line each; empty when they hold the
    same members in the same order."""
    ours, theirs = members(first), members(second)
    ours_by_name, theirs_by_name = dict(ours), dict(theirs)
    found = ["only in the first build: " + name for name, _ in ours if name not in theirs_by_name]
    found += ["only in the second build: " + name for name, _ in theirs if name not in ours_by_name]
    for name, fields in ours:
        other = theirs_by_name.get(name)
        if other is not None:
            found += [
                "%s: %s %s, then %s" % (name, field, value, other[field])
                for field, value in fields.items()
                if other[field] != value
            ]
    if not found and [n for n, _ in ours] != [n for n, _ in theirs]:
        found.append("the members are in another order")
    return found


def same_build(first, second, say):
    """Fails unless the two builds of one artefact are identical byte for byte, naming the
    members that differ, with diffoscope's account of them where it is installed."""
    with open(first, "rb") as one, open(second, "rb") as other:
        if one.read() == other.read():
            say("reproducible: " + os.path.basename(first))
            return
    found = differences(first, second) or ["the members agree: the archive's own bytes differ"]
    # A time stamp let through touches every member: the first ones tell the story.
    for line in found[:SHOWN]:
        say("  differs: " + line)
    if len(found) > SHOWN:
        say("  ... and %d more" % (len(found) - SHOWN))
    if not shutil.which("diffoscope") and os.geteuid() == 0:
        try:
            install_host_packages(["diffoscope-minimal"], ["diffoscope"])
        except subprocess.CalledProcessError:
            say("  (diffoscope cannot be installed)")
    if shutil.which("diffoscope"):
        subprocess.run(
            ["diffoscope", "--no-progress", "--max-report-size", "200000", first, second],
            check=False,
        )
    else:
        say("  (install diffoscope for the differences inside the members)")
    raise Failure("two builds of %s differ" % os.path.basename(first))
