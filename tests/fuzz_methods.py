"""Fuzzes every method of both classes against the reference bodies
(libs/ciphers/*/reference.py), the model the other tests use too.

    python tests/fuzz_methods.py [--seconds 150] [--seed S] [--case N | --cases N]
                                 [--keep-going]

Each case calls one method of the installed libraries and the same method of the model on
inputs built twice from the same numbers (text with surrogates, bytes, bytearray,
memoryview, sequences of huge, negative and non-int items, hostile objects, arbitrary `enc`,
truncated tokens, tampered tokens with a recomputed tag, a key helper that resizes the
input, a standard-library function the methods reach rebound), and fails when the results,
or the types and messages of what they raise, differ,
or when an exception of the library lacks the method's traceback entry. A case depends on
the seed and its number alone: --seed S --case N reruns the one a failure names, and
--seed S --cases N the run up to it, for a fault that depends on earlier calls. Stops at
the first difference (--keep-going prints them all) and exits with status 1.
"""
import argparse
import base64
import binascii
import decimal
import fractions
import hashlib
import random
import re
import sys
import time
import warnings

import numpy

from tavro.libs.ciphers import tavro_crypt_3, tavro_crypt_4

import reference_bodies  # noqa: E402
import standard_39  # noqa: E402

_model_3, _model_4 = reference_bodies.load(standard_39.pin)
LIBRARY = {"3": tavro_crypt_3._TavroCrypt3, "4": tavro_crypt_4._TavroCrypt4}
MODEL = {"3": _model_3._TavroCrypt3, "4": _model_4._TavroCrypt4}
KEY_TABLE = LIBRARY["4"]._TavroCrypt4__f2()
HELPER = "_TavroCrypt4__f2"
MODULES = {"3": "tavro.libs.ciphers.tavro_crypt_3._TavroCrypt3.",
           "4": "tavro.libs.ciphers.tavro_crypt_4._TavroCrypt4."}


class Stop(BaseException):
    """What hostile objects raise when they raise something that is not an Exception."""


HOSTILE_ERRORS = [ValueError, LookupError, MemoryError, Stop]


# Building blocks. Every builder takes a random.Random and returns a fresh value.

