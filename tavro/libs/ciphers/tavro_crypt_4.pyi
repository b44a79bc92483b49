"""Author: the tavro ciphers team.
Company: Tavro Devices.
Created: 2026-12-08."""

import hashlib as hashlib
import random as random
from collections.abc import Sequence
from typing import Any, Literal, SupportsInt, overload

import numpy as _numpy
from tavro.libs.ciphers.tavro_crypt_3 import _TavroCrypt3 as _TavroCrypt3

np = _numpy
__test__: dict[str, Any]

class _TavroCrypt4:
    @staticmethod
    def _TavroCrypt4__f1(x1: int) -> int: ...
    @staticmethod
    def _TavroCrypt4__f2() -> list[int]: ...
    # A text is enciphered as its UTF-8 bytes; any other sequence item by item, through int().
    @staticmethod
    def e1(raw: str | Sequence[SupportsInt]) -> str: ...
    # None when the tag does not match; only a non-empty encoding decodes the bytes to text.
    # "" is also a str, hence the overlap: the first match wins, as at run time.
    @overload
    @staticmethod
    def d1(encrypted: str, enc: Literal[""] | None = None) -> bytearray | None: ...  # type: ignore[overload-overlap]
    @overload
    @staticmethod
    def d1(encrypted: str, enc: str) -> str | None: ...
