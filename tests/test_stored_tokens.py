"""Stored tokens read the same on every interpreter, whatever its own base64 does.

The libraries (fast and general paths) and the model answer for the interpreter's own
base64 encoder, URL-safe decoder and md5 as CPython 3.9 does. Where the interpreter's own
decoder still gives 3.9's answers, it is the reference as well, and it checks the model's
rendering of 3.9 (`standard_39`) that other interpreters are compared with.
"""
import base64
import hashlib
import random
import types
import warnings

import pytest

import standard_39

# Tokens as stored, with what they hold. Their bodies carry "+" and "/", which 3.15's
# URL-safe decoder warns about and a later release is to drop.
STORED = [
    ("az2nEsReifMrcFyGJb8rbaca60258a8ab467fe1a5154a2560252", b"hello"),
    ("az2nEsReifMrcM3kK/vXrM1TGxs0a986ae373096108890bdacdf1f77e44", b"\xfb\xff\xfe stored"),
    ("az2nEsReifMrcOQ822J60fYoTKRDyuI5XpC0DKsySqHG+Bx0E5qyCS5ghNx7Aho4ad54d34494fc436f7aab35"
     "0ca1167b3", bytes(range(0, 256, 7))),
]
# What 3.9's _TavroCrypt3.d1 answers where later decoders differ: data after a complete
# padded group (dropped by 3.9, decoded from 3.13.13 and 3.14), text its padding does not
# complete once skipped characters are left out (decoded by 3.15), "+" and "/" (warned
# about by 3.15).
ANSWERS_OF_3_9 = [("_Aw=+", b"\xfc\x0c"), ("A//=_A", b"\x03\xff"), ("-A\n", None),
                  ("YWI", b"ab"), ("+/8=", b"\xfb\xff"), ("YQ==YQ==", b"a"), ("Y=Q=", None),
                  ("YW==I", b"a")]


def answers_as_3_9():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            return all(base64.urlsafe_b64decode(text + "=" * (-len(text) % 4)) == answer
                       for text, answer in ANSWERS_OF_3_9 if answer is not None)
        except (ValueError, Warning):
            return False


# Where the interpreter's own decoder still answers as 3.9's, it checks the rendering of 3.9.
INTERPRETER_IS_3_9_LIKE = answers_as_3_9()
CHARACTERS = "AZaz09+/-_= \n\t.!\x7f\u00e9"


def reference(text):
    """What 3.9 makes of `text`: the interpreter's own before 3.15, the rendering after."""
    padded = text + "=" * (-len(text) % 4)
    decode = base64.urlsafe_b64decode if INTERPRETER_IS_3_9_LIKE else standard_39.urlsafe_b64decode
    try:
        return decode(padded)
    except (ValueError, TypeError):
        return None


def texts():
    rng = random.Random(15)
    fixed = ["", "YW+/YQ==", "YW+/YQ", "YW-_YQ", "YW+/YQ=", "+/8=", "-_8", "Y", "YW", "YWI",
             "YWJj", "YQ==YQ==", "YQ=a", "Y=Q=", "YW=I", "YW==I", "Y Q = =", "YQ\n==", "*YQ==",
             "YWJ\u00e9", "====", "=YQ", "Y===", "YW\x00Jj"]
    return fixed + ["".join(rng.choice(CHARACTERS) for _ in range(rng.randrange(13)))
                    for _ in range(1500)]


def own_functions():
    """A stand-in for base64 holding the interpreter's own functions: the general path."""
    return types.SimpleNamespace(b64encode=base64.b64encode,
                                 urlsafe_b64decode=base64.urlsafe_b64decode)


def test_decoding_is_that_of_3_9_on_every_path(library, model, monkeypatch):
    fast = library.crypt3._TavroCrypt3
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        expected = [reference(text) for text in texts()]
        assert [fast.d1(text) for text in texts()] == expected
        assert [model.crypt3._TavroCrypt3.d1(text) for text in texts()] == expected
        assert [standard_39.urlsafe_b64decode(t + "=" * (-len(t) % 4)) if r is not None else None
                for t, r in zip(texts(), expected)] == expected
        monkeypatch.setattr(library.crypt3, "base64", own_functions())
        assert [fast.d1(text) for text in texts()] == expected
        assert [fast.d1(text.encode()) for text in texts()] == expected


