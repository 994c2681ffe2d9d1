"""Key rings: named keys with one primary, rotation, and a locked stored form.

A token names its key, so a ring opens a token with one lookup by key id and
never tries its keys in turn. The stored form is a JSON document whose readable
part (ids, statuses, primary, creation times, check values, scrypt settings) is
bound as associated data to the sealed key material: editing any of it makes
the ring refuse to load.
"""

from __future__ import annotations

import json
import os
import secrets
import stat
import tempfile
import threading
import time
import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any, Final, Literal, NoReturn, TypeAlias, TypeVar

from qv._bulk import decrypt_many as _decrypt_many
from qv._bulk import decrypt_many_records as _decrypt_many_records
from qv._bulk import encrypt_many as _encrypt_many
from qv._native import decrypt as _decrypt
from qv._native import derive_key_from_password as _derive_key_from_password
from qv._native import derive_subkey as _derive_subkey
from qv._native import encrypt as _encrypt
from qv._native import generate_key as _generate_key
from qv._native import peek_key_id as _peek_key_id
from qv._native import wipe_buffer as _wipe_buffer

if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

    from qv._native import _Opened

__all__ = [
    "DestroyedKeyError",
    "DisabledKeyError",
    "KeyInfo",
    "Keyring",
    "KeyringError",
    "UnknownKeyIdError",
]

Status: TypeAlias = Literal["enabled", "disabled", "destroyed"]
_Aad: TypeAlias = str | dict[str, str] | None
_Row = TypeVar("_Row")
# One `aad` for every row of a bulk call, or a list or tuple of one per row.
_ManyAad: TypeAlias = _Aad | list[_Aad] | tuple[_Aad, ...]
_Path: TypeAlias = str | os.PathLike[str]

KEY_SIZE: Final = 32
MAX_KEY_ID_BYTES: Final = 255
FORMAT_NAME: Final = "qv.keyring"
FORMAT_VERSION: Final = 1
# Every sealed part of a stored ring carries this id; it is not a ring key's id.
_SEAL_ID: Final = "qv.keyring"
_CHECK_CONTEXT: Final = "keyring-check"
_CHECK_BYTES: Final = 8
# scrypt settings for save (qv's defaults). Load takes what the file names,
# up to the caps below, which it checks before deriving anything so that a
# hostile file cannot make the process spend minutes or gigabytes.
_SAVE_SCRYPT: tuple[int, int, int] = (131072, 8, 1)
_MAX_N: Final = 2**20
_MIN_N: Final = 2**14
_MAX_R: Final = 32
_MAX_P: Final = 16
# scrypt's working memory (128 * r * N bytes) is capped by the native module.
_MAX_SCRYPT_MEMORY: Final = 256 * 1024 * 1024
_MAX_SALT_HEX: Final = 256
_DECRYPTION_FAILED: Final = "qv: decryption failed."


class KeyringError(ValueError):
    """A key ring refused a call, or a stored ring does not load."""


class _KeyIdError(KeyringError):
    def __init__(self, message: str, key_id: str) -> None:
        super().__init__(message)
        self.key_id = key_id


class UnknownKeyIdError(_KeyIdError):
    """A token or call names a key id that the ring does not hold."""


class DisabledKeyError(_KeyIdError):
    """A token or call names a disabled key."""


class DestroyedKeyError(_KeyIdError):
    """A token or call names a key whose material was destroyed."""


@dataclass(frozen=True)
class KeyInfo:
    """What a listing shows of one key: never the key itself."""

    key_id: str
    status: Status
    primary: bool
    created: datetime
    check: str


class _Entry:
    """One key. `material` is None once destroyed; it is wiped before release."""

    __slots__ = ("check", "created", "key_id", "material", "status")

    def __init__(
        self,
        key_id: str,
        status: Status,
        created: int,
        check: str,
        material: bytearray | None,
    ) -> None:
        self.key_id = key_id
        self.status: Status = status
        self.created = created
        self.check = check
        self.material = material

    def __repr__(self) -> str:
        return f"<key {self.key_id!r} {self.status}>"


def _check_value(key: bytes | bytearray) -> str:
    # HKDF under its own context: equal checks mean equal keys, and the check
    # tells nothing about the key or about what the key derives elsewhere.
    return _derive_subkey(bytes(key), _CHECK_CONTEXT)[:_CHECK_BYTES].hex()


