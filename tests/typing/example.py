"""A program using the public API as an application would.

scripts/typecheck has `mypy --strict` check it against the installed stubs, then runs it.
The annotations say what each call gives, so a stub that answers a wider or different
type fails the check; `misuses` holds calls the stubs must reject, each marked `type: ignore`
(strict mode reports an ignore that is not needed); it never runs.
"""
from typing import List, Optional, Union

from tavro.libs.ciphers import tavro_crypt_3, tavro_crypt_4
from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3
from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4


def seal(payload: Union[str, bytes, bytearray, List[int]]) -> str:
    return _TavroCrypt4.e1(payload)


def open_text(token: str) -> Optional[str]:
    return _TavroCrypt4.d1(token, "utf-8")


def open_bytes(token: str) -> Optional[bytearray]:
    return _TavroCrypt4.d1(token)


def base64_text(data: Union[str, bytes, bytearray, memoryview], padded: bool = True) -> str:
    return _TavroCrypt3.e1(data) if padded else _TavroCrypt3.e2(data)


def base64_data(text: Union[str, bytes]) -> Optional[bytes]:
    return _TavroCrypt3.d1(text, enc=None)


def main() -> None:
    token = seal("hello")
    assert open_text(token) == "hello"
    assert open_bytes(token) == bytearray(b"hello")
    assert open_bytes(seal([104, 105])) == bytearray(b"hi")
    assert open_text(token[:-1] + "0") is None
    assert base64_text(memoryview(b"hi"), padded=False) == "aGk"
    assert base64_data("aGk") == b"hi"
    assert _TavroCrypt3.d1(b"aGk", "ascii") == "hi"
    assert _TavroCrypt3.d1("aGk", "") == b"hi"

    table: List[int] = _TavroCrypt4._TavroCrypt4__f2()
    inverse: int = _TavroCrypt4._TavroCrypt4__f1(table[0])
    assert table[0] * inverse % 256 == 1
    assert tavro_crypt_4._TavroCrypt3 is tavro_crypt_3._TavroCrypt3
    numpy = tavro_crypt_4.np
    assert numpy.frombuffer(b"hi", dtype=numpy.uint8).tolist() == [104, 105]
    assert tavro_crypt_4.hashlib.md5(b"").hexdigest().startswith("d41d8cd9")
    assert tavro_crypt_3.base64.b64encode(b"hi") == b"aGk="
    assert isinstance(tavro_crypt_4.random.random(), float)
    assert tavro_crypt_3.__test__ == {} and tavro_crypt_4.__test__ == {}
    print("typed example: ok")


def misuses(token: str) -> None:
    _TavroCrypt4.d1(b"token")  # type: ignore[call-overload]
    _TavroCrypt4.e1(3.5)  # type: ignore[arg-type]
    _TavroCrypt3.e1(None)  # type: ignore[arg-type]
    _TavroCrypt4.d1(token, enc=b"utf-8")  # type: ignore[call-overload]
    text: bytes = _TavroCrypt4.d1(token, "utf-8")  # type: ignore[assignment]
    data: bytes = _TavroCrypt4.d1(token)  # type: ignore[assignment]
    del text, data


if __name__ == "__main__":
    main()
