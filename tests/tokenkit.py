"""Hand-built qv.v2 token bodies, for malformed and tampered tokens. Independent of qv."""

from __future__ import annotations

import base64

PREFIX = "qv.v2."
FIELDS = dict(version=2, flags=0, key_id=b"k1", nonce=bytes(12), tag=bytes(16))
FIELDS |= dict(metadata_text=b"", ciphertext=b"x")


def body(key_id_len: int | None = None, metadata_len: int | None = None, **fields) -> bytes:
    """A token body from FIELDS and `fields`; the *_len arguments override the length fields."""
    assert set(fields) <= set(FIELDS), fields
    f = {**FIELDS, **fields}
    kl = len(f["key_id"]) if key_id_len is None else key_id_len
    ml = len(f["metadata_text"]) if metadata_len is None else metadata_len
    head = bytes([f["version"], f["flags"], kl]) + f["key_id"] + f["nonce"] + f["tag"]
    return head + ml.to_bytes(2, "big") + f["metadata_text"] + f["ciphertext"]


def b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def unb64url(text: str) -> bytes:
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def token(body_bytes: bytes) -> str:
    return PREFIX + b64url(body_bytes)


def split(token_str: str) -> dict:
    """The fields of a well-formed token, under the names `body` takes."""
    assert token_str.startswith(PREFIX)
    raw = unb64url(token_str[len(PREFIX) :])
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
    """Re-encode a token with some of its fields replaced."""
    return token(body(**{**split(token_str), **changes}))  # type: ignore[arg-type]