ASCII = [chr(c) for c in range(32, 127)] + ["\n", "\0"]
UNICODE = ASCII + ["\x80", "é", "ÿ", "\u0663", "\u20ac", "\ufeff", "\U0001f600"]
SURROGATES = UNICODE + ["\ud800", "\udfff", "\udc80"]
B64 = [chr(c) for c in b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"]
B64_NOISE = B64 + ["=", "-", "_", " ", "\n", "é", "\ud800", "*", "\0"]
ENCODINGS = ["utf-8", "UTF-8", "ascii", "latin-1", "utf-16", "utf-32-be", "cp1252", "utf-7",
             "unicode_escape", "no-such-codec", "rot13", "hex", "base64", "utf-8\0"]


def size(rng):
    roll = rng.random()
    if roll < 0.8:
        return rng.randrange(0, 24)
    if roll < 0.97:
        return rng.randrange(24, 300)
    return rng.randrange(300, 5000)


def text(rng, n=None):
    alphabet = rng.choice([ASCII, ASCII, UNICODE, SURROGATES])
    return "".join(rng.choice(alphabet) for _ in range(size(rng) if n is None else n))


def data(rng, n=None):
    return bytes(rng.randrange(256) for _ in range(size(rng) if n is None else n))


class Text(str):
    pass


class Data(bytes):
    pass


def answering(base, method):
    """A subclass of `base` whose `method` answers what each instance was made with, or
    raises it when that is an exception class."""
    class Answering(base):
        def __new__(cls, value, answer):
            self = super().__new__(cls, value)
            self.answer = answer
            return self

    def answer(self, *arguments):
        if isinstance(self.answer, type):
            raise self.answer(method)
        return self.answer

    setattr(Answering, method, answer)
    return Answering


Encoded = answering(str, "encode")  # a text whose encode is not its UTF-8 bytes
Decoding = answering(bytes, "decode")


class Seq:
    """A sequence that is nothing else: __len__ and __getitem__, either of which may fail."""
    def __init__(self, items, length=None, failing_index=None, error=None):
        self.items, self.length = items, length
        self.failing_index, self.error = failing_index, error

    def __len__(self):
        if self.length is not None:
            if isinstance(self.length, type):
                raise self.length("len")
            return self.length
        return len(self.items)

    def __getitem__(self, index):
        if index == self.failing_index:
            raise self.error("item")
        return self.items[index]

    def __repr__(self):
        return f"Seq({self.items!r}, {self.length!r}, {self.failing_index!r}, {self.error!r})"


class Number:
    """An item with __int__ (or only __index__), which may raise or return a non-int."""
    def __init__(self, value, index_only=False):
        self.value, self.index_only = value, index_only

    def __int__(self):
        if self.index_only:
            raise TypeError("no __int__")
        if isinstance(self.value, type):
            raise self.value("int")
        return self.value

    def __index__(self):
        return self.__int__() if not self.index_only else self.value

    def __repr__(self):
        return f"Number({self.value!r}, {self.index_only})"


class Truth:
    """An `enc` whose truth test raises."""
    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error("bool")

    def __repr__(self):
        return f"Truth({self.error.__name__})"


class Unsized:
    pass


def hostile_error(rng):
    return rng.choice(HOSTILE_ERRORS)


def number(rng):
    roll = rng.randrange(20)
    if roll < 6:
        return rng.randrange(256)
    if roll == 6:
        return -rng.randrange(1, 2000)
    if roll == 7:
        return rng.choice([1, -1]) * (2 ** rng.randrange(62, 200) + rng.randrange(-3, 4))
    if roll == 8:
        return rng.choice([True, False])
    if roll == 9:
        return rng.choice([2.5, -0.7, 1e300, float("nan"), float("inf"), -1e-300, 255.99])
    if roll == 10:
        return rng.choice(["12", " 7 ", "x", "\u0663", "1_0", "-3", "", "0x10", "9" * 30])
    if roll == 11:
        return rng.choice([b"12", b"x", b" 5", bytearray(b"7")])
    if roll == 12:
        return rng.choice([None, object, [1], (2,), {3: 4}, 1j, ...])
    if roll == 13:
        return rng.choice([decimal.Decimal("2.9"), decimal.Decimal("-7"), decimal.Decimal("NaN"),
                           decimal.Decimal("Infinity"), fractions.Fraction(-7, 2)])
    if roll == 14:
        return rng.choice([numpy.uint8(200), numpy.int64(-5), numpy.float32(3.7),
                           numpy.float64("nan"), numpy.int8(-128), numpy.array([9]),
                           numpy.array([1, 2])])
    if roll == 15:
        return Number(rng.choice([7, -300, 2 ** 80, "x", 2.5, hostile_error(rng)]))
    if roll == 16:
        return Number(rng.choice([7, -1, 2 ** 70, 1.5]), index_only=True)
    if roll == 17:
        return type("IntSub", (int,), {})(rng.randrange(-300, 300))
    return rng.randrange(-1000, 1000)


def items(rng, n=None):
    n = size(rng) if n is None else n
    mostly_bytes = rng.random() < 0.5
    return [rng.randrange(256) if mostly_bytes and rng.random() < 0.9 else number(rng)
            for _ in range(n)]


def memoryview_of(rng):
    raw = data(rng)
    view = memoryview(rng.choice([raw, bytearray(raw)]))
    roll = rng.randrange(6)
    if roll == 1:
        return view.cast("c")
    if roll == 2:
        return view.cast("b")
    if roll == 3 and len(raw) % 2 == 0:
        return view.cast("H")
    if roll == 4:
        return view[::2]
    if roll == 5 and len(raw) % 4 == 0 and raw:
        return view.cast("B", [2, len(raw) // 2])
    return view


def sequence(rng):
    roll = rng.randrange(9)
    if roll == 0:
        return tuple(items(rng))
    if roll == 1:
        content = items(rng)
        length, failing, error = None, None, None
        if rng.random() < 0.5:
            length = rng.choice([len(content) + 3, max(len(content) - 1, 0), -1, 2 ** 70, "2",
                                 hostile_error(rng)])
        if content and rng.random() < 0.5:
            failing, error = rng.randrange(len(content)), hostile_error(rng)
        return Seq(content, length, failing, error)
    if roll == 2:
        return {index: value for index, value in enumerate(items(rng))}
    if roll == 3:
        return numpy.array(list(data(rng)), dtype=rng.choice(
            [numpy.uint8, numpy.int64, numpy.float64, object]))
    if roll == 4:
        return numpy.array([1.5, float("nan"), -2.0, 300.0][:rng.randrange(1, 5)])
    if roll == 5:
        return numpy.zeros((rng.randrange(0, 3), 1), dtype=numpy.uint8)
    return items(rng)


def anything(rng):
    """Any input a caller might pass as `raw`."""
    roll = rng.randrange(20)
    if roll < 4:
        return text(rng)
    if roll == 4:
        return Text(text(rng))
    if roll == 5:
        return Encoded(text(rng), rng.choice([
            data(rng), bytearray(data(rng)), items(rng), text(rng), None, hostile_error(rng)]))
    if roll < 9:
        return data(rng)
    if roll == 9:
        return bytearray(data(rng))
    if roll == 10:
        return Data(data(rng))
    if roll == 11:
        return memoryview_of(rng)
    if roll < 16:
        return sequence(rng)
    if roll == 16:
        return Decoding(data(rng), rng.choice([text(rng), data(rng), 5, hostile_error(rng)]))
    return rng.choice([None, 0, -5, 2.5, set(), frozenset([1]), Unsized(), object(), 2 ** 100])


def enc(rng):
    roll = rng.randrange(10)
    if roll < 3:
        return None
    if roll < 7:
        return rng.choice(ENCODINGS)
    if roll == 7:
        return Text(rng.choice(ENCODINGS))
    if roll == 8:
        return rng.choice(["", 0, False, [], 5, 1.5, b"utf-8", ["utf-8"], True])
    return Truth(hostile_error(rng))


def seal(body):
    try:
        tag = hashlib.md5(body.encode("utf-8")).hexdigest()
    except UnicodeEncodeError:
        tag = "0" * 32
    return body + tag


def base64_text(rng, raw=None):
    raw = data(rng) if raw is None else raw
    encoded = base64.b64encode(raw).decode("ascii")
    roll = rng.randrange(5)
    if roll == 1:
        encoded = encoded.rstrip("=")
    elif roll == 2:
        encoded = encoded.replace("+", "-").replace("/", "_")
    elif roll == 3 and encoded:
        encoded = encoded[:rng.randrange(len(encoded))]
    return encoded


def tampered(rng, body):
    body = list(body)
    for _ in range(rng.randrange(1, 4)):
        roll = rng.randrange(4)
        position = rng.randrange(len(body) + 1)
        if roll == 0 and body:
            del body[min(position, len(body) - 1)]
        elif roll == 1 and body:
            body[min(position, len(body) - 1)] = rng.choice(B64_NOISE)
        else:
            body.insert(position, rng.choice(B64_NOISE))
    return "".join(body)


def token(rng):
    """A token: valid, under another key header, truncated, or tampered and sealed anew."""
    plain = rng.choice([data, items, text])(rng)
    try:
        valid = MODEL["4"].e1(plain)
    except (Exception, Stop):
        valid = MODEL["4"].e1(data(rng))
    body = valid[:-32]
    roll = rng.randrange(10)
    if roll < 2:
        return valid
    if roll == 2:
        return valid[:rng.randrange(len(valid) + 1)]
    if roll == 3:
        return valid[rng.randrange(len(valid) + 1):]
    if roll == 4:
        return valid[:-32] + valid[-32:].upper()
    if roll == 5:
        header = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 14)))
        return seal(base64_text(rng, header + data(rng)))
    if roll == 6:
        return Text(valid)
    return seal(tampered(rng, body))


