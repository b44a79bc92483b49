"""The two classes written as plain Python: the baseline the benchmarks measure against.

They follow the libraries step for step (same results), with the key table passed in.
"""
import base64
import hashlib


class Codec:
    @staticmethod
    def e1(raw):
        try:
            if isinstance(raw, str):
                raw = raw.encode("utf-8")
            bs = base64.b64encode(raw)
            ed = bs.decode(encoding="UTF-8")
        except BaseException:
            ed = ""
        return ed

    @staticmethod
    def e2(raw):
        return Codec.e1(raw).rstrip("=")

    @staticmethod
    def d1(raw, enc=None):
        try:
            if isinstance(raw, bytes):
                raw = raw.decode("UTF-8")
            dd = base64.urlsafe_b64decode(raw + "=" * (-len(raw) % 4))
            if enc:
                return dd.decode(encoding=enc)
            return dd
        except BaseException:
            return None


class Cipher:
    def __init__(self, key_table):
        self.key_table = list(key_table)

    @staticmethod
    def inverse(x1):
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

    def e1(self, raw):
        if isinstance(raw, str):
            raw = raw.encode("utf-8")
        ln = len(raw)
        r1 = bytearray()
        tmp = list(self.key_table)
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
        r1 = Codec.e1(r1).rstrip("=")
        return r1 + hashlib.md5(r1.encode("utf-8")).hexdigest()

    def d1(self, encrypted, enc=None):
        ln = len(encrypted)
        raw = encrypted[0:ln - 32]
        c1 = encrypted[ln - 32:]
        c2 = hashlib.md5(raw.encode("utf-8")).hexdigest()
        if c2 != c1:
            return None
        raw = Codec.d1(raw)
        ln = len(raw)
        i = raw[0]
        if i % 2 == 0:
            i += 1
        if i == 1:
            i = 167
        lc = self.inverse(i)
        m = raw[1]
        r1 = bytearray()
        for j in range(10, ln):
            tmp = ((raw[j] - raw[2 + (j - 10) % 8] - m) * lc) % 256
            r1.append(tmp)
        if enc:
            return r1.decode(encoding=enc)
        return r1
