"""Sealed, self-describing qv.v2 tokens with ChaCha20-Poly1305."""

from importlib import metadata as _metadata

from qv._native import (
    decode_token,
    decrypt,
    derive_key_from_password,
    derive_subkey,
    encrypt,
    generate_key,
    peek_key_id,
    token_fingerprint,
    wipe_buffer,
)
from qv.keyring import (
    DestroyedKeyError,
    DisabledKeyError,
    KeyInfo,
    Keyring,
    KeyringError,
    UnknownKeyIdError,
)

__all__ = [
    "generate_key",
    "derive_key_from_password",
    "derive_subkey",
    "encrypt",
    "decrypt",
    "peek_key_id",
    "decode_token",
    "token_fingerprint",
    "wipe_buffer",
    "Keyring",
    "KeyInfo",
    "KeyringError",
    "UnknownKeyIdError",
    "DisabledKeyError",
    "DestroyedKeyError",
]

# The installed distribution's version; the native module keeps none of its own.
__version__: str = _metadata.version("qv")
del _metadata
