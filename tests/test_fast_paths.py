"""The fast paths against the general ones.

While every object the method bodies reach is the one there at load, the libraries compute
the answer natively; rebinding any of them to an equivalent stand-in sends them down the
general path, which makes the calls. Both must give the same results, the same exceptions
and the same traceback entries, and the fast path must come back once the original does.
"""
import base64
import binascii
import builtins
import hashlib
import sys
import threading
import tracemalloc
import types

import pytest

from conftest import entries, run_python


class Text(str):
    pass


def outcome(function, *arguments):
    try:
        result = function(*arguments)
    except Exception as error:
        return type(error), str(error), [entry[1:] for entry in entries(error)[1:]]
    return type(result), result


def native_calls(function, *arguments):
    """Names of the builtins the call reaches (the fast paths reach none)."""
    seen = []

    def profile(frame, event, argument):
        if event == "c_call" and argument is not sys.setprofile:
            seen.append(argument.__name__)

    sys.setprofile(profile)
    try:
        outcome(function, *arguments)
    finally:
        sys.setprofile(None)
    return seen


def module_copy(module, **replaced):
    copy = types.ModuleType(module.__name__)
    vars(copy).update({k: v for k, v in vars(module).items() if not k.startswith("__")})
    vars(copy).update(replaced)
    return copy


def stand_ins(crypt3, crypt4):
    """(name, rebinding) pairs: each rebinds one guarded object to an equivalent one."""
    codec, cipher = crypt3._TavroCrypt3, crypt4._TavroCrypt4
    same_codec = type("_TavroCrypt3", (), {"e1": vars(codec)["e1"], "e2": vars(codec)["e2"],
                                           "d1": vars(codec)["d1"]})
    f2, f1 = cipher._TavroCrypt4__f2, cipher._TavroCrypt4__f1
    return [
        ("cipher's hashlib", [(crypt4, "hashlib", module_copy(hashlib))]),
        ("hashlib.md5", [(hashlib, "md5", lambda *a, **k: hashlib.new("md5", *a, **k))]),
        ("cipher's codec", [(crypt4, "_TavroCrypt3", same_codec)]),
        ("key helper", [(cipher, "_TavroCrypt4__f2", staticmethod(lambda: f2()))]),
        ("inverse helper", [(cipher, "_TavroCrypt4__f1", staticmethod(lambda x1: f1(x1)))]),
        ("codec's e1", [(codec, "e1", staticmethod(vars(codec)["e1"].__func__))]),
        ("codec's base64", [(crypt3, "base64", module_copy(base64))]),
        ("base64 touched", [(base64, "unrelated", 1)]),
        ("base64.b64encode code", [(base64.b64encode, "__code__",
                                    base64.b64encode.__code__.replace())]),
        ("binascii", [(binascii, "b2a_base64", lambda *a, **k: binascii_b2a(*a, **k)),
                      (binascii, "a2b_base64", lambda *a, **k: binascii_a2b(*a, **k))]),
        ("builtins.isinstance", [(builtins, "isinstance", lambda o, t: builtins_isinstance(o, t))]),
        # On 3.9 a call then looks each builtin up in the copy (elsewhere nothing changes).
        ("cipher's builtins", [(crypt4, "__builtins__", dict(vars(builtins)))]),
        ("codec's builtins", [(crypt3, "__builtins__", dict(vars(builtins)))]),
        ("cipher's builtins, a mapping", [(crypt4, "__builtins__", Mapping(vars(builtins)))]),
    ]


class Mapping(dict):
    """Builtins that are not a dict of the interpreter's own type: looked up by subscript."""


binascii_b2a, binascii_a2b, builtins_isinstance = (binascii.b2a_base64, binascii.a2b_base64,
                                                   builtins.isinstance)


# Codec names decoded by the interpreter's own decoders, whose ASCII is the same text, and
# names that take the codec registry.
ASCII_KEEPING = ["UTF-8", "utf8", "Utf_8", "ascii", "US-ASCII", "latin-1", "latin1", "ISO 8859-1",
                 "iso8859_1"]
OTHER_CODECS = ["utf-16", "cp1252", "utf--8", " utf-8", "latin-1-x"]


