"""Sealing and opening Arrow columns: no Python object per value.

`encrypt` and `decrypt` take a pyarrow string, large_string, binary or
large_binary Array or ChunkedArray (sliced arrays included) and return a
string array (large_string when its offsets need 64 bits) whose buffers the
native core wrote. Nulls stay null. The interpreter lock is released while the
rows are sealed or opened, and the work is split over `threads` workers
(default: every usable core).

Tokens and failures are those of `qv.encrypt` and `qv.decrypt` row by row: a
row that fails raises the exception the single call raises for it, with the
row's index as its `row` attribute and as a note, unless `decrypt` is given `errors="null"`, when
the row becomes null.

Needs pyarrow (`pip install "qv[arrow]"`); `import qv` does not import it.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal

import pyarrow as pa

from qv import _arrow
from qv._native import decrypt as _decrypt
from qv._native import encrypt as _encrypt
from qv._native import peek_key_id as _peek_key_id
from qv._rows import mark_row
from qv.keyring import Keyring

if TYPE_CHECKING:
    _Column = pa.Array | pa.ChunkedArray

__all__ = ["decrypt", "encrypt"]

_Aad = str | Mapping[str, str] | pa.Array | pa.ChunkedArray | None

_DECRYPTION_FAILED = "qv: decryption failed."
_SIV_FAILED = "qv: SIV nonce derivation failed."
# The row statuses `_arrow.seal_column` reports: a row the checks refuse
# (its plaintext is empty), and a deterministic row with no synthetic nonce.
_REFUSED = _arrow.ROW_REFUSED
_STATUS_SIV_FAILED = _arrow.ROW_SIV_FAILED


def _is_text_type(t: pa.DataType) -> bool:
    return (
        pa.types.is_string(t)
        or pa.types.is_large_string(t)
        or pa.types.is_binary(t)
        or pa.types.is_large_binary(t)
    )


def _is_view_type(t: pa.DataType) -> bool:
    # Views (Polars' own layout) have no offsets buffer; Arrow converts them.
    is_string_view = getattr(pa.types, "is_string_view", None)
    is_binary_view = getattr(pa.types, "is_binary_view", None)
    return bool(
        (is_string_view is not None and is_string_view(t))
        or (is_binary_view is not None and is_binary_view(t))
    )


def _column(array: object, what: str) -> _Column:
    """`array` checked, with a view type converted to its offsets form."""
    if not isinstance(array, pa.Array | pa.ChunkedArray):
        raise TypeError(f"qv: {what} must be a pyarrow Array or ChunkedArray.")
    if _is_view_type(array.type):
        text = pa.types.is_string_view(array.type)
        return array.cast(pa.large_string() if text else pa.large_binary())
    if not _is_text_type(array.type):
        raise TypeError(
            f"qv: {what} must be of type string, large_string, binary or large_binary, "
            f"not {array.type}."
        )
    return array


def _spec(array: pa.Array) -> tuple[Any, ...]:
    # The buffers as they are (a slice shares its parent's), with the offset
    # that says where the slice starts in them.
    validity, offsets, data = array.buffers()
    large = pa.types.is_large_string(array.type) or pa.types.is_large_binary(array.type)
    if array.null_count == 0:
        validity = None
    return (validity, offsets, data, large, array.offset, len(array))


def _threads(threads: int | None) -> int | None:
    if threads is None:
        return None
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError("qv: threads must be an int or None.")
    if threads < 1:
        raise ValueError("qv: threads must be at least 1.")
    return threads


def _chunks(array: _Column) -> list[pa.Array]:
    return list(array.chunks) if isinstance(array, pa.ChunkedArray) else [array]


def _aad_chunks(aad: _Aad, chunks: list[pa.Array]) -> list[tuple[Any, pa.Array | None]]:
    """The associated data for each chunk: one value for all, or its rows' slice."""
    if not isinstance(aad, pa.Array | pa.ChunkedArray):
        return [(aad, None)] * len(chunks)
    if _is_view_type(aad.type) and pa.types.is_string_view(aad.type):
        aad = aad.cast(pa.large_string())
    if not (pa.types.is_string(aad.type) or pa.types.is_large_string(aad.type)):
        raise TypeError(f"qv: an aad array must be of type string or large_string, not {aad.type}.")
    if len(aad) != sum(len(c) for c in chunks):
        raise ValueError("qv: aad must have one value per row.")
    out: list[tuple[Any, pa.Array | None]] = []
    at = 0
    for chunk in chunks:
        part = aad.slice(at, len(chunk))
        if isinstance(part, pa.ChunkedArray):
            part = part.combine_chunks() if part.num_chunks != 1 else part.chunk(0)
        out.append((None, part))
        at += len(chunk)
    return out


def _row_aad(aad: Any, aad_array: pa.Array | None, row: int) -> Any:
    if aad_array is None:
        return aad
    value = aad_array[row]
    return value.as_py() if value.is_valid else None


def _result(length: int, parts: tuple[Any, ...]) -> pa.Array:
    validity, offsets, data, large, null_count = parts
    return pa.Array.from_buffers(
        pa.large_string() if large else pa.string(),
        length,
        [
            None if validity is None else pa.py_buffer(validity),
            pa.py_buffer(offsets),
            pa.py_buffer(data),
        ],
        null_count=null_count,
    )


def _assemble(array: _Column, results: list[pa.Array]) -> pa.Array | pa.ChunkedArray:
    if not isinstance(array, pa.ChunkedArray):
        return results[0]
    # Chunks of one array share a type: widen all if any needed 64-bit offsets.
    if any(r.type == pa.large_string() for r in results):
        return pa.chunked_array([r.cast(pa.large_string()) for r in results], pa.large_string())
    return pa.chunked_array(results, pa.string())


