"""Both classes as plain Python, statement for statement: what the fuzzer checks against.

The methods reach each other, `base64` and `hashlib` through this module's globals, as the
libraries do through theirs, so a rebinding here means what it means there. The key table
is not repeated: the caller puts the library's own into KEY_TABLE.

The text codec's handlers swallow what a bad input raises, but let MemoryError and anything
that is not an Exception (KeyboardInterrupt, SystemExit, ...) through, so a failing
allocation never turns into a wrong answer.
"""
import base64
import hashlib

KEY_TABLE = []


def sliced(sequence, start, stop):
    """sequence[start:stop], failing with the libraries' message when the type has no
    item access at all."""
    if not hasattr(type(sequence), "__getitem__"):
        raise TypeError(f"'{type(sequence).__name__}' object is unsliceable")
    return sequence[start:stop]


class _TavroCrypt3:
    @staticmethod
    def e1(raw):
        try:
            if isinstance(raw, str):
                raw = raw.encode("utf-8")
            bs = base64.b64encode(raw)
            ed = bs.decode(encoding="UTF-8")
        except MemoryError:
            raise
        except Exception:
            ed = ""
        return ed

    @staticmethod
    def e2(raw):
        return _TavroCrypt3.e1(raw).rstrip("=")

    @staticmethod
    def d1(raw, enc=None):
        try:
            if isinstance(raw, bytes):
                raw = raw.decode("UTF-8")
            dd = base64.urlsafe_b64decode(raw + "=" * (-len(raw) % 4))
            if enc:
                return dd.decode(encoding=enc)
            return dd
        except MemoryError:
            raise
        except Exception:
            return None


class _TavroCrypt4:
    @staticmethod
    def __f1(x1):
        x, v = 1, 1
        y, u = 0, 0
        a, b = 256, x1 % 256
        while b != 0:
            q = int(a / b)
            r = int(a - b * q)
            s = int(x - u * q)
            t = int(y - v * q)
            a, b, x, y, u, v = b, r, u, v, s, t
        while y < 0:
            y += 256
        return y

    @staticmethod
    def __f2():
        return list(KEY_TABLE)

    @staticmethod
    def e1(raw):
        if isinstance(raw, str):
            raw = raw.encode("utf-8")
        ln = len(raw)
        r1 = bytearray()
        tmp = _TavroCrypt4.__f2()
        for i in range(len(tmp)):
            r1.append(tmp[i])
        i = r1[0]
        k = r1[1]
        if i % 2 == 0:
            i += 1
        if i == 1:
            i = 167
        for j in range(ln):
            tmp = (int(raw[j]) * i + k + r1[2 + j % 8]) % 256
            r1.append(tmp)
        r1 = _TavroCrypt3.e1(r1).rstrip("=")
        return r1 + hashlib.md5(r1.encode("utf-8")).hexdigest()

    @staticmethod
    def d1(encrypted, enc=None):
        ln = len(encrypted)
        raw = sliced(encrypted, 0, ln - 32)
        c1 = sliced(encrypted, ln - 32, None)
        c2 = hashlib.md5(raw.encode("utf-8")).hexdigest()
        if c2 != c1:
            return None
        raw = _TavroCrypt3.d1(raw)
        ln = len(raw)
        i = raw[0]
        if i % 2 == 0:
            i += 1
        if i == 1:
            i = 167
        lc = _TavroCrypt4.__f1(i)
        m = raw[1]
        r1 = bytearray()
        for j in range(10, ln):
            tmp = ((raw[j] - raw[2 + (j - 10) % 8] - m) * lc) % 256
            r1.append(tmp)
        if enc:
            return r1.decode(encoding=enc)
        return r1
