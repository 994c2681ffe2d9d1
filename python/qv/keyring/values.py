"""A key ring's calls on one value: seal, open, rotate, and the lookup tokens.

Written, as the bulk calls are, over the ring's table of prepared keys and a
few of its methods (its primary, the error for a token whose key has no
handle); each call is one native step in qv._ring. Uses qv._ring and the
package's errors.
"""

from __future__ import annotations

import threading
from collections.abc import Mapping
from typing import TYPE_CHECKING

from qv._ring import Handles as _Handles
from qv._ring import decrypt as _open
from qv._ring import encrypt as _seal
from qv._ring import rotate as _rotate
from qv.keyring.bulk import Aad

if TYPE_CHECKING:
    from qv._native import _Opened
    from qv.keyring.keys import Entry

__all__ = ["ValueCalls"]

# The metadata of a call given none; read by the native calls, never changed.
_NO_METADATA: Mapping[str, str] = {}


class ValueCalls:
    """The calls of Keyring on one value."""

    if TYPE_CHECKING:
        _lock: threading.RLock
        _primary: str | None

        def handles(self) -> _Handles: ...

        def sealing_ids(self) -> list[str]: ...

        def _primary_id(self) -> str: ...

        def _refuse_token(self, token: str | bytes | bytearray) -> None: ...

        @staticmethod
        def _token_key_id(token: str | bytes | bytearray) -> str: ...

        def _entry(self, key_id: str) -> Entry: ...

    def encrypt(
        self,
        plaintext: str | bytes | bytearray,
        *,
        deterministic: bool = False,
        metadata: Mapping[str, str] | None = None,
        aad: Aad = None,
    ) -> str:
        """Seal `plaintext` under the primary key, naming it in the token."""
        # The primary is read without the lock: a key being changed meanwhile
        # has no handle, and the call is made again under the lock.
        key_id = self._primary
        metadata = metadata or _NO_METADATA
        if key_id is not None:
            token = _seal(self.handles(), key_id, plaintext, deterministic, metadata, aad)
            if token is not None:
                return token
        with self._lock:
            token = _seal(
                self.handles(), self._primary_id(), plaintext, deterministic, metadata, aad
            )
            assert token is not None, "every enabled key has a handle"
            return token

    def decrypt(self, token: str | bytes | bytearray, *, aad: Aad = None) -> _Opened:
        """Open a token with the key its key id names; returns what qv.decrypt returns.

        A token that does not decode or does not open raises qv.decrypt's
        RuntimeError "qv: decryption failed."; a key id the ring does not hold,
        or holds disabled or destroyed, raises the matching KeyringError.
        """
        try:
            opened = _open(self.handles(), token, aad)
        except TypeError:
            # A token of the wrong type is refused as reading its key id refuses it.
            self._token_key_id(token)
            raise
        if opened is None:
            with self._lock:
                self._refuse_token(token)
                opened = _open(self.handles(), token, aad)
                assert opened is not None, "every enabled key has a handle"
        return opened

    def needs_rotation(self, token: str | bytes | bytearray) -> bool:
        """True when the token's key is not the primary (nothing is decrypted).

        A key id the ring does not hold raises UnknownKeyIdError: such a token
        cannot be rotated by this ring at all.
        """
        key_id = self._token_key_id(token)
        with self._lock:
            self._entry(key_id)
            return key_id != self._primary

    def rotate(self, token: str | bytes | bytearray, *, aad: Aad = None) -> str:
        """Open a token and seal it again under the primary.

        Plaintext, metadata and mode are kept. A token already under the
        primary comes back unchanged, once it has been checked to open.
        """
        try:
            rotated = _rotate(self.handles(), token, self._primary, aad)
            if rotated is None:
                with self._lock:
                    self._refuse_token(token)
                    rotated = _rotate(self.handles(), token, self._primary_id(), aad)
        except TypeError:
            self._token_key_id(token)
            raise
        assert rotated is not None, "every enabled key has a handle"
        return rotated

    def lookup_tokens(
        self,
        plaintext: str | bytes | bytearray,
        *,
        metadata: Mapping[str, str] | None = None,
        aad: Aad = None,
    ) -> list[str]:
        """The deterministic token of `plaintext` under every enabled key, primary first.

        Records sealed deterministically under any key still in use are found
        by looking for any of these tokens, while keys rotate.
        """
        with self._lock:
            tokens = [
                _seal(self.handles(), key_id, plaintext, True, metadata or {}, aad)
                for key_id in self.sealing_ids()
            ]
        return [t for t in tokens if t is not None]
