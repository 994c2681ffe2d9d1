"""A second, pure-Python implementation of the qv.v2 token format.

It is written from the format alone (body layout, canonical flat JSON,
associated-data layout, synthetic nonce) on top of the `cryptography`
package, and shares no code with the extension. Deterministic tokens from
`qv.encrypt` must equal `seal(...)` byte for byte, and tokens of either
side must open with the other.

Strings follow qv's calling conventions: a `str` stands for its UTF-8 bytes,
`bytes` and `bytearray` for themselves.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import os
from collections.abc import Mapping

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

PREFIX = b"qv.v2."
VERSION = 2
KEY_SIZE = 32
NONCE_SIZE = 12
TAG_SIZE = 16
FIXED_SIZE = 33  # version, flags, key id length, nonce, tag, metadata length
MAX_METADATA = 0xFFFF
SIV_LABEL = b"qv.v2:siv-nonce"
ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"

Text = str | bytes | bytearray


def as_bytes(value: Text) -> bytes:
    """The byte string a qv str parameter receives for `value`."""
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    raise TypeError(f"not text: {type(value).__name__}")


# --- canonical flat JSON -------------------------------------------------

_SHORT_ESCAPES = {0x22: b'\\"', 0x5C: b"\\\\", 0x08: b"\\b", 0x09: b"\\t",
                  0x0A: b"\\n", 0x0C: b"\\f", 0x0D: b"\\r"}


def escape(s: bytes) -> bytes:
    out = bytearray()
    for b in s:
        if b in _SHORT_ESCAPES:
            out += _SHORT_ESCAPES[b]
        elif b < 0x20:
            out += b"\\u%04x" % b
        else:
            out.append(b)
    return bytes(out)


def canonical_json(metadata: Mapping[bytes, bytes]) -> bytes:
    """The one canonical text of a map; empty for the empty map."""
    if not metadata:
        return b""
    members = [b'"' + escape(k) + b'":"' + escape(metadata[k]) + b'"'
               for k in sorted(metadata)]
    return b"{" + b",".join(members) + b"}"


_WS = b" \t\n\r"
_HEX = b"0123456789abcdefABCDEF"
_SIMPLE = {ord('"'): 0x22, ord("/"): 0x2F, ord("\\"): 0x5C, ord("b"): 0x08,
           ord("f"): 0x0C, ord("n"): 0x0A, ord("r"): 0x0D, ord("t"): 0x09}


def _utf8_of_unit(v: int) -> bytes:
    # Each \u escape stands alone: surrogates get their own 3-byte pattern.
    if v < 0x80:
        return bytes([v])
    if v < 0x800:
        return bytes([0xC0 | (v >> 6), 0x80 | (v & 0x3F)])
    return bytes([0xE0 | (v >> 12), 0x80 | ((v >> 6) & 0x3F), 0x80 | (v & 0x3F)])


def parse_string(text: bytes, pos: int) -> tuple[bytes, int] | None:
    """Read one string literal at `pos`; (value, position after it) or None."""
    if pos >= len(text) or text[pos] != 0x22:
        return None
    pos += 1
    out = bytearray()
    while pos < len(text):
        b = text[pos]
        if b == 0x22:
            return bytes(out), pos + 1
        if b != 0x5C:
            out.append(b)
            pos += 1
            continue
        if pos + 1 >= len(text):
            return None
        e = text[pos + 1]
        if e in _SIMPLE:
            out.append(_SIMPLE[e])
            pos += 2
        elif e == ord("u"):
            digits = text[pos + 2 : pos + 6]
            if len(digits) < 4 or any(d not in _HEX for d in digits):
                return None
            out += _utf8_of_unit(int(digits, 16))
            pos += 6
        else:
            return None
    return None


def parse_flat_json(text: bytes) -> dict[bytes, bytes] | None:
    """Read a flat object of strings; None if the text is rejected.

    Duplicate keys: the last one wins.
    """
    n = len(text)
    pos = 0

    def skip(p: int) -> int:
        while p < n and text[p] in _WS:
            p += 1
        return p

    pos = skip(pos)
    if pos >= n or text[pos] != ord("{"):
        return None
    pos = skip(pos + 1)
    result: dict[bytes, bytes] = {}
    if pos < n and text[pos] == ord("}"):
        return result if skip(pos + 1) == n else None
    while True:
        pos = skip(pos)
        got = parse_string(text, pos)
        if got is None:
            return None
        key, pos = got
        pos = skip(pos)
        if pos >= n or text[pos] != ord(":"):
            return None
        pos = skip(pos + 1)
        if pos >= n or text[pos] != 0x22:
            return None
        got = parse_string(text, pos)
        if got is None:
            return None
        value, pos = got
        result[key] = value
        pos = skip(pos)
        if pos >= n:
            return None
        if text[pos] == ord("}"):
            return result if skip(pos + 1) == n else None
        if text[pos] != ord(","):
            return None
        pos += 1


# --- associated data and synthetic nonce ---------------------------------

def build_aad(key_id: bytes, metadata_text: bytes, deterministic: bool,
              aad_text: bytes = b"", aad_map: Mapping[bytes, bytes] | None = None) -> bytes:
    fields = [b"qv.v2.det" if deterministic else b"qv.v2", bytes(key_id)]
    if metadata_text:
        fields.append(b"meta:" + metadata_text)
    if aad_map:
        fields.extend(k + b"=" + aad_map[k] for k in sorted(aad_map))
    elif aad_text:
        fields.append(bytes(aad_text))
    return b"\x00".join(fields)


def siv_nonce(key: bytes, aad: bytes, plaintext: bytes) -> bytes:
    msg = (SIV_LABEL + b"\x00" + len(aad).to_bytes(4, "big") + aad
           + b"\x00" + len(plaintext).to_bytes(4, "big") + plaintext)
    return hmac.new(key, msg, hashlib.sha256).digest()[:NONCE_SIZE]


# --- argument conventions ------------------------------------------------

def metadata_map(metadata: Mapping[Text, Text] | None) -> dict[bytes, bytes]:
    """Convert a metadata argument; of two keys with equal bytes the first wins."""
    out: dict[bytes, bytes] = {}
    for k, v in (metadata or {}).items():
        out.setdefault(as_bytes(k), as_bytes(v))
    return out


def aad_parts(aad: object) -> tuple[bytes, dict[bytes, bytes] | None]:
    """(aad string, aad map or None) for an aad argument; later equal keys win."""
    if aad is None:
        return b"", None
    if isinstance(aad, str):
        return aad.encode("utf-8"), None
    if isinstance(aad, dict):
        return b"", {as_bytes(k): as_bytes(v) for k, v in aad.items()}
    raise ValueError("qv: aad must be a string, dict, or None.")


# --- base64url and the body ------------------------------------------------

def b64url_encode(data: bytes) -> bytes:
    return base64.urlsafe_b64encode(data).rstrip(b"=")


_SKIPPED = b"\n\r ="
_STANDARD = bytes.maketrans(b"+/", b"-_")
_VALID = frozenset(ALPHABET)


def b64url_decode(text: bytes) -> bytes | None:
    """Lenient decoder: skips LF, CR, space and '=' anywhere, takes '+' '/'.

    A lone trailing sextet is dropped; spare low bits are not checked.
    """
    chars = bytes(text).translate(_STANDARD, _SKIPPED)
    if not _VALID.issuperset(chars):
        return None
    if len(chars) % 4 == 1:
        chars = chars[:-1]
    # The standard decoder ignores spare low bits and needs the padding back.
    return base64.urlsafe_b64decode(chars + b"=" * (-len(chars) % 4))


def encode_body(key_id: bytes, deterministic: bool, metadata_text: bytes,
                nonce: bytes, tag: bytes, ciphertext: bytes) -> bytes:
    return (bytes([VERSION, 1 if deterministic else 0, len(key_id)]) + key_id
            + nonce + tag + len(metadata_text).to_bytes(2, "big")
            + metadata_text + ciphertext)


def decode(token: Text) -> dict | None:
    """Structural decode of a token; None if it does not decode."""
    t = as_bytes(token)
    if len(t) < 6 or t[:6] != PREFIX:
        return None
    body = b64url_decode(t[6:])
    if body is None or len(body) <= FIXED_SIZE or body[0] != VERSION:
        return None
    n = len(body)
    kl = body[2]
    if kl == 0 or 3 + kl > n or 33 + kl > n:
        return None
    ml = int.from_bytes(body[31 + kl : 33 + kl], "big")
    if 33 + kl + ml > n:
        return None
    meta: dict[bytes, bytes] = {}
    if ml:
        parsed = parse_flat_json(body[33 + kl : 33 + kl + ml])
        if parsed is None:
            return None
        meta = parsed
    ciphertext = body[33 + kl + ml :]
    if not ciphertext:
        return None
    return {
        "version": body[0],
        "flags": body[1],
        "deterministic": bool(body[1] & 1),
        "key_id": body[3 : 3 + kl],
        "nonce": body[3 + kl : 15 + kl],
        "tag": body[15 + kl : 31 + kl],
        "metadata": meta,
        "ciphertext": ciphertext,
    }


# --- sealing and opening ---------------------------------------------------

def seal(plaintext: Text, key: bytes, key_id: Text, deterministic: bool = False,
         metadata: Mapping[Text, Text] | None = None, aad: object = None,
         nonce: bytes | None = None) -> str:
    """Seal like qv.encrypt.

    `nonce` overrides the nonce in either mode (a deterministic token with a
    foreign nonce is still a valid token: opening never recomputes it).
    """
    pt = as_bytes(plaintext)
    kid = as_bytes(key_id)
    if len(key) != KEY_SIZE:
        raise ValueError("qv: key must be 32 bytes.")
    if not 1 <= len(kid) <= 255:
        raise ValueError("qv: keyId must be 1-255 bytes.")
    if not pt:
        raise ValueError("qv: plaintext must not be empty.")
    meta_text = canonical_json(metadata_map(metadata))
    if len(meta_text) > MAX_METADATA:
        raise ValueError("qv: metadata must serialise to at most 65535 bytes.")
    aad_text, aad_map = aad_parts(aad)
    ad = build_aad(kid, meta_text, deterministic, aad_text, aad_map)
    if nonce is None:
        nonce = siv_nonce(key, ad, pt) if deterministic else os.urandom(NONCE_SIZE)
    if len(nonce) != NONCE_SIZE:
        raise ValueError("nonce must be 12 bytes")
    sealed = ChaCha20Poly1305(key).encrypt(nonce, pt, ad)
    ct, tag = sealed[:-TAG_SIZE], sealed[-TAG_SIZE:]
    body = encode_body(kid, deterministic, meta_text, nonce, tag, ct)
    return (PREFIX + b64url_encode(body)).decode("ascii")


def open_token(token: Text, key: bytes, aad: object = None) -> dict:
    """Open like qv.decrypt, but return raw bytes; ValueError on any failure."""
    if len(key) != KEY_SIZE:
        raise ValueError("qv: key must be 32 bytes.")
    parts = decode(token)
    if parts is None:
        raise ValueError("token does not decode")
    try:
        aad_text, aad_map = aad_parts(aad)
    except TypeError as exc:
        raise ValueError(str(exc)) from None
    ad = build_aad(parts["key_id"], canonical_json(parts["metadata"]),
                   parts["deterministic"], aad_text, aad_map)
    try:
        data = ChaCha20Poly1305(key).decrypt(
            parts["nonce"], parts["ciphertext"] + parts["tag"], ad)
    except InvalidTag:
        raise ValueError("tag does not verify") from None
    return {
        "data": data,
        "metadata": dict(sorted(parts["metadata"].items())),
        "key_id": parts["key_id"],
        "deterministic": parts["deterministic"],
    }
