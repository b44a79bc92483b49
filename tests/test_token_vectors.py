"""The stored token vectors and the format document's worked examples, both ways."""
import base64
import hashlib
import json
import os
import re
import types

import pytest

from token_model import read_payload

DOCS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs")
with open(os.path.join(DOCS, "token-vectors.json"), encoding="utf-8") as source:
    STORED = json.load(source)

# Stored tokens must read without a warning on every interpreter.
pytestmark = pytest.mark.filterwarnings("error")


@pytest.fixture(params=["library", "library, general path", "model"])
def cipher(request, monkeypatch):
    implementation = request.getfixturevalue(request.param.partition(",")[0])
    if request.param.endswith("general path"):
        # The interpreter's own functions behind rebound names turn the fast path off.
        monkeypatch.setattr(implementation.crypt3, "base64", types.SimpleNamespace(
            b64encode=base64.b64encode, urlsafe_b64decode=base64.urlsafe_b64decode))
        monkeypatch.setattr(implementation.crypt4, "hashlib",
                            types.SimpleNamespace(md5=hashlib.md5))
    return implementation.crypt4._TavroCrypt4


def test_every_vector_both_ways(cipher):
    for vector in STORED["vectors"]:
        data, token = bytes.fromhex(vector["hex"]), vector["token"]
        for raw in (data, bytearray(data)) + ((vector["text"],) if "text" in vector else ()):
            assert cipher.e1(raw) == token, raw
        result = cipher.d1(token)
        assert type(result) is bytearray and result == data, token
        if "text" in vector:
            assert cipher.d1(token, vector["enc"]) == vector["text"], token


def test_irregular_tokens(cipher):
    for case in STORED["irregular"]:
        try:
            result = cipher.d1(case["token"])
        except Exception as error:
            assert type(error).__name__ == case.get("raises"), case["case"]
        else:
            assert "raises" not in case and result == (
                None if case["result"] is None else bytearray.fromhex(case["result"])), case["case"]


def test_the_worked_examples_are_stored_vectors():
    with open(os.path.join(DOCS, "token-format.md"), encoding="utf-8") as source:
        blocks = re.findall(r"^```text example\n(.*?)^```", source.read(), re.M | re.S)
    stored = {(vector["hex"], vector["token"]) for vector in STORED["vectors"]}
    assert len(blocks) == 3
    for block in blocks:
        shown = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in block.splitlines())
        body, token = shown["body"], shown["token"]
        assert (bytes.fromhex(shown["payload"].partition("(")[0]).hex(), token) in stored
        assert token == body + shown["tag"] and "".join(shown["Base64"].split()).rstrip("=") == body
        assert read_payload(body).hex() == bytes.fromhex(
            shown["key header"] + " " + shown["enciphered"].partition("(")[0]).hex()
