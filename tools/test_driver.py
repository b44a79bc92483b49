"""tools/driver: the plans, command lines, metadata and checks it makes, without root."""

import hashlib
import io
import os
import tarfile
import time
import zipfile
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import (debian, dist, metadata, phases, reproducible, system, target_plan,  # noqa: E402
                    target_test, trees)
from driver.cmake import Build  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CI = ["bullseye-armhf", "trixie-arm64", "forky-amd64", "forky-amd64-py315", "forky-armhf"]


@pytest.mark.parametrize("argv, targets, extra", [
    ([], [t.name for t in target_plan.TARGETS], []),
    (["--target", "forky-armhf", "--ci", "--target", "forky-armhf"], CI, []),
    (["--quick", "--target", "trixie-arm64", "--", "-k", "x"], ["trixie-arm64"], ["-x", "-k", "x"]),
    (["--scripts-test", "3.15", "--", "-q"], ["forky-amd64-py315"], ["-q"]),
])
def test_options_select_targets_in_table_order(argv, targets, extra):
    options = target_plan.parse(argv)
    assert ([t.name for t in options.targets], options.pytest_extra) == (targets, extra)


@pytest.mark.parametrize("parse, argv, message", [
    (target_plan.parse, ["--target", "sid-armhf"], "unknown target sid-armhf"),
    (target_plan.parse, ["--scripts-test", "3.9"], "no CPython 3.9 here"),
    (dist.parse, ["--archs", "amd64,mips"], "unknown in --archs: mips"),
    (target_plan.parse, ["--target"], None), (target_plan.parse, ["-x", "--", "-x"], None),
    (dist.parse, ["sdist", "wheel"], None), (dist.parse, ["--suites"], None),
])
def test_bad_options(parse, argv, message):
    """A value the table lacks fails the run; a malformed command line is a usage error."""
    with pytest.raises(system.Failure if message else SystemExit, match=message) as raised:
        parse(argv)
    assert message or raised.value.code == 2


@pytest.mark.parametrize("argv, status", [
    (["target-test", "--help"], 0), (["interpreter", "--help"], 0), (["dist", "--help"], 0),
    (["--help"], 0), (["dist-all"], 2), ([], 2),
])
def test_driver_verbs(argv, status):
    """--help does no work (no root, no build), whatever the verb; a bad verb is a usage error."""
    done = subprocess.run([sys.executable, os.path.join(REPO, "tools", "driver"), *argv],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, "usage:" in (done.stderr, done.stdout)[status == 0]) == (status, True)


def test_plan_orders_phases_and_what_each_waits_for():
    steps = target_plan.plan(target_plan.parse(["--ci", "--quick"]))
    assert [s.name for s in steps if s.release in ("", "trixie", "forky")] == [
        "host-tools", "trees-trixie", "build-trixie-arm64", "check-trixie-arm64",
        "test-trixie-arm64", "build-debug-trixie-3.13", "test-debug-trixie-3.13",
        "refleak-trixie-3.13", "trees-forky"] + [
        "%s-forky-%s" % (kind, name) for name in ("amd64", "amd64-py315", "armhf")
        for kind in ("build", "check", "test")] + [
        "%s-%s" % (kind, version) for version in ("3.14", "3.15")
        for kind in ("build-debug-forky", "test-debug-forky", "refleak-forky")]
    quick = [s for s in steps if s.kind == "test-debug"]
    assert {(s.skip, s.needs[0].startswith("build-debug-")) for s in quick} == {("--quick", True)}
    for argv, kinds in [(["--debug-only"], {"build-debug", "test-debug", "refleak"}),
                        (["--no-debug"], {"build", "check", "test"}), (["--trees-only"], set())]:
        steps = target_plan.plan(target_plan.parse(argv))
        found = {s.kind for s in steps} - {"host-tools", "trees"}
        assert found == kinds


