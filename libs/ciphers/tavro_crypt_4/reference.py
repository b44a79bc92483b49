"""Author: the tavro ciphers team.
Company: Tavro Devices.
Created: 2026-12-08."""
import hashlib
import random
import numpy as np
from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3


class _TavroCrypt4:
    @staticmethod
    def __f1(x1):
        x = v = 1
        y = u = 0
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
        return [0x6B, 0x3D, 0xA7, 0x12, 0xC4, 0x5E, 0x89, 0xF3, 0x2B, 0x70]

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
        i += 1 if i % 2 == 0 else 0
        if i == 1:
            i = 167
        for j in range(ln):
            tmp = (int(raw[j]) * i + k + r1[2 + j % 8]) % 256
            r1.append(tmp)
        r1 = _TavroCrypt3.e1(r1).rstrip("=")
        return r1 + hashlib.md5(r1.encode("utf-8")).hexdigest()

    @staticmethod
    def d1(encrypted, enc=None):
        raw = encrypted[0:len(encrypted) - 32]
        c1 = encrypted[len(encrypted) - 32:]
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


__test__ = {}
