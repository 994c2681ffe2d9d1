"""The key ring in memory: named keys with one primary, their use, and rotation.

A token names its key, so a ring opens a token with one lookup by key id and
never tries its keys in turn. Each enabled key is also held prepared in
qv._ring (the cipher keyed once), and every use of a key goes through that
table. Uses qv._native, qv._ring and the package's other modules (the calls
on one value and on many, the stored form, files, keys and errors).
"""

from __future__ import annotations

import secrets
import threading
import time
from typing import Any, NoReturn

from qv._constants import KEY_SIZE
from qv._native import generate_key as _generate_key
from qv._native import peek_key_id as _peek_key_id
from qv._native import wipe_buffer as _wipe_buffer
from qv._ring import Handles as _Handles
from qv._ring import clear as _clear_handles
from qv._ring import drop as _drop_handle
from qv._ring import new_table as _new_table
from qv._ring import put as _put_handle
from qv.keyring.bulk import BulkCalls
from qv.keyring.document import one_secret, open_document, parse_document, seal_document
from qv.keyring.errors import (
    DECRYPTION_FAILED,
    DestroyedKeyError,
    DisabledKeyError,
    KeyPurposeError,
    KeyringError,
    UnknownKeyIdError,
)
from qv.keyring.files import FileCalls
from qv.keyring.keys import (
    Entry,
    HiddenKey,
    IndexKey,
    KeyInfo,
    Purpose,
    check_value,
    utc,
    validate_key_id,
    validate_purpose,
)
from qv.keyring.values import ValueCalls

__all__ = ["Keyring"]


