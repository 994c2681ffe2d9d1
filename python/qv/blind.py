"""Blind indexes: a keyed, truncated hash of a normalised value, to find sealed values.

An index value is HMAC-SHA256 over the transformed plaintext, under a key
derived for that one index from an index key of a ring, truncated to the
index's bits. Uses qv._native (HKDF), qv._blind (HMAC over many values) and
the key ring; no ORM.

The construction, fixed for stored indexes:

    context = "blind-index:" + JSON [table, [column, ...], name]
              (compact: separators "," and ":", non-ASCII kept as UTF-8)
    subkey  = HKDF-SHA256(index key, salt = 32 zero bytes,
                          info = "qv.v2:" + context)          (qv.derive_subkey)
    message = UTF-8 of the transformed value, for one column;
              for a compound index, each column's transformed value as a
              4-byte big-endian length and its UTF-8 bytes, in declared order
    value   = the first `bits` bits of HMAC-SHA256(subkey, message), as
              lower-case hex of ceil(bits / 4) digits (the number made of
              those bits, zero-padded)

Hex text indexes well in every database (a B-tree over short text), keeps
sizes above 63 bits (past a BIGINT) and compares by plain equality.
"""

from __future__ import annotations

import hmac
import json
import math
import unicodedata
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final, TypeAlias

from qv._blind import compute_column as _compute_column
from qv._blind import compute_many as _compute_many
from qv._native import derive_subkey as _derive_subkey
from qv.keyring import Keyring
from qv.keyring.keys import HiddenKey, IndexKey

if TYPE_CHECKING:
    import pyarrow as pa  # type: ignore[import-untyped]

__all__ = [
    "BlindIndex",
    "BlindIndexError",
    "BlindIndexSizeWarning",
    "IndexKeySource",
    "Transform",
    "plan",
    "plan_set",
]

MAX_BITS: Final = 256
_CONTEXT_HEAD: Final = "blind-index:"
_NAMES: Final = ("identity", "casefold", "digits", "last", "first")

IndexKeySource: TypeAlias = IndexKey | Callable[[], IndexKey]


class BlindIndexError(ValueError):
    """A blind index declared with bad settings, or used before it is complete."""


class BlindIndexSizeWarning(UserWarning):
    """An index (or a column's set of indexes) has more bits than the planner advises."""


# -- transforms ----------------------------------------------------------------


def _casefold(text: str) -> str:
    # NFKC before and after case folding (folding can leave text that NFKC
    # changes again), then whitespace trimmed and each run made one space.
    folded = unicodedata.normalize("NFKC", unicodedata.normalize("NFKC", text).casefold())
    return " ".join(folded.split())


def _digits(text: str) -> str:
    # NFKC first, so full-width and other compatibility digits count.
    return "".join(c for c in unicodedata.normalize("NFKC", text) if "0" <= c <= "9")


class Transform:
    """Steps applied in order to a value before it is hashed.

    Written as text, steps joined by "|": "identity", "casefold" (Unicode NFKC,
    case folding, trimmed and collapsed whitespace), "digits" (the ASCII digits
    left after NFKC), "last:N" and "first:N" (the last or first N characters of
    what the steps before left). Example: "digits|last:4".
    """

    __slots__ = ("steps", "text")

    def __init__(self, text: str | Transform | Sequence[str] = "identity") -> None:
        if isinstance(text, Transform):
            self.text: str = text.text
            self.steps: tuple[tuple[str, int], ...] = text.steps
            return
        if isinstance(text, str):
            parts = [p.strip() for p in text.split("|")]
        elif isinstance(text, Sequence) and all(isinstance(p, str) for p in text):
            parts = [p.strip() for p in text]
        else:
            raise BlindIndexError(
                f"qv: a transform is text such as 'casefold' or 'digits|last:4', "
                f"not {type(text).__name__}."
            )
        steps: list[tuple[str, int]] = []
        for part in parts:
            name, _, count = part.partition(":")
            if name not in _NAMES:
                raise BlindIndexError(
                    f"qv: unknown transform {part!r}; known: identity, casefold, digits, "
                    "last:N, first:N."
                )
            if name in ("last", "first"):
                if not count.isdigit() or not 1 <= int(count) <= 4096:
                    raise BlindIndexError(
                        f"qv: transform {part!r} needs a count from 1 to 4096, as in '{name}:4'."
                    )
                steps.append((name, int(count)))
            elif count:
                raise BlindIndexError(f"qv: transform {name!r} takes no count, not {part!r}.")
            elif name != "identity":
                steps.append((name, 0))
        self.steps = tuple(steps)
        self.text = "|".join(f"{n}:{c}" if c else n for n, c in self.steps) or "identity"

    def __call__(self, value: str) -> str:
        for name, count in self.steps:
            if name == "casefold":
                value = _casefold(value)
            elif name == "digits":
                value = _digits(value)
            elif name == "last":
                value = value[-count:]
            else:
                value = value[:count]
        return value

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Transform) and other.text == self.text

    def __hash__(self) -> int:
        return hash(self.text)

    def __repr__(self) -> str:
        return f"qv.blind.Transform({self.text!r})"


