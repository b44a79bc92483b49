"""Reference-leak check for a debug interpreter (one with sys.gettotalrefcount).

Calls every method many times, on success and on each kind of failure (failing allocations
too, where _testcapi can fail them), and fails when the interpreter's total reference count
grows with the number of calls. The suite runs it through test_refleaks.py; it also runs
alone with the debug interpreter the libraries were built for:
python3.9-dbg tests/refleak_check.py
"""
import builtins
import gc
import hashlib
import sys

from tavro.libs.ciphers import tavro_crypt_3, tavro_crypt_4
from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3 as codec
from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4 as cipher

CALLS = 2000
WARM_UP = 200
ROUNDS = 3
# Growth per run from which a case leaks: a leak of one reference on any path shows as 1.
LEAK = 0.5

f1 = cipher._TavroCrypt4__f1
f2 = cipher._TavroCrypt4__f2
token = cipher.e1("leak check")


class Unsliceable:
    def __len__(self):
        return 40


def swallowing_b64encode(data):
    raise ValueError(data)


def exhausted(data):
    raise MemoryError("from base64")


def interrupted(*arguments):
    raise KeyboardInterrupt("interrupted")


class InterruptingTruth:
    def __bool__(self):
        raise KeyboardInterrupt("interrupted")


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


def rebound(owner, name, value, run):
    """Runs `run` with owner.name rebound to `value`."""
    def wrapped():
        original = getattr(owner, name)
        setattr(owner, name, value)
        try:
            run()
        finally:
            setattr(owner, name, original)
    return wrapped


def with_rebound_base64(run, encoder=swallowing_b64encode, name="b64encode"):
    """Runs `run` with the codec's base64 function `name` replaced by `encoder`."""
    return rebound(tavro_crypt_3.base64, name, encoder, run)


def with_key_helper(helper, run):
    return rebound(cipher, "_TavroCrypt4__f2", staticmethod(helper), run)


def shrinking_input():
    """e1 on a bytearray that the key helper shrinks: IndexError at the missing byte."""
    raw = bytearray(b"shrinks" * 8)

    def helper():
        del raw[3:]
        return [107, 61, 167, 18, 196, 94, 137, 243, 43, 112]

    with_key_helper(helper, expect(IndexError, cipher.e1, raw))()


class ListCodec:
    """Hands the cipher its payload as a list, which takes the item-by-item path."""
    e1 = staticmethod(codec.e1)

    @staticmethod
    def d1(body, enc=None):
        return list(codec.d1(body))


def failing_allocations(run, points=40):
    """Runs `run` once with each of its first `points` allocations failing in turn."""
    import _testcapi

    def wrapped():
        for n in range(points):
            try:
                _testcapi.set_nomemory(n, n + 1)
                run()
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
    wrapped.calls = points
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
    "3.e1 MemoryError": with_rebound_base64(expect(MemoryError, codec.e1, b"x"), exhausted),
    "3.e1 interrupted": with_rebound_base64(expect(KeyboardInterrupt, codec.e1, "x"),
                                            interrupted),
    "3.e2 MemoryError": with_rebound_base64(expect(MemoryError, codec.e2, b"x"), exhausted),
    "3.d1 MemoryError": with_rebound_base64(expect(MemoryError, codec.d1, "eA"), exhausted,
                                            "urlsafe_b64decode"),
    "3.d1 interrupted": expect(KeyboardInterrupt, codec.d1, "YQ==", InterruptingTruth()),
    "4.e1 MemoryError": with_rebound_base64(expect(MemoryError, cipher.e1, "x"), exhausted),
    "4.d1 MemoryError": with_rebound_base64(expect(MemoryError, cipher.d1, token), exhausted,
                                            "urlsafe_b64decode"),
    "4.e1 shrinking bytearray": shrinking_input,
    "4.e1 short key table": with_key_helper(lambda: [3, 5], expect(IndexError, cipher.e1, b"ab")),
    "4.e1 bad key entry": with_key_helper(lambda: [300] * 10, expect(ValueError, cipher.e1, "a")),
    "4.e1 memoryview": call(cipher.e1, memoryview(b"general path")),
    "4.d1 item by item": rebound(tavro_crypt_4, "_TavroCrypt3", ListCodec,
                                 call(cipher.d1, token, "utf-8")),
    "4.d1 undecodable text": expect(UnicodeDecodeError, cipher.d1, cipher.e1(b"\xff"), "utf-8"),
    # On 3.9 a replaced __builtins__ makes the bodies run as written.
    "4.e1 own builtins": rebound(tavro_crypt_4, "__builtins__", dict(vars(builtins)),
                                 call(cipher.e1, [1, 2 ** 70, 3.5])),
    "4.d1 own builtins": rebound(tavro_crypt_4, "__builtins__", dict(vars(builtins)),
                                 call(cipher.d1, token, "utf-8")),
    "f1 own builtins": rebound(tavro_crypt_4, "__builtins__", dict(vars(builtins)), call(f1, 3)),
    "3.d1 own builtins": rebound(tavro_crypt_3, "__builtins__", dict(vars(builtins)),
                                 call(codec.d1, b"YWJ")),
    "3.e1 own handlers": rebound(tavro_crypt_3, "__builtins__", {},
                                 expect(NameError, codec.e1, None) if sys.version_info < (3, 10)
                                 else call(codec.e1, None)),
}

try:
    import _testcapi
    _testcapi.set_nomemory
except (ImportError, AttributeError):
    pass
else:
    CASES.update({
        "3.e1 failing allocations": failing_allocations(call(codec.e1, "text é")),
        "3.e2 failing allocations": failing_allocations(call(codec.e2, b"ab")),
        "3.d1 failing allocations": failing_allocations(call(codec.d1, b"w6k", "utf-8")),
        "4.e1 failing allocations": failing_allocations(call(cipher.e1, [1, 2 ** 70, 3.5])),
        "4.d1 failing allocations": failing_allocations(call(cipher.d1, token, "utf-8")),
        "f1 failing allocations": failing_allocations(call(f1, 3 + 2 ** 80)),
        "f2 failing allocations": failing_allocations(call(f2)),
        "binding failing allocations": failing_allocations(call(codec.d1, raw="YQ", enc=None)),
    })


def growth_per_call(run):
    """Growth of the total reference count per run of `run` (per call it makes)."""
    calls = getattr(run, "calls", 1)
    for _ in range(max(WARM_UP // calls, 5)):
        run()
    gc.collect()
    before = sys.gettotalrefcount()
    runs = max(CALLS // calls, 20)
    for _ in range(runs):
        run()
    gc.collect()
    return (sys.gettotalrefcount() - before) / runs


def growth(run):
    # The smallest growth of a few rounds: allocations that settle are not leaks.
    return min(growth_per_call(run) for _ in range(ROUNDS))


def main():
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak check: this interpreter is not a debug build; nothing checked")
        return 0
    leaking = []
    for name, run in CASES.items():
        found = growth(run)
        print(f"{name:28} {found:+.3f} references per run")
        if found >= LEAK:
            leaking.append(name)
    if leaking:
        print("refleak check: leaks in", ", ".join(leaking))
        return 1
    print(f"refleak check: {len(CASES)} cases flat over {CALLS} calls each")
    return 0


if __name__ == "__main__":
    sys.exit(main())