# Plain bytes at the edges of UTF-8: each width, the widest and narrowest of each, a
# character across the first and second blocks the fast path deciphers, and what the
# interpreter's decoder refuses (overlong forms, surrogates, past U+10FFFF, cut short).
UTF_8_EDGES = [
    "é".encode(), "a€".encode(), "\U0001f600".encode(), "\x80\u07ff\u0800\uffff".encode(),
    "\U00010000\U0010ffff".encode(), b"a" * 3061 + "€".encode(), b"a" * 3062 + "€".encode(),
    "ü".encode() * 3000 + "\U0001f600".encode(), b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\x80",
    b"\xe0\x9f\xbf", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xf0\x8f\xbf\xbf",
    b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\x80", b"a\xe2\x82", b"\xe2\x82a",
    b"\xf0\x9f\x98", "é".encode() * 2000 + b"\xed\xa0\x80",
]


def cipher_cases(cipher, model):
    token = cipher.e1("fast and general")
    latin = cipher.e1(bytes(range(256)))
    long_text = cipher.e1("grüße " * 2000)
    return [
        (cipher.e1, ""), (cipher.e1, b""), (cipher.e1, "abc"), (cipher.e1, "grüße \U0001f600"),
        (cipher.e1, bytes(range(256)) * 5), (cipher.e1, bytearray(b"x" * 3071)),
        (cipher.e1, bytes(range(256)) * 100), (cipher.e1, bytearray(b"x" * 20000)),
        (cipher.e1, "\ud800"), (cipher.e1, Text("sub")), (cipher.e1, None),
        (cipher.d1, token), (cipher.d1, token, "utf-8"), (cipher.d1, token, ""),
        (cipher.d1, token, Text("utf-8")), (cipher.d1, token, "no-such-codec"),
        (cipher.d1, token, "utf\0-8"), (cipher.d1, token, "\ud800"), (cipher.d1, token, 5),
        (cipher.d1, latin, "utf-8"),
        (cipher.d1, latin, "latin-1"), (cipher.d1, token[:-1] + "0"), (cipher.d1, ""),
        (cipher.d1, "x" * 31), (cipher.d1, model.seal("")), (cipher.d1, model.seal("A")),
        (cipher.d1, model.seal("AQ")), (cipher.d1, model.seal("AQID")),
        (cipher.d1, model.seal("a-_b" * 5)), (cipher.d1, model.seal("YQ==")),
        (cipher.d1, model.seal("é")), (cipher.d1, Text(token)),
    ] + [(cipher.d1, token, spelling) for spelling in ASCII_KEEPING + OTHER_CODECS] + [
        (cipher.d1, cipher.e1(plain), "utf-8") for plain in UTF_8_EDGES] + [
        (cipher.d1, sealed, spelling)
        for sealed in (latin, long_text, cipher.e1(b"x" * 10000 + b"\xff"), model.seal("a" * 14))
        for spelling in ("ascii", "UTF8", "iso-8859-1", "utf-16", "cp1252")
    ]


def codec_cases(codec):
    return [
        (codec.e1, ""), (codec.e1, "abc"), (codec.e1, "é" * 7), (codec.e1, b"\xfb\xff"),
        (codec.e1, bytearray(range(100))), (codec.e1, "\ud800"), (codec.e1, None),
        (codec.e2, b"ab"), (codec.d1, ""), (codec.d1, "YQ"), (codec.d1, "YQ=="),
        (codec.d1, "-_8"), (codec.d1, b"w6k"), (codec.d1, "w6k", "utf-8"), (codec.d1, "Q"),
        (codec.d1, "Y\u00e9Q"), (codec.d1, "/w", "utf-8"), (codec.d1, "YQ", "no-such-codec"),
        (codec.d1, "YQ", True), (codec.d1, "YQ", 0), (codec.d1, "YQ", "utf\0-8"),
        (codec.d1, bytearray(b"YQ")), (codec.d1, Text("YQ")), (codec.e1, b"\xfb" * 20000),
        (codec.d1, "-_8A" * 5000), (codec.d1, b"YWJj" * 5000), (codec.d1, "w6k" * 9000, "utf-8"),
        (codec.d1, memoryview(b"YxQx")[::2]), (codec.e1, memoryview(b"abcd")[::2]),
        (codec.d1, memoryview(b"YQ").cast("B", (1, 2))),
        # Padded and wrapped text, as e1 and base64.encodebytes make it, and what is near it.
        (codec.d1, "YWI="), (codec.d1, "YQ==", "utf-8"), (codec.d1, b"YWI="), (codec.d1, "-_-="),
        (codec.d1, bytearray(b"YWI=")), (codec.d1, "YQ="), (codec.d1, "Q==="), (codec.d1, "=" * 8),
        (codec.d1, "YQ==\n"), (codec.d1, "Y Q=="), (codec.d1, b"YQ\xc3\xa9=="),
        (codec.d1, codec.e1(b"\xfb" * 1000)), (codec.d1, WRAPPED), (codec.d1, WRAPPED.encode()),
        (codec.d1, WRAPPED.replace("\n", "\r\n")),
    ]


