"""encrypt and decrypt: failures in order, what the tag binds, the aad rules."""

from __future__ import annotations

import types

import pytest
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

import oracle
import qv
import tokenkit as tk

KEY = bytes(range(32))
OTHER_KEY = bytes(32)
FAILED = RuntimeError, r"^qv: decryption failed\.$"
KEY_LEN = ValueError, r"^qv: key must be 32 bytes\.$"
KEY_ID = ValueError, r"^qv: keyId must be 1-255 bytes\.$"
KEY_ID_NUL = ValueError, r"^qv: keyId must not contain NUL bytes\.$"
EMPTY = ValueError, r"^qv: plaintext must not be empty\.$"
META_LEN = ValueError, r"^qv: metadata must serialise to at most 65535 bytes\.$"
AAD_TYPE = ValueError, r"^qv: aad must be a string, dict, or None\.$"
CAST = RuntimeError, r"^Unable to cast Python instance of type "
BIG = {"a": "x" * (65536 - 8)}  # {"a":"<v>"} is 8 + len(v) bytes
BIG_BY_ESCAPES = {"a": "\x01" * 10922}  # each control byte serialises to six


def enc(plaintext="p", key=KEY, key_id="k", deterministic=False, metadata=None, aad=None):
    return qv.encrypt(plaintext, key, key_id, deterministic, metadata or {}, aad)


# Each row breaks its own rule and every later one, so it shows which check runs first.
ENCRYPT_FAILURES = {
    "key_31": (KEY_LEN, dict(key=KEY[:31], key_id="", plaintext="", metadata=BIG, aad=b"x")),
    "key_33": (KEY_LEN, dict(key=KEY + b"\x00", key_id="k" * 256, aad=5)),
    "key_id_empty": (KEY_ID, dict(key_id="", plaintext="", metadata=BIG, aad=b"x")),
    "key_id_256_utf8_bytes": (KEY_ID, dict(key_id="\u00e9" * 128)),
    "key_before_nul_in_key_id": (KEY_LEN, dict(key=KEY[:31], key_id="k\x00")),
    "key_id_length_before_nul": (KEY_ID, dict(key_id="\x00" * 256)),
    "key_id_nul": (KEY_ID_NUL, dict(key_id="k1\x00m", plaintext="", metadata=BIG, aad=b"x")),
    "key_id_lone_nul": (KEY_ID_NUL, dict(key_id=b"\x00")),
    "plaintext_empty": (EMPTY, dict(plaintext="", metadata=BIG, aad=b"x")),
    "metadata_too_long": (META_LEN, dict(metadata=BIG, aad=b"x")),
    "metadata_too_long_by_escapes": (META_LEN, dict(metadata=BIG_BY_ESCAPES, aad={1: 2})),
    "aad_bytes": (AAD_TYPE, dict(aad=b"x")),
    "aad_mapping_proxy": (AAD_TYPE, dict(aad=types.MappingProxyType({"a": "b"}))),
    "aad_lone_surrogate": (CAST, dict(aad="\ud800")),
    "aad_dict_int_value": (CAST, dict(aad={"a": 5})),
    "aad_dict_key_before_value": ((CAST[0], CAST[1] + "<class 'int'>"), dict(aad={1: 2.0})),
}


@pytest.mark.parametrize("deterministic", [False, True], ids=["random", "deterministic"])
@pytest.mark.parametrize("error, kwargs", ENCRYPT_FAILURES.values(), ids=ENCRYPT_FAILURES.keys())
def test_encrypt_failures_in_order(error, kwargs, deterministic):
    with pytest.raises(error[0], match=error[1]):
        enc(**{"deterministic": deterministic, **kwargs})


TOKEN = enc("secret", metadata={"m": "1"}, aad="ctx")
BAD = "qv.v2.AAAA"
DECRYPT_FAILURES = {
    "key_31_before_token": (KEY_LEN, dict(token=BAD, key=KEY[:31], aad=b"x")),
    "token_before_aad_type": (FAILED, dict(token=BAD, aad=b"x")),
    "token_before_aad_cast": (FAILED, dict(token=BAD, aad={1: 2.0})),
    "aad_type_before_opening": (AAD_TYPE, dict(key=OTHER_KEY, aad=b"ctx")),
    "aad_cast_before_opening": (CAST, dict(key=OTHER_KEY, aad={"a": 5})),
    "aad_dict_value_before_key": ((CAST[0], CAST[1] + "<class 'float'>"), dict(aad={1: 2.0})),
    "aad_lone_surrogate": (CAST, dict(aad="\ud800")),
    "wrong_key": (FAILED, dict(key=OTHER_KEY)),
    "wrong_aad": (FAILED, dict(aad="ctx2")),
}


