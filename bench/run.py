"""Times the libraries, in one run, against three yardsticks:

- baseline: the reference bodies (libs/ciphers/*/reference.py);
- peer: the same bodies compiled with Cython (bench/peer.py), what a user would pick
  instead of these libraries;
- floor: the work no implementation can skip, done by the standard library: Base64 of the
  payload and MD5 of the token body (binascii, hashlib).

    python bench/run.py [--quick] [--no-peer] [--no-threads | --threads-only]
                        (with the package and Cython installed; scripts/bench does both)

Every implementation must give the same result for each case. Each case is one statement,
`k.e1(payload)` say, timed as it stands by timeit (no wrapper call whose cost would dilute
the ratios), in alternating rounds. Prints the best time per call of each, the ratios
peer/library, baseline/library and library/floor (above 1 in the first two and below 1 in
the last: the library wins), and the library's peak memory per call (tracemalloc) as a
multiple of the input's size. For the cipher it also prints lib/md5: the library's time over
that of `hashlib.md5` of the token's body alone, the one step no implementation can spread
over cores or vector lanes.

Then the threads table: for the cipher's e1 and d1 and the codec's d1 of 16 bytes and 1 MiB,
and for hashlib.md5 of 1 MiB, the calls per second of 1, 2 and as many threads as the machine
has cores, each thread with its own input, each as a multiple of one thread's in the same run
(--threads-only prints it alone). On a free-threaded interpreter a last column gives one
thread's rate over the same interpreter's with the lock turned on.
"""

import argparse
import base64
import binascii
import hashlib
import json
import os
import subprocess
import sys
import threading
import time
import timeit
import tracemalloc
from functools import partial

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
sys.path.insert(0, HERE)

import reference_bodies  # noqa: E402
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
    """(name, input size, statement on the codec `c` and the cipher `k`, floor statement, the
    names both use). Statements are timed as they stand, as a caller would write the call."""
    key_header = bytes(tavro_crypt_4._TavroCrypt4._TavroCrypt4__f2())
    for size in sizes:
        payload, words = data(size), text(size)
        names = {
            "payload": payload,
            "words": words,
            "encoded": tavro_crypt_3._TavroCrypt3.e2(payload),
            "token": tavro_crypt_4._TavroCrypt4.e1(payload),
            "word_token": tavro_crypt_4._TavroCrypt4.e1(words),
            "sealed": key_header + payload,
            "sealed_words": key_header + words.encode(),
            "word_bytes": words.encode(),
            "md5": hashlib.md5,
        }
        names["body"] = names["token"][:-32].encode()
        names["word_body"] = names["word_token"][:-32].encode()
        yield (
            f"4.e1 bytes {label(size)}",
            size,
            "k.e1(payload)",
            "floor_encrypt(sealed)",
            "md5(body).digest()",
            names,
        )
        yield (
            f"4.e1 str {label(size)}",
            size,
            "k.e1(words)",
            "floor_encrypt(sealed_words)",
            "md5(word_body).digest()",
            names,
        )
        yield (
            f"4.d1 {label(size)}",
            size,
            "k.d1(token)",
            "floor_decrypt(token)",
            "md5(body).digest()",
            names,
        )
        yield (
            f"4.d1 enc {label(size)}",
            size,
            "k.d1(word_token, 'utf-8')",
            "floor_decrypt(word_token), word_bytes.decode('utf-8')",
            "md5(word_body).digest()",
            names,
        )
        yield f"3.e1 {label(size)}", size, "c.e1(payload)", "floor_encode(payload)", None, names
        yield f"3.d1 {label(size)}", size, "c.d1(encoded)", "floor_decode(encoded)", None, names
        # What users send the codec besides its own unpadded text: its padded e1 text, as str,
        # bytes and bytearray, the URL-safe alphabet, and text wrapped at 76 columns.
        padded = tavro_crypt_3._TavroCrypt3.e1(payload + b"x")
        names.update(
            padded=padded,
            padded_bytes=padded.encode(),
            padded_array=bytearray(padded.encode()),
            urlsafe=base64.urlsafe_b64encode(payload + b"x").decode(),
            wrapped=base64.encodebytes(payload).decode(),
        )
        for case, statement in (
            ("padded", "c.d1(padded)"),
            ("padded bytes", "c.d1(padded_bytes)"),
            ("padded bytearray", "c.d1(padded_array)"),
            ("url-safe", "c.d1(urlsafe)"),
            ("wrapped", "c.d1(wrapped)"),
        ):
            if case == "wrapped" or size <= KiB:
                yield (
                    f"3.d1 {case} {label(size)}",
                    size,
                    statement,
                    "floor_decode(encoded)",
                    None,
                    names,
                )


