"""The module frame: loading, registration, signatures and calling conventions."""

from __future__ import annotations

import collections.abc
import os
import re
import subprocess
import types
from pathlib import Path

import pytest

import qv
import qv._native as native
from tokenkit import split

KEY = bytes(range(32))

SIGNATURES = {
    "generate_key": (
        "generate_key() -> bytes",
        "Generate a random 32-byte encryption key.",
    ),
    "derive_key_from_password": (
        "derive_key_from_password(password: str, salt_hex: str = '', "
        "N: typing.SupportsInt | typing.SupportsIndex = 131072, "
        "r: typing.SupportsInt | typing.SupportsIndex = 8, "
        "p: typing.SupportsInt | typing.SupportsIndex = 1) -> dict",
        "Derive a key from a password using scrypt.",
    ),
    "derive_subkey": (
        "derive_subkey(master_key: bytes, context: str, salt: object = None) -> bytes",
        "Derive a subkey using HKDF-SHA256.",
    ),
    "encrypt": (
        "encrypt(plaintext: str, key: bytes, key_id: str, deterministic: bool = False, "
        "metadata: collections.abc.Mapping[str, str] = {}, aad: object = None) -> str",
        "Encrypt plaintext and return an qv.v2 token string.",
    ),
    "decrypt": (
        "decrypt(token: str, key: bytes, aad: object = None) -> dict",
        "Decrypt an qv.v2 token. Returns dict with data, metadata, key_id, deterministic.",
    ),
    "peek_key_id": (
        "peek_key_id(token: str) -> object",
        "Extract the key ID from a token without decrypting.",
    ),
    "decode_token": (
        "decode_token(token: str) -> object",
        "Decode a token into its components. Returns None on failure.",
    ),
    "token_fingerprint": (
        "token_fingerprint(token: str) -> object",
        "Get the fingerprint (keyId:nonceHex) of a token.",
    ),
    "wipe_buffer": (
        "wipe_buffer(buf: typing_extensions.Buffer) -> None",
        "Securely zero a buffer.",
    ),
}


def test_module_docstring() -> None:
    assert native.__doc__ == "qv.v2 native cryptographic library"
    assert native.__name__ == "qv._native"


def test_public_names_are_the_nine_functions_in_registration_order() -> None:
    public = [name for name in native.__dict__ if not name.startswith("_")]
    assert public == list(SIGNATURES)
    assert all(callable(getattr(native, name)) for name in public)


def test_package_reexports_the_native_functions() -> None:
    assert sorted(qv.__all__) == sorted(SIGNATURES)
    for name in SIGNATURES:
        assert getattr(qv, name) is getattr(native, name)


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_docstring_is_signature_line_then_text(name: str) -> None:
    signature, text = SIGNATURES[name]
    assert getattr(native, name).__doc__ == f"{signature}\n\n{text}\n"


def test_metadata_default_is_not_shared_state() -> None:
    # The default {} is converted afresh on each call; sealing never alters it.
    a = qv.encrypt("x", KEY, "k", True)
    qv.encrypt("y", KEY, "k", True, {"a": "1"})
    assert qv.encrypt("x", KEY, "k", True) == a
    assert qv.decode_token(a)["metadata"] == {}


# --- calling conventions -----------------------------------------------------


def test_encrypt_keywords_equal_positional_with_defaults() -> None:
    by_kw = qv.encrypt(plaintext="hello", key=KEY, key_id="k1", deterministic=True)
    by_pos = qv.encrypt("hello", KEY, "k1", True, {}, None)
    assert by_kw == by_pos
    opened = qv.decrypt(token=by_kw, key=KEY, aad=None)
    assert opened == qv.decrypt(by_kw, KEY)
    # Only the three required ones by keyword: random nonce, no metadata, no aad.
    tok = qv.encrypt(key_id="k1", key=KEY, plaintext="hello")
    assert split(tok)["flags"] == 0
    assert qv.decrypt(tok, KEY) == {
        "data": "hello", "metadata": {}, "key_id": "k1", "deterministic": False
    }


def test_kdf_keywords_equal_positional() -> None:
    kw = qv.derive_key_from_password(p=1, r=8, N=16384, salt_hex="00ff", password="pw")
    assert kw == qv.derive_key_from_password("pw", "00ff", 16384, 8, 1)
    salt = b"s" * 16
    assert qv.derive_subkey(salt=salt, context="c", master_key=KEY) == qv.derive_subkey(
        KEY, "c", salt
    )


