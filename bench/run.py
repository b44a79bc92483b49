"""Times the libraries, in one run, against three yardsticks:

- baseline: the plain-Python renderings of the class bodies (libs/ciphers/*.py);
- peer: the same renderings compiled with Cython (bench/peer.py), what a user would pick
  instead of these libraries;
- floor: the work no implementation can skip, done by the standard library: Base64 of the
  payload and MD5 of the token body (binascii, hashlib).

    python bench/run.py [--quick] [--no-peer]   (with the package and Cython installed;
                                                  scripts/bench does both)

Every implementation must give the same result for each case. Prints the best time per
call of each, the ratios peer/library, baseline/library and library/floor (above 1 in the
first two and below 1 in the last: the library wins), and the library's peak memory per call
(tracemalloc) as a multiple of the input's size.
"""
import argparse
import binascii
import hashlib
import os
import sys
import timeit
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "libs", "ciphers"))
sys.path.insert(0, HERE)

import renderings  # noqa: E402
from tavro.libs.ciphers import tavro_crypt_3, tavro_crypt_4  # noqa: E402

KiB, MiB = 1024, 1024 * 1024


def data(size):
    return bytes((index * 37 + 11) % 251 for index in range(size))


def text(size):
    return "".join(chr(0x61 + (index * 7) % 26) for index in range(size))


def floor_encrypt(payload):
    body = binascii.b2a_base64(payload, newline=False).rstrip(b"=")
    return hashlib.md5(body).hexdigest()


def floor_decrypt(token):
    body = token[:-32].encode("ascii")
    hashlib.md5(body).hexdigest()
    return binascii.a2b_base64(body + b"=" * (-len(body) % 4))


def floor_encode(data):
    return binascii.b2a_base64(data, newline=False)


def floor_decode(text):
    return binascii.a2b_base64(text + "=" * (-len(text) % 4))


def cases(sizes):
    """(name, input size, call on (codec, cipher), floor call or None)."""
    key_header = bytes(tavro_crypt_4._TavroCrypt4._TavroCrypt4__f2())
    for size in sizes:
        payload, words = data(size), text(size)
        token = tavro_crypt_4._TavroCrypt4.e1(payload)
        word_token = tavro_crypt_4._TavroCrypt4.e1(words)
        encoded = tavro_crypt_3._TavroCrypt3.e2(payload)
        # Each call takes its input as a default: a closure would see the last loop's input.
        yield (f"4.e1 bytes {label(size)}", size, lambda c, k, p=payload: k.e1(p),
               lambda p=key_header + payload: floor_encrypt(p))
        yield (f"4.e1 str {label(size)}", size, lambda c, k, w=words: k.e1(w),
               lambda p=key_header + words.encode(): floor_encrypt(p))
        yield (f"4.d1 {label(size)}", size, lambda c, k, t=token: k.d1(t),
               lambda t=token: floor_decrypt(t))
        yield (f"4.d1 enc {label(size)}", size, lambda c, k, t=word_token: k.d1(t, "utf-8"),
               lambda t=word_token, b=words.encode(): (floor_decrypt(t), b.decode("utf-8")))
        yield (f"3.e1 {label(size)}", size, lambda c, k, p=payload: c.e1(p),
               lambda p=payload: floor_encode(p))
        yield (f"3.d1 {label(size)}", size, lambda c, k, e=encoded: c.d1(e),
               lambda e=encoded: floor_decode(e))


def label(size):
    return f"{size // MiB} MiB" if size >= MiB else f"{size // KiB} KiB" if size >= KiB else f"{size} B"


def best(call, quick):
    timer = timeit.Timer(call)
    number, elapsed = timer.autorange()
    repeat = 3 if quick or elapsed * 5 > 10 else 5
    return min(timer.repeat(repeat=repeat, number=number)) / number


def peak_memory(call, size):
    tracemalloc.start()
    result = call()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del result
    return peak / size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="16 B and 1 KiB only")
    parser.add_argument("--no-peer", action="store_true", help="leave out the Cython peer")
    options = parser.parse_args()
    sizes = [16, KiB] if options.quick else [16, KiB, MiB, 8 * MiB]
    library = (tavro_crypt_3._TavroCrypt3, tavro_crypt_4._TavroCrypt4)
    model_3, model_4 = renderings.load()
    baseline = (model_3._TavroCrypt3, model_4._TavroCrypt4)
    peer = None
    if not options.no_peer:
        import peer as compiled
        peer_3, peer_4 = compiled.load()
        peer = (peer_3._TavroCrypt3, peer_4._TavroCrypt4)

    print(f"{'case':18} {'baseline':>11} {'peer':>11} {'floor':>11} {'library':>11} "
          f"{'peer/lib':>9} {'base/lib':>9} {'lib/floor':>9} {'memory':>7}")
    for name, size, call, floor in cases(sizes):
        expected = call(*library)
        for other in (baseline, peer):
            assert other is None or call(*other) == expected, name
        fast = best(lambda: call(*library), options.quick)
        slow = best(lambda: call(*baseline), options.quick) if size <= MiB else None
        compiled_time = best(lambda: call(*peer), options.quick) if peer and size <= MiB else None
        floor_time = best(floor, options.quick)
        memory = peak_memory(lambda: call(*library), size) if size >= MiB else None

        def cell(seconds):
            return f"{seconds * 1e6:9.2f}us" if seconds else f"{'-':>11}"

        def ratio(value):
            return f"{value:8.2f}x" if value else f"{'-':>9}"

        print(f"{name:18} {cell(slow)} {cell(compiled_time)} {cell(floor_time)} {cell(fast)} "
              f"{ratio(compiled_time and compiled_time / fast)} {ratio(slow and slow / fast)} "
              f"{ratio(fast / floor_time)} "
              f"{(f'{memory:6.2f}x' if memory else '-'):>7}")


if __name__ == "__main__":
    main()
