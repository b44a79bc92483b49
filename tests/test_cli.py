"""The tavro-token command, run as a user runs it: fresh processes, real standard streams."""
import hashlib
import json
import os
import re
import select
import shlex
import subprocess
import sys

import pytest

from conftest import PYTHON_COMMAND, run_python
from tavro.libs.ciphers.cli import multiplier_of
from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3
from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4

MODULE = PYTHON_COMMAND + ["-m", "tavro.libs.ciphers"]
# pip puts console scripts next to the interpreter; a staged install names its own folder.
SCRIPT = os.path.join(os.environ.get("TAVRO_TEST_SCRIPT_DIR") or os.path.dirname(sys.executable),
                      "tavro-token")
FORMS = [
    pytest.param(MODULE, id="python-m"),
    pytest.param([SCRIPT], id="script", marks=pytest.mark.skipif(
        len(PYTHON_COMMAND) > 1, reason="under emulation only python -m starts")),
]


def forge(payload):
    """A token for any payload: its tag is a plain digest, so anyone can make one."""
    body = _TavroCrypt3.e2(bytes(payload))
    return body + hashlib.md5(body.encode()).hexdigest()


def token(data):
    return _TavroCrypt4.e1(data) + "\n"


HELLO = _TavroCrypt4.e1("hello")
TAMPERED = "b" + HELLO[1:]
MISMATCH = "tag does not match"


def run(arguments, stdin=b"", command=MODULE, encoding="utf-8"):
    # From "/", so that python -m finds the installed package, not the checkout.
    done = subprocess.run(command + arguments, input=stdin, capture_output=True, cwd="/",
                          env=dict(os.environ, PYTHONIOENCODING=encoding), timeout=300)
    assert b"Traceback" not in done.stderr
    return done


CASES = [
    # A trailing newline of standard input is dropped once, unless kept; operands stay as given.
    (["encrypt"], b"hello\n", 0, token("hello"), ""),
    (["encrypt", "-"], b"hello\n\n", 0, token("hello\n"), ""),
    (["encrypt", "--keep-newline"], b"hello\n", 0, token("hello\n"), ""),
    (["encrypt", "hello\n"], b"", 0, token("hello\n"), ""),
    (["encrypt", "h\u00e9llo"], b"", 0, token("h\u00e9llo"), ""),
    (["encrypt", "--encoding", "latin-1", "\u00e9"], b"", 0, token(b"\xe9"), ""),
    (["encrypt", "--encoding", "ascii", "\u00e9"], b"", 1, "", "cannot be encoded in ascii"),
    (["encrypt", "--lines"], b"one\n\ntwo", 0, token("one") + token("") + token("two"), ""),
    (["encode", "hi"], b"", 0, "aGk=\n", ""),
    (["encode", "--no-padding"], b"hi\n", 0, "aGk\n", ""),
    (["encode", "--lines", "--no-padding"], b"a\nbb\n", 0, "YQ\nYmI\n", ""),
    (["decrypt", HELLO], b"", 0, "hello\n", ""),
    (["decrypt"], b" " + HELLO.encode() + b"\r\n", 0, "hello\n", ""),
    (["decrypt", TAMPERED], b"", 1, "", MISMATCH),
    (["decrypt", HELLO[:-1]], b"", 1, "", MISMATCH),
    (["decrypt"], b"", 1, "", MISMATCH),
    (["decrypt", forge(b"")], b"", 1, "", "malformed token"),
    (["decrypt", "A" + hashlib.md5(b"A").hexdigest()], b"", 1, "", "malformed token"),
    (["decrypt"], b"\xff" + HELLO.encode(), 1, "", "non-ASCII"),
    (["decrypt", _TavroCrypt4.e1(b"\xe9")], b"", 1, "", "not utf-8 text; use --hex or --raw"),
    (["decrypt", "--encoding", "latin-1", _TavroCrypt4.e1(b"\xe9")], b"", 0, "\u00e9\n", ""),
    (["decrypt", "--hex", _TavroCrypt4.e1(b"\0\xff\n")], b"", 0, "00ff0a\n", ""),
    (["decrypt", "--raw", _TavroCrypt4.e1(b"\0\xff\n")], b"", 0, "\0\xff\n", ""),
    (["decode", "aGVsbG8"], b"", 0, "hello\n", ""),
    (["decode"], b"aGVs\nbG8\n", 0, "hello\n", ""),
    (["decode", "--hex", "_-8"], b"", 0, "ffef\n", ""),
    (["decode", "a"], b"", 1, "", "not Base64"),
    (["decode", "/w"], b"", 1, "", "not utf-8 text"),
    (["decode", "--lines", "--hex"], b"YQ\nYmI=\n", 0, "61\n6262\n", ""),
]


