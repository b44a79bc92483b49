"""Times the libraries against the plain-Python baseline in the same run.

    python bench/run.py            (with the package installed, e.g. .venv/3.9/bin/python)

Prints, per case, the best time of several repeats for each side and the ratio
baseline / library (above 1: the library is faster).
"""
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from reference import Cipher, Codec  # noqa: E402
from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3  # noqa: E402
from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4  # noqa: E402

baseline_cipher = Cipher(_TavroCrypt4._TavroCrypt4__f2())


def data(size):
    return bytes((index * 37 + 11) % 256 for index in range(size))


def cases():
    for size in (16, 1024, 65536):
        payload = data(size)
        text = payload.decode("latin-1")
        token = _TavroCrypt4.e1(payload)
        yield f"crypt_4 e1 bytes {size}", lambda c: c.e1(payload), _TavroCrypt4, baseline_cipher
        yield f"crypt_4 e1 text {size}", lambda c: c.e1(text), _TavroCrypt4, baseline_cipher
        yield f"crypt_4 d1 {size}", lambda c: c.d1(token), _TavroCrypt4, baseline_cipher
        yield f"crypt_4 e1 list {size}", lambda c: c.e1(list(payload)), _TavroCrypt4, \
            baseline_cipher
    for size in (16, 1024):
        payload = data(size)
        encoded = _TavroCrypt3.e2(payload)
        yield f"crypt_3 e1 {size}", lambda c: c.e1(payload), _TavroCrypt3, Codec
        yield f"crypt_3 d1 {size}", lambda c: c.d1(encoded), _TavroCrypt3, Codec
    yield "crypt_3 d1 swallowed", lambda c: c.d1("Q"), _TavroCrypt3, Codec


def best(function, target):
    timer = timeit.Timer(lambda: function(target))
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=5, number=number)) / number


def main():
    print(f"{'case':28} {'baseline':>12} {'library':>12} {'ratio':>8}")
    for name, function, library, baseline in cases():
        assert function(library) == function(baseline), name
        slow, fast = best(function, baseline), best(function, library)
        print(f"{name:28} {slow * 1e6:10.2f}us {fast * 1e6:10.2f}us {slow / fast:7.1f}x")


if __name__ == "__main__":
    main()
