"""Password keys (scrypt) and subkeys (HKDF-SHA256), against RFC 7914 and `cryptography`."""

from __future__ import annotations

import re

import pytest
from cryptography.hazmat.primitives.hashes import SHA256
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives.kdf.scrypt import Scrypt

import qv

MIN_N = 16384
PASSWORD = r"^qv: password must be a non-empty string\.$"
N_MSG = r"^qv: scrypt N must be a power of 2 and at least 2\^14\.$"
SALT = r"^qv: salt_hex must be an even-length hexadecimal string\.$"
SCRYPT = r"^qv: scrypt derivation failed\.$"
MASTER_LEN = r"^qv: master key must be 32 bytes\.$"
CONTEXT = r"^qv: context must be a non-empty string\.$"
MASTER = bytes(range(100, 132))


def scrypt_ref(password: bytes, salt: bytes, n: int = MIN_N, r: int = 8, p: int = 1) -> bytes:
    return Scrypt(salt=salt, length=32, n=n, r=r, p=p).derive(password)


def test_scrypt_rfc7914_vector() -> None:
    # RFC 7914, section 12, third vector: the first 32 of its 64 output bytes.
    expected = bytes.fromhex("7023bdcb3afd7348461c06cd81fd38ebfda8fbba904f8e3ea9b543f6545da1f2")
    got = qv.derive_key_from_password("pleaseletmein", b"SodiumChloride".hex(), 16384, 8, 1)
    assert list(got.items()) == [("key", expected), ("salt_hex", b"SodiumChloride".hex())]


SCRYPTS = {
    "nul-inside": ("a\x00b", "00", MIN_N, 8, 1),
    "bytes-password": (b"\xff\xfe raw", "0102", MIN_N, 8, 1),
    "upper-case-salt": ("p\u00e4ss\u20ac", "A0FF", MIN_N, 8, 1),
    "long-mixed-case-salt": ("pw", "aB" * 40, MIN_N, 8, 1),
    "other-params": ("pw", "7f", 32768, 2, 3),
}


@pytest.mark.parametrize("password, salt_hex, n, r, p", SCRYPTS.values(), ids=SCRYPTS.keys())
def test_scrypt_matches_cryptography(password, salt_hex: str, n: int, r: int, p: int) -> None:
    got = qv.derive_key_from_password(password, salt_hex, n, r, p)
    pw = password.encode() if isinstance(password, str) else password
    assert got["key"] == scrypt_ref(pw, bytes.fromhex(salt_hex), n, r, p)
    assert got["salt_hex"] == salt_hex.lower()


def test_random_salt_is_fresh_lower_hex_and_reproducible() -> None:
    a = qv.derive_key_from_password("pw", N=MIN_N)
    b = qv.derive_key_from_password("pw", N=MIN_N)
    assert list(a) == ["key", "salt_hex"] and re.fullmatch(r"[0-9a-f]{64}", a["salt_hex"])
    assert a["salt_hex"] != b["salt_hex"] and a["key"] != b["key"]
    assert a["key"] == scrypt_ref(b"pw", bytes.fromhex(a["salt_hex"]))
    assert qv.derive_key_from_password("pw", a["salt_hex"], MIN_N) == a


@pytest.mark.slow
def test_scrypt_defaults_and_memory_bound() -> None:
    assert qv.derive_key_from_password("pw", "00")["key"] == scrypt_ref(b"pw", b"\x00", 2**17)
    # 128 * r * N bytes of working memory against a 256 MiB bound.
    with pytest.raises(RuntimeError, match=SCRYPT):
        qv.derive_key_from_password("pw", "00", 2**18, 8)
    got = qv.derive_key_from_password("pw", "00", 2**18, 4)
    assert got["key"] == scrypt_ref(b"pw", b"\x00", 2**18, 4, 1)


# Blanks, signs, "0x" and non-ASCII digits would all pass a "%02x" scan.
BAD_SALTS = [*"a abc gg 0g g0 +a -1 0x0a 0a0 zz00".split(), " a", "a ", " 0a", "\t0", "0\n"]


