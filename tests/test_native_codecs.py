"""The libraries' own Base64, MD5 and UTF-8 decoding (their fast paths) against the standard
library's, through the public methods: every length from 0 to 300, random data, the RFCs'
vectors, and every pair of bytes after a UTF-8 lead byte."""
import binascii
import hashlib
import random

import pytest
from hypothesis import given, settings, strategies as st

import standard_39

LENGTHS = list(range(301)) + [3 * 1024 - 1, 3 * 1024, 3 * 1024 + 1, 4096 * 3 + 7, 65537]
URL_SAFE = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/-_"

RFC_4648 = [(b"", ""), (b"f", "Zg=="), (b"fo", "Zm8="), (b"foo", "Zm9v"), (b"foob", "Zm9vYg=="),
            (b"fooba", "Zm9vYmE="), (b"foobar", "Zm9vYmFy")]
RFC_1321 = [
    ("", "d41d8cd98f00b204e9800998ecf8427e"),
    ("a", "0cc175b9c0f1b6a831c399e269772661"),
    ("abc", "900150983cd24fb0d6963f7d28e17f72"),
    ("message digest", "f96b697d7cb7938d525a2f31aaf161d0"),
    ("abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"),
    ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"),
    ("1234567890" * 8, "57edf4a22be3c955ac49da2e2107b67a"),
]


@pytest.fixture(scope="module")
def codec(library):
    return library.crypt3._TavroCrypt3


@pytest.fixture(scope="module")
def cipher(library):
    return library.crypt4._TavroCrypt4


def test_encoding_matches_binascii(codec):
    for data, text in RFC_4648:
        assert codec.e1(data) == text and codec.e2(data) == text.rstrip("=")
    chance = random.Random(4648)
    for length in LENGTHS:
        data = bytes(chance.randrange(256) for _ in range(length))
        expected = binascii.b2a_base64(data, newline=False).decode("ascii")
        assert codec.e1(data) == codec.e1(bytearray(data)) == expected, length


def test_decoding_matches_the_url_safe_decoder(codec):
    for data, text in RFC_4648:
        assert codec.d1(text.rstrip("=")) == data
    chance = random.Random(1321)
    for length in LENGTHS:
        text = "".join(chance.choice(URL_SAFE) for _ in range(length))
        padded = text + "=" * (-len(text) % 4)
        try:
            expected = standard_39.urlsafe_b64decode(padded)
        except binascii.Error:
            expected = None
        assert codec.d1(text) == codec.d1(text.encode("ascii")) == expected, length


def tag_check(cipher, body, tag):
    """True when d1 took the tag for the digest of the body (whatever came after)."""
    try:
        return cipher.d1(body + tag) is not None
    except (TypeError, IndexError):
        return True


def test_digests_match_hashlib(cipher):
    for text, digest in RFC_1321:
        assert hashlib.md5(text.encode("ascii")).hexdigest() == digest
        assert tag_check(cipher, text, digest)
    chance = random.Random(256)
    for length in LENGTHS:
        body = "".join(chance.choice(URL_SAFE) for _ in range(length))
        digest = hashlib.md5(body.encode("ascii")).hexdigest()
        assert tag_check(cipher, body, digest), length
        wrong = digest[:-1] + ("0" if digest[-1] != "0" else "1")
        assert not tag_check(cipher, body, wrong), length


def utf_8_outcome(decode, data):
    try:
        return decode(data)
    except UnicodeDecodeError as error:
        return str(error)


def test_utf_8_accepts_what_the_codec_accepts_after_every_lead_byte(cipher):
    """Which bytes may follow a lead byte is where decoders differ: every pair that matters,
    with the rest of a character after it, cut short, or broken."""
    seconds = [0x00, 0x41, 0x7F, *range(0x80, 0xC1), 0xFF]
    for lead in range(0x80, 0x100):
        for second in seconds:
            for rest in (b"\x80\x80", b"", b"A\x80", b"\x80A"):
                data = bytes([lead, second]) + rest
                expected = utf_8_outcome(lambda d: d.decode("utf-8"), data)
                assert utf_8_outcome(lambda t: cipher.d1(t, "utf-8"), cipher.e1(data)) == expected


# Byte strings near UTF-8: whole characters (surrogates among them), stray bytes, and any
# lead byte followed by up to three continuation bytes.
near_utf_8 = st.lists(st.one_of(
    st.characters(blacklist_categories=()).map(lambda c: c.encode("utf-8", "surrogatepass")),
    st.binary(max_size=3),
    st.builds(lambda lead, tail: bytes([lead, *tail]), st.integers(0xC0, 0xFF),
              st.lists(st.integers(0x80, 0xBF), max_size=3))), max_size=4).map(b"".join)


@settings(deadline=None)
@given(near_utf_8)
def test_utf_8_plain_bytes_decode_as_the_codec_decodes_them(cipher, data):
    expected = utf_8_outcome(lambda d: d.decode("utf-8"), data)
    assert utf_8_outcome(lambda t: cipher.d1(t, "utf-8"), cipher.e1(data)) == expected
