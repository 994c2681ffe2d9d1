"""Sealing and opening Arrow columns given as their buffers (used by qv.arrow)."""

from collections.abc import Mapping
from typing import Any, TypeAlias

# (validity, offsets, data, large, offset, length): the three buffers as
# objects with the buffer protocol (validity and data may be None).
_Column: TypeAlias = tuple[Any, Any, Any, bool, int, int]
# (bad_row, status, validity, offsets, data, large, null_count)
_Result: TypeAlias = tuple[
    int, int, ResultBuffer | None, ResultBuffer | None, ResultBuffer | None, bool, int
]

# The statuses seal_column reports for its bad row: refused by the checks of
# encrypt (replay the single call), the cipher failed, no synthetic nonce.
ROW_REFUSED: int
ROW_FAILED: int
ROW_SIV_FAILED: int

class ResultBuffer:
    """A result buffer lent to pyarrow through the buffer protocol (read-only bytes)."""

def seal_column(
    column: _Column,
    key: bytes,
    key_id: str,
    deterministic: bool,
    metadata: Mapping[str, str],
    aad: str | Mapping[str, str] | None,
    aad_column: _Column | None,
    threads: int | None,
) -> _Result:
    """Seals a column: (bad_row, status, validity, offsets, data, large, null_count)."""

def open_column(
    column: _Column,
    keys: bytes | Mapping[str, bytes],
    aad: str | Mapping[str, str] | None,
    aad_column: _Column | None,
    threads: int | None,
) -> _Result:
    """Opens a column of tokens: (bad_row, 0, validity, offsets, data, large, null_count)."""

def usable_cores() -> int:
    """The number of processors this process may run on."""
