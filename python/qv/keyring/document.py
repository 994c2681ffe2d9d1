"""The stored form of a key ring: one JSON document, its key material sealed.

The readable part (ids, statuses, primary, creation times, check values,
scrypt settings) is bound as associated data to the sealed key material:
editing any of it makes the ring refuse to load. Uses qv._native, qv._constants
and the package's keys and errors; knows nothing of files or of Keyring.
"""

from __future__ import annotations

import json
from datetime import UTC, datetime
from typing import Any, Final, NoReturn

from qv._constants import (
    KEY_SIZE,
    SCRYPT_DEFAULTS,
    SCRYPT_MAX_MEMORY,
    SCRYPT_MAX_N,
    SCRYPT_MAX_P,
    SCRYPT_MAX_R,
    SCRYPT_MAX_WORK,
    SCRYPT_MIN_N,
    TIME_FORMAT,
    scrypt_memory,
)
from qv._native import decrypt as _decrypt
from qv._native import derive_key_from_password as _derive_key_from_password
from qv._native import encrypt as _encrypt
from qv._native import wipe_buffer as _wipe_buffer
from qv.keyring.errors import DECRYPTION_FAILED, KeyringError
from qv.keyring.keys import (
    CHECK_BYTES,
    PURPOSES,
    Entry,
    HiddenKey,
    HiddenText,
    check_value,
    hex_into_bytearray,
    utc,
    validate_key_id,
)

__all__ = [
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "FORMAT_VERSION_PURPOSE",
    "one_secret",
    "open_document",
    "parse_document",
    "readable_entries",
    "seal_document",
]

FORMAT_NAME: Final = "qv.keyring"
# Version 1: every key seals. Version 2 adds each key's "purpose" ("sealing"
# or "indexing"). A ring holding only sealing keys is still written as
# version 1, byte for byte what earlier releases wrote and can read back;
# a ring holding an index key is written as version 2, which they refuse
# instead of taking its index keys for sealing keys.
FORMAT_VERSION: Final = 1
FORMAT_VERSION_PURPOSE: Final = 2
_VERSIONS: Final = (FORMAT_VERSION, FORMAT_VERSION_PURPOSE)
# Every sealed part of a stored ring carries this id; it is not a ring key's id.
_SEAL_ID: Final = "qv.keyring"
# scrypt settings for save (qv's defaults). Load takes what the file names,
# within qv._constants' caps, which it checks before deriving anything so that
# a hostile file cannot make the process spend minutes or gigabytes.
_SAVE_SCRYPT: tuple[int, int, int] = SCRYPT_DEFAULTS
_MAX_SALT_HEX: Final = 256


def _iso(seconds: int) -> str:
    return utc(seconds).strftime(TIME_FORMAT)


def _parse_iso(text: object) -> int:
    if not isinstance(text, str) or len(text) != 20 or not text.endswith("Z"):
        raise KeyringError(f"qv: key ring creation time {text!r} is not YYYY-MM-DDTHH:MM:SSZ.")
    try:
        parsed = datetime.strptime(text, TIME_FORMAT).replace(tzinfo=UTC)
    except ValueError:
        raise KeyringError(
            f"qv: key ring creation time {text!r} is not YYYY-MM-DDTHH:MM:SSZ."
        ) from None
    return int(parsed.timestamp())


# The document:
#
# {
#   "format": "qv.keyring", "version": 1 or 2,
#   "kdf": {"name": "scrypt", "salt_hex": ..., "N": ..., "r": ..., "p": ...}
#          or {"name": "wrapping-key"},
#   "primary": key id or null,
#   "keys": [{"key_id", "status", "created", "check"}, ...],
#           (version 2: {"key_id", "status", "created", "check", "purpose"})
#   "unlock": token,   (a fixed text under the wrapping key: tells a wrong
#                       passphrase apart from an altered document)
#   "sealed": token    (the key material, bound to the readable part)
# }
_READABLE = ("format", "version", "kdf", "primary", "keys")
_MEMBERS = frozenset((*_READABLE, "unlock", "sealed"))
_UNLOCK_TEXT: Final = "qv.keyring unlock"