def token_like(rng):
    roll = rng.randrange(10)
    if roll < 7:
        return token(rng)
    if roll == 7:
        return rng.choice([token(rng).encode("utf-8", "surrogatepass"), list(token(rng))])
    return anything(rng)


def key_table(rng):
    if rng.random() < 0.5:
        return list(KEY_TABLE)
    return rng.choice([
        [rng.randrange(256) for _ in range(rng.randrange(0, 14))],
        [rng.randrange(-2, 258) for _ in range(rng.randrange(0, 12))],
        tuple(KEY_TABLE), bytes(KEY_TABLE), "abc", {0: 5, 1: 6},
        [Number(3)] + list(KEY_TABLE)[1:], [3.0] * 10, [hostile_error(rng)],
    ])


def resizing_helper(rng, raw):
    """A stand-in for the key-table helper that changes the input before handing out a table."""
    table = key_table(rng)
    change = rng.randrange(6)
    cut = rng.randrange(len(raw) + 1)

    def helper():
        if change == 0:
            del raw[cut:]
        elif change == 1:
            del raw[:cut]
        elif change == 2:
            raw.clear()
        elif change == 3:
            raw.extend(raw[:cut] or [1])
        elif change == 4:
            raw[0:0] = raw[:cut]
        if isinstance(table, list) and table and isinstance(table[0], type):
            raise table[0]("helper")
        return table

    return helper


