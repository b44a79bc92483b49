import base64
import sys

import pytest
from hypothesis import given, settings, strategies as st

from conftest import entries

BUFFERS = [bytes, bytearray, memoryview]


class Text(str):
    pass


@pytest.fixture(scope="session")
def crypt3(implementation):
    return implementation.crypt3


@pytest.fixture(scope="session")
def codec(crypt3):
    return crypt3._TavroCrypt3


@pytest.mark.parametrize("kind", [str, *BUFFERS])
@pytest.mark.parametrize("text", ["", "a", "ab", "abc", "abcd", "é", "\U0001f600 grüße"])
def test_e1_e2_match_the_standard_encoder(codec, kind, text):
    data = text.encode("utf-8")
    raw = text if kind is str else kind(data)
    expected = base64.b64encode(data).decode("ascii")
    assert codec.e1(raw) == expected
    assert codec.e2(raw) == expected.rstrip("=")
    assert len(codec.e2(raw)) == 4 * (len(data) // 3) + [0, 2, 3][len(data) % 3]


def test_e1_uses_the_standard_alphabet(codec):
    assert codec.e1(b"\xfb\xff") == "+/8="
    assert codec.e2(b"\xfb\xff") == "+/8"


@pytest.mark.parametrize("raw", [None, 3, [1, 2], "\ud800", object()])
def test_e1_answers_empty_text_for_what_it_cannot_encode(codec, raw):
    assert codec.e1(raw) == ""
    assert codec.e2(raw) == ""


class Joined:
    """Not text, though `raw + "="` gives the value it holds."""

    def __init__(self, value):
        self.value = value

    def __len__(self):
        return 4

    def __add__(self, other):
        return self.value


class Bytes(bytes):
    def translate(self, table):
        return b"YWJj"


@pytest.mark.parametrize("raw, enc, expected", [
    ("", None, b""),
    *[(Joined(value), None, b"a") for value in (
        b"YQ==", bytearray(b"YQ=="), memoryview(b"YQ=="), Text("YQ=="))],
    (Joined(b"="), None, b""), (Joined(Bytes(b"YQ==")), None, b"abc"),
    (Joined(b"YW" + bytes(range(128, 256)) + b"Jj"), None, b"abc"),
    *[(Joined(value), None, None) for value in (Text("é"), memoryview(b"Y"), b"YQ", 3)],
    ("", "utf-8", ""),
    ("YQ==", None, b"a"),
    ("YQ=", None, b"a"),
    ("YQ", None, b"a"),
    (b"YQ==", None, b"a"),
    ("w6k", None, b"\xc3\xa9"),
    ("w6k", "utf-8", "é"),
    ("+/8=", None, b"\xfb\xff"),
    ("-_8", None, b"\xfb\xff"),
    ("+/8", None, b"\xfb\xff"),
    ("YQ==", "", b"a"),
    ("YQ==", 0, b"a"),
    ("Q", None, None),
    (bytearray(b"YQ=="), None, None),
    (b"\xff", None, None),
    ("Y\u00e9Q=", None, None),
    ("YQ==", True, None),
    ("YQ==", "no-such-codec", None),
    ("/w==", "utf-8", None),
    (None, None, None),
])
def test_d1_table(codec, raw, enc, expected):
    result = codec.d1(raw, enc)
    assert result == expected
    assert type(result) is type(expected)


@settings(deadline=None)  # emulated targets are slow and uneven
@given(st.binary())
def test_bytes_round_trip_through_either_encoder(data):
    from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3 as codec
    assert codec.d1(codec.e1(data)) == data
    assert codec.d1(codec.e2(data)) == data
    assert codec.d1(codec.e2(data).replace("+", "-").replace("/", "_")) == data


@settings(deadline=None)
@given(st.text())
def test_text_round_trip(text):
    from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3 as codec
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        assert codec.e1(text) == ""
        return
    assert codec.d1(codec.e2(text), "utf-8") == text


def test_swallowed_errors_leave_the_handled_exception_alone(codec):
    try:
        raise KeyError("outer")
    except KeyError:
        before = sys.exc_info()
        assert codec.e1(None) == ""
        assert codec.d1("Q") is None
        assert codec.d1("YQ==", "no-such-codec") is None
        assert sys.exc_info() == before
    assert sys.exc_info() == (None, None, None)


def test_swallowed_exception_carries_the_entry_of_its_line(codec, crypt3, monkeypatch):
    failure = ValueError("from the encoder")
    seen = []

    def b64encode(data):
        seen.append(sys.exc_info()[1])
        raise failure

    monkeypatch.setattr(crypt3.base64, "b64encode", b64encode)
    assert codec.e1(b"x") == ""
    filename, name, line = entries(failure)[-2]
    assert filename == codec.e1.__code__.co_filename and name.endswith("e1")
    assert line > codec.e1.__code__.co_firstlineno
    assert seen == [None]


def test_module_globals_are_looked_up_at_every_call(codec, crypt3, monkeypatch):
    class Shouting:
        @staticmethod
        def b64encode(data):
            return b"LOUD"

        @staticmethod
        def urlsafe_b64decode(text):
            return text.upper().encode()

    monkeypatch.setattr(crypt3, "base64", Shouting)
    assert codec.e1("x") == "LOUD"
    assert codec.d1("ab") == b"AB=="
    monkeypatch.undo()
    assert codec.e1("x") == "eA=="

    class Other:
        @staticmethod
        def e1(raw):
            return "other=="

    monkeypatch.setattr(crypt3, "_TavroCrypt3", Other)
    assert codec.e2("x") == "other"


def test_e2_lets_errors_through_with_its_own_entry(implementation, codec, crypt3,
                                                   monkeypatch):
    monkeypatch.delattr(crypt3, "_TavroCrypt3")
    with pytest.raises(NameError, match="^name '_TavroCrypt3' is not defined$") as caught:
        codec.e2("x")
    [(name, line)] = implementation.method_entries(caught.value)
    assert name == "e2" and line > codec.e2.__code__.co_firstlineno


@pytest.mark.parametrize("exception", [MemoryError, KeyboardInterrupt, SystemExit])
def test_exhaustion_and_interrupts_are_not_bad_data(implementation, codec, crypt3,
                                                    monkeypatch, exception):
    """e1 and d1 answer "" and None for bad data only: these propagate with their entries."""
    crypt4 = implementation.crypt4

    def fail(data):
        raise exception("from base64")

    monkeypatch.setattr(crypt3.base64, "b64encode", fail)
    monkeypatch.setattr(crypt3.base64, "urlsafe_b64decode", fail)
    for method, argument, innermost in [(codec.e1, b"x", ["e1"]), (codec.d1, "eA", ["d1"]),
                                         (codec.e2, b"x", ["e2", "e1"])]:
        with pytest.raises(exception, match="^from base64$") as caught:
            method(argument)
        assert [name for name, _ in implementation.method_entries(caught.value)] == innermost
        assert entries(caught.value)[-1][1] == "fail"
    # The cipher neither seals a token of an empty payload nor reports bad input.
    with pytest.raises(exception):
        crypt4._TavroCrypt4.e1("plaintext")
    monkeypatch.undo()
    token = crypt4._TavroCrypt4.e1("plaintext")
    monkeypatch.setattr(crypt3.base64, "urlsafe_b64decode", fail)
    with pytest.raises(exception):
        crypt4._TavroCrypt4.d1(token)
    # Every other exception keeps its answer.
    monkeypatch.setattr(crypt3.base64, "b64encode", lambda data: 1 / 0)
    assert codec.e1(b"x") == ""
