"""How a call over many rows marks the row that failed, for qv.keyring and qv.arrow.

Standard library only. The failing row's index travels as the exception's
`row` attribute (an int, for code) and as the note "row <i>" (for people), as
the native bulk calls set them.
"""

from __future__ import annotations

from typing import TypeVar

__all__ = ["failed_row", "mark_row"]

_Error = TypeVar("_Error", bound=BaseException)


def mark_row(error: _Error, row: int) -> _Error:
    """`error` with row `row` noted on it, as the native bulk calls note theirs."""
    error.add_note(f"row {row}")
    error.row = row  # type: ignore[attr-defined]
    return error


def failed_row(error: BaseException) -> int | None:
    """The row a bulk call marked on `error`, if any."""
    row = getattr(error, "row", None)
    return row if type(row) is int else None