def test_answers_of_3_9_on_every_path(library, model, monkeypatch):
    texts = [text for text, _ in ANSWERS_OF_3_9]
    expected = [answer for _, answer in ANSWERS_OF_3_9]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for implementation in (library, model):
            assert [implementation.crypt3._TavroCrypt3.d1(text) for text in texts] == expected
        monkeypatch.setattr(library.crypt3, "base64", own_functions())
        assert [library.crypt3._TavroCrypt3.d1(text) for text in texts] == expected


def test_stored_tokens_open_on_every_path(library, model, monkeypatch):
    rng = random.Random(4)
    tokens = STORED + [(library.crypt4._TavroCrypt4.e1(data), data)
                       for data in (bytes(rng.randrange(256) for _ in range(size))
                                    for size in range(0, 70, 3))]
    assert sum("+" in token or "/" in token for token, _ in tokens) > 10
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for implementation in (library, model):
            cipher = implementation.crypt4._TavroCrypt4
            assert [cipher.d1(token) for token, _ in tokens] == [data for _, data in tokens]
            assert [cipher.e1(data) for _, data in tokens] == [token for token, _ in tokens]
        # The general path of both modules, the interpreter's functions behind rebound names.
        monkeypatch.setattr(library.crypt3, "base64", own_functions())
        monkeypatch.setattr(library.crypt4, "hashlib", types.SimpleNamespace(md5=hashlib.md5))
        cipher = library.crypt4._TavroCrypt4
        assert [cipher.d1(token) for token, _ in tokens] == [data for _, data in tokens]
        assert [cipher.e1(data) for _, data in tokens] == [token for token, _ in tokens]


def test_the_model_of_3_9_agrees_with_an_interpreter_that_still_answers_as_3_9():
    if not INTERPRETER_IS_3_9_LIKE:
        pytest.skip("the interpreter's base64 no longer answers as 3.9's")
    rng = random.Random(9)
    inputs = [bytes(rng.randrange(256) for _ in range(size)) for size in range(40)]
    for data in inputs:
        assert standard_39.b64encode(data) == base64.b64encode(data)
        assert standard_39.md5(data).hexdigest() == hashlib.md5(data).hexdigest()
    for weird in ("text", 5, memoryview(b"abcd")[::2], bytearray(b"\xfb\xff")):
        outcomes = []
        for encode in (standard_39.b64encode, base64.b64encode, standard_39.md5, hashlib.md5):
            try:
                outcomes.append(bytes(encode(weird) if encode in (standard_39.b64encode,
                                                                   base64.b64encode)
                                      else encode(weird).digest()))
            except Exception as error:
                outcomes.append(type(error))
        assert outcomes[0] == outcomes[1] and outcomes[2] == outcomes[3], weird
    for text in texts():
        for form in (text, text.encode(), bytearray(text.encode())):
            outcomes = []
            for decode in (standard_39.urlsafe_b64decode, base64.urlsafe_b64decode):
                try:
                    outcomes.append(decode(form))
                except Exception as error:
                    outcomes.append((type(error), str(error)))
            assert outcomes[0] == outcomes[1], form


class Exporter:
    """A buffer written in Python: 3.12 exports it, 3.9 knew no such thing."""
    def __buffer__(self, flags):
        return memoryview(b"YWI=")


class BytesExporter(bytes):
    def __buffer__(self, flags):
        return memoryview(b"other")


class PaddedToExporter:
    def __len__(self):
        return 4

    def __add__(self, padding):
        return Exporter()


def test_buffers_written_in_python_are_not_buffers_as_on_3_9(library, model):
    for implementation in (library, model):
        codec = implementation.crypt3._TavroCrypt3
        assert codec.e1(Exporter()) == "", implementation
        assert codec.e1(BytesExporter(b"ab")) == "YWI=", implementation
        assert codec.d1(PaddedToExporter()) is None, implementation
        assert standard_39.b64encode(BytesExporter(b"ab")) == b"YWI="
        with pytest.raises(TypeError, match="^object supporting the buffer API required$"):
            standard_39.md5(Exporter())
