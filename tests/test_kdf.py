"""Password keys (scrypt) and subkeys (HKDF-SHA256), against RFC 7914 and `cryptography`."""

from __future__ import annotations

import re

import pytest
from cryptography.hazmat.primitives.hashes import SHA256
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives.kdf.scrypt import Scrypt

import qv

MIN_N = 16384
PASSWORD_MSG = r"^qv: password must be a non-empty string\.$"
N_MSG = r"^qv: scrypt N must be a power of 2 and at least 2\^14\.$"
SALT_MSG = r"^qv: salt_hex must be an even-length hexadecimal string\.$"
SCRYPT_MSG = r"^qv: scrypt derivation failed\.$"
MASTER_MSG = r"^qv: master key must be 32 bytes\.$"
CONTEXT_MSG = r"^qv: context must be a non-empty string\.$"

MASTER = bytes(range(100, 132))


def scrypt_ref(password: bytes, salt: bytes, n: int = MIN_N, r: int = 8, p: int = 1) -> bytes:
    return Scrypt(salt=salt, length=32, n=n, r=r, p=p).derive(password)


def hkdf_ref(master: bytes, context: bytes, salt: bytes | None) -> bytes:
    return HKDF(algorithm=SHA256(), length=32, salt=salt, info=b"qv.v2:" + context).derive(master)


# --- scrypt ------------------------------------------------------------------


def test_scrypt_rfc7914_vector() -> None:
    # RFC 7914, section 12, third vector; the first 32 of its 64 output bytes.
    expected = bytes.fromhex("7023bdcb3afd7348461c06cd81fd38ebfda8fbba904f8e3ea9b543f6545da1f2")
    got = qv.derive_key_from_password("pleaseletmein", b"SodiumChloride".hex(), 16384, 8, 1)
    assert got == {"key": expected, "salt_hex": b"SodiumChloride".hex()}
    assert list(got) == ["key", "salt_hex"]


@pytest.mark.parametrize(
    "password, salt_hex, n, r, p, ref_password",
    [
        ("a\x00b", "00", MIN_N, 8, 1, b"a\x00b"),
        ("a", "00", MIN_N, 8, 1, b"a"),
        (b"\xff\xfe raw", "0102", MIN_N, 8, 1, b"\xff\xfe raw"),
        ("p\u00e4ss\u20ac", "A0FF", MIN_N, 8, 1, "p\u00e4ss\u20ac".encode()),
        ("pw", "aB" * 40, MIN_N, 8, 1, b"pw"),
        ("pw", "7f", 32768, 2, 3, b"pw"),
        ("pw", "00" * 32, MIN_N, 1, 1, b"pw"),
    ],
    ids=["nul-inside", "prefix-of-nul-case", "bytes-password", "upper-case-salt",
         "long-mixed-case-salt", "other-params", "zero-salt"],
)
def test_scrypt_matches_cryptography(password, salt_hex, n, r, p, ref_password) -> None:
    got = qv.derive_key_from_password(password, salt_hex, n, r, p)
    assert got["key"] == scrypt_ref(ref_password, bytes.fromhex(salt_hex), n, r, p)
    assert got["salt_hex"] == salt_hex.lower()


def test_random_salt_is_fresh_lower_hex_and_reproducible() -> None:
    a = qv.derive_key_from_password("pw", N=MIN_N)
    b = qv.derive_key_from_password("pw", N=MIN_N)
    assert list(a) == ["key", "salt_hex"]
    assert re.fullmatch(r"[0-9a-f]{64}", a["salt_hex"])
    assert a["salt_hex"] != b["salt_hex"] and a["key"] != b["key"]
    assert a["key"] == scrypt_ref(b"pw", bytes.fromhex(a["salt_hex"]))
    assert qv.derive_key_from_password("pw", a["salt_hex"], MIN_N) == a


@pytest.mark.slow
def test_scrypt_defaults_are_n17_r8_p1() -> None:
    got = qv.derive_key_from_password("pw", "00")
    assert got["key"] == scrypt_ref(b"pw", b"\x00", 131072, 8, 1)


@pytest.mark.parametrize(
    "salt_hex",
    ["a", "abc", "gg", "0g", "g0", " a", "a ", " 0a", "+a", "-1", "0x", "0x0a", "\t0", "0\n",
     "0\x00", "\u00e90", "\uff10\uff11", "0a0", "zz00"],
    ids=repr,
)
def test_malformed_salt_hex_is_value_error(salt_hex: str) -> None:
    with pytest.raises(ValueError, match=SALT_MSG):
        qv.derive_key_from_password("pw", salt_hex, MIN_N)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("", "00", MIN_N), ValueError, PASSWORD_MSG),
        ((b"", "00", MIN_N), ValueError, PASSWORD_MSG),
        (("", "00", 3), ValueError, PASSWORD_MSG),
        (("", "zz", 3, 0, 0), ValueError, PASSWORD_MSG),
        (("pw", "00", 8192), ValueError, N_MSG),
        (("pw", "00", MIN_N + 1), ValueError, N_MSG),
        (("pw", "00", 0), ValueError, N_MSG),
        (("pw", "00", 3 * 2**13), ValueError, N_MSG),
        (("pw", "00", 2**63 + 2**14), ValueError, N_MSG),
        (("pw", "zz", 8192), ValueError, N_MSG),
        (("pw", "zz", MIN_N, 0, 0), ValueError, SALT_MSG),
        (("pw", "0", MIN_N, 0), ValueError, SALT_MSG),
        (("pw", "00", MIN_N, 0), RuntimeError, SCRYPT_MSG),
        (("pw", "00", MIN_N, 8, 0), RuntimeError, SCRYPT_MSG),
        (("pw", "", MIN_N, 0), RuntimeError, SCRYPT_MSG),
        (("pw", "00", 2**19, 8), RuntimeError, SCRYPT_MSG),
        (("pw", "00", 2**63, 8), RuntimeError, SCRYPT_MSG),
    ],
    ids=["empty-password", "empty-bytes-password", "password-before-N",
         "password-before-salt-and-scrypt", "N-8192", "N-2^14+1", "N-0", "N-3x2^13",
         "N-two-bits-high", "N-before-salt", "salt-before-scrypt", "odd-salt-before-r",
         "r-0", "p-0", "random-salt-r-0", "N-2^19-over-bound", "N-2^63-over-bound"],
)
def test_kdf_failure_rows_in_order(args, exc, message) -> None:
    with pytest.raises(exc, match=message):
        qv.derive_key_from_password(*args)


