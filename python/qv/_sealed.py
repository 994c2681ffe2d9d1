"""What the database column types (qv.sqlalchemy, qv.django) share.

The framing of a stored value, the associated data that binds it to its
column and row, the errors a read raises, the token prefix of a key id that
lets a rotation skip current rows in SQL, and the per-batch work of rotating
and sealing. It uses only the key ring's public methods and no ORM.
"""

from __future__ import annotations

import base64
import json
import sys
import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass, fields
from typing import Final, Self, TextIO

from qv import Keyring, KeyringError, peek_key_id

# The token format needs at least one plaintext byte, and "" must still be a
# sealed, authenticated value. So every value is sealed with this one
# character in front: "" is stored as the sealed frame alone, and a token
# whose plaintext lacks the frame was not written by a column type.
FRAME: Final = "\x01"
_TOKEN_HEAD: Final = "qv.v2."
_B64: Final = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
_SHOWN_KEY_ID: Final = 64


class SealedColumnError(ValueError):
    """A stored value of a sealed column did not open; names where, never what.

    `table`, `column` and `key_id` (the id the stored token names, or None
    when it is no token at all) say which value failed.
    """

    def __init__(self, message: str, *, table: str, column: str, key_id: str | None) -> None:
        super().__init__(message)
        self.table = table
        self.column = column
        self.key_id = key_id


class SealedKeyError(SealedColumnError, KeyringError):
    """The ring lacks the value's key, or holds it disabled or destroyed.

    The ring's own UnknownKeyIdError, DisabledKeyError or DestroyedKeyError is
    the `__cause__`. The value may be fine: load the right ring.
    """


class SealedTamperedError(SealedColumnError):
    """The value does not open here: altered, unsealed, or copied from another column or row."""


class SealedQueryError(TypeError):
    """A query uses an operator or lookup that a sealed column cannot answer."""


def column_aad(context: str, row: str | None = None) -> dict[str, str]:
    """The associated data of one value: its column's context, and its row when bound."""
    if row is None:
        return {"qv.column": context}
    return {"qv.column": context, "qv.row": row}


def row_text(values: Sequence[object]) -> str:
    """A primary key as the text bound into a row-bound value's associated data."""
    if len(values) == 1:
        return str(values[0])
    return json.dumps([str(v) for v in values], separators=(",", ":"))


class RingSource:
    """A ring given as itself or as a callable, asked for at first use and then kept.

    Models are declared at import time, before any secret is loaded; the
    callable runs only when a value is first sealed or opened.
    """

    def __init__(self, ring: Keyring | Callable[[], Keyring]) -> None:
        if not isinstance(ring, Keyring) and not callable(ring):
            raise TypeError(
                f"qv: ring must be a qv.Keyring or a callable returning one, "
                f"not {type(ring).__name__}."
            )
        self._given = ring
        self._ring: Keyring | None = ring if isinstance(ring, Keyring) else None
        self._lock = threading.Lock()

    def get(self) -> Keyring:
        ring = self._ring
        if ring is not None:
            return ring
        with self._lock:
            if self._ring is None:
                made = self._given() if callable(self._given) else self._given
                if not isinstance(made, Keyring):
                    raise TypeError(
                        f"qv: the ring callable returned {type(made).__name__}, not a qv.Keyring."
                    )
                self._ring = made
            return self._ring


def _shown(key_id: str | None) -> str:
    if key_id is None:
        return "no key id (not a token)"
    # A tampered token names whatever id its writer chose: keep it short.
    shown = key_id if len(key_id) <= _SHOWN_KEY_ID else key_id[:_SHOWN_KEY_ID] + "..."
    return f"key id {shown!r}"


def _peek(token: str) -> str | None:
    try:
        return peek_key_id(token)
    except (UnicodeDecodeError, TypeError):
        return None


def seal(
    ring: Keyring, value: object, *, deterministic: bool, aad: dict[str, str], where: str
) -> str:
    """The token stored for `value`; a value that is not text is a TypeError naming the column."""
    if not isinstance(value, str):
        raise TypeError(f"qv: sealed column {where} takes str, not {type(value).__name__}.")
    return ring.encrypt(FRAME + value, deterministic=deterministic, aad=aad)


def open_value(
    ring: Keyring, token: object, *, aad: dict[str, str], table: str, column: str
) -> str:
    """The value behind a stored token, or the SealedColumnError saying why not."""
    data: str | None = None
    refused: KeyringError | None = None
    if isinstance(token, str):
        try:
            data = ring.decrypt(token, aad=aad)["data"]
        except KeyringError as e:
            refused = e
        except (RuntimeError, ValueError):
            pass
        if data is not None and data.startswith(FRAME):
            return data[1:]
    # The slow path names what failed; only the key id, which every token shows.
    key_id = _peek(token) if isinstance(token, str) else None
    where = f"{table}.{column}"
    if refused is not None:
        raise SealedKeyError(
            f"qv: {where}: the ring cannot open {_shown(key_id)} ({type(refused).__name__}).",
            table=table,
            column=column,
            key_id=key_id,
        ) from refused
    what = "is not a sealed value" if key_id is None else f"under {_shown(key_id)} does not open"
    raise SealedTamperedError(
        f"qv: {where}: the stored value {what} here "
        "(altered, unsealed, or copied from another column or row).",
        table=table,
        column=column,
        key_id=key_id,
    )