class Digest:
    """What a rebound hashlib.md5 hands out."""
    def __init__(self, *arguments):
        pass

    def hexdigest(self):
        return "0" * 32


REBINDABLE = [(base64, "b64encode", b"QUJD"), (base64, "urlsafe_b64decode", b"\x05" * 14),
              (base64, "b64decode", b"\x05" * 14), (binascii, "b2a_base64", b"QUJD\n"),
              (binascii, "a2b_base64", b"\x05" * 14), (hashlib, "md5", None)]


def rebinding(rng):
    """A function of the standard library the methods reach, and a stand-in for it: one that
    raises, one that answers something else, or a plain wrapper. Both sides share these
    modules, so both meet the stand-in."""
    module, name, answer = rng.choice(REBINDABLE)
    original = getattr(module, name)
    roll = rng.randrange(3)
    error = hostile_error(rng)

    def stand_in(*arguments, **keywords):
        if roll == 0:
            raise error("rebound")
        if roll == 1:
            return Digest() if answer is None else answer
        return original(*arguments, **keywords)

    stand_in.__qualname__ = f"{module.__name__}.{name} that " + [
        f"raises {error.__name__}", "answers something else", "wraps the original"][roll]
    return module, name, stand_in


class Call:
    def __init__(self, method, args, kwargs=None, helper=None, rebound=None):
        self.method, self.args, self.kwargs = method, args, kwargs or {}
        self.helper, self.rebound = helper, rebound

    def __repr__(self):
        shown = [repr(argument) for argument in self.args]
        shown += [f"{key}={value!r}" for key, value in self.kwargs.items()]
        helper = ", with a rebound key-table helper" if self.helper else ""
        if self.rebound:
            helper += f", with {self.rebound[2].__qualname__}"
        return f"{self.method}({', '.join(shown)[:2000]}){helper}"


def keywords(rng, names, values):
    """The arguments, some of them by keyword."""
    split = rng.randrange(len(values) + 1) if rng.random() < 0.3 else len(values)
    return values[:split], dict(zip(names[split:], values[split:]))


def make_call(rng, method):
    if method == "3.e1" or method == "3.e2":
        return Call(method, *keywords(rng, ["raw"], [anything(rng)]))
    if method == "3.d1":
        raw = rng.choice([base64_text, base64_text, tampered_base64, anything])(rng)
        values = [raw, enc(rng)] if rng.random() < 0.7 else [raw]
        return Call(method, *keywords(rng, ["raw", "enc"], values))
    if method == "4.e1":
        if rng.random() < 0.15:
            raw = rng.choice([bytearray, list])(data(rng))
            return Call(method, (raw,), helper=resizing_helper(rng, raw))
        return Call(method, *keywords(rng, ["raw"], [anything(rng)]))
    if method == "4.d1":
        values = [token_like(rng), enc(rng)] if rng.random() < 0.7 else [token_like(rng)]
        return Call(method, *keywords(rng, ["encrypted", "enc"], values))
    if method == "4.__f1":
        return Call(method, *keywords(rng, ["x1"], [number(rng)]))
    return Call(method, ())


def tampered_base64(rng):
    encoded = base64_text(rng)
    return tampered(rng, encoded) if rng.random() < 0.7 else encoded.encode("ascii")


METHODS = ["3.e1", "3.e2", "3.d1", "4.e1", "4.d1", "4.__f1", "4.__f2"]
WEIGHTS = [2, 1, 3, 4, 5, 2, 1]


def case_random(seed, number):
    return random.Random(f"{seed}:{number}")


def build(seed, number):
    rng = case_random(seed, number)
    method = rng.choices(METHODS, WEIGHTS)[0]
    call = make_call(rng, method)
    if method[0] != "4" or method == "4.e1" or method == "4.d1":
        if rng.random() < 0.05:
            call.rebound = rebinding(rng)
    return call


# Running a case on both sides.

