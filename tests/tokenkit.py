"""Hand-built token bodies, so malformed and tampered tokens are easy to write.

Independent of qv: it lays out the qv.v2 body byte by byte.
"""

from __future__ import annotations

import base64

PREFIX = "qv.v2."


def body(
    *,
    version: int = 2,
    flags: int = 0,
    key_id: bytes = b"k1",
    nonce: bytes = bytes(12),
    tag: bytes = bytes(16),
    metadata_text: bytes = b"",
    ciphertext: bytes = b"x",
    key_id_len: int | None = None,
    metadata_len: int | None = None,
) -> bytes:
    """Lay out a token body; the *_len arguments override the length fields."""
    kl = len(key_id) if key_id_len is None else key_id_len
    ml = len(metadata_text) if metadata_len is None else metadata_len
    return (
        bytes([version, flags, kl])
        + key_id
        + nonce
        + tag
        + ml.to_bytes(2, "big")
        + metadata_text
        + ciphertext
    )


def b64url(data: bytes) -> str:
    """Unpadded base64url text of `data`."""
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def token(body_bytes: bytes) -> str:
    return PREFIX + b64url(body_bytes)


def unb64url(text: str) -> bytes:
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def split(token_str: str) -> dict:
    """Parse a well-formed token back into its fields."""
    assert token_str.startswith(PREFIX)
    raw = unb64url(token_str[len(PREFIX):])
    kl = raw[2]
    ml = int.from_bytes(raw[31 + kl : 33 + kl], "big")
    return {
        "version": raw[0],
        "flags": raw[1],
        "key_id": raw[3 : 3 + kl],
        "nonce": raw[3 + kl : 15 + kl],
        "tag": raw[15 + kl : 31 + kl],
        "metadata_text": raw[33 + kl : 33 + kl + ml],
        "ciphertext": raw[33 + kl + ml :],
    }


def rebuild(token_str: str, **changes: object) -> str:
    """Re-encode a token with some of its fields replaced (see `body`)."""
    fields = split(token_str)
    fields.update(changes)
    return token(body(**fields))  # type: ignore[arg-type]
