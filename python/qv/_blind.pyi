"""Blind index values of many values per call (see qv.blind)."""

from collections.abc import Sequence
from typing import Any, TypeAlias

# (validity, offsets, data, large, offset, length): the three buffers as
# objects with the buffer protocol (validity and data may be None).
_Column: TypeAlias = tuple[Any, Any, Any, bool, int, int]

def compute_many(
    values: Sequence[str | bytes | bytearray | None], key: bytes, bits: int
) -> list[str | None]:
    """HMAC-SHA256 of each value (str as UTF-8, bytes) under the 32-byte `key`, truncated to `bits` bits, as lower-case hex; None stays None."""

def compute_column(column: _Column, key: bytes, bits: int) -> list[str | None]:
    """compute_many over an Arrow string column given as (validity, offsets, data, large, offset, length)."""