@pytest.mark.parametrize("error, kwargs", DECRYPT_FAILURES.values(), ids=DECRYPT_FAILURES.keys())
def test_decrypt_failures_in_order(error, kwargs):
    with pytest.raises(error[0], match=error[1]):
        qv.decrypt(**{"token": TOKEN, "key": KEY, "aad": "ctx", **kwargs})


def test_decrypt_result():
    result = qv.decrypt(bytearray(TOKEN.encode()), KEY, aad="ctx")
    assert list(result) == ["data", "metadata", "key_id", "deterministic"]
    assert list(result.values()) == ["secret", {"m": "1"}, "k", False]
    assert type(result["deterministic"]) is bool and type(result["metadata"]) is dict


# The plaintext is handed back first, then the metadata, then the key id.
NOT_UTF8 = {
    "plaintext_first": (b"\xfe", b"\x80", {"k": b"\xc3"}, b"\xfe"),
    "metadata_before_key_id": ("p", b"\x80", {"k": b"\xc3"}, b"\xc3"),
    "metadata_key": ("p", "k", {b"\xe2\x82": "v"}, b"\xe2\x82"),
    "key_id": ("p", b"\x80", {}, b"\x80"),
}


@pytest.mark.parametrize("plaintext, key_id, metadata, bad", NOT_UTF8.values(), ids=NOT_UTF8.keys())
def test_invalid_utf8_opens_then_fails_to_decode(plaintext, key_id, metadata, bad):
    token = enc(plaintext, key_id=key_id, metadata=metadata)
    assert oracle.open_token(token, KEY)["data"] == oracle.as_bytes(plaintext)
    with pytest.raises(UnicodeDecodeError) as info:
        qv.decrypt(token, KEY)
    assert info.value.object == bad


def flip(data: bytes, i: int = 0) -> bytes:
    return data[:i] + bytes([data[i] ^ 1]) + data[i + 1 :]


RANDOM = enc("payload", metadata={"m": "1"})
DET = enc("payload", metadata={"m": "1"}, deterministic=True)
R = tk.split(RANDOM)
# (token, changed fields, the mode it then opens in or None if it fails)
TAMPERED = {
    "flags_0_to_fe": (RANDOM, dict(flags=0xFE), False),
    "flags_1_to_3": (DET, dict(flags=0x03), True),
    "metadata_text_spaced": (RANDOM, dict(metadata_text=b' { "m" : "1" } '), False),
    "empty_metadata_as_braces": (enc("payload"), dict(metadata_text=b"{}"), False),
    "flags_0_to_1": (RANDOM, dict(flags=0x01), None),
    "flags_1_to_0": (DET, dict(flags=0x00), None),
    "flags_1_to_2": (DET, dict(flags=0x02), None),
    "key_id_changed": (RANDOM, dict(key_id=b"j"), None),
    "nonce_bit": (RANDOM, dict(nonce=flip(R["nonce"], 11)), None),
    "tag_bit": (RANDOM, dict(tag=flip(R["tag"], 15)), None),
    "ciphertext_bit": (RANDOM, dict(ciphertext=flip(R["ciphertext"], 6)), None),
    "ciphertext_truncated": (RANDOM, dict(ciphertext=R["ciphertext"][:-1]), None),
    "ciphertext_extended": (RANDOM, dict(ciphertext=R["ciphertext"] + b"\x00"), None),
    "metadata_value_changed": (RANDOM, dict(metadata_text=b'{"m":"2"}'), None),
    "metadata_removed": (RANDOM, dict(metadata_text=b""), None),
    "metadata_added": (enc("payload"), dict(metadata_text=b'{"m":"1"}'), None),
}


@pytest.mark.parametrize("token, change, opens_as", TAMPERED.values(), ids=TAMPERED.keys())
def test_what_the_tag_binds(token, change, opens_as):
    assert qv.decrypt(tk.rebuild(token), KEY)["data"] == "payload"  # the untouched twin opens
    if opens_as is None:
        with pytest.raises(FAILED[0], match=FAILED[1]):
            qv.decrypt(tk.rebuild(token, **change), KEY)
    else:
        result = qv.decrypt(tk.rebuild(token, **change), KEY)
        assert result["data"] == "payload" and result["deterministic"] is opens_as


def test_one_character_changed_anywhere_in_the_body_fails():
    body = RANDOM[6:]
    for i in range(len(body) - 1):  # the last character may carry spare low bits
        changed = RANDOM[:6] + body[:i] + ("A" if body[i] != "A" else "B") + body[i + 1 :]
        with pytest.raises(FAILED[0], match=FAILED[1]):
            qv.decrypt(changed, KEY)