def one_secret(passphrase: object, wrapping_key: object) -> None:
    if (passphrase is None) == (wrapping_key is None):
        raise TypeError("qv: give exactly one of passphrase= or wrapping_key=.")
    if passphrase is not None:
        if not isinstance(passphrase, str | bytes):
            raise TypeError(
                f"qv: a passphrase must be str or bytes, not {type(passphrase).__name__}."
            )
        if len(passphrase) == 0:
            raise KeyringError("qv: the passphrase must not be empty.")
    if wrapping_key is not None:
        if not isinstance(wrapping_key, bytes):
            raise TypeError(f"qv: a wrapping key must be bytes, not {type(wrapping_key).__name__}.")
        if len(wrapping_key) != KEY_SIZE:
            raise KeyringError(f"qv: a wrapping key must be 32 bytes, not {len(wrapping_key)}.")


def _canonical(readable: dict[str, Any]) -> str:
    # The associated data: the readable members with sorted keys, no spaces,
    # non-ASCII escaped. The file's own layout is free; its content is bound.
    return json.dumps(readable, sort_keys=True, separators=(",", ":"), ensure_ascii=True)


def seal_document(
    entries: list[Entry],
    primary: str | None,
    passphrase: str | bytes | None,
    wrapping_key: bytes | None,
) -> bytes:
    if passphrase is not None:
        n, r, p = _SAVE_SCRYPT
        derived = _derive_key_from_password(passphrase, "", n, r, p)
        wrap: bytes = HiddenKey(derived["key"])
        salt_hex = derived["salt_hex"]
        del derived
        kdf: dict[str, Any] = {
            "name": "scrypt",
            "salt_hex": salt_hex,
            "N": n,
            "r": r,
            "p": p,
        }
    else:
        assert wrapping_key is not None
        wrap = wrapping_key
        kdf = {"name": "wrapping-key"}
    purposes = any(e.purpose != "sealing" for e in entries)
    keys: list[dict[str, Any]] = []
    for e in entries:
        item = {
            "key_id": e.key_id,
            "status": e.status,
            "created": _iso(e.created),
            "check": e.check,
        }
        if purposes:
            item["purpose"] = e.purpose
        keys.append(item)
    readable: dict[str, Any] = {
        "format": FORMAT_NAME,
        "version": FORMAT_VERSION_PURPOSE if purposes else FORMAT_VERSION,
        "kdf": kdf,
        "primary": primary,
        "keys": keys,
    }
    # {"id":"hex",...} assembled in a bytearray, wiped once sealed.
    secret = bytearray(b"{")
    try:
        for e in entries:
            if e.material is None:
                continue
            if len(secret) > 1:
                secret += b","
            secret += json.dumps(e.key_id, ensure_ascii=True).encode("ascii") + b':"'
            hexed = hex_into_bytearray(e.material)
            secret += hexed
            _wipe_buffer(hexed)
            secret += b'"'
        secret += b"}"
        sealed = _encrypt(secret, wrap, _SEAL_ID, False, {}, _canonical(readable))
    finally:
        _wipe_buffer(secret)
    doc = dict(readable)
    doc["unlock"] = _encrypt(_UNLOCK_TEXT, wrap, _SEAL_ID)
    doc["sealed"] = sealed
    return (json.dumps(doc, indent=2, ensure_ascii=False) + "\n").encode("utf-8")


def _refuse_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for name, value in pairs:
        if name in out:
            raise KeyringError(f"qv: key ring document repeats the member {name!r}.")
        out[name] = value
    return out


def _refuse_constant(name: str) -> NoReturn:
    raise KeyringError(f"qv: key ring document holds {name}, which JSON does not allow.")