@pytest.mark.parametrize(
    "convert",
    [lambda s: s.encode(), lambda s: bytearray(s.encode()), lambda s: type("S", (str,), {})(s)],
    ids=["bytes", "bytearray", "str-subclass"],
)
def test_str_parameters_take_bytes_byte_for_byte(convert) -> None:
    ref = qv.encrypt("plain", KEY, "k1", True, {"m": "v"}, "ctx")
    got = qv.encrypt(convert("plain"), KEY, convert("k1"), True,
                     {"m": convert("v")}, "ctx")
    assert got == ref
    assert qv.peek_key_id(convert(ref)) == "k1"
    assert qv.derive_subkey(KEY, convert("ctx")) == qv.derive_subkey(KEY, "ctx")
    assert qv.derive_key_from_password(convert("pw"), convert("ab"), 16384) == \
        qv.derive_key_from_password("pw", "ab", 16384)


def test_lone_surrogate_str_is_refused() -> None:
    with pytest.raises(TypeError):
        qv.encrypt("\ud800", KEY, "k1")


def test_bytes_subclass_key_is_accepted() -> None:
    sub = type("B", (bytes,), {})(KEY)
    assert qv.encrypt("x", sub, "k", True) == qv.encrypt("x", KEY, "k", True)
    assert qv.derive_subkey(sub, "c") == qv.derive_subkey(KEY, "c")


KEY_LIKES = [bytearray(KEY), memoryview(KEY), KEY.hex(), list(KEY)]
KEY_LIKE_IDS = ["bytearray", "memoryview", "str", "list"]


@pytest.mark.parametrize("key", KEY_LIKES, ids=KEY_LIKE_IDS)
@pytest.mark.parametrize(
    "call",
    [
        lambda k: qv.encrypt("x", k, "k1"),
        lambda k: qv.decrypt(qv.encrypt("x", KEY, "k1"), k),
        lambda k: qv.derive_subkey(k, "ctx"),
    ],
    ids=["encrypt", "decrypt", "derive_subkey"],
)
def test_key_that_is_not_bytes_is_type_error(call, key) -> None:
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(key)


def test_short_key_is_value_error() -> None:
    with pytest.raises(ValueError, match=r"^qv: key must be 32 bytes\.$"):
        qv.encrypt("x", KEY[:31], "k1")


@pytest.mark.parametrize(
    "value, deterministic",
    [(None, False), (0, False), (1, True), (1.0, True), (0.0, False), (True, True)],
    ids=["None", "0", "1", "1.0", "0.0", "True"],
)
def test_deterministic_takes_truth_values(value, deterministic: bool) -> None:
    tok = qv.encrypt("x", KEY, "k1", value)
    assert split(tok)["flags"] == int(deterministic)
    if deterministic:
        assert tok == qv.encrypt("x", KEY, "k1", True)
    else:
        assert tok != qv.encrypt("x", KEY, "k1", value)  # a fresh random nonce


@pytest.mark.parametrize("value", ["yes", "", [1], b"1"], ids=["str", "empty-str", "list", "bytes"])
def test_deterministic_refuses_objects_without_truth_number(value) -> None:
    with pytest.raises(TypeError):
        qv.encrypt("x", KEY, "k1", value)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"N": 2.0},
        {"N": 16384.0},
        {"N": -1},
        {"N": 2**64},
        {"r": -1},
        {"r": 2**32},
        {"p": -1},
        {"p": 2**32},
        {"N": "16384"},
        {"r": None},
    ],
    ids=lambda kw: "-".join(f"{k}={v!r}" for k, v in kw.items()),
)
def test_kdf_integers_outside_their_width_are_type_errors(kwargs) -> None:
    with pytest.raises(TypeError):
        qv.derive_key_from_password("pw", "00", **kwargs)


def test_kdf_integer_conversion_accepts_index_objects_and_bool() -> None:
    class Idx:
        def __index__(self) -> int:
            return 16384

    assert qv.derive_key_from_password("pw", "00", Idx()) == \
        qv.derive_key_from_password("pw", "00", 16384)
    # True is the int 1: accepted by the conversion, refused by the N check.
    with pytest.raises(ValueError, match=r"^qv: scrypt N must be a power of 2 and at least 2\^14\.$"):
        qv.derive_key_from_password("pw", "00", True)


