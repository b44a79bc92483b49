"""Author: the tavro ciphers team.
Company: Tavro Devices.
Created: 2026-12-08."""

import base64 as base64
from typing import Any, Literal, overload

from _typeshed import ReadableBuffer

__test__: dict[str, Any]

class _TavroCrypt3:
    # Bad data gives "" rather than an exception, whatever the argument.
    @staticmethod
    def e1(raw: str | ReadableBuffer) -> str: ...
    @staticmethod
    def e2(raw: str | ReadableBuffer) -> str: ...
    # Only a non-empty encoding decodes the data to text; bad data gives None.
    # "" is also a str, hence the overlap: the first match wins, as at run time.
    @overload
    @staticmethod
    def d1(raw: str | bytes, enc: Literal[""] | None = None) -> bytes | None: ...  # type: ignore[overload-overlap]
    @overload
    @staticmethod
    def d1(raw: str | bytes, enc: str) -> str | None: ...
