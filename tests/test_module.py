"""The module frame: loading, registration, signatures and calling conventions."""

from __future__ import annotations

import collections
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

import qv
import qv._bulk
import qv._native as native
from tokenkit import split

KEY = bytes(range(32))
# Each function's signature line and docstring, as pybind11 writes them.
DOCS = """
generate_key() -> bytes
Generate a random 32-byte encryption key.
derive_key_from_password(password: str, salt_hex: str = '', N: {INT} = 131072, r: {INT} = 8, p: {INT} = 1) -> dict
Derive a key from a password using scrypt.
derive_subkey(master_key: bytes, context: str, salt: object = None) -> bytes
Derive a subkey using HKDF-SHA256.
encrypt(plaintext: str, key: bytes, key_id: str, deterministic: bool = False, metadata: collections.abc.Mapping[str, str] = {{}}, aad: object = None) -> str
Encrypt plaintext and return an qv.v2 token string.
decrypt(token: str, key: bytes, aad: object = None) -> dict
Decrypt an qv.v2 token. Returns dict with data, metadata, key_id, deterministic.
peek_key_id(token: str) -> object
Extract the key ID from a token without decrypting.
decode_token(token: str) -> object
Decode a token into its components. Returns None on failure.
token_fingerprint(token: str) -> object
Get the fingerprint (keyId:nonceHex) of a token.
wipe_buffer(buf: {BUFFER}) -> None
Securely zero a buffer.
"""
# From 3.12 on the standard library has its own Buffer, and pybind11 names it.
BUFFER = "collections.abc.Buffer" if sys.version_info >= (3, 12) else "typing_extensions.Buffer"
LINES = (
    DOCS.format(INT="typing.SupportsInt | typing.SupportsIndex", BUFFER=BUFFER).strip().splitlines()
)
SIGNATURES = {
    sig.split("(")[0]: f"{sig}\n\n{text}\n"
    for sig, text in zip(LINES[::2], LINES[1::2], strict=True)
}


def test_module_holds_exactly_the_nine_functions_in_order() -> None:
    assert (native.__name__, native.__doc__) == ("qv._native", "qv.v2 native cryptographic library")
    assert [name for name in native.__dict__ if not name.startswith("_")] == list(SIGNATURES)
    # The package adds the pure-Python key ring names and the two bulk
    # functions of qv._bulk to the native nine.
    bulk_names = ["encrypt_many", "decrypt_many"]
    assert sorted(qv.__all__) == sorted([*SIGNATURES, *qv.keyring.__all__, *bulk_names])
    assert all(getattr(qv, name) is getattr(native, name) for name in SIGNATURES)
    assert all(getattr(qv, name) is getattr(qv._bulk, name) for name in bulk_names)


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_docstring_is_signature_line_then_text(name: str) -> None:
    assert getattr(native, name).__doc__ == SIGNATURES[name]


DET = qv.encrypt("hello", KEY, "k1", True)


def test_encrypt_defaults_are_random_no_metadata_no_aad() -> None:
    tok = qv.encrypt(key_id="k1", key=KEY, plaintext="hello")
    assert split(tok)["flags"] == 0 and split(tok)["metadata_text"] == b""
    assert qv.decrypt(tok, KEY, None)["data"] == "hello"
    # The default {} is converted afresh on each call; no call can alter it.
    qv.encrypt("y", KEY, "k1", True, {"a": "1"})
    assert qv.encrypt("hello", KEY, "k1", True) == DET


@pytest.mark.parametrize(
    "convert",
    [lambda s: s.encode(), lambda s: bytearray(s.encode()), type("S", (str,), {})],
    ids=["bytes", "bytearray", "str-subclass"],
)
def test_str_parameters_take_bytes_byte_for_byte(convert) -> None:
    c = convert
    ref = qv.encrypt("plain", KEY, "k1", True, {"m": "v"}, "ctx")
    assert qv.encrypt(c("plain"), KEY, c("k1"), True, {"m": c("v")}, "ctx") == ref
    assert qv.peek_key_id(c(ref)) == "k1"
    assert qv.derive_subkey(KEY, c("ctx")) == qv.derive_subkey(KEY, "ctx")
    pw = qv.derive_key_from_password("pw", "ab", 16384)
    assert qv.derive_key_from_password(c("pw"), c("ab"), 16384) == pw


META = {"b": "2", "a": "1"}
# encrypt arguments that convert like the plain ones after them
ACCEPTED = {
    "key-bytes-subclass": (("x", type("B", (bytes,), {})(KEY), "k1", True), ("x", KEY, "k1", True)),
    "deterministic-1": (("x", KEY, "k1", 1), ("x", KEY, "k1", True)),
    "deterministic-1.0": (("x", KEY, "k1", 1.0), ("x", KEY, "k1", True)),
    "mappingproxy": (("x", KEY, "k1", 1, types.MappingProxyType(META)), ("x", KEY, "k1", 1, META)),
    "abc-mapping": (("x", KEY, "k1", 1, collections.UserDict(META)), ("x", KEY, "k1", 1, META)),
    "dict-subclass": (("x", KEY, "k1", 1, type("D", (dict,), {})(META)), ("x", KEY, "k1", 1, META)),
}


