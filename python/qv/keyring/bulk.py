"""A key ring's calls over many values: qv's bulk calls with the ring's keys.

Written over three methods of the ring (its primary's id, its table of
prepared keys and the error for a key it cannot use), so that nothing here
touches the ring's state. Each call takes the keys it needs from the table at
its start and keeps them to its end. Uses qv._ring, qv._native, qv._rows and
the package's errors.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Literal, TypeAlias, TypeVar

from qv._native import peek_key_id as _peek_key_id
from qv._ring import Handles as _Handles
from qv._ring import decrypt_many as _decrypt_many
from qv._ring import decrypt_many_records as _decrypt_many_records
from qv._ring import encrypt_many as _encrypt_many
from qv._rows import failed_row, mark_row
from qv.keyring.errors import KeyringError

if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

__all__ = ["Aad", "BulkCalls", "ManyAad"]

Aad: TypeAlias = str | dict[str, str] | None
# One `aad` for every row of a bulk call, or a list or tuple of one per row.
ManyAad: TypeAlias = Aad | list[Aad] | tuple[Aad, ...]
_Row = TypeVar("_Row")


def _as_rows(
    tokens: Sequence[str | bytes | bytearray | None],
) -> Sequence[str | bytes | bytearray | None]:
    # Rows are read twice (opened, then looked at again for a failing row's
    # key), so they are taken into a list of the ring's own first: an
    # iterator is spent by one reading, and a caller's list may change in
    # between. A lone text is left for the bulk call to refuse.
    if isinstance(tokens, tuple | str | bytes | bytearray):
        return tokens
    return list(tokens)


class BulkCalls:
    """The calls of Keyring over many values."""

    if TYPE_CHECKING:

        def _primary_id(self) -> str: ...

        def handles(self) -> _Handles: ...

        def refusal(self, key_id: str) -> KeyringError | None: ...

    def encrypt_many(
        self,
        plaintexts: Sequence[str | bytes | bytearray | None],
        *,
        deterministic: bool = False,
        metadata: Mapping[str, str] | None = None,
        aad: ManyAad = None,
        threads: int | None = None,
    ) -> list[str | None]:
        """`encrypt` for every row under the primary key (see qv.encrypt_many)."""
        return self._seal_many(plaintexts, deterministic, metadata, aad, threads)

    def _seal_many(
        self,
        plaintexts: Sequence[str | bytes | bytearray | None],
        deterministic: bool,
        metadata: Mapping[str, str] | None,
        aad: ManyAad,
        threads: int | None,
    ) -> list[str | None]:
        sealed = _encrypt_many(
            self.handles(),
            self._primary_id(),
            plaintexts,
            deterministic=deterministic,
            metadata=metadata,
            aad=aad,
            threads=threads,
        )
        if sealed is None:
            # The primary changed between reading its id and the call.
            with self._lock:  # type: ignore[attr-defined]
                return self._seal_many(plaintexts, deterministic, metadata, aad, threads)
        return sealed

    def decrypt_many(
        self,
        tokens: Sequence[str | bytes | bytearray | None],
        *,
        aad: ManyAad = None,
        errors: Literal["raise", "null"] = "raise",
        threads: int | None = None,
    ) -> list[str | None]:
        """`decrypt` for every row, each with the key its key id names (see qv.decrypt_many).

        A row whose key the ring holds disabled, destroyed or not at all fails:
        with errors="raise" it raises the KeyringError that `decrypt` raises
        for it, with the note "row <i>"; with errors="null" it gives None.
        """
        return self._open_many(_decrypt_many, _as_rows(tokens), aad, errors, threads)

    def rotate_many(
        self,
        tokens: Sequence[str | bytes | bytearray | None],
        *,
        aad: ManyAad = None,
        errors: Literal["raise", "null"] = "raise",
        threads: int | None = None,
    ) -> list[str | None]:
        """`rotate` for every row: tokens under other keys are sealed again under the primary.

        Plaintext, metadata and mode are kept; a token already under the
        primary comes back unchanged once it has opened. Failing rows behave
        as in `decrypt_many`.
        """
        rows = _as_rows(tokens)
        primary_id = self._primary_id()
        opened = self._open_many(_decrypt_many_records, rows, aad, errors, threads)
        out: list[str | None] = [None] * len(rows)
        # Rows that share mode and metadata are sealed in one batch.
        groups: dict[tuple[bool, tuple[tuple[str, str], ...]], list[int]] = {}
        for i, record in enumerate(opened):
            if record is None:
                continue
            if record["key_id"] == primary_id:
                token = rows[i]
                out[i] = token if isinstance(token, str) else bytes(token or b"").decode("ascii")
                continue
            shape = (record["deterministic"], tuple(sorted(record["metadata"].items())))
            groups.setdefault(shape, []).append(i)
        per_row = isinstance(aad, list | tuple)
        for (deterministic, metadata), index in groups.items():
            sealed = _encrypt_many(
                self.handles(),
                primary_id,
                [opened[i]["data"] for i in index],  # type: ignore[index]
                deterministic=deterministic,
                metadata=dict(metadata),
                aad=[aad[i] for i in index] if per_row else aad,  # type: ignore[index]
                threads=threads,
            )
            if sealed is None:
                # The primary was disabled or destroyed during the call.
                self._primary_id()
                raise self.refusal(primary_id) or KeyringError(
                    f"qv: key id {primary_id!r} changed during the call."
                )
            for i, token in zip(index, sealed, strict=True):
                out[i] = token
        return out

    def _open_many(
        self,
        open_rows: Callable[..., list[_Row]],
        rows: Sequence[str | bytes | bytearray | None],
        aad: ManyAad,
        errors: str,
        threads: int | None,
    ) -> list[_Row]:
        handles = self.handles()
        try:
            return open_rows(handles, rows, aad=aad, errors=errors, threads=threads)
        except (RuntimeError, ValueError) as e:
            row = failed_row(e)
            if row is None or not isinstance(rows, list | tuple) or not 0 <= row < len(rows):
                raise
            # The row's own key fails it first, as in `decrypt`, if the ring
            # does not hold that key enabled.
            try:
                key_id = _peek_key_id(rows[row])
            except UnicodeDecodeError:
                key_id = None
            if key_id is None:
                raise
            refused = self.refusal(key_id)
            if refused is None:
                raise
            raise mark_row(refused, row) from None