def _validate_key_id(key_id: object) -> str:
    if not isinstance(key_id, str):
        raise TypeError(f"qv: a key id must be a str, not {type(key_id).__name__}.")
    try:
        size = len(key_id.encode("utf-8"))
    except UnicodeEncodeError:
        raise KeyringError(f"qv: key id {key_id!r} is not valid UTF-8 text.") from None
    if not 1 <= size <= MAX_KEY_ID_BYTES:
        raise KeyringError(f"qv: key id {key_id!r} must be 1-255 UTF-8 bytes, not {size}.")
    if "\0" in key_id:
        raise KeyringError(f"qv: key id {key_id!r} must not contain NUL characters.")
    return key_id


def _hex_into_bytearray(key: bytearray) -> bytearray:
    # Lower-case hex built byte by byte, so that no immutable copy of the key
    # text is made on the way into a token.
    digits = b"0123456789abcdef"
    out = bytearray(2 * len(key))
    for i, byte in enumerate(key):
        out[2 * i] = digits[byte >> 4]
        out[2 * i + 1] = digits[byte & 15]
    return out


def _utc(seconds: int) -> datetime:
    return datetime.fromtimestamp(seconds, UTC)


def _iso(seconds: int) -> str:
    return _utc(seconds).strftime("%Y-%m-%dT%H:%M:%SZ")


def _parse_iso(text: object) -> int:
    if not isinstance(text, str) or len(text) != 20 or not text.endswith("Z"):
        raise KeyringError(f"qv: key ring creation time {text!r} is not YYYY-MM-DDTHH:MM:SSZ.")
    try:
        parsed = datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=UTC)
    except ValueError:
        raise KeyringError(
            f"qv: key ring creation time {text!r} is not YYYY-MM-DDTHH:MM:SSZ."
        ) from None
    return int(parsed.timestamp())


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


def _failed_row(error: BaseException) -> int | None:
    """The row index that a bulk call noted on its exception, if any."""
    for note in reversed(getattr(error, "__notes__", [])):
        if isinstance(note, str) and note.startswith("row ") and note[4:].isdigit():
            return int(note[4:])
    return None