def encrypt(
    array: _Column,
    key_or_keyring: bytes | Keyring,
    key_id: str | None = None,
    *,
    deterministic: bool = False,
    metadata: Mapping[str, str] | None = None,
    aad: _Aad = None,
    threads: int | None = None,
) -> pa.Array | pa.ChunkedArray:
    """Seal every non-null row of `array` into a column of tokens.

    With a key, `key_id` names it in the tokens; with a Keyring, the rows are
    sealed under its primary key and `key_id` must be left out. `aad` is one
    str or dict for every row, or a string array with one value per row (a
    null meaning none). Each token is the one `qv.encrypt` gives for its row (in
    deterministic mode the same text).
    """
    array = _column(array, "array")
    threads = _threads(threads)
    if isinstance(key_or_keyring, Keyring):
        if key_id is not None:
            raise TypeError("qv: key_id is taken from the key ring; leave it out.")
        key_id, key = key_or_keyring.primary_key()
    else:
        if key_id is None:
            raise TypeError("qv: key_id is required with a key.")
        key = key_or_keyring
    meta = {} if metadata is None else metadata
    chunks = _chunks(array)
    results = []
    first_row = 0
    for chunk, (one_aad, aad_array) in zip(chunks, _aad_chunks(aad, chunks), strict=True):
        bad, status, *parts = _arrow.seal_column(
            _spec(chunk),
            key,
            key_id,
            deterministic,
            meta,
            one_aad,
            None if aad_array is None else _spec(aad_array),
            threads,
        )
        if bad < len(chunk):
            value = chunk[bad].as_py()
            row_aad = _row_aad(one_aad, aad_array, bad)
            _raise_seal_failure(
                status, first_row + bad, value, key, key_id, deterministic, meta, row_aad
            )
        results.append(_result(len(chunk), tuple(parts)))
        first_row += len(chunk)
    return _assemble(array, results)


def _raise_seal_failure(
    status: int,
    row: int,
    value: str | bytes,
    key: bytes,
    key_id: str,
    deterministic: bool,
    meta: Mapping[str, str],
    aad: Any,
) -> None:
    # A refused row raises what qv.encrypt raises for it, from the single
    # call itself; a failure of the cipher cannot be replayed, so it is
    # raised here with the single call's message.
    if status == _REFUSED:
        try:
            _encrypt(value, key, key_id, deterministic, dict(meta), aad)
        except Exception as error:
            raise mark_row(error, row) from None
    message = _SIV_FAILED if status == _STATUS_SIV_FAILED else "qv: encryption failed."
    raise mark_row(RuntimeError(message), row)


def decrypt(
    array: _Column,
    key_or_keyring: bytes | Mapping[str, bytes] | Keyring,
    *,
    aad: _Aad = None,
    errors: Literal["raise", "null"] = "raise",
    threads: int | None = None,
) -> pa.Array | pa.ChunkedArray:
    """Open every non-null row of `array` (tokens) into a column of plaintexts.

    `key_or_keyring` is one key for every token, a mapping from key id to key,
    or a Keyring (each token opened with the enabled key its key id names).
    A row `qv.decrypt` would refuse (a token that does not decode or open, a
    key id with no key, a plaintext that is not UTF-8 text) raises its
    exception with the row's index as a note, or with `errors="null"` becomes
    null.
    """
    array = _column(array, "array")
    if errors not in ("raise", "null"):
        raise ValueError("qv: errors must be 'raise' or 'null'.")
    threads = _threads(threads)
    ring = key_or_keyring if isinstance(key_or_keyring, Keyring) else None
    if ring is not None:
        # Copies taken under the ring's lock, as its own calls take them; a row
        # under a disabled, destroyed or unknown key finds none and fails.
        keys: bytes | dict[str, bytes] = ring.enabled_keys()
    elif isinstance(key_or_keyring, Mapping):
        keys = dict(key_or_keyring)
    else:
        keys = key_or_keyring
    chunks = _chunks(array)
    results = []
    first_row = 0
    for chunk, (one_aad, aad_array) in zip(chunks, _aad_chunks(aad, chunks), strict=True):
        bad, _, *parts = _arrow.open_column(
            _spec(chunk), keys, one_aad, None if aad_array is None else _spec(aad_array), threads
        )
        if bad < len(chunk) and errors == "raise":
            token = chunk[bad].as_py()
            row_aad = _row_aad(one_aad, aad_array, bad)
            _raise_open_failure(token, ring, keys, row_aad, first_row + bad)
        results.append(_result(len(chunk), tuple(parts)))
        first_row += len(chunk)
    return _assemble(array, results)


def _raise_open_failure(
    token: str | bytes, ring: Keyring | None, keys: bytes | dict[str, bytes], aad: Any, row: int
) -> None:
    try:
        if ring is not None:
            ring.decrypt(token, aad=aad)
        elif isinstance(keys, dict):
            try:
                key_id = _peek_key_id(token)
            except UnicodeDecodeError:
                key_id = None
            key = keys.get(key_id) if key_id is not None else None
            if key is None:
                raise RuntimeError(_DECRYPTION_FAILED)
            _decrypt(token, key, aad)
        else:
            _decrypt(token, keys, aad)
    except Exception as error:
        raise mark_row(error, row) from None
    # The row opens now: the key ring changed under the call.
    raise mark_row(RuntimeError(_DECRYPTION_FAILED), row)