def test_cached_trees_keep_their_names():
    """The key and the package order are those of the shell recipe the cached trees were
    made with (printf | sha256sum, sort -u in the C locale)."""
    packages = target_test.chroot_packages("forky", target_plan.TARGETS)
    shell_sorted = subprocess.run(["sort", "-u"], input="\n".join(reversed(packages)) + "\n",
                                  capture_output=True, text=True, env={"LC_ALL": "C"}).stdout
    assert packages == shell_sorted.split()
    assert {"g++-arm-linux-gnueabihf", "python3.15-venv", "libpython3.14-dbg"} <= set(packages)
    fields = ["2", "http://m", "forky", "amd64", "apt", *packages]
    digest = hashlib.sha256("".join(f + "\n" for f in fields).encode()).hexdigest()[:12]
    assert trees.tree_key(*fields[:5], packages) == digest


def test_mmdebstrap_copies_a_deb_into_the_tree_it_installs():
    command = trees.mmdebstrap_command("/t", "bullseye", "armhf", "extract",
                                       ["python3-all", "/w/p.deb"], "http://m")
    assert command[:5] == ["mmdebstrap", "--variant=extract", "--architectures=armhf",
                           "--include=python3-all", "--include=/w/p.deb"]
    assert command[5:7] == ['--setup-hook=mkdir -p "$1/w" && cp "/w/p.deb" "$1/w/"',
                            '--customize-hook=rm "$1/w/p.deb"']
    assert command[-4:] == ["bullseye", "/t", "deb http://m bullseye main",
                            "deb http://m bullseye-updates main"]


def test_builds_are_native_or_through_the_cross_recipe():
    native = Build("/s", "/b", python="/usr/bin/python3.14").steps("/p", 2)
    assert native == [((), ["cmake", "-S", "/s", "-B", "/b", "-DCMAKE_BUILD_TYPE=Release",
                            "-DPython_EXECUTABLE=/usr/bin/python3.14"]),
                      ((), ["cmake", "--build", "/b", "-j", "2"]),
                      ((), ["cmake", "--install", "/b", "--prefix", "/p"])]
    cross = Build("/s", "/b", include="/r/py", soabi="cpython-39-arm-linux-gnueabihf",
                  cross_triplet="arm-linux-gnueabihf", cross_sysroot="/r")
    env, configure = cross.steps("/p")[0]
    assert env == ("TAVRO_CROSS_TRIPLET=arm-linux-gnueabihf", "TAVRO_CROSS_SYSROOT=/r")
    assert configure[6:] == ["-DCMAKE_TOOLCHAIN_FILE=/s/cmake/debian-cross.cmake",
                             "-DPython_INCLUDE_DIR=/r/py",
                             "-DPython_SOABI=cpython-39-arm-linux-gnueabihf"]


@pytest.mark.parametrize("parser", ["tomllib", "own"])
def test_metadata_and_console_scripts(tmp_path, monkeypatch, parser):
    if parser == "own":
        monkeypatch.setattr(metadata, "tomllib", None)
    elif metadata.tomllib is None:
        pytest.skip("no tomllib before 3.11")
    folder = metadata.write_dist_info(os.path.join(REPO, "pyproject.toml"), str(tmp_path), "debian")
    files = {name: open(os.path.join(folder, name)).read() for name in sorted(os.listdir(folder))}
    version = metadata.read_project(os.path.join(REPO, "pyproject.toml"))["version"]
    assert os.path.basename(folder) == "tavro_ciphers-%s.dist-info" % version
    assert files == {"INSTALLER": "debian\n",
                     "METADATA": "Metadata-Version: 2.1\nName: tavro-ciphers\nVersion: %s\n"
                                 "Requires-Python: >=3.9\nRequires-Dist: numpy\n" % version,
                     "entry_points.txt": "[console_scripts]\n"
                                         "tavro-token = tavro.libs.ciphers.cli:main\n"}
    metadata.write_scripts(os.path.join(REPO, "pyproject.toml"), str(tmp_path / "bin"), "/py")
    script = (tmp_path / "bin" / "tavro-token").read_text()
    assert script.startswith("#!/py\n") and "'tavro.libs.ciphers.cli'" in script


