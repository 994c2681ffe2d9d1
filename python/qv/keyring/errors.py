"""The exceptions a key ring raises. Standard library only."""

from __future__ import annotations

from typing import Final

__all__ = [
    "DECRYPTION_FAILED",
    "DestroyedKeyError",
    "DisabledKeyError",
    "KeyIdError",
    "KeyPurposeError",
    "KeyringError",
    "UnknownKeyIdError",
]

# What qv.decrypt raises (a RuntimeError) for a token that does not open.
DECRYPTION_FAILED: Final = "qv: decryption failed."


class KeyringError(ValueError):
    """A key ring refused a call, or a stored ring does not load."""


class KeyIdError(KeyringError):
    def __init__(self, message: str, key_id: str) -> None:
        super().__init__(message)
        self.key_id = key_id


class UnknownKeyIdError(KeyIdError):
    """A token or call names a key id that the ring does not hold."""


class DisabledKeyError(KeyIdError):
    """A token or call names a disabled key."""


class DestroyedKeyError(KeyIdError):
    """A token or call names a key whose material was destroyed."""


class KeyPurposeError(KeyIdError):
    """A call gave a key of the other purpose: an index key to seal or open, or a
    sealing key to a blind index."""