@pytest.mark.parametrize("salt_hex", [*BAD_SALTS, "0\x00", "\u00e90", "\uff10\uff11"], ids=repr)
def test_malformed_salt_hex_is_value_error(salt_hex: str) -> None:
    with pytest.raises(ValueError, match=SALT):
        qv.derive_key_from_password("pw", salt_hex, MIN_N)


# Each row breaks its own rule and every later one, so it shows which check runs first.
PASSWORD_ROWS = {
    "password-first": (("", "zz", 3, 0, 0), ValueError, PASSWORD),
    "N-8192-before-salt": (("pw", "zz", 8192), ValueError, N_MSG),
    "N-0": (("pw", "00", 0), ValueError, N_MSG),
    "N-3x2^13": (("pw", "00", 3 * 2**13), ValueError, N_MSG),
    "N-two-bits": (("pw", "00", 2**63 + 2**14), ValueError, N_MSG),
    "salt-before-scrypt": (("pw", "0", MIN_N, 0, 0), ValueError, SALT),
    "r-0": (("pw", "00", MIN_N, 0), RuntimeError, SCRYPT),
    "p-0": (("pw", "00", MIN_N, 8, 0), RuntimeError, SCRYPT),
    "N-2^19-over-bound": (("pw", "00", 2**19, 8), RuntimeError, SCRYPT),
    "N-2^63-over-bound": (("pw", "00", 2**63, 8), RuntimeError, SCRYPT),
}


@pytest.mark.parametrize("args, exc, message", PASSWORD_ROWS.values(), ids=PASSWORD_ROWS.keys())
def test_password_key_failure_rows_in_order(args, exc, message: str) -> None:
    with pytest.raises(exc, match=message):
        qv.derive_key_from_password(*args)


HKDF_CASES = {
    "no-salt": (MASTER, "ctx", None),
    "context-case": (MASTER, "Ctx", b"salty"),
    "zero-master-1-byte-salt": (bytes(32), "x", b"\x01"),
    "non-ascii-long-salt": (MASTER, "\u00fcber \u20ac", b"s" * 100),
    "bytes-nul": (MASTER, b"a\x00b\xff", bytes(range(64))),
}


@pytest.mark.parametrize("master, context, salt", HKDF_CASES.values(), ids=HKDF_CASES.keys())
def test_hkdf_matches_cryptography(master: bytes, context, salt) -> None:
    info = b"qv.v2:" + (context.encode() if isinstance(context, str) else context)
    expected = HKDF(algorithm=SHA256(), length=32, salt=salt, info=info).derive(master)
    assert qv.derive_subkey(master, context, salt) == expected


def test_hkdf_missing_empty_and_zero_salt_agree() -> None:
    none = qv.derive_subkey(MASTER, "ctx")
    for salt in (None, b"", bytes(32), type("B", (bytes,), {})(b"")):
        assert qv.derive_subkey(MASTER, "ctx", salt) == none
    assert none != qv.derive_subkey(MASTER, "ctx", b"\x01")


def not_bytes(name: str) -> str:
    return f"^Object of type '{name}' is not an instance of 'bytes'$"


SUBKEY_ROWS = {
    "master-31": ((MASTER[:31], "ctx"), ValueError, MASTER_LEN),
    "master-33": ((MASTER + b"x", "ctx"), ValueError, MASTER_LEN),
    "master-first": ((MASTER[:16], "", "not bytes"), ValueError, MASTER_LEN),
    "salt-before-context": ((MASTER, "", "s"), TypeError, not_bytes("str")),
    "salt-bytearray": ((MASTER, "ctx", bytearray(b"s")), TypeError, not_bytes("bytearray")),
    "salt-int": ((MASTER, "ctx", 5), TypeError, not_bytes("int")),
    "empty-context": ((MASTER, ""), ValueError, CONTEXT),
    "empty-bytes-context-with-salt": ((MASTER, b"", b"salt"), ValueError, CONTEXT),
}


@pytest.mark.parametrize("args, exc, message", SUBKEY_ROWS.values(), ids=SUBKEY_ROWS.keys())
def test_subkey_failure_rows_in_order(args, exc, message: str) -> None:
    with pytest.raises(exc, match=message):
        qv.derive_subkey(*args)