def parse_document(data: bytes) -> dict[str, Any]:
    try:
        doc = json.loads(
            data.decode("utf-8"),
            object_pairs_hook=_refuse_duplicates,
            parse_constant=_refuse_constant,
        )
    except KeyringError:
        raise
    except (ValueError, RecursionError):
        # ValueError covers bad UTF-8, bad JSON and integers too long to convert.
        raise KeyringError("qv: not a key ring document (not UTF-8 JSON, or truncated).") from None
    if not isinstance(doc, dict) or doc.get("format") != FORMAT_NAME:
        raise KeyringError("qv: not a key ring document (format is not 'qv.keyring').")
    version = doc.get("version")
    if version not in _VERSIONS or isinstance(version, bool):
        raise KeyringError(
            f"qv: key ring document version {version!r} is not supported (this qv reads 1 and 2)."
        )
    unknown = set(doc) - _MEMBERS
    missing = _MEMBERS - set(doc)
    if unknown or missing:
        raise KeyringError(
            "qv: malformed key ring document: "
            + "; ".join(
                part
                for part in (
                    f"unknown members {sorted(unknown)}" if unknown else "",
                    f"missing members {sorted(missing)}" if missing else "",
                )
                if part
            )
            + "."
        )
    return doc


def _malformed(what: str) -> KeyringError:
    return KeyringError(f"qv: malformed key ring document: {what}.")


def readable_entries(doc: dict[str, Any]) -> tuple[list[Entry], str | None]:
    keys = doc["keys"]
    if not isinstance(keys, list):
        raise _malformed("'keys' is not a list")
    entries: list[Entry] = []
    seen: set[str] = set()
    members = {"key_id", "status", "created", "check"}
    if doc["version"] == FORMAT_VERSION_PURPOSE:
        members.add("purpose")
    for item in keys:
        if not isinstance(item, dict) or set(item) != members:
            raise _malformed(f"a key entry does not hold exactly {', '.join(sorted(members))}")
        try:
            key_id = validate_key_id(item["key_id"])
        except TypeError:
            raise _malformed("a key id is not text") from None
        if key_id in seen:
            raise _malformed(f"key id {key_id!r} appears twice")
        seen.add(key_id)
        status = item["status"]
        if status not in ("enabled", "disabled", "destroyed"):
            raise _malformed(f"key id {key_id!r} has unknown status {status!r}")
        check = item["check"]
        if (
            not isinstance(check, str)
            or len(check) != 2 * CHECK_BYTES
            or check.strip("0123456789abcdef")
        ):
            raise _malformed(f"key id {key_id!r} has a malformed check value")
        purpose = item.get("purpose", "sealing")
        if purpose not in PURPOSES:
            raise _malformed(f"key id {key_id!r} has unknown purpose {purpose!r}")
        entries.append(Entry(key_id, status, _parse_iso(item["created"]), check, None, purpose))
    primary = doc["primary"]
    enabled = [e.key_id for e in entries if e.status == "enabled" and e.purpose == "sealing"]
    if primary is None:
        if enabled:
            raise _malformed("enabled keys but no primary")
    elif not isinstance(primary, str) or primary not in enabled:
        raise _malformed(f"primary {primary!r} is not an enabled key")
    return entries, primary


def _scrypt_settings(kdf: Any) -> tuple[str, int, int, int]:
    if not isinstance(kdf, dict) or kdf.get("name") != "scrypt":
        raise _malformed("unknown kdf")
    if set(kdf) != {"name", "salt_hex", "N", "r", "p"}:
        raise _malformed("scrypt settings must be exactly name, salt_hex, N, r, p")
    salt, n, r, p = kdf["salt_hex"], kdf["N"], kdf["r"], kdf["p"]
    if (
        not isinstance(salt, str)
        or not 2 <= len(salt) <= _MAX_SALT_HEX
        or len(salt) % 2
        or salt.strip("0123456789abcdef")
    ):
        raise _malformed("scrypt salt_hex is not lower-case hex of 1-128 bytes")
    if not all(type(v) is int for v in (n, r, p)):
        raise _malformed("scrypt N, r and p must be integers")
    if not (
        SCRYPT_MIN_N <= n <= SCRYPT_MAX_N
        and n & (n - 1) == 0
        and 1 <= r <= SCRYPT_MAX_R
        and 1 <= p <= SCRYPT_MAX_P
    ):
        raise KeyringError(
            f"qv: key ring scrypt settings N={n}, r={r}, p={p} are outside the accepted "
            f"range (N a power of two from 2^14 to 2^20, r 1-32, p 1-16)."
        )
    if n >= 1 << (16 * r):
        # scrypt's own rule (N below 2^(16 r)); within the range it bites at r = 1.
        raise KeyringError(
            f"qv: key ring scrypt settings N={n}, r={r} are not valid scrypt settings "
            f"(N must be below 2^(16 r))."
        )
    if scrypt_memory(n, r, p) > SCRYPT_MAX_MEMORY:
        raise KeyringError(
            f"qv: key ring scrypt settings N={n}, r={r} need more than 256 MiB of memory."
        )
    if p * r * n > SCRYPT_MAX_WORK:
        raise KeyringError(
            f"qv: key ring scrypt settings N={n}, r={r}, p={p} ask for more work than "
            f"qv accepts (p x r x N at most 2^21, twice its own settings)."
        )
    return salt, n, r, p


