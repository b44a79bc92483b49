"""Thread stress: every method called from several threads at once on shared inputs, while
one thread rebinds and restores what the fast paths' guards watch and another rewrites and
resizes the bytearray inputs. Each answer must be the model's for the input, or for a bytearray
one of the states it held; the run fails on the first that is not, or on a crash.

python tests/stress_threads.py [--seconds N] [--threads N]; scripts/tsan runs it under
ThreadSanitizer, and tests/test_threads.py briefly on every interpreter.
"""
import argparse
import base64
import hashlib
import sys
import threading
import time
import warnings

import reference_bodies  # noqa: E402
import standard_39  # noqa: E402

from tavro.libs.ciphers import tavro_crypt_3, tavro_crypt_4  # noqa: E402

# A bytearray input takes these states in turn: two lengths, so that it is resized too. The
# longer repeats the shorter, so that a body that reads the items one by one (the general
# path of _TavroCrypt4.e1) reads the same byte at an index in either state; when the input
# shrinks under it, it raises IndexError, as the body's own indexing would.
BYTEARRAY_STATES = (b"stored token payload", b"stored token payload" * 6)
SHRUNK = ("raised", "IndexError", "bytearray index out of range")
# Large enough that the calls let the interpreter lock go on builds that have one.
LARGE = bytes(range(256)) * 256


def plain_inputs():
    """Inputs that never change: texts and bytes, short and long, and tokens of them."""
    texts = ["", "hello", "h\u00e9llo w\u00f6rld", "x" * 100]
    raw = [b"", b"\x00\xff", bytes(range(40)), LARGE]
    return texts, raw


def method_calls(crypt3, crypt4, texts, raw):
    """(name, method, arguments) for every method, on the inputs given, from one model."""
    c3, c4 = crypt3._TavroCrypt3, crypt4._TavroCrypt4
    calls = []
    for value in texts + raw:
        calls.append(("C3.e1", c3.e1, (value,)))
        calls.append(("C3.e2", c3.e2, (value,)))
        calls.append(("C4.e1", c4.e1, (value,)))
    for value in texts:
        encoded = base64.b64encode(value.encode()).decode()
        calls.append(("C3.d1", c3.d1, (encoded,)))
        calls.append(("C3.d1", c3.d1, (encoded.rstrip("="), "utf-8")))
        calls.append(("C3.d1", c3.d1, (encoded.encode(),)))
    calls.append(("C3.d1", c3.d1, ("not base64!",)))
    calls.append(("C4.__f2", c4._TavroCrypt4__f2, ()))
    for x in (1, 3, 255, 167):
        calls.append(("C4.__f1", c4._TavroCrypt4__f1, (x,)))
    return calls


def outcome(method, arguments):
    try:
        result = method(*arguments)
    except Exception as error:  # the answer is compared, whatever it is
        return ("raised", type(error).__name__, str(error))
    return ("returned", type(result).__name__, result)


def token_calls(crypt4, tokens):
    c4 = crypt4._TavroCrypt4
    calls = []
    for token in tokens:
        calls.append(("C4.d1", c4.d1, (token,)))
        calls.append(("C4.d1", c4.d1, (token, "latin-1")))
    calls.append(("C4.d1", c4.d1, (tokens[1][:-1] + "0",)))
    return calls