class Keyring:
    """Keys with ids, statuses and one primary; opens tokens by their key id.

    Management calls are serialised by a lock, and every use of a key takes its
    copy under the same lock, so encrypt and decrypt never see a half-made
    change from another thread.
    """

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._entries: dict[str, _Entry] = {}
        self._primary: str | None = None

    # -- management -----------------------------------------------------------

    def generate(self, key_id: str | None = None) -> str:
        """Add a new random key, enabled, and return its id.

        Without `key_id`, qv picks a short random id unique within the ring.
        The first enabled key of a ring becomes its primary.
        """
        if key_id is not None:
            _validate_key_id(key_id)
        material = bytearray(_generate_key())
        try:
            with self._lock:
                if key_id is None:
                    key_id = self._fresh_id()
                self._insert(key_id, material)
        except BaseException:
            _wipe_buffer(material)
            raise
        return key_id

    def add(self, key_id: str, key: bytes | bytearray) -> None:
        """Import a raw 32-byte key under `key_id`, enabled.

        The ring keeps its own copy; the caller may wipe `key` afterwards.
        """
        _validate_key_id(key_id)
        if not isinstance(key, bytes | bytearray):
            raise TypeError(f"qv: a key must be bytes or bytearray, not {type(key).__name__}.")
        if len(key) != KEY_SIZE:
            raise KeyringError(f"qv: key for key id {key_id!r} must be 32 bytes, not {len(key)}.")
        material = bytearray(key)
        try:
            with self._lock:
                self._insert(key_id, material)
        except BaseException:
            _wipe_buffer(material)
            raise

    def promote(self, key_id: str) -> None:
        """Make an enabled key the primary, the key new tokens are sealed under."""
        with self._lock:
            entry = self._entry(key_id)
            self._refuse_status(entry, "promote")
            self._primary = entry.key_id

    def disable(self, key_id: str) -> None:
        """Stop using a key for anything, keeping its material (undo with enable)."""
        with self._lock:
            entry = self._entry(key_id)
            if entry.key_id == self._primary:
                raise KeyringError(
                    f"qv: key id {key_id!r} is the primary; promote another key before disabling it."
                )
            if entry.status == "destroyed":
                raise DestroyedKeyError(f"qv: key id {key_id!r} is destroyed.", key_id)
            entry.status = "disabled"

    def enable(self, key_id: str) -> None:
        """Allow a disabled key to open tokens again."""
        with self._lock:
            entry = self._entry(key_id)
            if entry.status == "destroyed":
                raise DestroyedKeyError(
                    f"qv: key id {key_id!r} is destroyed and cannot be enabled.", key_id
                )
            entry.status = "enabled"
            if self._primary is None:
                self._primary = entry.key_id

    def destroy(self, key_id: str) -> None:
        """Wipe a key's material for good; its id stays as a tombstone.

        The tombstone keeps the id from being taken again, so old tokens that
        name it are reported as under a destroyed key, never opened by another.
        """
        with self._lock:
            entry = self._entry(key_id)
            if entry.key_id == self._primary:
                raise KeyringError(
                    f"qv: key id {key_id!r} is the primary; promote another key before destroying it."
                )
            material, entry.material = entry.material, None
            entry.status = "destroyed"
        if material is not None:
            _wipe_buffer(material)

    def remove(self, key_id: str) -> None:
        """Drop a destroyed key's tombstone from the ring."""
        with self._lock:
            entry = self._entry(key_id)
            if entry.status != "destroyed":
                raise KeyringError(
                    f"qv: key id {key_id!r} is {entry.status}; destroy it before removing it."
                )
            del self._entries[key_id]

    def keys(self) -> list[KeyInfo]:
        """List every key in the order it joined the ring; never the material."""
        with self._lock:
            return [
                KeyInfo(e.key_id, e.status, e.key_id == self._primary, _utc(e.created), e.check)
                for e in self._entries.values()
            ]

    # -- use ------------------------------------------------------------------

    def encrypt(
        self,
        plaintext: str | bytes | bytearray,
        *,
        deterministic: bool = False,
        metadata: Mapping[str, str] | None = None,
        aad: _Aad = None,
    ) -> str:
        """Seal `plaintext` under the primary key, naming it in the token."""
        key_id, key = self._primary_key()
        return _encrypt(plaintext, key, key_id, deterministic, metadata or {}, aad)

    def decrypt(self, token: str | bytes | bytearray, *, aad: _Aad = None) -> _Opened:
        """Open a token with the key its key id names; returns what qv.decrypt returns.

        A token that does not decode or does not open raises qv.decrypt's
        RuntimeError "qv: decryption failed."; a key id the ring does not hold,
        or holds disabled or destroyed, raises the matching KeyringError.
        """
        key_id = self._token_key_id(token)
        return _decrypt(token, self._key_for(key_id), aad)

    def needs_rotation(self, token: str | bytes | bytearray) -> bool:
        """True when the token's key is not the primary (nothing is decrypted).

        A key id the ring does not hold raises UnknownKeyIdError: such a token
        cannot be rotated by this ring at all.
        """
        key_id = self._token_key_id(token)
        with self._lock:
            self._entry(key_id)
            return key_id != self._primary

    def rotate(self, token: str | bytes | bytearray, *, aad: _Aad = None) -> str:
        """Open a token and seal it again under the primary.

        Plaintext, metadata and mode are kept. A token already under the
        primary comes back unchanged, once it has been checked to open.
        """
        key_id = self._token_key_id(token)
        with self._lock:
            old_key = self._key_for(key_id)
            primary_id, primary_key = self._primary_key()
        opened = _decrypt(token, old_key, aad)
        if key_id == primary_id:
            return token if isinstance(token, str) else bytes(token).decode("ascii")
        return _encrypt(
            opened["data"],
            primary_key,
            primary_id,
            opened["deterministic"],
            opened["metadata"],
            aad,
        )

    def lookup_tokens(
        self,
        plaintext: str | bytes | bytearray,
        *,
        metadata: Mapping[str, str] | None = None,
        aad: _Aad = None,
    ) -> list[str]:
        """The deterministic token of `plaintext` under every enabled key, primary first.

        Records sealed deterministically under any key still in use are found
        by looking for any of these tokens, while keys rotate.
        """
        with self._lock:
            ids = [e.key_id for e in self._entries.values() if e.status == "enabled"]
            if self._primary is not None:
                ids.remove(self._primary)
                ids.insert(0, self._primary)
            keys = [(key_id, self._key_for(key_id)) for key_id in ids]
        return [_encrypt(plaintext, key, key_id, True, metadata or {}, aad) for key_id, key in keys]

    # -- many values at once -------------------------------------------------

    def encrypt_many(
        self,
        plaintexts: Sequence[str | bytes | bytearray | None],
        *,
        deterministic: bool = False,
        metadata: Mapping[str, str] | None = None,
        aad: _ManyAad = None,
        threads: int | None = None,
    ) -> list[str | None]:
        """`encrypt` for every row under the primary key (see qv.encrypt_many)."""
        key_id, key = self._primary_key()
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
        aad: _ManyAad = None,
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
        aad: _ManyAad = None,
        errors: Literal["raise", "null"] = "raise",
        threads: int | None = None,
    ) -> list[str | None]:
        """`rotate` for every row: tokens under other keys are sealed again under the primary.

        Plaintext, metadata and mode are kept; a token already under the
        primary comes back unchanged once it has opened. Failing rows behave
        as in `decrypt_many`.
        """
        rows = _as_rows(tokens)
        primary_id, primary_key = self._primary_key()
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
        aad: _ManyAad,
        errors: str,
        threads: int | None,
    ) -> list[_Row]:
        with self._lock:
            keys = {
                e.key_id: bytes(e.material)
                for e in self._entries.values()
                if e.status == "enabled" and e.material is not None
            }
        try:
            return open_rows(rows, keys, aad=aad, errors=errors, threads=threads)
        except (RuntimeError, ValueError) as e:
            row = _failed_row(e)
            if row is None or not isinstance(rows, list | tuple):
                raise
            # The row's own key fails it first, as in `decrypt`, if the ring
            # does not hold that key enabled.
            try:
                key_id = _peek_key_id(rows[row])
            except UnicodeDecodeError:
                key_id = None
            if key_id is None or key_id in keys:
                raise
            try:
                self._key_for(key_id)
            except KeyringError as refused:
                refused.add_note(f"row {row}")
                raise refused from None
            raise

    # -- stored form ----------------------------------------------------------

    def to_bytes(
        self,
        *,
        passphrase: str | bytes | None = None,
        wrapping_key: bytes | None = None,
    ) -> bytes:
        """The ring as one JSON document, its key material sealed under a wrapping key.

        The wrapping key is derived from `passphrase` with scrypt (a fresh salt
        each time, stored in the document) or given as 32 bytes.
        """
        _one_secret(passphrase, wrapping_key)
        with self._lock:
            entries = [
                _Entry(
                    e.key_id,
                    e.status,
                    e.created,
                    e.check,
                    None if e.material is None else bytearray(e.material),
                )
                for e in self._entries.values()
            ]
            primary = self._primary
        try:
            return _seal_document(entries, primary, passphrase, wrapping_key)
        finally:
            for e in entries:
                if e.material is not None:
                    _wipe_buffer(e.material)

    @classmethod
    def from_bytes(
        cls,
        data: bytes | bytearray,
        *,
        passphrase: str | bytes | None = None,
        wrapping_key: bytes | None = None,
    ) -> Keyring:
        """Open a document made by to_bytes; refuses one that was altered in any part."""
        _one_secret(passphrase, wrapping_key)
        if not isinstance(data, bytes | bytearray):
            raise TypeError(f"qv: key ring data must be bytes, not {type(data).__name__}.")
        doc = _parse_document(bytes(data))
        ring = cls()
        entries, primary = _open_document(doc, passphrase, wrapping_key)
        ring._entries = {e.key_id: e for e in entries}
        ring._primary = primary
        return ring

    def save(
        self,
        path: _Path,
        *,
        passphrase: str | bytes | None = None,
        wrapping_key: bytes | None = None,
    ) -> None:
        """Write the ring to `path` atomically, with mode 0600 from creation on.

        The document goes to a temporary file in the same folder, is synced,
        and then renamed over `path`; a failed save leaves the old file as it was.
        """
        data = self.to_bytes(passphrase=passphrase, wrapping_key=wrapping_key)
        _write_atomically(os.fspath(path), data)

    @classmethod
    def load(
        cls,
        path: _Path,
        *,
        passphrase: str | bytes | None = None,
        wrapping_key: bytes | None = None,
    ) -> Keyring:
        """Read a ring saved by save; warns once if other users can read the file."""
        _one_secret(passphrase, wrapping_key)
        return cls.from_bytes(
            _read_file(os.fspath(path)), passphrase=passphrase, wrapping_key=wrapping_key
        )

    @staticmethod
    def describe(path_or_bytes: _Path | bytes | bytearray) -> list[KeyInfo]:
        """List the keys of a stored ring from its readable part, without any secret.

        Nothing is authenticated here: trust the listing only after a load succeeds.
        """
        source = path_or_bytes
        data = (
            bytes(source)
            if isinstance(source, bytes | bytearray)
            else _read_file(os.fspath(source))
        )
        doc = _parse_document(data)
        entries, primary = _readable_entries(doc)
        return [
            KeyInfo(e.key_id, e.status, e.key_id == primary, _utc(e.created), e.check)
            for e in entries
        ]

    # -- internals ------------------------------------------------------------

    def _key_for(self, key_id: str) -> bytes:
        """A copy of the enabled key `key_id`, or the error naming why there is none."""
        with self._lock:
            entry = self._entries.get(key_id)
            if entry is None:
                raise UnknownKeyIdError(f"qv: unknown key id {key_id!r}.", key_id)
            if entry.status == "disabled":
                raise DisabledKeyError(f"qv: key id {key_id!r} is disabled.", key_id)
            if entry.material is None:
                raise DestroyedKeyError(f"qv: key id {key_id!r} is destroyed.", key_id)
            return bytes(entry.material)

    def _primary_key(self) -> tuple[str, bytes]:
        with self._lock:
            if self._primary is None:
                raise KeyringError("qv: the key ring has no enabled key to encrypt with.")
            return self._primary, self._key_for(self._primary)

    @staticmethod
    def _token_key_id(token: str | bytes | bytearray) -> str:
        try:
            key_id = _peek_key_id(token)
        except UnicodeDecodeError:
            # A key id that is not UTF-8 text names no key any ring can hold.
            key_id = None
        if key_id is None:
            raise RuntimeError(_DECRYPTION_FAILED)
        return key_id

    def _entry(self, key_id: str) -> _Entry:
        entry = self._entries.get(key_id) if isinstance(key_id, str) else None
        if entry is None:
            _validate_key_id(key_id)
            raise UnknownKeyIdError(f"qv: unknown key id {key_id!r}.", key_id)
        return entry

    @staticmethod
    def _refuse_status(entry: _Entry, action: str) -> None:
        if entry.status == "disabled":
            raise DisabledKeyError(
                f"qv: key id {entry.key_id!r} is disabled; enable it before you {action} it.",
                entry.key_id,
            )
        if entry.status == "destroyed":
            raise DestroyedKeyError(
                f"qv: key id {entry.key_id!r} is destroyed and cannot be {action}d.",
                entry.key_id,
            )

    def _fresh_id(self) -> str:
        while True:
            key_id = secrets.token_hex(4)
            if key_id not in self._entries:
                return key_id

    def _insert(self, key_id: str, material: bytearray) -> None:
        if key_id in self._entries:
            raise KeyringError(f"qv: key id {key_id!r} is already in the key ring.")
        self._entries[key_id] = _Entry(
            key_id, "enabled", int(time.time()), _check_value(material), material
        )
        if self._primary is None:
            self._primary = key_id

    def __repr__(self) -> str:
        with self._lock:
            counts = {s: 0 for s in ("enabled", "disabled", "destroyed")}
            for e in self._entries.values():
                counts[e.status] += 1
            parts = ", ".join(f"{n} {s}" for s, n in counts.items() if n)
            return f"<qv.Keyring primary={self._primary!r} {parts or 'empty'}>"

    def __reduce_ex__(self, protocol: Any) -> NoReturn:
        # A copy would share key buffers that the original wipes; a pickle
        # would write keys unsealed. to_bytes is the way to carry a ring.
        raise TypeError("qv: a Keyring cannot be copied or pickled; use to_bytes().")

    def __del__(self) -> None:
        for entry in getattr(self, "_entries", {}).values():
            if entry.material is not None:
                for i in range(len(entry.material)):
                    entry.material[i] = 0