@pytest.mark.parametrize("arguments, stdin, status, stdout, message", CASES)
def test_command(arguments, stdin, status, stdout, message):
    done = run(arguments, stdin)
    expected = stdout.encode("latin-1" if "--raw" in arguments else "utf-8")
    assert (done.returncode, done.stdout) == (status, expected)
    if status:
        assert re.fullmatch(r"tavro-token: [^\n]*%s[^\n]*\n" % re.escape(message),
                            done.stderr.decode())
    else:
        assert done.stderr == b""


@pytest.mark.parametrize("command", FORMS)
def test_pipeline(command):
    tool = shlex.join(command)
    done = subprocess.run("echo hello | %s encrypt | %s decrypt" % (tool, tool), shell=True,
                          capture_output=True, cwd="/", timeout=300)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"hello\n", b"")


@pytest.mark.parametrize("there, back", [
    (["encrypt"], ["decrypt"]), (["encode"], ["decode"]), (["encode", "--no-padding"], ["decode"])])
def test_binary_round_trip(there, back):
    data = bytes(range(256)) * 3 + b"\n"
    encoded = run(there + ["--keep-newline"], data)
    assert encoded.returncode == 0
    assert run(back + ["--raw"], encoded.stdout).stdout == data
    assert run(back + ["--hex"], encoded.stdout).stdout == data.hex().encode() + b"\n"


def test_output_line_n_answers_input_line_n():
    tokens = [HELLO, TAMPERED, _TavroCrypt4.e1("w\u00f6rld"), "", HELLO, _TavroCrypt4.e1("a\nb"),
              _TavroCrypt4.e1("!"), forge(b""), _TavroCrypt4.e1(b"\xff")]
    stdin = "\n".join(tokens).encode()
    done = run(["decrypt", "--lines"], stdin)
    assert done.returncode == 1
    assert done.stdout == "hello\n!\nw\u00f6rld\n!\nhello\n!\n!\n!\n!\n".encode()
    messages = done.stderr.decode().splitlines()
    assert [message.split(":")[1] for message in messages] == [
        " line %d" % number for number in (2, 4, 6, 7, 8, 9)]
    assert MISMATCH in messages[0] and "spans lines" in messages[2]
    assert run(["decrypt", "--lines"], stdin, encoding="ascii").stdout.startswith(b"hello\n!\n!\n")
    records = [json.loads(line) for line in run(["decrypt", "--json"], stdin).stdout.splitlines()]
    assert [(record["line"], record["outcome"], record.get("result", record.get("reason")))
            for record in records] == [
        (1, "ok", "hello"), (2, "error", "tag"), (3, "ok", "w\u00f6rld"), (4, "error", "tag"),
        (5, "ok", "hello"), (6, "ok", "a\nb"), (7, "ok", "!"), (8, "error", "malformed"),
        (9, "error", "text")]


def test_verify_reports_the_tokens_that_fail():
    stdin = (HELLO + "\n") * 3000 + TAMPERED + "\n" + _TavroCrypt4.e1(b"\xff") + "\n\xe9\n"
    done = run(["verify"], stdin.encode())
    assert done.returncode == 1
    assert [line.split(":")[:2] for line in done.stdout.decode().splitlines()] == [
        ["line 3001", " tag"], ["line 3002", " text"], ["line 3003", " malformed"],
        ["3003 tokens", " 3000 hold, 3 failed"]]
    held = run(["verify"], (HELLO + "\n").encode() * 2)
    assert (held.returncode, held.stdout) == (0, b"2 tokens: 2 hold, 0 failed\n")
    assert json.loads(run(["verify", "--json"], stdin.encode()).stdout.splitlines()[-1]) == {
        "tokens": 3003, "hold": 3000, "failed": 3}