class Stress:
    def __init__(self, seconds, threads):
        self.seconds, self.threads = seconds, threads
        self.stop = threading.Event()
        self.failures = []
        self.calls = 0
        self.lock = threading.Lock()

    def fail(self, message):
        with self.lock:
            self.failures.append(message)
        self.stop.set()

    def caller(self, calls, expected, shared):
        c3, c4 = tavro_crypt_3._TavroCrypt3, tavro_crypt_4._TavroCrypt4
        mine = 0
        while not self.stop.is_set():
            for (name, method, arguments), answer in zip(calls, expected):
                got = outcome(method, arguments)
                if got != answer:
                    return self.fail("%s%r: %r, the model %r"
                                     % (name, arguments[:1], got[:2], answer[:2]))
            for bytearray_input, answers in shared:
                for name, method in (("C3.e1", c3.e1), ("C3.e2", c3.e2), ("C4.e1", c4.e1)):
                    got = outcome(method, (bytearray_input,))
                    if got not in answers[name]:
                        return self.fail("%s(bytearray): %r is no answer of any state"
                                         % (name, got[:2]))
            mine += 1
        with self.lock:
            self.calls += mine * (len(calls) + 3 * len(shared))

    def rebinder(self):
        """Replaces what the guards watch with stand-ins that answer alike, and puts the
        originals back: the calls move between the fast and the general paths."""
        c3 = tavro_crypt_3._TavroCrypt3
        b64encode, urlsafe_b64decode, md5 = (base64.b64encode, base64.urlsafe_b64decode,
                                             hashlib.md5)
        stand_ins = [(base64, "b64encode", lambda s: b64encode(s)),
                     (base64, "urlsafe_b64decode", lambda s: urlsafe_b64decode(s)),
                     (hashlib, "md5", lambda data: md5(data)),
                     (tavro_crypt_4, "_TavroCrypt3", c3),
                     (base64, "unrelated", 1)]
        turn = 0
        while not self.stop.is_set():
            owner, name, value = stand_ins[turn % len(stand_ins)]
            original = vars(owner).get(name)
            setattr(owner, name, value)
            c3.extra = turn
            time.sleep(0.0005)
            del c3.extra
            if original is None:
                delattr(owner, name)
            else:
                setattr(owner, name, original)
            time.sleep(0.0005)
            turn += 1

    def rewriter(self, shared):
        turn = 0
        while not self.stop.is_set():
            for bytearray_input, _ in shared:
                try:
                    bytearray_input[:] = BYTEARRAY_STATES[turn % 2]
                except BufferError:  # a call holds its buffer: it may not be resized now
                    pass
            turn += 1

    def run(self, calls, expected, shared):
        workers = [threading.Thread(target=self.caller, args=(calls, expected, shared))
                   for _ in range(self.threads)]
        workers += [threading.Thread(target=self.rebinder),
                    threading.Thread(target=self.rewriter, args=(shared,))]
        for worker in workers:
            worker.start()
        self.stop.wait(self.seconds)
        self.stop.set()
        for worker in workers:
            worker.join()


def main(arguments=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--threads", type=int, default=4)
    options = parser.parse_args(arguments)

    model3, model4 = reference_bodies.load(standard_39.pin)
    texts, raw = plain_inputs()
    tokens = [model4._TavroCrypt4.e1(value) for value in texts + raw]
    calls = (method_calls(tavro_crypt_3, tavro_crypt_4, texts, raw) +
             token_calls(tavro_crypt_4, tokens))
    expected = [outcome(method, arguments) for _, method, arguments in
                method_calls(model3, model4, texts, raw) + token_calls(model4, tokens)]
    m3, m4 = model3._TavroCrypt3, model4._TavroCrypt4
    answers = {name: [outcome(method, (bytearray(state),)) for state in BYTEARRAY_STATES]
               for name, method in (("C3.e1", m3.e1), ("C3.e2", m3.e2), ("C4.e1", m4.e1))}
    answers["C4.e1"].append(SHRUNK)
    shared = [(bytearray(BYTEARRAY_STATES[0]), answers) for _ in range(2)]

    # The stand-in sends the body to the interpreter's own decoder, which warns on "+" and "/"
    # from 3.15: that is the body's call, made as it is.
    warnings.filterwarnings("ignore", "invalid character", FutureWarning)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    stress = Stress(options.seconds, options.threads)
    stress.run(calls, expected, shared)
    print("%d calls in %d threads for %.1f s (interpreter lock %s): %s" % (
        stress.calls, options.threads, options.seconds, "on" if gil else "off",
        "%d wrong" % len(stress.failures) if stress.failures else "all right"))
    for failure in stress.failures[:10]:
        print("  " + failure)
    return 1 if stress.failures else 0


if __name__ == "__main__":
    sys.exit(main())