@pytest.mark.parametrize("args, plain", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_arguments_that_convert_like_the_plain_ones(args, plain) -> None:
    assert qv.encrypt(*args) == qv.encrypt(*plain)


def test_other_conversions_that_are_accepted() -> None:
    for falsy in (None, 0.0):  # random mode: flags 0
        assert split(qv.encrypt("x", KEY, "k1", falsy))["flags"] == 0
    assert qv.derive_subkey(type("B", (bytes,), {})(KEY), "c") == qv.derive_subkey(KEY, "c")
    idx = type("Idx", (), {"__index__": lambda self: 16384})()
    kdf = qv.derive_key_from_password
    assert kdf("pw", "0f", idx) == kdf("pw", "0f", 16384)
    # True is the int 1: taken by the conversion, refused by the N check.
    with pytest.raises(ValueError, match=r"^qv: scrypt N must be a power of 2"):
        kdf("pw", "00", True)


class Shrinking(collections.UserDict):
    """A mapping whose items() empties a bytearray given for an earlier argument."""

    def __init__(self, victim: bytearray) -> None:
        super().__init__()
        self.victim = victim

    def items(self):  # type: ignore[override]
        self.victim[:] = b""
        return super().items()


@pytest.mark.parametrize("field", ["plaintext", "key_id"])
def test_bytearray_resized_by_a_later_conversion_is_used_as_given(field: str) -> None:
    args = {"plaintext": bytearray(b"p" * 4096), "key_id": bytearray(b"k" * 200)}
    tok = qv.encrypt(args["plaintext"], KEY, args["key_id"], True, Shrinking(args[field]))
    assert tok == qv.encrypt(b"p" * 4096, KEY, b"k" * 200, True)


TOKEN = qv.encrypt("x", KEY, "k1")
CALL_TYPE_ERRORS = {
    "encrypt-key-bytearray": lambda: qv.encrypt("x", bytearray(KEY), "k1"),
    "encrypt-key-str": lambda: qv.encrypt("x", "k" * 32, "k1"),
    "decrypt-key-memoryview": lambda: qv.decrypt(TOKEN, memoryview(KEY)),
    "subkey-master-bytearray": lambda: qv.derive_subkey(bytearray(KEY), "ctx"),
    "plaintext-None": lambda: qv.encrypt(None, KEY[:31], "k1"),
    "plaintext-lone-surrogate": lambda: qv.encrypt("\ud800", KEY, "k1"),
    "deterministic-str": lambda: qv.encrypt("x", KEY[:31], "k1", "yes"),
    "deterministic-list": lambda: qv.encrypt("x", KEY, "k1", [1]),
    "metadata-int-value": lambda: qv.encrypt("x", KEY[:31], "k1", True, {"a": 5}),
    "metadata-None": lambda: qv.encrypt("x", KEY[:31], "k1", False, None),
    "N-float": lambda: qv.derive_key_from_password("pw", "00", 16384.0),
    "N-negative": lambda: qv.derive_key_from_password("pw", "00", -1),
    "N-2^64": lambda: qv.derive_key_from_password("pw", "00", 2**64),
    "r-2^32": lambda: qv.derive_key_from_password("pw", "00", 16384, 2**32),
    "p-2^32": lambda: qv.derive_key_from_password("pw", "00", 16384, 8, 2**32),
    "peek-int": lambda: qv.peek_key_id(5),
    "wipe-str": lambda: qv.wipe_buffer("secret"),
    "kdf-lower-case-n": lambda: qv.derive_key_from_password("pw", n=16384),
    "generate_key-argument": lambda: qv.generate_key(32),
}


@pytest.mark.parametrize("call", CALL_TYPE_ERRORS.values(), ids=CALL_TYPE_ERRORS.keys())
def test_arguments_that_do_not_convert_fail_before_any_check(call) -> None:
    # The function's own message, never pybind11's, which lists the arguments.
    with pytest.raises(TypeError, match=r"^qv: \w+\(\) (argument '\w+' |got |takes )"):
        call()


# The release this interpreter is, and so the one its build of the module is for.
RELEASE = f"{sys.version_info.major}.{sys.version_info.minor}"
VERSIONS = Path.home() / ".pyenv" / "versions"
OTHERS = [
    p for p in sorted(VERSIONS.glob("3.*/bin/python3")) if not p.parts[-3].startswith(f"{RELEASE}.")
]
# Bound lazily (argv[3] "lazy"), a release lacking some C-API symbol still
# reaches the module's entry and its version check. Bound at once, as a plain
# import does, the dynamic loader may refuse first, naming the missing symbol
# (3.13 renamed a thread-state getter that pybind11 calls): a refusal all the
# same.
LOADER = r"""
import importlib.machinery as m, importlib.util as u, os, sys
sys.setdlopenflags(os.RTLD_LAZY if sys.argv[3] == "lazy" else os.RTLD_NOW)
where = u.spec_from_file_location("qv._native", sys.argv[1], loader=m.ExtensionFileLoader("qv._native", sys.argv[1]))
try:
    u.module_from_spec(where)
except ImportError as e:
    expected = ("Python version mismatch: module was compiled for Python " + sys.argv[2] + ", but the "
                "interpreter version is incompatible: " + sys.version + ".")
    unbound = sys.argv[3] == "now" and "undefined symbol: " in str(e)
    sys.exit(0 if str(e) == expected or unbound else "got: " + repr(str(e)))
sys.exit("the module loaded")
"""


def test_module_in_use_was_built_for_this_release() -> None:
    # A venv per release shares the source tree; the file name shows that this
    # interpreter imported its own build and not one left by another release.
    assert Path(native.__file__).name.startswith(
        f"_native.cpython-{sys.version_info.major}{sys.version_info.minor}-"
    )


@pytest.mark.parametrize(
    "exe",
    OTHERS or [pytest.param(None, marks=pytest.mark.skip("no other CPython 3"))],
    ids=lambda p: p.parts[-3] if p else "none",
)
@pytest.mark.parametrize("binding", ["lazy", "now"])
def test_other_interpreter_refuses_the_module(exe: Path, binding: str) -> None:
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    proc = subprocess.run(
        [exe, "-I", "-c", LOADER, native.__file__, RELEASE, binding],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )
    assert proc.returncode == 0, proc.stderr