# -- stored form --------------------------------------------------------------
#
# {
#   "format": "qv.keyring", "version": 1,
#   "kdf": {"name": "scrypt", "salt_hex": ..., "N": ..., "r": ..., "p": ...}
#          or {"name": "wrapping-key"},
#   "primary": key id or null,
#   "keys": [{"key_id", "status", "created", "check"}, ...],
#   "unlock": token,   (a fixed text under the wrapping key: tells a wrong
#                       passphrase apart from an altered document)
#   "sealed": token    (the key material, bound to the readable part)
# }
_READABLE = ("format", "version", "kdf", "primary", "keys")
_MEMBERS = frozenset((*_READABLE, "unlock", "sealed"))
_UNLOCK_TEXT: Final = "qv.keyring unlock"


def _one_secret(passphrase: object, wrapping_key: object) -> None:
    if (passphrase is None) == (wrapping_key is None):
        raise TypeError("qv: give exactly one of passphrase= or wrapping_key=.")
    if passphrase is not None:
        if not isinstance(passphrase, str | bytes):
            raise TypeError(
                f"qv: a passphrase must be str or bytes, not {type(passphrase).__name__}."
            )
        if len(passphrase) == 0:
            raise KeyringError("qv: the passphrase must not be empty.")
    if wrapping_key is not None:
        if not isinstance(wrapping_key, bytes):
            raise TypeError(f"qv: a wrapping key must be bytes, not {type(wrapping_key).__name__}.")
        if len(wrapping_key) != KEY_SIZE:
            raise KeyringError(f"qv: a wrapping key must be 32 bytes, not {len(wrapping_key)}.")