# A key id that absorbs, after a NUL, the field that followed it in the
# associated data: (what was sealed, the forged key id's tail, what the
# forgery leaves out).
ABSORBED = {
    "metadata": (dict(metadata={"expires": "2026-01-01"}), b'meta:{"expires":"2026-01-01"}', {}),
    "aad_text": (dict(aad="tenant=acme"), b"tenant=acme", dict(aad=None)),
    "aad_dict": (dict(aad={"tenant": "acme"}), b"tenant=acme", dict(aad=None)),
}


@pytest.mark.parametrize("deterministic", [False, True], ids=["random", "deterministic"])
@pytest.mark.parametrize("sealed, tail, forged_aad", ABSORBED.values(), ids=ABSORBED.keys())
def test_key_id_with_nul_cannot_absorb_bound_fields(sealed, tail, forged_aad, deterministic):
    token = enc("payload", key_id="k1", deterministic=deterministic, **sealed)
    forged = tk.rebuild(token, key_id=b"k1\x00" + tail, metadata_text=b"")
    f = tk.split(forged)
    # Byte for byte the same associated data, so the tag alone cannot tell.
    ad = oracle.build_aad(f["key_id"], b"", deterministic)
    assert ChaCha20Poly1305(KEY).decrypt(f["nonce"], f["ciphertext"] + f["tag"], ad) == b"payload"
    with pytest.raises(FAILED[0], match=FAILED[1]):
        qv.decrypt(forged, KEY, **forged_aad)
    assert [qv.peek_key_id(forged), qv.decode_token(forged), qv.token_fingerprint(forged)] == [
        None
    ] * 3


AAD_LAYOUTS = {
    "worked_example_54_bytes": (
        (True, {"b": "2", "a": "1"}, {"tenant": "t9", "env": "prod"}),
        b'qv.v2.det\x00k1\x00meta:{"a":"1","b":"2"}\x00env=prod\x00tenant=t9',
    ),
    "bare_8_bytes": ((False, {}, None), b"qv.v2\x00k1"),
    "empty_member": ((False, {"": ""}, ""), b'qv.v2\x00k1\x00meta:{"":""}'),
}


@pytest.mark.parametrize("args, expected", AAD_LAYOUTS.values(), ids=AAD_LAYOUTS.keys())
def test_associated_data_layout(args, expected):
    f = tk.split(qv.encrypt("hello", KEY, "k1", *args))
    if args[0]:
        assert f["nonce"] == oracle.siv_nonce(KEY, expected, b"hello")
    # The tag verifies under exactly these bytes, and not under one byte less.
    box = ChaCha20Poly1305(KEY)
    assert box.decrypt(f["nonce"], f["ciphertext"] + f["tag"], expected) == b"hello"
    with pytest.raises(InvalidTag):
        box.decrypt(f["nonce"], f["ciphertext"] + f["tag"], expected[:-1])


# (aad at sealing, aad at opening, whether they give the same associated data)
AAD_PAIRS = {
    "none_and_empty_text": (None, "", True),
    "none_and_empty_dict": (None, {}, True),
    "text_and_dict": ("a=b", {"a": "b"}, True),
    "nul_joined_text_and_dict": ("a=b\x00c=d", {"c": "d", "a": "b"}, True),
    "equals_in_key_or_value": ({"a=b": "c"}, {"a": "b=c"}, True),
    "equals_in_text": ("a=b=c", {"a=b": "c"}, True),
    "empty_entry": ({"": ""}, "=", True),
    "insertion_order": ({"b": "1", "a": "2"}, {"a": "2", "b": "1"}, True),
    "equal_keys_later_wins": ({"a": "1", b"a": "2"}, "a=2", True),
    "bytes_entries": ({b"k": bytearray(b"v")}, "k=v", True),
    "str_subclass": (type("S", (str,), {})("x"), "x", True),
    "dict_subclass": (type("D", (dict,), {})(a="b"), "a=b", True),
    "other_value": ("a=b", {"a": "c"}, False),
    "dropped": ("x", None, False),
    "trailing_nul_text": ("a=b\x00", {"a": "b"}, False),
    "text_not_sorted": ({"a": "1", "b": "2"}, "b=2\x00a=1", False),
}


@pytest.mark.parametrize("sealed, opened, same", AAD_PAIRS.values(), ids=AAD_PAIRS.keys())
def test_aad_arguments_that_do_and_do_not_agree(sealed, opened, same):
    assert (enc(aad=sealed, deterministic=True) == enc(aad=opened, deterministic=True)) is same
    for a, b in ((sealed, opened), (opened, sealed)):
        if same:
            assert qv.decrypt(enc(aad=a), KEY, b)["data"] == "p"
        else:
            with pytest.raises(FAILED[0], match=FAILED[1]):
                qv.decrypt(enc(aad=a), KEY, b)