def open_document(
    doc: dict[str, Any], passphrase: str | bytes | None, wrapping_key: bytes | None
) -> tuple[list[Entry], str | None]:
    entries, primary = readable_entries(doc)
    kdf = doc["kdf"]
    if not isinstance(doc["unlock"], str) or not isinstance(doc["sealed"], str):
        raise _malformed("'unlock' and 'sealed' must be tokens")
    if passphrase is not None:
        if kdf == {"name": "wrapping-key"}:
            raise KeyringError("qv: this key ring is locked with a wrapping key, not a passphrase.")
        salt, n, r, p = _scrypt_settings(kdf)
        wrap: bytes = HiddenKey(_derive_key_from_password(passphrase, salt, n, r, p)["key"])
        wrong = "qv: wrong passphrase for the key ring."
    else:
        if kdf != {"name": "wrapping-key"}:
            _scrypt_settings(kdf)
            raise KeyringError("qv: this key ring is locked with a passphrase, not a wrapping key.")
        assert wrapping_key is not None
        wrap = wrapping_key
        wrong = "qv: wrong wrapping key for the key ring."
    try:
        unlocked = _decrypt(doc["unlock"], wrap)["data"] == _UNLOCK_TEXT
    except (RuntimeError, UnicodeDecodeError):
        unlocked = False
    if not unlocked:
        raise KeyringError(wrong)
    readable = {name: doc[name] for name in _READABLE}
    try:
        material = json.loads(
            _open_sealed(doc["sealed"], wrap, _canonical(readable)),
            object_pairs_hook=_hidden_members,
        )
    except (RuntimeError, UnicodeDecodeError, json.JSONDecodeError):
        raise KeyringError(
            "qv: the key ring document was altered: its readable part or sealed keys "
            "do not match what was saved."
        ) from None
    if not isinstance(material, dict) or set(material) != {
        e.key_id for e in entries if e.status != "destroyed"
    }:
        raise _malformed("the sealed keys do not match the listed keys")
    try:
        for e in entries:
            if e.status == "destroyed":
                continue
            text = material[e.key_id]
            if (
                not isinstance(text, str)
                or len(text) != 2 * KEY_SIZE
                or text.strip("0123456789abcdef")
            ):
                raise _malformed(f"the sealed key of {e.key_id!r} is not 32 bytes of hex")
            e.material = bytearray.fromhex(text)
            if check_value(e.material) != e.check:
                raise _malformed(f"the check value of {e.key_id!r} does not match its key")
    except BaseException:
        for e in entries:
            if e.material is not None:
                _wipe_buffer(e.material)
        raise
    return entries, primary


def _open_sealed(token: str, wrap: bytes, aad: str) -> HiddenText:
    # The key text is hidden before anything can raise past it.
    opened = _decrypt(token, wrap, aad)
    text, key_id = HiddenText(opened["data"]), opened["key_id"]
    del opened
    if key_id != _SEAL_ID:
        raise RuntimeError(DECRYPTION_FAILED)
    return text


def _hidden_members(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    hidden = [(name, HiddenText(v) if isinstance(v, str) else v) for name, v in pairs]
    del pairs
    return _refuse_duplicates(hidden)