# -- the planner -----------------------------------------------------------------


def _check_counts(rows: object, distinct: object, min_rows: object) -> tuple[int, int, int]:
    for what, n in (("rows", rows), ("distinct", distinct), ("min_rows", min_rows)):
        if type(n) is not int or n < 1:
            raise BlindIndexError(f"qv: {what} must be a positive int, not {n!r}.")
    assert isinstance(rows, int) and isinstance(distinct, int) and isinstance(min_rows, int)
    return rows, min(distinct, rows), min_rows


def plan(rows: int, distinct: int, *, min_rows: int = 2) -> int:
    """The largest safe size in bits of one blind index over a column.

    With `rows` rows holding `distinct` different values, an index of b bits
    sorts the values into 2^b index values; it is safe while every index
    value is expected to cover at least `min_rows` different values (hence
    rows): b = floor(log2(min(distinct, rows) / min_rows)). 0 means that no
    index is safe: even 1 bit would leave index values pointing at fewer
    than `min_rows` rows.
    """
    rows, distinct, min_rows = _check_counts(rows, distinct, min_rows)
    if distinct < 2 * min_rows:
        return 0
    return min(MAX_BITS, math.floor(math.log2(distinct / min_rows) + 1e-9))


def plan_set(
    rows: int, distinct: int, indexes: Mapping[str, int | None], *, min_rows: int = 2
) -> dict[str, int]:
    """Sizes for several indexes over one column, safe together.

    An attacker who holds the database reads every index of a row at once,
    so their bits add up: together they may have no more than `plan(rows,
    distinct)` bits. `indexes` maps each index's name to the number of
    different values its transform leaves (None: the column's own), which
    caps that index on its own as `plan` does. The budget is shared out
    evenly, an index capped lower giving its share to the others.
    """
    budget = plan(rows, distinct, min_rows=min_rows)
    caps = {
        name: budget if own is None else min(budget, plan(rows, own, min_rows=min_rows))
        for name, own in indexes.items()
    }
    out: dict[str, int] = {}
    left = budget
    order = sorted(caps, key=lambda n: caps[n])
    for i, name in enumerate(order):
        share = left // (len(order) - i)
        out[name] = min(caps[name], share)
        left -= out[name]
    return {name: out[name] for name in indexes}


def warn_if_oversized(
    what: str, bits: int, rows: int | None, distinct: int | None, min_rows: int
) -> None:
    """Warn with the figures when `bits` is above what plan() advises."""
    if rows is None or distinct is None:
        return
    advised = plan(rows, distinct, min_rows=min_rows)
    if bits > advised:
        warnings.warn(
            BlindIndexSizeWarning(
                f"qv: {what}: {bits} bits, above the {advised} that {rows} rows of "
                f"{distinct} distinct values allow for at least {min_rows} rows per index "
                f"value: its index values may point at single rows."
            ),
            stacklevel=3,
        )


# -- the index ---------------------------------------------------------------------


def _bits(bits: object) -> int:
    # Text as stored in a settings file: "24", or "24 bits".
    if isinstance(bits, str):
        text = bits.strip().removesuffix("bits").strip()
        if text.isdigit() and text.isascii():
            bits = int(text)
    if type(bits) is not int or not 1 <= bits <= MAX_BITS:
        raise BlindIndexError(f"qv: a blind index has 1 to 256 bits, not {bits!r}.")
    return bits