def label(size):
    return (
        f"{size // MiB} MiB"
        if size >= MiB
        else f"{size // KiB} KiB"
        if size >= KiB
        else f"{size} B"
    )


def best_times(timers, quick):
    """Best seconds per call of each timer. Each is calibrated (which warms it up) before any
    is measured, and the rounds take them in turn, so that a drift of the machine's speed
    weighs on all alike."""
    numbers = [timer.autorange()[0] for timer in timers]
    best = [float("inf")] * len(timers)
    for _ in range(3 if quick else 5):
        for index, (timer, number) in enumerate(zip(timers, numbers)):
            best[index] = min(best[index], timer.timeit(number) / number)
    return best


def peak_memory(call, size):
    tracemalloc.start()
    result = call()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del result
    return peak / size


def calls_per_second(make_call, threads, calls):
    """Calls per second of `threads` threads making `calls` calls each, best of five; each
    thread calls what `make_call()` gives it, on an input of its own."""
    best = 0.0
    for _ in range(5):
        start = threading.Barrier(threads + 1)

        def work(call):
            start.wait()
            for _ in range(calls):
                call()

        workers = [threading.Thread(target=work, args=(make_call(),)) for _ in range(threads)]
        for worker in workers:
            worker.start()
        start.wait()
        began = time.perf_counter()
        for worker in workers:
            worker.join()
        best = max(best, threads * calls / (time.perf_counter() - began))
    return best


def own(value):
    """An equal copy of a bytes or str that is another object."""
    return value[:1] + value[1:]


def thread_cases():
    """(name, make_call) of the threads table."""
    codec, cipher = tavro_crypt_3._TavroCrypt3, tavro_crypt_4._TavroCrypt4
    found = []
    for size in (16, MiB):
        payload = data(size)
        token = cipher.e1(payload)
        encoded = codec.e1(payload)
        body = token[:-32].encode()
        found += [
            (f"4.e1 {label(size)}", lambda p=payload: partial(cipher.e1, own(p))),
            (f"4.d1 {label(size)}", lambda t=token: partial(cipher.d1, own(t))),
            (
                f"3.d1 {len(encoded)} chars" if size < MiB else f"3.d1 {label(size)}",
                lambda e=encoded: partial(codec.d1, own(e)),
            ),
        ]
        if size == MiB:
            found.append(
                (
                    f"md5 of body {label(size)}",
                    lambda b=body: lambda b=own(b): hashlib.md5(b).digest(),
                )
            )
    return found


def one_thread_rates(cases):
    """Calls per second of one thread, per case name."""
    rates = {}
    for name, make_call in cases:
        number, seconds = timeit.Timer(make_call()).autorange()
        calls = max(1, int(0.3 * number / seconds))
        rates[name] = (calls, calls_per_second(make_call, 1, calls))
    return rates