@pytest.mark.parametrize(
    "metadata",
    [{"a": 1}, {1: "a"}, {"a": None}, None, [("a", "b")], "a=b"],
    ids=["int-value", "int-key", "None-value", "None", "list-of-pairs", "str"],
)
def test_metadata_that_is_not_a_text_mapping_is_type_error(metadata) -> None:
    with pytest.raises(TypeError):
        qv.encrypt("x", KEY, "k1", True, metadata)


class _Meta(collections.abc.Mapping):
    def __init__(self, d: dict) -> None:
        self._d = d

    def __getitem__(self, k):
        return self._d[k]

    def __iter__(self):
        return iter(self._d)

    def __len__(self) -> int:
        return len(self._d)


@pytest.mark.parametrize(
    "wrap",
    [types.MappingProxyType, _Meta, lambda d: type("D", (dict,), {})(d)],
    ids=["mappingproxy", "abc-mapping", "dict-subclass"],
)
def test_metadata_mappings_equal_the_dict(wrap) -> None:
    meta = {"b": "2", "a": "1"}
    assert qv.encrypt("x", KEY, "k1", True, wrap(meta)) == qv.encrypt("x", KEY, "k1", True, meta)


def test_metadata_keys_colliding_as_bytes_keep_the_first() -> None:
    tok = qv.encrypt("x", KEY, "k1", True, {"a": "first", b"a": "second"})
    assert qv.decode_token(tok)["metadata"] == {"a": "first"}


@pytest.mark.parametrize(
    "call",
    [
        lambda: qv.encrypt("x", KEY, "k1", colour="red"),
        lambda: qv.decrypt("t", KEY, associated="x"),
        lambda: qv.derive_key_from_password("pw", n=16384),
        lambda: qv.derive_subkey(KEY, "c", info=b""),
        lambda: qv.peek_key_id(tok="t"),
        lambda: qv.wipe_buffer(buffer=bytearray(1)),
        lambda: qv.generate_key(1),
        lambda: qv.generate_key(None),
        lambda: qv.generate_key(size=32),
        lambda: qv.encrypt("x", KEY, "k1", False, {}, None, None),
        lambda: qv.encrypt("x", KEY, "k1", plaintext="y"),
        lambda: qv.encrypt("x", KEY),
        lambda: qv.decode_token(None),
        lambda: qv.token_fingerprint(12),
    ],
    ids=[
        "encrypt-unknown-kw", "decrypt-unknown-kw", "kdf-lowercase-n", "subkey-unknown-kw",
        "peek-unknown-kw", "wipe-unknown-kw", "generate_key-positional", "generate_key-None",
        "generate_key-kw", "encrypt-surplus", "encrypt-repeated", "encrypt-missing",
        "decode-None", "fingerprint-int",
    ],
)
def test_bad_call_shapes_are_type_errors(call) -> None:
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


# --- the version check at load time -----------------------------------------


def _other_interpreters() -> list[Path]:
    root = Path.home() / ".pyenv" / "versions"
    found = []
    for d in sorted(root.glob("3.*")) if root.is_dir() else []:
        exe = d / "bin" / "python3"
        if re.fullmatch(r"3\.\d+\.\d+", d.name) and not d.name.startswith("3.11.") and exe.exists():
            found.append(exe)
    return found


_LOADER = r"""
import importlib.machinery, importlib.util, os, sys
# Bind symbols lazily: releases that dropped or lacked a C-API symbol would
# otherwise be refused by the dynamic loader before the module's entry runs.
sys.setdlopenflags(os.RTLD_LAZY)
path = sys.argv[1]
loader = importlib.machinery.ExtensionFileLoader("qv._native", path)
spec = importlib.util.spec_from_file_location("qv._native", path, loader=loader)
try:
    importlib.util.module_from_spec(spec)
except ImportError as e:
    expected = ("Python version mismatch: module was compiled for Python 3.11, but the "
                "interpreter version is incompatible: " + sys.version + ".")
    sys.exit(0 if str(e) == expected else "got: " + repr(str(e)))
sys.exit("the module loaded")
"""


@pytest.mark.parametrize(
    "exe",
    _other_interpreters() or [pytest.param(None, marks=pytest.mark.skip("no other CPython 3"))],
    ids=lambda p: p.parent.parent.name if p else "none",
)
def test_other_interpreter_refuses_the_module(exe: Path) -> None:
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    proc = subprocess.run(
        [str(exe), "-I", "-c", _LOADER, native.__file__],
        capture_output=True, text=True, timeout=60, env=env,
    )
    assert proc.returncode == 0, proc.stderr
