"""A key ring's calls over many values: qv's bulk calls with the ring's keys.

Written over three methods of the ring (its primary, its enabled keys and the
error for a key it cannot use), so that nothing here touches the ring's state.
Uses qv._bulk, qv._native, qv._rows and the package's errors.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Literal, TypeAlias, TypeVar

from qv._bulk import decrypt_many as _decrypt_many
from qv._bulk import decrypt_many_records as _decrypt_many_records
from qv._bulk import encrypt_many as _encrypt_many
from qv._native import peek_key_id as _peek_key_id
from qv._rows import failed_row, mark_row

if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

    from qv.keyring.errors import KeyringError

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

        def primary_key(self) -> tuple[str, bytes]: ...

        def enabled_keys(self) -> dict[str, bytes]: ...

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
        key_id, key = self.primary_key()
        return _encrypt_many(
            plaintexts,
            key,
            key_id,
            deterministic=deterministic,
            metadata=metadata,
            aad=aad,
            threads=threads,
        )

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
        primary_id, primary_key = self.primary_key()
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
                [opened[i]["data"] for i in index],  # type: ignore[index]
                primary_key,
                primary_id,
                deterministic=deterministic,
                metadata=dict(metadata),
                aad=[aad[i] for i in index] if per_row else aad,  # type: ignore[index]
                threads=threads,
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
        keys = self.enabled_keys()
        try:
            return open_rows(rows, keys, aad=aad, errors=errors, threads=threads)
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
            if key_id is None or key_id in keys:
                raise
            refused = self.refusal(key_id)
            if refused is None:
                raise
            raise mark_row(refused, row) from None
