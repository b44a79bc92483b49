"""Author: the tavro ciphers team.
Company: Tavro Devices.
Created: 2026-12-08."""
import base64


class _TavroCrypt3:
    @staticmethod
    def e1(raw):
        try:
            if isinstance(raw, str):
                raw = raw.encode("utf-8")
            bs = base64.b64encode(raw)
            ed = bs.decode(encoding="UTF-8")
        except MemoryError: raise
        except Exception: ed = ""
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
        except MemoryError: raise
        except Exception: return None


__test__ = {}