def lookup_tokens(ring: Keyring, value: object, *, aad: dict[str, str], where: str) -> list[str]:
    """Every token a deterministic column may hold for `value`, one per enabled key."""
    if not isinstance(value, str):
        raise SealedQueryError(
            f"qv: sealed column {where} is compared with str values only, "
            f"not {type(value).__name__}."
        )
    return ring.lookup_tokens(FRAME + value, aad=aad)


def primary_id(ring: Keyring) -> str:
    for info in ring.keys():
        if info.primary:
            return info.key_id
    raise KeyringError("qv: the key ring has no enabled key to encrypt with.")


def key_id_prefixes(key_id: str) -> list[str]:
    """The token texts' beginnings that say "under `key_id`", one per mode, all one length.

    A token's body starts with the version byte 2, the flags byte (0 or 1 as
    written), the key id's length and the key id. Whole 3-byte groups give
    fixed characters; a last part group fixes only the high bits of the next
    character, so each candidate low part is listed. A text starts with one of
    these exactly when its key id is `key_id`.
    """
    raw = key_id.encode("utf-8")
    out: list[str] = []
    for flags in (0, 1):
        head = bytes([2, flags, len(raw)]) + raw
        bits = 8 * len(head)
        full, known = divmod(bits, 6)
        text = base64.urlsafe_b64encode(head + b"\0\0").decode("ascii")
        fixed = _TOKEN_HEAD + text[:full]
        if known == 0:
            out.append(fixed)
            continue
        free = 6 - known
        high = _B64.index(text[full]) >> free << free
        out.extend(fixed + _B64[high | low] for low in range(1 << free))
    return out


# -- batches ------------------------------------------------------------------


class _Counts:
    def add(self, batch: Self) -> None:
        """Add a batch's counts to these."""
        for f in fields(self):  # type: ignore[arg-type]
            setattr(self, f.name, getattr(self, f.name) + getattr(batch, f.name))


@dataclass
class RotateResult(_Counts):
    """What a rotation did: re-sealed under the primary, already current, left unopened."""

    rotated: int = 0
    current: int = 0
    failed: int = 0


@dataclass
class SealResult(_Counts):
    """What sealing a plaintext column did: sealed, already sealed, left alone."""

    sealed: int = 0
    current: int = 0
    failed: int = 0


def rotate_batch(
    ring: Keyring, tokens: list[str], aads: list[dict[str, str]]
) -> tuple[list[str | None], RotateResult]:
    """New tokens under the primary; None for rows already current or not opening.

    A row that does not open is counted as failed and never written.
    """
    counts = RotateResult()
    out: list[str | None] = []
    rotated = ring.rotate_many(tokens, aad=aads, errors="null")  # type: ignore[arg-type]
    for new, old in zip(rotated, tokens, strict=True):
        if new is None:
            counts.failed += 1
        elif new == old:
            counts.current += 1
        else:
            counts.rotated += 1
            out.append(new)
            continue
        out.append(None)
    return out, counts


def seal_batch(
    ring: Keyring,
    values: list[str],
    aads: list[dict[str, str]],
    *,
    deterministic: bool,
    table: str,
    column: str,
) -> tuple[list[str | None], SealResult]:
    """New tokens for plaintext rows; None for rows already sealed here or not safe to touch.

    Text that parses as a token is left alone whether or not it opens: if it
    does it was sealed already, and if it does not (a key this ring lacks, a
    value moved from elsewhere) overwriting it could lose a value for good.
    """
    counts = SealResult()
    out: list[str | None] = []
    for value, aad in zip(values, aads, strict=True):
        if _peek(value) is None:
            out.append(
                seal(ring, value, deterministic=deterministic, aad=aad, where=f"{table}.{column}")
            )
            counts.sealed += 1
            continue
        out.append(None)
        try:
            open_value(ring, value, aad=aad, table=table, column=column)
        except SealedColumnError:
            counts.failed += 1
        else:
            counts.current += 1
    return out, counts


class Progress:
    """A one-line counter on standard error, drawn only when that is a terminal."""

    def __init__(self, label: str, total: int, stream: TextIO | None = None) -> None:
        self._stream = stream if stream is not None else sys.stderr
        self._on = self._stream.isatty()
        self._label = label
        self._total = total
        self._done = 0

    def advance(self, n: int) -> None:
        self._done += n
        if self._on:
            width = 30
            share = min(1.0, self._done / self._total) if self._total else 1.0
            bar = "#" * int(share * width)
            self._stream.write(f"\r{self._label} [{bar:<{width}}] {self._done}/{self._total}")
            self._stream.flush()

    def close(self) -> None:
        if self._on:
            self._stream.write("\n")
            self._stream.flush()