WRAPPED = base64.encodebytes(bytes(range(256)) * 4).decode()


@pytest.fixture(scope="module")
def cases(library):
    import token_model
    return (cipher_cases(library.crypt4._TavroCrypt4, token_model) +
            codec_cases(library.crypt3._TavroCrypt3))


# A stand-in for what base64's decoder reaches sends the body to the interpreter's own
# decoder, which warns on "+" and "/" from 3.15: that is the body's call, made as it is.
@pytest.mark.filterwarnings("ignore:invalid character:FutureWarning")
@pytest.mark.parametrize("stand_in", range(14))
def test_fast_and_general_paths_agree(library, cases, monkeypatch, stand_in):
    name, rebindings = stand_ins(library.crypt3, library.crypt4)[stand_in]
    fast = [outcome(*case) for case in cases]
    for target, attribute, value in rebindings:
        monkeypatch.setattr(target, attribute, value, raising=False)
    general = [outcome(*case) for case in cases]
    monkeypatch.undo()
    assert general == fast, name
    assert [outcome(*case) for case in cases] == fast


def test_the_fast_path_is_taken_only_while_everything_is_original(library, monkeypatch):
    cipher, codec = library.crypt4._TavroCrypt4, library.crypt3._TavroCrypt3
    token, text = cipher.e1("x"), codec.e2(b"abc")
    assert native_calls(cipher.e1, "x") == native_calls(cipher.d1, token) == []
    assert native_calls(codec.e1, b"abc") == native_calls(codec.d1, text) == []
    # Off the fast path, the general path answers for the interpreter's own base64 and md5
    # itself: their limits and warnings in a given release never reach a result.
    monkeypatch.setattr(base64, "unrelated", 1, raising=False)
    padded = codec.e1(b"ab")
    for call in ((codec.e1, b"abc"), (codec.d1, text), (codec.d1, padded), (cipher.e1, "x"),
                 (cipher.d1, token)):
        assert not {"b2a_base64", "a2b_base64", "openssl_md5", "md5"} & set(native_calls(*call))
    # Only a stand-in that calls binascii shows which path ran.
    monkeypatch.setattr(binascii, "b2a_base64", lambda *a, **k: binascii_b2a(*a, **k))
    assert "b2a_base64" in native_calls(codec.e1, b"abc")
    assert "b2a_base64" in native_calls(cipher.e1, "x")
    monkeypatch.undo()
    assert native_calls(cipher.e1, "x") == []
    monkeypatch.setattr(cipher, "_TavroCrypt4__f2", vars(cipher)["_TavroCrypt4__f2"])
    assert native_calls(cipher.e1, "x") == []
    # On 3.9 the codec's calls look up the builtins of its replaced __builtins__, and the
    # cipher's fast paths, which stand for those calls, give way.
    monkeypatch.setattr(library.crypt3, "__builtins__", dict(
        vars(builtins), isinstance=lambda o, t: builtins_isinstance(o, t)))
    changed = sys.version_info < (3, 10)
    assert ("isinstance" in native_calls(cipher.e1, "x")) == changed
    assert ("isinstance" in native_calls(cipher.d1, token)) == changed


def test_a_translation_changed_before_loading_at_any_byte_is_used():
    """Even at a byte no Base64 text holds: bytes that a sum of the codec's d1 gives (which
    decode to b"abc" through the standard table) decode through it."""
    process = run_python("""
        import base64
        table = bytearray(base64._urlsafe_decode_translation)
        table[255] = ord("A")  # one data character too many
        base64._urlsafe_decode_translation = bytes(table)
        from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3
        class Sum:
            __len__, __add__ = (lambda self: 4), (lambda self, other: b"YWJj\\xff")
        print(_TavroCrypt3.d1(Sum()))
        """)
    assert process.stdout.split() == ["None"], process.stderr