@pytest.mark.slow
def test_scrypt_memory_bound() -> None:
    # 128 * r * N bytes of working memory against a 256 MiB bound.
    with pytest.raises(RuntimeError, match=SCRYPT_MSG):
        qv.derive_key_from_password("pw", "00", 2**18, 8)
    got = qv.derive_key_from_password("pw", "00", 2**18, 4)
    assert got["key"] == scrypt_ref(b"pw", b"\x00", 2**18, 4, 1)


# --- HKDF ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "master, context, ref_context, salt",
    [
        (MASTER, "ctx", b"ctx", None),
        (MASTER, "ctx", b"ctx", b"salty"),
        (MASTER, "Ctx", b"Ctx", b"salty"),
        (bytes(32), "x", b"x", b"\x01"),
        (MASTER, "\u00fcber \u20ac", "\u00fcber \u20ac".encode(), b"s" * 100),
        (MASTER, b"a\x00b\xff", b"a\x00b\xff", bytes(range(64))),
        (MASTER, "c" * 1000, b"c" * 1000, b"\x00" * 31),
    ],
    ids=["no-salt", "salt", "context-case", "zero-master-1-byte-salt", "non-ascii-long-salt",
         "bytes-context-nul", "long-context"],
)
def test_hkdf_matches_cryptography(master, context, ref_context, salt) -> None:
    assert qv.derive_subkey(master, context, salt) == hkdf_ref(master, ref_context, salt)


def test_hkdf_missing_empty_and_zero_salt_agree() -> None:
    none = qv.derive_subkey(MASTER, "ctx")
    assert qv.derive_subkey(MASTER, "ctx", None) == none
    assert qv.derive_subkey(MASTER, "ctx", b"") == none
    assert qv.derive_subkey(MASTER, "ctx", bytes(32)) == none
    assert qv.derive_subkey(MASTER, "ctx", type("B", (bytes,), {})(b"")) == none
    assert none != qv.derive_subkey(MASTER, "ctx", b"\x01")


def test_subkey_is_usable_as_a_key() -> None:
    sub = qv.derive_subkey(MASTER, "tokens")
    assert qv.decrypt(qv.encrypt("hi", sub, "k"), sub)["data"] == "hi"


@pytest.mark.parametrize(
    "salt, type_name",
    [(bytearray(b"s"), "bytearray"), ("s", "str"), (5, "int"), (memoryview(b"s"), "memoryview"),
     ([], "list")],
    ids=["bytearray", "str", "int", "memoryview", "list"],
)
def test_salt_of_wrong_type_is_type_error(salt, type_name: str) -> None:
    with pytest.raises(TypeError) as info:
        qv.derive_subkey(MASTER, "ctx", salt)
    assert str(info.value) == f"Object of type '{type_name}' is not an instance of 'bytes'"


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((MASTER[:31], "ctx"), ValueError, MASTER_MSG),
        ((MASTER + b"x", "ctx"), ValueError, MASTER_MSG),
        ((b"", "ctx"), ValueError, MASTER_MSG),
        ((MASTER[:16], ""), ValueError, MASTER_MSG),
        ((MASTER[:31], "", "not bytes"), ValueError, MASTER_MSG),
        ((MASTER, "", "s"), TypeError, r"^Object of type 'str' is not an instance of 'bytes'$"),
        ((MASTER, ""), ValueError, CONTEXT_MSG),
        ((MASTER, b""), ValueError, CONTEXT_MSG),
        ((MASTER, "", b"salt"), ValueError, CONTEXT_MSG),
        ((bytearray(MASTER), "ctx"), TypeError, "incompatible function arguments"),
        ((MASTER, None), TypeError, "incompatible function arguments"),
    ],
    ids=["master-31", "master-33", "master-0", "master-before-context", "master-before-salt",
         "salt-before-context", "empty-context", "empty-bytes-context",
         "empty-context-with-salt", "bytearray-master", "None-context"],
)
def test_subkey_failure_rows_in_order(args, exc, message) -> None:
    with pytest.raises(exc, match=message):
        qv.derive_subkey(*args)