def _canonical(readable: dict[str, Any]) -> str:
    # The associated data: the readable members with sorted keys, no spaces,
    # non-ASCII escaped. The file's own layout is free; its content is bound.
    return json.dumps(readable, sort_keys=True, separators=(",", ":"), ensure_ascii=True)


def _seal_document(
    entries: list[_Entry],
    primary: str | None,
    passphrase: str | bytes | None,
    wrapping_key: bytes | None,
) -> bytes:
    if passphrase is not None:
        n, r, p = _SAVE_SCRYPT
        derived = _derive_key_from_password(passphrase, "", n, r, p)
        wrap = derived["key"]
        kdf: dict[str, Any] = {
            "name": "scrypt",
            "salt_hex": derived["salt_hex"],
            "N": n,
            "r": r,
            "p": p,
        }
    else:
        assert wrapping_key is not None
        wrap = wrapping_key
        kdf = {"name": "wrapping-key"}
    readable: dict[str, Any] = {
        "format": FORMAT_NAME,
        "version": FORMAT_VERSION,
        "kdf": kdf,
        "primary": primary,
        "keys": [
            {"key_id": e.key_id, "status": e.status, "created": _iso(e.created), "check": e.check}
            for e in entries
        ],
    }
    # {"id":"hex",...} assembled in a bytearray, wiped once sealed.
    secret = bytearray(b"{")
    try:
        for e in entries:
            if e.material is None:
                continue
            if len(secret) > 1:
                secret += b","
            secret += json.dumps(e.key_id, ensure_ascii=True).encode("ascii") + b':"'
            hexed = _hex_into_bytearray(e.material)
            secret += hexed
            _wipe_buffer(hexed)
            secret += b'"'
        secret += b"}"
        sealed = _encrypt(secret, wrap, _SEAL_ID, False, {}, _canonical(readable))
    finally:
        _wipe_buffer(secret)
    doc = dict(readable)
    doc["unlock"] = _encrypt(_UNLOCK_TEXT, wrap, _SEAL_ID)
    doc["sealed"] = sealed
    return (json.dumps(doc, indent=2, ensure_ascii=False) + "\n").encode("utf-8")