# Equivalent stand-ins bound before the libraries load: each must leave every answer as it is.
BOUND_BEFORE_LOADING = [
    "", "base64.isinstance = isinstance", "base64.str = str",
    "base64.bytes_types = (bytearray, bytes)",
    "base64.bytes_types = type('Types', (tuple,), {})((bytes, bytearray))",
    "base64._urlsafe_decode_translation = bytearray(base64._urlsafe_decode_translation)",
    "binascii.a2b_base64 = functools.partial(binascii.a2b_base64)",
    "binascii.b2a_base64 = functools.partial(binascii.b2a_base64)",
    "builtins.isinstance = functools.partial(isinstance)",
    "builtins.memoryview = functools.partial(memoryview)",
    "sys.modules['base64'] = types.ModuleType('copy'); vars(sys.modules['base64']).update("
    "{k: v for k, v in vars(base64).items() if k != '__name__'})",
    "hashlib.md5 = functools.partial(hashlib.md5)", "import _md5; hashlib.md5 = _md5.md5",
]


def test_stand_ins_bound_before_loading_change_no_answer():
    answers = [run_python("""
        import base64, binascii, builtins, functools, hashlib, numpy, sys, types
        %s
        from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3 as codec
        from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4 as cipher
        token = cipher.e1("grüße")
        print([codec.e1("abc é"), codec.e2(b"ab"), codec.d1("YWJj"), codec.d1(b"w6k", "utf-8"),
               codec.d1("Q"), token, cipher.d1(token, "utf-8"), cipher.d1(token[:-1] + "0")])
        """ % statement) for statement in BOUND_BEFORE_LOADING]
    assert all(answer.returncode == 0 for answer in answers), [a.stderr for a in answers]
    assert [answer.stdout for answer in answers] == [answers[0].stdout] * len(answers)


def test_a_class_out_of_version_tags_is_still_watched(library):
    """3.13 gives a class no more version tags after many changes; the guard must then look
    at the class itself each time rather than take it as unchanged."""
    cipher = library.crypt4._TavroCrypt4
    original = vars(cipher)["_TavroCrypt4__f2"]
    rebound = staticmethod(lambda: [3.0] * 10)
    try:
        for cycle in range(1200):
            cipher._TavroCrypt4__f2 = rebound
            with pytest.raises(TypeError):
                cipher.e1(b"abc")
            cipher._TavroCrypt4__f2 = original
            assert cipher.d1(cipher.e1(b"x")) == b"x", cycle
    finally:
        cipher._TavroCrypt4__f2 = original


def peak_of(call):
    """The answer of a call and the most memory it held at once (tracemalloc)."""
    tracemalloc.start()
    try:
        return call(), tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_a_large_call_holds_little_more_than_its_answer(library):
    """One pass straight into the answer: a token is 4/3 of its data, and decryption holds
    the plain data once, as bytes or as the ASCII text it decodes to."""
    cipher = library.crypt4._TavroCrypt4
    data = bytes(0x20 + index % 95 for index in range(1 << 20))
    token, peak = peak_of(lambda: cipher.e1(data))
    assert peak <= 1.5 * len(data)
    for enc, expected in ((None, data), ("utf-8", data.decode())):
        answer, peak = peak_of(lambda: cipher.d1(token, enc))
        assert answer == expected and peak <= 1.2 * len(data), enc
    # Text that is not ASCII: its plain bytes, then the text, but never both at once.
    words = "grüße, " * (1 << 17)
    token = cipher.e1(words)
    answer, peak = peak_of(lambda: cipher.d1(token, "utf-8"))
    assert answer == words and peak <= 1.2 * len(words.encode())


def test_threads_each_get_their_own_answers(library):
    """Large calls let the interpreter lock go while they work: threads calling at once get
    what one thread alone gets."""
    cipher, codec = library.crypt4._TavroCrypt4, library.crypt3._TavroCrypt3
    inputs = [bytes([n]) * (40000 + n) for n in range(3)] + ["grüße " * 8000]
    calls = [(f, x) for x in inputs for f in (cipher.e1, codec.e1, codec.e2)]
    calls += [(cipher.d1, cipher.e1(x), enc) for x in inputs for enc in (None, "utf-8")]
    calls += [(codec.d1, codec.e1(x), enc) for x in inputs for enc in (None, "latin-1")]
    expected = [outcome(*call) for call in calls]
    answers = []
    work = [threading.Thread(target=lambda: answers.append(
        [outcome(*call) for call in calls * 3])) for _ in range(4)]
    for thread in work:
        thread.start()
    for thread in work:
        thread.join()
    assert answers == [expected * 3] * 4


def test_an_interrupt_arrives_during_long_calls():
    output = run_python("""
        import os, signal, threading
        from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4
        data = bytes(1 << 22)
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            while True:
                _TavroCrypt4.d1(_TavroCrypt4.e1(data))
        except KeyboardInterrupt:
            print("interrupted")
        """)
    assert output.stdout.strip() == "interrupted", output.stderr
