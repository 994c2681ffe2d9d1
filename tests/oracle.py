"""A pure-Python qv.v2 on `cryptography`, written from the token format alone.

A `str` argument stands for its UTF-8 bytes, `bytes` and `bytearray` for themselves."""

from __future__ import annotations

import base64
import hashlib
import hmac
import os
import re
from collections.abc import Mapping

from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

PREFIX = b"qv.v2."
ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"


def as_bytes(value) -> bytes:
    """The byte string a qv str parameter receives for `value`."""
    return value.encode("utf-8") if isinstance(value, str) else bytes(value)


# --- canonical flat JSON ---------------------------------------------------

_ESCAPES = {0x22: b'\\"', 0x5C: b"\\\\", 8: b"\\b", 9: b"\\t", 10: b"\\n", 12: b"\\f", 13: b"\\r"}


def _escape(s: bytes) -> bytes:
    return b"".join(_ESCAPES.get(b, b"\\u%04x" % b if b < 0x20 else bytes([b])) for b in s)


def canonical_json(metadata: Mapping[bytes, bytes]) -> bytes:
    """The one canonical text of a map; empty for the empty map."""
    if not metadata:
        return b""
    members = (b'"%s":"%s"' % (_escape(k), _escape(metadata[k])) for k in sorted(metadata))
    return b"{" + b",".join(members) + b"}"


# The reader's grammar: only space, tab, LF and CR are blanks; a string holds
# any raw byte but '"' and '\', or one of the escapes.
_WS = rb"[ \t\n\r]*"
_STRING = rb'"((?:[^"\\]|\\["/\\bfnrt]|\\u[0-9a-fA-F]{4})*)"'
_MEMBER = _STRING + _WS + b":" + _WS + _STRING
_OBJECT = re.compile(
    _WS + rb"\{" + _WS + b"(?:" + _MEMBER + _WS + b"(?:," + _WS + _MEMBER + _WS + b")*)?\\}" + _WS
)
_SIMPLE = dict(zip(b'"/\\bfnrt', b'"/\\\b\f\n\r\t', strict=True))


def _unescape(s: bytes) -> bytes:
    def one(m: re.Match[bytes]) -> bytes:
        e = m.group(1)
        if e[0] != ord("u"):
            return bytes([_SIMPLE[e[0]]])
        # Each \u escape stands alone: a surrogate gets its own 3-byte pattern.
        return chr(int(e[1:], 16)).encode("utf-8", "surrogatepass")

    return re.sub(rb'\\(u[0-9a-fA-F]{4}|["/\\bfnrt])', one, s)


def parse_flat_json(text: bytes) -> dict[bytes, bytes] | None:
    """Read a flat object of strings (the last of equal keys wins); None if rejected."""
    if not _OBJECT.fullmatch(text):
        return None
    return {_unescape(k): _unescape(v) for k, v in re.findall(_MEMBER, text)}


# --- associated data and synthetic nonce -----------------------------------


def build_aad(key_id, metadata_text, deterministic, aad_text=b"", aad_map=None) -> bytes:
    fields = [b"qv.v2.det" if deterministic else b"qv.v2", bytes(key_id)]
    if metadata_text:
        fields.append(b"meta:" + metadata_text)
    if aad_map:
        fields.extend(k + b"=" + aad_map[k] for k in sorted(aad_map))
    elif aad_text:
        fields.append(bytes(aad_text))
    return b"\x00".join(fields)


def siv_nonce(key: bytes, aad: bytes, plaintext: bytes) -> bytes:
    msg = b"qv.v2:siv-nonce"
    for part in (aad, plaintext):
        msg += b"\x00" + len(part).to_bytes(4, "big") + part
    return hmac.new(key, msg, hashlib.sha256).digest()[:12]


def metadata_map(metadata) -> dict[bytes, bytes]:
    """A metadata argument as bytes; of two keys with equal bytes the first wins."""
    pairs = [(as_bytes(k), as_bytes(v)) for k, v in (metadata or {}).items()]
    return dict(reversed(pairs))  # reversed, so that the first of equal keys is stored last


def aad_parts(aad: object) -> tuple[bytes, dict[bytes, bytes] | None]:
    """(aad string, aad map or None) of a None, str or dict aad; later equal keys win."""
    if aad is None:
        return b"", None
    if isinstance(aad, str):
        return aad.encode("utf-8"), None
    return b"", {as_bytes(k): as_bytes(v) for k, v in aad.items()}


# --- the token --------------------------------------------------------------


def b64url_decode(text: bytes) -> bytes | None:
    """Skips LF, CR, space and '=' anywhere and takes '+' and '/'. A lone last
    sextet is dropped and spare low bits are not checked."""
    chars = bytes(text).translate(bytes.maketrans(b"+/", b"-_"), b"\n\r =")
    if not set(chars) <= set(ALPHABET):
        return None
    chars = chars[: len(chars) - (len(chars) % 4 == 1)]
    return base64.urlsafe_b64decode(chars + b"=" * (-len(chars) % 4))


def decode(token) -> dict | None:
    """Structural decode of a token; None if it does not decode."""
    t = as_bytes(token)
    body = b64url_decode(t[6:]) if t[:6] == PREFIX else None
    if body is None or len(body) <= 33 or body[0] != 2 or body[2] == 0 or 33 + body[2] > len(body):
        return None
    kl = body[2]
    if 0 in body[3 : 3 + kl]:  # a NUL would let the key id absorb later associated data
        return None
    end = 33 + kl + int.from_bytes(body[31 + kl : 33 + kl], "big")
    meta = parse_flat_json(body[33 + kl : end]) if end > 33 + kl else {}
    if end >= len(body) or meta is None:
        return None
    return {
        "version": body[0],
        "flags": body[1],
        "deterministic": bool(body[1] & 1),
        "key_id": body[3 : 3 + kl],
        "nonce": body[3 + kl : 15 + kl],
        "tag": body[15 + kl : 31 + kl],
        "metadata": meta,
        "ciphertext": body[end:],
    }


def seal(plaintext, key, key_id, deterministic=False, metadata=None, aad=None, nonce=None) -> str:
    """Seal like qv.encrypt. `nonce` overrides the nonce in either mode: opening
    never recomputes a synthetic nonce, so the token is still valid."""
    pt, kid = as_bytes(plaintext), as_bytes(key_id)
    meta_text = canonical_json(metadata_map(metadata))
    ad = build_aad(kid, meta_text, deterministic, *aad_parts(aad))
    if nonce is None:
        nonce = siv_nonce(key, ad, pt) if deterministic else os.urandom(12)
    sealed = ChaCha20Poly1305(key).encrypt(nonce, pt, ad)
    body = bytes([2, int(deterministic), len(kid)]) + kid + nonce + sealed[-16:]
    body += len(meta_text).to_bytes(2, "big") + meta_text + sealed[:-16]
    return PREFIX.decode() + base64.urlsafe_b64encode(body).rstrip(b"=").decode()


def open_token(token, key: bytes, aad=None) -> dict:
    """Open like qv.decrypt, but hand back raw bytes; raises on any failure."""
    parts = decode(token)
    if parts is None:
        raise ValueError("token does not decode")
    meta_text = canonical_json(parts["metadata"])
    ad = build_aad(parts["key_id"], meta_text, parts["deterministic"], *aad_parts(aad))
    data = ChaCha20Poly1305(key).decrypt(parts["nonce"], parts["ciphertext"] + parts["tag"], ad)
    return {"data": data} | {k: parts[k] for k in ("metadata", "key_id", "deterministic")}