def test_lines_are_answered_as_they_arrive():
    process = subprocess.Popen(MODULE + ["decrypt", "--lines"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, cwd="/")
    with process.stdin, process.stdout:
        for _ in range(3):
            process.stdin.write(HELLO.encode() + b"\n")
            process.stdin.flush()
            assert select.select([process.stdout], [], [], 60)[0], "no answer"
            assert process.stdout.readline() == b"hello\n"
    assert process.wait(timeout=300) == 0


def test_reader_that_stops_early(tmp_path):
    tokens = tmp_path / "tokens"
    tokens.write_text((HELLO + "\n") * 30000)
    with tokens.open("rb") as stdin:
        process = subprocess.Popen(MODULE + ["decrypt", "--lines"], stdin=stdin, cwd="/",
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline() == b"hello\n"
    process.stdout.close()
    assert process.wait(timeout=300) == 1
    with process.stderr:
        assert process.stderr.read() == b""


def test_text_the_terminal_cannot_show():
    done = run(["decrypt", _TavroCrypt4.e1("\u00e9")], encoding="ascii")
    assert done.returncode == 1
    assert b"use --hex or --raw" in done.stderr


@pytest.mark.parametrize("arguments", [
    [], ["frobnicate"], ["encrypt", "a", "b"], ["encrypt", "--bogus"], ["encode", "--hex", "x"],
    ["decrypt", "--hex", "--raw", HELLO], ["encrypt", "--encoding", "no-such-codec", "x"],
    ["decode", "--encoding", "base64", "x"], ["encrypt", "--lines", "x"],
    ["decrypt", "--lines", "--raw"], ["inspect", "--lines"], ["decrypt", "--json", HELLO],
    ["verify", HELLO], ["verify", "--hex"],
])
def test_usage_errors(arguments):
    done = run(arguments)
    assert (done.returncode, done.stdout) == (2, b"")
    assert re.fullmatch(rb"tavro-token: [^\n]+\n", done.stderr)


def inspect(token, status=0):
    done = run(["inspect", token])
    assert done.returncode == status
    return dict((part.strip() for part in line.split(":", 1))
                for line in done.stdout.decode().splitlines())


def test_inspect():
    report = inspect(HELLO)
    assert report["token length"] == str(len(HELLO))
    assert report["body length"] == str(len(HELLO) - 32)
    assert report["tag"] == "matches"
    assert report["key header"] == "6b 3d a7 12 c4 5e 89 f3 2b 70"
    assert report["multiplier"] == "107"
    assert 107 * int(report["inverse"]) % 256 == 1
    assert report["enciphered bytes"] == "5"
    assert report["plaintext (utf-8)"] == "'hello'"
    assert inspect(_TavroCrypt4.e1(b"\0\xff"))["plaintext (hex)"] == "00ff"


@pytest.mark.parametrize("seed, multiplier", [(0x6B, 107), (4, 5), (0, 167), (1, 167), (255, 255)])
def test_inspect_multiplier(seed, multiplier):
    forged = forge([seed, 7, 1, 2, 3, 4, 5, 6, 7, 8, 0x99, 0])
    report = inspect(forged)
    assert report["multiplier"] == str(multiplier)
    assert multiplier * int(report["inverse"]) % 256 == 1
    assert report["enciphered bytes"] == "2"


@pytest.mark.parametrize("bad, status, tag, header", [
    (TAMPERED, 1, "does not match", "6f 3d a7 12 c4 5e 89 f3 2b 70"),
    (forge(b"\0\0\0"), 0, "matches", "00 00 00 (3 of 10 bytes)"),
    ("A" + hashlib.md5(b"A").hexdigest(), 1, "matches", None),
])
def test_inspect_bad_tokens(bad, status, tag, header):
    report = inspect(bad, status)
    assert report["tag"] == tag
    assert report.get("key header") == header


def test_multiplier_rule_is_the_ciphers():
    # With offset and position key 0, the enciphered byte 1 deciphers to the inverse of the
    # multiplier d1 used, which pins the multiplier: inverses modulo 256 are unique.
    for seed in range(256):
        inverse = _TavroCrypt4.d1(forge([seed, 0] + [0] * 8 + [1]))[0]
        assert multiplier_of(seed) * inverse % 256 == 1, seed


@pytest.mark.parametrize("arguments, loads_cipher", [
    (["encode", "hi"], False),
    (["decode", "aGk"], False),
    (["encrypt", "hi"], True),
])
def test_codec_commands_leave_the_cipher_unloaded(arguments, loads_cipher):
    done = run_python("""
        import sys
        from tavro.libs.ciphers.cli import main
        status = main(sys.argv[1:])
        loaded = [name for name in sys.modules
                  if name.split(".")[0] == "numpy" or name.endswith(".tavro_crypt_4")]
        print(status, sorted(loaded)[:1], file=sys.stderr)
    """, *arguments)
    status, cipher_module = done.stderr.split(" ", 1)
    assert status == "0"
    assert (cipher_module != "[]\n") == loads_cipher, cipher_module


def test_version():
    from importlib.metadata import version

    done = run(["--version"])
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode() == "tavro-token %s\n" % version("tavro-ciphers")
    # A package copied in without its metadata still answers in one line.
    unknown = run_python("""
        import importlib.metadata
        def missing(name):
            raise importlib.metadata.PackageNotFoundError(name)
        importlib.metadata.version = missing
        from tavro.libs.ciphers.cli import main
        main(["--version"])
    """)
    assert (unknown.returncode, unknown.stdout) == (1, "")
    assert re.fullmatch(r"tavro-token: [^\n]*version unknown\n", unknown.stderr)
