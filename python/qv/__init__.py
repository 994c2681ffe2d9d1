"""Sealed, self-describing qv.v2 tokens with ChaCha20-Poly1305."""

from importlib import metadata as _metadata

from qv._bulk import decrypt_many, encrypt_many
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

# Blind indexes live in qv.blind; the two names people reach for are here too
# (outside __all__, which lists the core calls and the key ring).
from qv.blind import BlindIndex as BlindIndex
from qv.blind import BlindIndexError as BlindIndexError
from qv.keyring import (
    DestroyedKeyError,
    DisabledKeyError,
    IndexKey,
    KeyInfo,
    KeyPurposeError,
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
    "encrypt_many",
    "decrypt_many",
    "Keyring",
    "KeyInfo",
    "KeyringError",
    "UnknownKeyIdError",
    "DisabledKeyError",
    "DestroyedKeyError",
    "KeyPurposeError",
    "IndexKey",
]

# The installed distribution's version; the native module keeps none of its own.
__version__: str = _metadata.version("qv")
del _metadata