class Outcome:
    def __init__(self, result=None, error=None):
        self.result, self.error = result, error

    def key(self):
        if self.error is None:
            return ("returned", type(self.result), self.result)
        message = re.sub(r" at 0x[0-9a-fA-F]+", " at 0x...", str(self.error))
        # The library keeps the message of the interpreter it was first written for.
        message = message.replace("object is unsliceable", "object is not subscriptable")
        return ("raised", type(self.error), message)

    def __eq__(self, other):
        return self.key() == other.key()

    def __repr__(self):
        kind, kind_type, value = self.key()
        return f"{kind} {kind_type.__name__}: {value!r}"[:3000]


def run(classes, seed, number):
    """Builds case `number` and calls its method on `classes`. Returns the call as shown
    before the method could change its input (None when it cannot), the call and the
    outcome. Warnings are errors throughout, so both sides meet them alike."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        call = build(seed, number)
        shown = repr(call) if call.helper else None
        return shown, call, call_on(classes, call)


def call_on(classes, call):
    holder, name = call.method.split(".")
    owner = classes[holder]
    method = getattr(owner, "_TavroCrypt4" + name if name.startswith("__") else name)
    saved = vars(owner)[HELPER] if call.helper else None
    if call.helper:
        setattr(owner, HELPER, staticmethod(call.helper))
    if call.rebound:
        module, name, stand_in = call.rebound
        original = getattr(module, name)
        setattr(module, name, stand_in)
    try:
        return Outcome(result=method(*call.args, **call.kwargs))
    except (Exception, Stop) as error:
        return Outcome(error=error)
    finally:
        if call.helper:
            setattr(owner, HELPER, saved)
        if call.rebound:
            setattr(module, name, original)


def own_entry(call, error):
    """Whether the library's exception carries the traceback entry of the method called."""
    holder, name = call.method.split(".")
    wanted = MODULES[holder] + name
    traceback = error.__traceback__
    while traceback is not None:
        if traceback.tb_frame.f_code.co_name == wanted:
            return True
        traceback = traceback.tb_next
    return False


def check(seed, number):
    """Runs one case on both sides; returns a description of the difference, or None."""
    shown, call, library = run(LIBRARY, seed, number)
    _, _, expected = run(MODEL, seed, number)
    shown = shown or repr(call)
    if library != expected:
        return f"case {number} of seed {seed}: {shown}\n  library: {library!r}\n" \
               f"  model:   {expected!r}"
    if library.error is not None and not own_entry(call, library.error):
        return f"case {number} of seed {seed}: {shown}\n  raised {library!r} without the " \
               f"method's traceback entry"
    return None


def fuzz(seed, seconds=None, cases=None, first=0, keep_going=False):
    """Runs cases from `first` until the time or the count is used up, or until the first
    difference unless `keep_going`; returns (cases run, differences)."""
    deadline = None if seconds is None else time.monotonic() + seconds
    number, differences = first, []
    while (cases is None or number < first + cases) and (
            deadline is None or time.monotonic() < deadline):
        difference = check(seed, number)
        number += 1
        if difference:
            differences.append(difference)
            if not keep_going:
                break
            print(difference, flush=True)
    return number - first, differences


def main(arguments=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=150, help="time budget (default 150)")
    parser.add_argument("--seed", type=int, default=None, help="default: a new one")
    parser.add_argument("--case", type=int, default=None, help="run this one case only")
    parser.add_argument("--cases", type=int, default=None, help="run cases 0 to N - 1")
    parser.add_argument("--keep-going", action="store_true",
                        help="print every difference and go on")
    options = parser.parse_args(arguments)
    seed = options.seed if options.seed is not None else random.randrange(10 ** 9)
    started = time.monotonic()
    if options.case is not None:
        count, differences = fuzz(seed, cases=1, first=options.case)
    elif options.cases is not None:
        count, differences = fuzz(seed, cases=options.cases, keep_going=options.keep_going)
    else:
        count, differences = fuzz(seed, seconds=options.seconds, keep_going=options.keep_going)
    elapsed = time.monotonic() - started
    rate = count / elapsed * 60 if elapsed else 0
    print(f"fuzz_methods: seed {seed}, {count} cases in {elapsed:.1f} s "
          f"({rate:.0f} per minute), {len(differences)} differences")
    if differences and not options.keep_going:
        print("fuzz_methods: the library and the model differ in", differences[0])
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
