"""Reference-leak check for a debug interpreter (one with sys.gettotalrefcount).

Calls every method many times, on success and on each kind of failure, and fails when the
interpreter's total reference count grows with the number of calls. Run it with the debug
interpreter the libraries were built for:  python3.9-dbg tests/refleak_check.py
"""
import gc
import hashlib
import sys

from tavro.libs.ciphers import tavro_crypt_3
from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3 as codec
from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4 as cipher

CALLS = 2000
WARM_UP = 200
ROUNDS = 3

f1 = cipher._TavroCrypt4__f1
f2 = cipher._TavroCrypt4__f2
token = cipher.e1("leak check")


class Unsliceable:
    def __len__(self):
        return 40


def swallowing_b64encode(data):
    raise ValueError(data)


def expect(exception, function, *args, **kwargs):
    def run():
        try:
            function(*args, **kwargs)
        except exception:
            return
        raise AssertionError(f"{function.__qualname__} did not raise {exception.__name__}")
    return run


def call(function, *args, **kwargs):
    return lambda: function(*args, **kwargs)


def with_rebound_base64(run):
    """Runs `run` with the codec's base64 encoder raising, so e1 swallows an exception."""
    def wrapped():
        original = tavro_crypt_3.base64.b64encode
        tavro_crypt_3.base64.b64encode = swallowing_b64encode
        try:
            run()
        finally:
            tavro_crypt_3.base64.b64encode = original
    return wrapped


CASES = {
    "3.e1 text": call(codec.e1, "text é"),
    "3.e1 bytes": call(codec.e1, b"\x00\xff"),
    "3.e1 swallowed": call(codec.e1, None),
    "3.e1 swallowed with entry": with_rebound_base64(call(codec.e1, b"x")),
    "3.e2": call(codec.e2, "ab"),
    "3.d1 bytes": call(codec.d1, "YWI"),
    "3.d1 text": call(codec.d1, b"w6k", enc="utf-8"),
    "3.d1 swallowed": call(codec.d1, "Q"),
    "3.d1 bad encoding": call(codec.d1, "YQ==", "no-such-codec"),
    "bind count": expect(TypeError, codec.e1),
    "bind count d1": expect(TypeError, codec.d1, "a", "b", "c"),
    "bind multiple": expect(TypeError, codec.e1, "a", raw="b"),
    "bind unexpected": expect(TypeError, codec.d1, "a", encoding="b"),
    "bind not strings": expect(TypeError, lambda: codec.e1("a", **{1: 2})),
    "bind keywords": call(codec.d1, raw="YQ", enc="utf-8"),
    "f2 bind": expect(TypeError, f2, a=1, b=2),
    "f2": call(f2),
    "f1 int": call(f1, 3),
    "f1 big int": call(f1, 3 + 2 ** 80),
    "f1 float": call(f1, 3.0),
    "f1 nan": expect(ValueError, f1, float("nan")),
    "f1 str": expect(TypeError, f1, "3"),
    "4.e1 text": call(cipher.e1, "text é"),
    "4.e1 bytes": call(cipher.e1, b"\x00" * 40),
    "4.e1 list": call(cipher.e1, [1, -1, 256, 2 ** 70]),
    "4.e1 None": expect(TypeError, cipher.e1, None),
    "4.e1 surrogate": expect(UnicodeEncodeError, cipher.e1, "\ud800"),
    "4.e1 bad item": expect(ValueError, cipher.e1, ["x"]),
    "4.d1": call(cipher.d1, token),
    "4.d1 text": call(cipher.d1, token, "utf-8"),
    "4.d1 tag mismatch": call(cipher.d1, token[:-1] + "0"),
    "4.d1 empty payload": expect(IndexError, cipher.d1, hashlib.md5(b"").hexdigest()),
    "4.d1 undecodable body": expect(TypeError, cipher.d1, "A" + hashlib.md5(b"A").hexdigest()),
    "4.d1 no len": expect(TypeError, cipher.d1, 5),
    "4.d1 unsliceable": expect(TypeError, cipher.d1, Unsliceable()),
    "4.d1 bytes": expect(AttributeError, cipher.d1, b"x" * 40),
    "4.d1 bad encoding": expect(LookupError, cipher.d1, token, "no-such-codec"),
}


def growth_per_call(run):
    for _ in range(WARM_UP):
        run()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(CALLS):
        run()
    gc.collect()
    return (sys.gettotalrefcount() - before) / CALLS


def main():
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak check: this interpreter is not a debug build; nothing checked")
        return 0
    leaking = []
    for name, run in CASES.items():
        # The smallest growth of a few rounds: allocations that settle are not leaks.
        growth = min(growth_per_call(run) for _ in range(ROUNDS))
        print(f"{name:28} {growth:+.3f} references per call")
        if growth >= 0.5:
            leaking.append(name)
    if leaking:
        print("refleak check: leaks in", ", ".join(leaking))
        return 1
    print(f"refleak check: {len(CASES)} cases flat over {CALLS} calls each")
    return 0


if __name__ == "__main__":
    sys.exit(main())