def _refuse_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for name, value in pairs:
        if name in out:
            raise KeyringError(f"qv: key ring document repeats the member {name!r}.")
        out[name] = value
    return out


def _refuse_constant(name: str) -> NoReturn:
    raise KeyringError(f"qv: key ring document holds {name}, which JSON does not allow.")


def _parse_document(data: bytes) -> dict[str, Any]:
    try:
        doc = json.loads(
            data.decode("utf-8"),
            object_pairs_hook=_refuse_duplicates,
            parse_constant=_refuse_constant,
        )
    except KeyringError:
        raise
    except (ValueError, RecursionError):
        # ValueError covers bad UTF-8, bad JSON and integers too long to convert.
        raise KeyringError("qv: not a key ring document (not UTF-8 JSON, or truncated).") from None
    if not isinstance(doc, dict) or doc.get("format") != FORMAT_NAME:
        raise KeyringError("qv: not a key ring document (format is not 'qv.keyring').")
    version = doc.get("version")
    if version != FORMAT_VERSION or isinstance(version, bool):
        raise KeyringError(
            f"qv: key ring document version {version!r} is not supported (this qv reads 1)."
        )
    unknown = set(doc) - _MEMBERS
    missing = _MEMBERS - set(doc)
    if unknown or missing:
        raise KeyringError(
            "qv: malformed key ring document: "
            + "; ".join(
                part
                for part in (
                    f"unknown members {sorted(unknown)}" if unknown else "",
                    f"missing members {sorted(missing)}" if missing else "",
                )
                if part
            )
            + "."
        )
    return doc