def threads_table():
    """On a free-threaded interpreter, the last column is one thread's rate over that of the
    same interpreter with the lock turned on (PYTHON_GIL=1), measured in a child process."""
    counts = sorted({1, 2, os.cpu_count() or 1})
    free_threaded = not getattr(sys, "_is_gil_enabled", lambda: True)()
    cases = thread_cases()
    rates = one_thread_rates(cases)
    locked = {}
    if free_threaded:
        child = subprocess.run(
            [sys.executable, __file__, "--one-thread-rates"],
            check=True,
            capture_output=True,
            text=True,
            env=dict(os.environ, PYTHON_GIL="1"),
        )
        locked = json.loads(child.stdout)
    print(
        f"\nthreads ({sys.implementation.cache_tag}, interpreter lock "
        f"{'off' if free_threaded else 'on'}; each thread with its own input)"
    )
    print(
        f"{'case':22} {'1 thread':>12} "
        + " ".join(f"{f'{count} threads':>10}" for count in counts[1:])
        + (f" {'off/on':>8}" if free_threaded else "")
    )
    for name, make_call in cases:
        calls, one = rates[name]
        ratios = [calls_per_second(make_call, count, calls) / one for count in counts[1:]]
        print(
            f"{name:22} {1 / one * 1e6:10.2f}us "
            + " ".join(f"{ratio:9.2f}x" for ratio in ratios)
            + (f" {one / locked[name][1]:7.2f}x" if free_threaded else "")
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="16 B and 1 KiB only")
    parser.add_argument("--no-peer", action="store_true", help="leave out the Cython peer")
    parser.add_argument("--no-threads", action="store_true", help="leave out the threads table")
    parser.add_argument("--threads-only", action="store_true", help="the threads table alone")
    parser.add_argument("--one-thread-rates", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.one_thread_rates:
        print(json.dumps(one_thread_rates(thread_cases())))
        return
    if options.threads_only:
        threads_table()
        return
    sizes = [16, KiB] if options.quick else [16, KiB, MiB, 8 * MiB]
    library = (tavro_crypt_3._TavroCrypt3, tavro_crypt_4._TavroCrypt4)
    model_3, model_4 = reference_bodies.load()
    baseline = (model_3._TavroCrypt3, model_4._TavroCrypt4)
    peer = None
    if not options.no_peer:
        import peer as compiled

        peer_3, peer_4 = compiled.load()
        peer = (peer_3._TavroCrypt3, peer_4._TavroCrypt4)

    print(
        f"{'case':18} {'baseline':>11} {'peer':>11} {'floor':>11} {'library':>11} "
        f"{'peer/lib':>9} {'base/lib':>9} {'lib/floor':>9} {'lib/md5':>9} {'memory':>7}"
    )
    floors = {
        "floor_encrypt": floor_encrypt,
        "floor_decrypt": floor_decrypt,
        "floor_encode": floor_encode,
        "floor_decode": floor_decode,
    }
    for name, size, statement, floor, md5_statement, names in cases(sizes):

        def namespace(classes):
            return {**names, **floors, "c": classes[0], "k": classes[1]}

        expected = eval(statement, namespace(library))
        contestants = [library, baseline if size <= MiB else None, peer if size <= MiB else None]
        for other in contestants[1:]:
            assert other is None or eval(statement, namespace(other)) == expected, name
        timers = [
            timeit.Timer(statement, globals=namespace(classes))
            for classes in contestants
            if classes
        ]
        timers.append(timeit.Timer(floor, globals=namespace(library)))
        if md5_statement:
            timers.append(timeit.Timer(md5_statement, globals=namespace(library)))
        times = iter(best_times(timers, options.quick))
        fast, slow, compiled_time = (next(times) if classes else None for classes in contestants)
        floor_time = next(times)
        md5_time = next(times) if md5_statement else None
        memory = (
            peak_memory(lambda: eval(statement, namespace(library)), size) if size >= MiB else None
        )

        def cell(seconds):
            return f"{seconds * 1e6:9.2f}us" if seconds else f"{'-':>11}"

        def ratio(value):
            return f"{value:8.2f}x" if value else f"{'-':>9}"

        print(
            f"{name:18} {cell(slow)} {cell(compiled_time)} {cell(floor_time)} {cell(fast)} "
            f"{ratio(compiled_time and compiled_time / fast)} {ratio(slow and slow / fast)} "
            f"{ratio(fast / floor_time)} {ratio(md5_time and fast / md5_time)} "
            f"{(f'{memory:6.2f}x' if memory else '-'):>7}"
        )
    if not options.no_threads:
        threads_table()


if __name__ == "__main__":
    main()