def test_summary_lists_every_phase():
    run = phases.Phases(system.Console("test"))
    run.run("build-a", lambda: None)
    run.run("test-a", lambda: run.note("test-a", "1 failed") or 1 / 0)
    run.skip("refleak-a", "no build")
    assert run.summary() == ["  build-a                    ok           0s  ",
                             "  test-a                     FAILED       0s  1 failed",
                             "  refleak-a                  skipped      -s  no build"]
    assert run.failed()


def test_dist_checks(tmp_path):
    sdist, wheel = tmp_path / "s.tar.gz", tmp_path / "w.whl"
    with pytest.raises(system.Failure, match="no x86-64 wheel for CPython 3.13"):
        dist.base_wheel([], str(sdist), "3.13")
    sdist.write_text("")
    wheel.write_text("")
    os.utime(wheel, (0, 0))
    with pytest.raises(system.Failure, match="older than the sdist"):
        dist.base_wheel([str(wheel)], str(sdist), "3.13")
    assert dist.sdist_problems(["a", "PKG-INFO"], ["a", "b"]) == "the sdist lacks: b"
    untracked = "the sdist holds untracked files: PKG-INFO c"
    assert dist.sdist_problems(["a", "c", "PKG-INFO"], ["a"]) == untracked
    assert dist.sdist_problems(["a", "PKG-INFO"], ["a"]) is None
    assert dist.parse(["wheels", "--suites", "bullseye", "--twice-all"]) == (
        ["wheels"], ["bullseye"], ["amd64", "armhf", "arm64"], True)
    listing = "./usr/lib/python3/dist-packages/tavro/libs/ciphers/tavro_crypt_3.cpython-%s-x.so\n"
    assert debian.deb_pythons(listing % "311" + listing % "39") == ["3.9", "3.11"]


def archive(path, files):
    """FILES, {name: (content, mode, mtime)}, in a tar.gz, a wheel or a .deb's data.tar.gz."""
    if path.endswith(".whl"):
        with zipfile.ZipFile(path, "w") as packed:
            for name, (content, mode, mtime) in files.items():
                info = zipfile.ZipInfo(name, time.gmtime(mtime)[:6])
                info.external_attr = mode << 16
                packed.writestr(info, content)
        return
    tar = io.BytesIO()
    with tarfile.open(fileobj=tar, mode="w:gz") as packed:
        for name, (content, mode, mtime) in files.items():
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime = len(content), mode, mtime
            packed.addfile(info, io.BytesIO(content))
    if path.endswith(".deb"):
        data = tar.getvalue()
        header = b"%-16s%-12d%-6d%-6d%-8s%-10d`\n" % (b"data.tar.gz", 0, 0, 0, b"100644", len(data))
        tar = io.BytesIO(b"!<arch>\n" + header + data + b"\n" * (len(data) % 2))
    open(path, "wb").write(tar.getvalue())


SAME = {"a/x.py": (b"x = 1", 0o644, 1700000000), "a/m.so": (b"\x7fELF", 0o755, 1700000000)}


@pytest.mark.parametrize("kind, prefix", [(".tar.gz", ""), (".whl", ""), (".deb", "data.tar.gz/")])
@pytest.mark.parametrize("change, expected", [
    ({}, []),
    ({"a/m.so": (b"\x7fELF", 0o755, 1700000002)}, ["{}a/m.so: mtime "]),
    ({"a/m.so": (b"\x7fELF", 0o775, 1700000000)}, ["{}a/m.so: mode "]),
    ({"a/x.py": (b"x = 2", 0o644, 1700000000)}, ["{}a/x.py: content "]),
    ({"a/y.py": (b"", 0o644, 1700000000)}, ["only in the second build: {}a/y.py"]),
])
def test_archive_differences_name_the_member(tmp_path, kind, prefix, change, expected):
    archive(str(tmp_path / ("1" + kind)), SAME)
    archive(str(tmp_path / ("2" + kind)), dict(SAME, **change))
    found = reproducible.differences(str(tmp_path / ("1" + kind)), str(tmp_path / ("2" + kind)))
    found = [line for line in found if not line.startswith("data.tar.gz: ")]  # the ar member
    expected = [e.format(prefix) for e in expected]
    assert [line[:len(e)] for line, e in zip(found, expected)] == expected
    assert len(found) == len(expected)