def _malformed(what: str) -> KeyringError:
    return KeyringError(f"qv: malformed key ring document: {what}.")


def _readable_entries(doc: dict[str, Any]) -> tuple[list[_Entry], str | None]:
    keys = doc["keys"]
    if not isinstance(keys, list):
        raise _malformed("'keys' is not a list")
    entries: list[_Entry] = []
    seen: set[str] = set()
    for item in keys:
        if not isinstance(item, dict) or set(item) != {"key_id", "status", "created", "check"}:
            raise _malformed("a key entry does not hold exactly key_id, status, created, check")
        try:
            key_id = _validate_key_id(item["key_id"])
        except TypeError:
            raise _malformed("a key id is not text") from None
        if key_id in seen:
            raise _malformed(f"key id {key_id!r} appears twice")
        seen.add(key_id)
        status = item["status"]
        if status not in ("enabled", "disabled", "destroyed"):
            raise _malformed(f"key id {key_id!r} has unknown status {status!r}")
        check = item["check"]
        if (
            not isinstance(check, str)
            or len(check) != 2 * _CHECK_BYTES
            or check.strip("0123456789abcdef")
        ):
            raise _malformed(f"key id {key_id!r} has a malformed check value")
        entries.append(_Entry(key_id, status, _parse_iso(item["created"]), check, None))
    primary = doc["primary"]
    enabled = [e.key_id for e in entries if e.status == "enabled"]
    if primary is None:
        if enabled:
            raise _malformed("enabled keys but no primary")
    elif not isinstance(primary, str) or primary not in enabled:
        raise _malformed(f"primary {primary!r} is not an enabled key")
    return entries, primary


def _scrypt_settings(kdf: Any) -> tuple[str, int, int, int]:
    if not isinstance(kdf, dict) or kdf.get("name") != "scrypt":
        raise _malformed("unknown kdf")
    if set(kdf) != {"name", "salt_hex", "N", "r", "p"}:
        raise _malformed("scrypt settings must be exactly name, salt_hex, N, r, p")
    salt, n, r, p = kdf["salt_hex"], kdf["N"], kdf["r"], kdf["p"]
    if (
        not isinstance(salt, str)
        or not 2 <= len(salt) <= _MAX_SALT_HEX
        or len(salt) % 2
        or salt.strip("0123456789abcdef")
    ):
        raise _malformed("scrypt salt_hex is not lower-case hex of 1-128 bytes")
    if not all(type(v) is int for v in (n, r, p)):
        raise _malformed("scrypt N, r and p must be integers")
    if not (_MIN_N <= n <= _MAX_N and n & (n - 1) == 0 and 1 <= r <= _MAX_R and 1 <= p <= _MAX_P):
        raise KeyringError(
            f"qv: key ring scrypt settings N={n}, r={r}, p={p} are outside the accepted "
            f"range (N a power of two from 2^14 to 2^20, r 1-32, p 1-16)."
        )
    if 128 * r * n > _MAX_SCRYPT_MEMORY:
        raise KeyringError(
            f"qv: key ring scrypt settings N={n}, r={r} need more than 256 MiB of memory."
        )
    return salt, n, r, p


