"""Sealed, self-describing qv.v2 tokens with ChaCha20-Poly1305."""

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
]
