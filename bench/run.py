"""Times the libraries against the plain-Python baseline in the same run.

    python bench/run.py            (with the package installed, e.g. .venv/3.9/bin/python)

The baseline is the plain-Python rendering of each class body (libs/ciphers/*.py). Prints,
per case, the best time of several repeats for each side and the ratio baseline / library
(above 1: the library is faster).
"""
import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "libs", "ciphers"))

import renderings  # noqa: E402
from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3  # noqa: E402
from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4  # noqa: E402

baseline_3, baseline_4 = renderings.load()
Codec, Cipher = baseline_3._TavroCrypt3, baseline_4._TavroCrypt4


def data(size):
    return bytes((index * 37 + 11) % 256 for index in range(size))


def cases():
    # Each lambda takes its input as a default: a closure would see the last loop's input.
    for size in (16, 1024, 65536):
        payload = data(size)
        text = payload.decode("latin-1")
        token = _TavroCrypt4.e1(payload)
        yield f"crypt_4 e1 bytes {size}", lambda c, p=payload: c.e1(p), _TavroCrypt4, Cipher
        yield f"crypt_4 e1 text {size}", lambda c, t=text: c.e1(t), _TavroCrypt4, Cipher
        yield f"crypt_4 d1 {size}", lambda c, t=token: c.d1(t), _TavroCrypt4, Cipher
        yield f"crypt_4 e1 list {size}", lambda c, p=payload: c.e1(list(p)), _TavroCrypt4, \
            Cipher
    for size in (16, 1024):
        payload = data(size)
        encoded = _TavroCrypt3.e2(payload)
        yield f"crypt_3 e1 {size}", lambda c, p=payload: c.e1(p), _TavroCrypt3, Codec
        yield f"crypt_3 d1 {size}", lambda c, e=encoded: c.d1(e), _TavroCrypt3, Codec
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