def _open_document(
    doc: dict[str, Any], passphrase: str | bytes | None, wrapping_key: bytes | None
) -> tuple[list[_Entry], str | None]:
    entries, primary = _readable_entries(doc)
    kdf = doc["kdf"]
    if not isinstance(doc["unlock"], str) or not isinstance(doc["sealed"], str):
        raise _malformed("'unlock' and 'sealed' must be tokens")
    if passphrase is not None:
        if kdf == {"name": "wrapping-key"}:
            raise KeyringError("qv: this key ring is locked with a wrapping key, not a passphrase.")
        salt, n, r, p = _scrypt_settings(kdf)
        wrap = _derive_key_from_password(passphrase, salt, n, r, p)["key"]
        wrong = "qv: wrong passphrase for the key ring."
    else:
        if kdf != {"name": "wrapping-key"}:
            _scrypt_settings(kdf)
            raise KeyringError("qv: this key ring is locked with a passphrase, not a wrapping key.")
        assert wrapping_key is not None
        wrap = wrapping_key
        wrong = "qv: wrong wrapping key for the key ring."
    try:
        unlocked = _decrypt(doc["unlock"], wrap)["data"] == _UNLOCK_TEXT
    except (RuntimeError, UnicodeDecodeError):
        unlocked = False
    if not unlocked:
        raise KeyringError(wrong)
    readable = {name: doc[name] for name in _READABLE}
    try:
        opened = _decrypt(doc["sealed"], wrap, _canonical(readable))
        if opened["key_id"] != _SEAL_ID:
            raise RuntimeError(_DECRYPTION_FAILED)
        material = json.loads(opened["data"], object_pairs_hook=_refuse_duplicates)
        del opened
    except (RuntimeError, UnicodeDecodeError, json.JSONDecodeError):
        raise KeyringError(
            "qv: the key ring document was altered: its readable part or sealed keys "
            "do not match what was saved."
        ) from None
    if not isinstance(material, dict) or set(material) != {
        e.key_id for e in entries if e.status != "destroyed"
    }:
        raise _malformed("the sealed keys do not match the listed keys")
    try:
        for e in entries:
            if e.status == "destroyed":
                continue
            text = material[e.key_id]
            if (
                not isinstance(text, str)
                or len(text) != 2 * KEY_SIZE
                or text.strip("0123456789abcdef")
            ):
                raise _malformed(f"the sealed key of {e.key_id!r} is not 32 bytes of hex")
            e.material = bytearray.fromhex(text)
            if _check_value(e.material) != e.check:
                raise _malformed(f"the check value of {e.key_id!r} does not match its key")
    except BaseException:
        for e in entries:
            if e.material is not None:
                _wipe_buffer(e.material)
        raise
    return entries, primary


def _read_file(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            mode = os.fstat(f.fileno()).st_mode
            data = f.read()
    except OSError as e:
        raise KeyringError(f"qv: cannot read key ring file {path!r}: {e.strerror}.") from e
    if stat.S_ISREG(mode) and mode & 0o044:
        # The default warning filter shows this once per process and message.
        warnings.warn(
            f"qv: key ring file {path!r} can be read by other users "
            f"(mode {stat.S_IMODE(mode):04o}); chmod 600 it.",
            UserWarning,
            stacklevel=3,
        )
    return data


def _write_atomically(path: str, data: bytes) -> None:
    folder = os.path.dirname(path) or "."
    name = os.path.basename(path)
    try:
        # mkstemp creates the file with mode 0600, so the document is never
        # readable by others, not even for a moment.
        fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
    except OSError as e:
        raise KeyringError(f"qv: cannot save key ring to {path!r}: {e.strerror}.") from e
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise KeyringError(f"qv: cannot save key ring to {path!r}: {e.strerror}.") from e
        raise
    # The rename itself is durable only once the folder is synced.
    try:
        dir_fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)