def _key_source(key: object) -> IndexKeySource:
    if isinstance(key, IndexKey):
        return key
    if isinstance(key, Keyring):
        raise BlindIndexError(
            "qv: a blind index takes one index key, not a key ring: pass "
            "ring.index_key(key_id) (or a callable returning it)."
        )
    if isinstance(key, bytes | bytearray | memoryview):
        raise BlindIndexError(
            "qv: a blind index takes an index key from a ring (ring.index_key(key_id)), "
            "not raw bytes: raw bytes carry no purpose, and a sealing key must never feed "
            "an index."
        )
    if callable(key):
        return key
    raise BlindIndexError(
        f"qv: a blind index key is ring.index_key(key_id) or a callable returning it, "
        f"not {type(key).__name__}."
    )


@dataclass(frozen=True)
class _Resolved:
    key: IndexKey
    subkey: bytes


class BlindIndex:
    """One blind index: a name, a transform, a size in bits and an index key.

    `bits` is an int from 1 to 256 or its decimal text ("24" or "24 bits"). `key` is an
    index key (`ring.index_key(key_id)`) or a callable returning one, called
    at first use. `columns` maps each column of a compound index to its
    transform (then `transform` is not given). `table` and `column` (or
    `columns`) name what the index covers; database columns set them. With
    `expected_rows` and `expected_distinct`, an index larger than `plan`
    advises warns with the figures.
    """

    def __init__(
        self,
        name: str,
        transform: str | Transform | Sequence[str] = "identity",
        bits: int | str | None = None,
        key: IndexKeySource | None = None,
        *,
        table: str | None = None,
        column: str | None = None,
        columns: Mapping[str, str | Transform | Sequence[str]] | None = None,
        expected_rows: int | None = None,
        expected_distinct: int | None = None,
        min_rows: int = 2,
    ) -> None:
        if not isinstance(name, str) or not name:
            raise BlindIndexError("qv: a blind index needs a non-empty str name.")
        self.name = name
        if bits is None or key is None:
            raise BlindIndexError(f"qv: blind index {name!r} needs bits= and key=.")
        self.bits = _bits(bits)
        self._key = _key_source(key)
        if columns is not None:
            if transform != "identity" or column is not None:
                raise BlindIndexError(
                    f"qv: compound index {name!r} gives a transform per column in columns=, "
                    "not transform= or column=."
                )
            if not isinstance(columns, Mapping) or len(columns) < 2:
                raise BlindIndexError(
                    f"qv: compound index {name!r} needs columns= mapping two or more "
                    "column names to their transforms."
                )
            self.parts: tuple[tuple[str | None, Transform], ...] = tuple(
                (str(c), Transform(t)) for c, t in columns.items()
            )
        else:
            self.parts = ((column, Transform(transform)),)
        self.table = table
        self.expected = (expected_rows, expected_distinct, min_rows)
        warn_if_oversized(f"blind index {name!r}", self.bits, *self.expected)
        self._resolved: _Resolved | None = None

    # -- what it covers -------------------------------------------------------

    @property
    def compound(self) -> bool:
        return len(self.parts) > 1

    @property
    def columns(self) -> tuple[str | None, ...]:
        return tuple(c for c, _ in self.parts)

    @property
    def transform(self) -> Transform:
        """The transform of a one-column index."""
        return self.parts[0][1]

    def bound(self, table: str, column: str | None = None) -> BlindIndex:
        """A copy covering `table` (and `column`, for a one-column index without one)."""
        out = object.__new__(BlindIndex)
        out.__dict__.update(self.__dict__)
        out.table = table
        if not self.compound and self.parts[0][0] is None:
            out.parts = ((column, self.parts[0][1]),)
        out._resolved = None
        return out

    def context(self) -> str:
        if self.table is None or any(c is None for c in self.columns):
            raise BlindIndexError(
                f"qv: blind index {self.name!r} needs its table and column (table=, column=) "
                "before use."
            )
        return _CONTEXT_HEAD + json.dumps(
            [self.table, list(self.columns), self.name], separators=(",", ":"), ensure_ascii=False
        )

    # -- values -----------------------------------------------------------------

    def _subkey(self) -> bytes:
        key = self._key if isinstance(self._key, IndexKey) else self._key()
        resolved = self._resolved
        # A key callable hands out a fresh copy each time: the subkey is
        # derived again only when the key itself changed.
        if resolved is None or (
            resolved.key is not key
            and not (
                isinstance(key, IndexKey)
                and key.key_id == resolved.key.key_id
                and hmac.compare_digest(key.material(), resolved.key.material())
            )
        ):
            if not isinstance(key, IndexKey):
                raise BlindIndexError(
                    f"qv: the key callable of blind index {self.name!r} must return "
                    "ring.index_key(key_id)."
                )
            subkey = HiddenKey(_derive_subkey(key.material(), self.context()))
            resolved = self._resolved = _Resolved(key, subkey)
        return resolved.subkey

    def _message(self, value: object) -> str | bytes | None:
        if not self.compound:
            if value is None:
                return None
            return self.transform(_text(value, self.name))
        if isinstance(value, Mapping):
            missing = [c for c in self.columns if c not in value]
            if missing:
                raise BlindIndexError(
                    f"qv: compound index {self.name!r} needs the columns {missing} of the row."
                )
            items: Sequence[object] = [value[c] for c in self.columns]
        elif isinstance(value, tuple | list) and len(value) == len(self.parts):
            items = value
        else:
            raise BlindIndexError(
                f"qv: compound index {self.name!r} takes a mapping of its columns "
                f"{list(self.columns)} (or a tuple in that order)."
            )
        if any(v is None for v in items):
            return None
        out = bytearray()
        for (_, transform), item in zip(self.parts, items, strict=True):
            part = transform(_text(item, self.name)).encode("utf-8")
            out += len(part).to_bytes(4, "big") + part
        return bytes(out)

    def compute(self, value: object) -> str | None:
        """The index value of one plaintext (a row mapping for a compound index); None for None."""
        return self.compute_many([value])[0]

    def compute_many(self, values: Iterable[object]) -> list[str | None]:
        """Index values of many plaintexts in one native call (None stays None).

        The transform runs here; the HMAC of every value runs in the native
        core, keyed once, without the interpreter lock.
        """
        subkey = self._subkey()
        rows = values if isinstance(values, list) else list(values)
        if not self.compound and not self.transform.steps:
            try:
                return _compute_many(rows, subkey, self.bits)  # type: ignore[arg-type]
            except TypeError:
                pass  # an int, or a type refused below with the index's name
        return _compute_many([self._message(v) for v in rows], subkey, self.bits)

    def compute_arrow(self, array: pa.Array | pa.ChunkedArray) -> pa.Array:
        """Index values of an Arrow string column, as an Arrow string array (nulls kept)."""
        import pyarrow as pa

        if self.compound:
            raise BlindIndexError(f"qv: compound index {self.name!r} takes rows, not one column.")
        if isinstance(array, pa.ChunkedArray):
            array = array.combine_chunks()
        if not pa.types.is_string(array.type) and not pa.types.is_large_string(array.type):
            raise TypeError(f"qv: an Arrow string column is needed, not {array.type}.")
        subkey = self._subkey()
        if self.transform.steps:
            return pa.array(self.compute_many(array.to_pylist()), type=pa.string())
        validity, offsets, data = array.buffers()
        large = pa.types.is_large_string(array.type)
        out = _compute_column(
            (validity, offsets, data, large, array.offset, len(array)), subkey, self.bits
        )
        return pa.array(out, type=pa.string())

    def __copy__(self) -> BlindIndex:
        return self

    def __deepcopy__(self, memo: object) -> BlindIndex:
        # Shared, not copied: its key must not be duplicated (an IndexKey
        # refuses to be), and nothing in it changes after declaration but
        # the cached subkey. Django deep-copies the fields of abstract models.
        return self

    def __repr__(self) -> str:
        what = ", ".join(f"{c}:{t.text}" for c, t in self.parts)
        return f"<qv.BlindIndex {self.name!r} {self.bits} bits on {self.table}({what})>"


def _text(value: object, name: str) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    raise TypeError(
        f"qv: blind index {name!r} takes str (or int) values, not {type(value).__name__}."
    )


def check_set(column: str, indexes: Sequence[BlindIndex]) -> None:
    """Warn when a column's indexes together exceed the planner's budget."""
    figures = [ix.expected for ix in indexes if ix.expected[0] is not None]
    if len(indexes) < 2 or not figures:
        return
    rows, distinct, min_rows = figures[0]
    total = sum(ix.bits for ix in indexes)
    warn_if_oversized(
        f"the {len(indexes)} blind indexes on {column}", total, rows, distinct, min_rows
    )
