"""A pure-Python model of the `_TavroCrypt4` token format, independent of the library.

A token is the unpadded Base64 text (standard alphabet) of a payload, followed by the MD5 hex
digest of that text. The payload is the key table (header byte 0 seeds the multiplier, byte 1
is the offset, bytes 2..9 are the eight position keys), then every input byte enciphered as
(byte * multiplier + offset + position key) % 256, where the position key of byte j is
payload[2 + j % 8].
"""
import base64
import hashlib

HEADER = 10
POSITION_KEYS = 8
TAG = 32


def multiplier(k0):
    """The multiplier that header byte 0 selects: the next odd number, 167 instead of 1."""
    m = k0 + 1 if k0 % 2 == 0 else k0
    return 167 if m == 1 else m


def inverse(x):
    """Extended Euclid on (256, x % 256): the inverse modulo 256 when x is odd."""
    a, b = 256, x % 256
    s_a, s_b = 0, 1  # coefficients of x in a and b
    while b:
        q = a // b
        a, b = b, a - q * b
        s_a, s_b = s_b, s_a - q * s_b
    while s_a < 0:
        s_a += 256
    return s_a


def seal(body):
    """A token with the given Base64 body: the body and the MD5 hex digest of its text."""
    return body + hashlib.md5(body.encode("utf-8")).hexdigest()


def make_token(data, key_table):
    """The token of the byte values `data` under `key_table` (entries 0..255)."""
    payload = bytearray()
    for entry in key_table:
        payload.append(entry)
    m, offset = multiplier(payload[0]), payload[1]
    for j, value in enumerate(data):
        payload.append((value * m + offset + payload[2 + j % POSITION_KEYS]) % 256)
    return seal(base64.b64encode(bytes(payload)).decode("ascii").rstrip("="))


def read_payload(body):
    return base64.b64decode(body + "=" * (-len(body) % 4))


def read_token(token):
    """The bytes of a token, or None when its tag is not the digest of its body."""
    split = len(token) - TAG
    body, tag = token[0:split], token[split:]
    if hashlib.md5(body.encode("utf-8")).hexdigest() != tag:
        return None
    payload = read_payload(body)
    inv = inverse(multiplier(payload[0]))
    offset = payload[1]
    return bytes(
        ((payload[j] - payload[2 + (j - HEADER) % POSITION_KEYS] - offset) * inv) % 256
        for j in range(HEADER, len(payload)))