class Keyring(ValueCalls, BulkCalls, FileCalls):
    """Keys with ids, statuses and one primary; opens tokens by their key id.

    Management calls are serialised by a lock. The ring holds a prepared
    handle for every enabled sealing key (and no other), changed with the
    entries under that lock; a call finds its key's handle in one native step,
    so encrypt and decrypt never see a half-made change from another thread,
    and once disable or destroy returns no new call uses that key.
    """

    def __init__(self) -> None:
        self._lock = threading.RLock()
        self._entries: dict[str, Entry] = {}
        self._primary: str | None = None
        self._handles: _Handles = _new_table()

    # -- management -----------------------------------------------------------

    def generate(self, key_id: str | None = None, *, purpose: Purpose = "sealing") -> str:
        """Add a new random key, enabled, and return its id.

        Without `key_id`, qv picks a short random id unique within the ring.
        The first enabled sealing key of a ring becomes its primary.
        `purpose="indexing"` makes a key that only feeds blind indexes
        (`index_key`): it never seals nor opens a token.
        """
        if key_id is not None:
            validate_key_id(key_id)
        purpose = validate_purpose(purpose)
        material = bytearray(_generate_key())
        try:
            with self._lock:
                if key_id is None:
                    key_id = self._fresh_id()
                self._insert(key_id, material, purpose)
        except BaseException:
            _wipe_buffer(material)
            raise
        return key_id

    def add(self, key_id: str, key: bytes | bytearray, *, purpose: Purpose = "sealing") -> None:
        """Import a raw 32-byte key under `key_id`, enabled, for `purpose`.

        The ring keeps its own copy; the caller may wipe `key` afterwards.
        """
        validate_key_id(key_id)
        purpose = validate_purpose(purpose)
        if not isinstance(key, bytes | bytearray):
            raise TypeError(f"qv: a key must be bytes or bytearray, not {type(key).__name__}.")
        if len(key) != KEY_SIZE:
            raise KeyringError(f"qv: key for key id {key_id!r} must be 32 bytes, not {len(key)}.")
        material = bytearray(key)
        try:
            with self._lock:
                self._insert(key_id, material, purpose)
        except BaseException:
            _wipe_buffer(material)
            raise

    def promote(self, key_id: str) -> None:
        """Make an enabled key the primary, the key new tokens are sealed under."""
        with self._lock:
            entry = self._entry(key_id)
            self._refuse_status(entry, "promote")
            if entry.purpose != "sealing":
                raise KeyPurposeError(
                    f"qv: key id {key_id!r} is an index key; it cannot be the primary, "
                    "which seals new tokens.",
                    entry.key_id,
                )
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
            _drop_handle(self._handles, entry.key_id)
            entry.status = "disabled"

    def enable(self, key_id: str) -> None:
        """Allow a disabled key to open tokens again."""
        with self._lock:
            entry = self._entry(key_id)
            if entry.status == "destroyed":
                raise DestroyedKeyError(
                    f"qv: key id {key_id!r} is destroyed and cannot be enabled.", key_id
                )
            if entry.material is not None and entry.purpose == "sealing":
                _put_handle(self._handles, entry.key_id, entry.material)
            entry.status = "enabled"
            if self._primary is None and entry.purpose == "sealing":
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
            _drop_handle(self._handles, entry.key_id)
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
                KeyInfo(
                    e.key_id,
                    e.status,
                    e.key_id == self._primary,
                    utc(e.created),
                    e.check,
                    e.purpose,
                )
                for e in self._entries.values()
            ]

    # -- many values at once -------------------------------------------------

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
        one_secret(passphrase, wrapping_key)
        with self._lock:
            entries = [
                Entry(
                    e.key_id,
                    e.status,
                    e.created,
                    e.check,
                    None if e.material is None else bytearray(e.material),
                    e.purpose,
                )
                for e in self._entries.values()
            ]
            primary = self._primary
        try:
            return seal_document(entries, primary, passphrase, wrapping_key)
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
        one_secret(passphrase, wrapping_key)
        if not isinstance(data, bytes | bytearray):
            raise TypeError(f"qv: key ring data must be bytes, not {type(data).__name__}.")
        doc = parse_document(bytes(data))
        ring = cls()
        entries, primary = open_document(doc, passphrase, wrapping_key)
        try:
            for e in entries:
                if e.status == "enabled" and e.material is not None and e.purpose == "sealing":
                    _put_handle(ring._handles, e.key_id, e.material)
        except BaseException:
            _clear_handles(ring._handles)
            for e in entries:
                if e.material is not None:
                    _wipe_buffer(e.material)
            raise
        ring._entries = {e.key_id: e for e in entries}
        ring._primary = primary
        return ring

    # -- for qv's own modules -------------------------------------------------
    #
    # Copies of key material, each a bytes whose repr hides it, for qv.arrow
    # and the bulk calls: not part of the documented API.

    def primary_key(self) -> tuple[str, bytes]:
        """The primary's id and a copy of its key, or the KeyringError of a ring without one."""
        with self._lock:
            return self._primary_id(), self._key_for(self._primary_id())

    def handles(self) -> _Handles:
        """The ring's table of prepared keys, for its calls on one or many values."""
        return self._handles

    def sealing_ids(self) -> list[str]:
        """The ids of the enabled sealing keys, primary first, taken under the lock."""
        with self._lock:
            ids = [
                e.key_id
                for e in self._entries.values()
                if e.status == "enabled" and e.purpose == "sealing"
            ]
            if self._primary is not None:
                ids.remove(self._primary)
                ids.insert(0, self._primary)
            return ids

    def enabled_keys(self) -> dict[str, bytes]:
        """A copy of every enabled sealing key by id, taken at one moment under the lock."""
        with self._lock:
            return {
                e.key_id: HiddenKey(e.material)
                for e in self._entries.values()
                if e.status == "enabled" and e.material is not None and e.purpose == "sealing"
            }

    def index_key(self, key_id: str) -> IndexKey:
        """A copy of the enabled index key `key_id`, for qv.BlindIndex.

        A sealing key is refused (KeyPurposeError): it never feeds an index, so
        rotating the sealing keys leaves every index value as it was.
        """
        with self._lock:
            entry = self._entry(key_id)
            if entry.purpose != "indexing":
                raise KeyPurposeError(
                    f"qv: key id {key_id!r} is a sealing key; a blind index takes only "
                    "an index key (generate one with purpose='indexing').",
                    entry.key_id,
                )
            self._refuse_status(entry, "use")
            assert entry.material is not None
            return IndexKey(entry.key_id, HiddenKey(entry.material))

    def refusal(self, key_id: str) -> KeyringError | None:
        """The error a call needing key `key_id` raises, or None when it is enabled."""
        with self._lock:
            entry = self._entries.get(key_id)
            if entry is None:
                return UnknownKeyIdError(f"qv: unknown key id {key_id!r}.", key_id)
            if entry.status == "disabled":
                return DisabledKeyError(f"qv: key id {key_id!r} is disabled.", key_id)
            if entry.material is None:
                return DestroyedKeyError(f"qv: key id {key_id!r} is destroyed.", key_id)
            if entry.purpose != "sealing":
                return KeyPurposeError(
                    f"qv: key id {key_id!r} is an index key; it never seals or opens a token.",
                    key_id,
                )
            return None

    # -- internals ------------------------------------------------------------

    def _primary_id(self) -> str:
        if self._primary is None:
            raise KeyringError("qv: the key ring has no enabled key to encrypt with.")
        return self._primary

    def _refuse_token(self, token: str | bytes | bytearray) -> None:
        # What a call raises for a token whose key has no handle, checked in
        # the order the calls have always checked it: the token's key id,
        # then that key, then the primary. Returns when the key has a handle
        # after all (it was enabled meanwhile).
        self._key_for(self._token_key_id(token))
        self._primary_id()

    def _key_for(self, key_id: str) -> bytes:
        """A copy of the enabled key `key_id`, or the error naming why there is none."""
        with self._lock:
            refused = self.refusal(key_id)
            if refused is not None:
                raise refused
            return HiddenKey(self._entries[key_id].material)  # type: ignore[arg-type]

    @staticmethod
    def _token_key_id(token: str | bytes | bytearray) -> str:
        try:
            key_id = _peek_key_id(token)
        except UnicodeDecodeError:
            # A key id that is not UTF-8 text names no key any ring can hold.
            key_id = None
        if key_id is None:
            raise RuntimeError(DECRYPTION_FAILED)
        return key_id

    def _entry(self, key_id: str) -> Entry:
        entry = self._entries.get(key_id) if isinstance(key_id, str) else None
        if entry is None:
            validate_key_id(key_id)
            raise UnknownKeyIdError(f"qv: unknown key id {key_id!r}.", key_id)
        return entry

    @staticmethod
    def _refuse_status(entry: Entry, action: str) -> None:
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

    def _insert(self, key_id: str, material: bytearray, purpose: Purpose) -> None:
        if key_id in self._entries:
            raise KeyringError(f"qv: key id {key_id!r} is already in the key ring.")
        entry = Entry(key_id, "enabled", int(time.time()), check_value(material), material, purpose)
        if purpose == "sealing":
            _put_handle(self._handles, key_id, material)
        self._entries[key_id] = entry
        if self._primary is None and purpose == "sealing":
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
        handles = getattr(self, "_handles", None)
        if handles is not None:
            _clear_handles(handles)
        for entry in getattr(self, "_entries", {}).values():
            if entry.material is not None:
                for i in range(len(entry.material)):
                    entry.material[i] = 0
