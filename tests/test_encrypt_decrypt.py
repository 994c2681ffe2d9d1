"""encrypt and decrypt: failures in order, what the tag binds, aad rules."""

from __future__ import annotations

import types

import pytest

import oracle
import qv
import tokenkit as tk

KEY = bytes(range(32))
OTHER_KEY = bytes(32)
FAILED = r"^qv: decryption failed\.$"
KEY_LEN = r"^qv: key must be 32 bytes\.$"
KEY_ID = r"^qv: keyId must be 1-255 bytes\.$"
EMPTY = r"^qv: plaintext must not be empty\.$"
META_LEN = r"^qv: metadata must serialise to at most 65535 bytes\.$"
AAD_TYPE = r"^qv: aad must be a string, dict, or None\.$"
CAST = r"^Unable to cast Python instance of type "

# {"a":"<v>"} is 8 + len(v) bytes.
META_MAX = {"a": "x" * (65535 - 8)}
META_OVER = {"a": "x" * (65536 - 8)}
# Small raw bytes, but each control byte serialises to six.
META_OVER_BY_ESCAPES = {"a": "\x01" * 10922}


def enc(plaintext="p", key=KEY, key_id="k", deterministic=False, metadata=None, aad=None):
    return qv.encrypt(plaintext, key, key_id, deterministic, metadata or {}, aad)


# Each row breaks its own rule and every later one, so the row shows which
# check runs first.
ENCRYPT_FAILURES = [
    ("key_31", dict(key=KEY[:31], key_id="", plaintext="", metadata=META_OVER, aad=b"x"), ValueError, KEY_LEN),
    ("key_33", dict(key=KEY + b"\x00", key_id="k" * 256, aad=5), ValueError, KEY_LEN),
    ("key_empty", dict(key=b""), ValueError, KEY_LEN),
    ("key_id_empty", dict(key_id="", plaintext="", metadata=META_OVER, aad=b"x"), ValueError, KEY_ID),
    ("key_id_256", dict(key_id="k" * 256, plaintext=""), ValueError, KEY_ID),
    ("key_id_256_utf8_bytes", dict(key_id="é" * 128), ValueError, KEY_ID),
    ("plaintext_empty_str", dict(plaintext="", metadata=META_OVER, aad=b"x"), ValueError, EMPTY),
    ("plaintext_empty_bytes", dict(plaintext=b"", deterministic=True), ValueError, EMPTY),
    ("plaintext_empty_bytearray", dict(plaintext=bytearray()), ValueError, EMPTY),
    ("metadata_too_long", dict(metadata=META_OVER, aad=b"x"), ValueError, META_LEN),
    ("metadata_too_long_by_escapes", dict(metadata=META_OVER_BY_ESCAPES, aad={1: 2}), ValueError, META_LEN),
    ("aad_bytes", dict(aad=b"x"), ValueError, AAD_TYPE),
    ("aad_bytearray", dict(aad=bytearray(b"x")), ValueError, AAD_TYPE),
    ("aad_list", dict(aad=["x"]), ValueError, AAD_TYPE),
    ("aad_int", dict(aad=5), ValueError, AAD_TYPE),
    ("aad_mapping_proxy", dict(aad=types.MappingProxyType({"a": "b"})), ValueError, AAD_TYPE),
    ("aad_lone_surrogate", dict(aad="\ud800"), RuntimeError, CAST),
    ("aad_dict_int_value", dict(aad={"a": 5}), RuntimeError, CAST),
    ("aad_dict_surrogate_key", dict(aad={"\udc00": "v"}), RuntimeError, CAST),
    ("aad_dict_key_before_value", dict(aad={1: 2.0}), RuntimeError, CAST + r"<class 'int'>"),
]


@pytest.mark.parametrize("deterministic", [False, True], ids=["random", "deterministic"])
@pytest.mark.parametrize(
    "kwargs, exc, message", [r[1:] for r in ENCRYPT_FAILURES], ids=[r[0] for r in ENCRYPT_FAILURES]
)
def test_encrypt_failures_in_order(kwargs, exc, message, deterministic):
    kwargs = {"deterministic": deterministic, **kwargs}
    with pytest.raises(exc, match=message):
        enc(**kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(key=bytearray(KEY)),
        dict(key=memoryview(KEY)),
        dict(key="k" * 32),
        dict(key=KEY[:31], metadata={"a": 5}),
        dict(key=KEY[:31], deterministic="yes"),
        dict(key=KEY[:31], plaintext=None),
        dict(key=KEY[:31], key_id=7),
    ],
    ids=["key_bytearray", "key_memoryview", "key_str", "metadata_int_value", "deterministic_str",
         "plaintext_none", "key_id_int"],
)
def test_encrypt_arguments_that_do_not_convert_fail_before_any_check(kwargs):
    with pytest.raises(TypeError):
        enc(**kwargs)


def test_encrypt_metadata_none_is_a_type_error():
    with pytest.raises(TypeError):
        qv.encrypt("p", KEY[:31], "k", False, None)


@pytest.mark.parametrize("metadata", [META_MAX, {"a": "\x01" * 10921 + "x"}], ids=["raw", "escaped"])
def test_metadata_of_exactly_65535_bytes_seals_and_opens(metadata):
    token = enc(metadata=metadata, deterministic=True)
    assert len(tk.split(token)["metadata_text"]) == 65535
    assert token == oracle.seal("p", KEY, "k", True, metadata)
    assert qv.decrypt(token, KEY)["metadata"] == metadata


def test_key_id_of_255_bytes_is_accepted():
    assert qv.decrypt(enc(key_id="é" * 127 + "k"), KEY)["key_id"] == "é" * 127 + "k"


TOKEN = enc("secret", metadata={"m": "1"}, aad="ctx")
MALFORMED = "qv.v2.AAAA"

DECRYPT_FAILURES = [
    ("key_31_malformed_token", dict(token=MALFORMED, key=KEY[:31], aad=b"x"), ValueError, KEY_LEN),
    ("key_empty", dict(key=b""), ValueError, KEY_LEN),
    ("malformed_token_before_aad_type", dict(token=MALFORMED, aad=b"x"), RuntimeError, FAILED),
    ("malformed_token_before_aad_cast", dict(token=MALFORMED, aad={1: 2.0}), RuntimeError, FAILED),
    ("aad_type_before_opening", dict(key=OTHER_KEY, aad=b"ctx"), ValueError, AAD_TYPE),
    ("aad_list", dict(aad=["ctx"]), ValueError, AAD_TYPE),
    ("aad_cast_before_opening", dict(key=OTHER_KEY, aad={"a": 5}), RuntimeError, CAST),
    ("aad_dict_value_before_key", dict(aad={1: 2.0}), RuntimeError, CAST + r"<class 'float'>"),
    ("aad_lone_surrogate", dict(aad="\ud800"), RuntimeError, CAST),
    ("wrong_key", dict(key=OTHER_KEY), RuntimeError, FAILED),
    ("wrong_aad", dict(aad="ctx2"), RuntimeError, FAILED),
    ("missing_aad", dict(aad=None), RuntimeError, FAILED),
    ("aad_as_dict_field", dict(aad={"ctx": ""}), RuntimeError, FAILED),
]


@pytest.mark.parametrize(
    "kwargs, exc, message", [r[1:] for r in DECRYPT_FAILURES], ids=[r[0] for r in DECRYPT_FAILURES]
)
def test_decrypt_failures_in_order(kwargs, exc, message):
    kwargs = {"token": TOKEN, "key": KEY, "aad": "ctx", **kwargs}
    with pytest.raises(exc, match=message):
        qv.decrypt(**kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [dict(key=bytearray(KEY)), dict(key=memoryview(KEY)), dict(token=None), dict(token=5)],
    ids=["key_bytearray", "key_memoryview", "token_none", "token_int"],
)
def test_decrypt_arguments_that_do_not_convert(kwargs):
    with pytest.raises(TypeError):
        qv.decrypt(**{"token": TOKEN, "key": KEY, **kwargs})


def test_decrypt_result():
    result = qv.decrypt(TOKEN, KEY, "ctx")
    assert list(result) == ["data", "metadata", "key_id", "deterministic"]
    assert result == {"data": "secret", "metadata": {"m": "1"}, "key_id": "k", "deterministic": False}
    assert type(result["deterministic"]) is bool and type(result["metadata"]) is dict
    assert qv.decrypt(bytearray(TOKEN.encode()), KEY, aad="ctx") == result


def test_decrypt_metadata_comes_back_in_byte_order():
    result = qv.decrypt(enc(metadata={"b": "", "é": "", "B": "", "a": ""}), KEY)
    assert list(result["metadata"]) == ["B", "a", "b", "é"]


@pytest.mark.parametrize(
    "plaintext, key_id, metadata, first_bad",
    [
        (b"\xff", "k", {}, b"\xff"),
        ("p", "k", {"k": b"\xc3"}, b"\xc3"),
        ("p", "k", {b"\xe2\x82": "v"}, b"\xe2\x82"),
        ("p", b"\x80", {}, b"\x80"),
        (b"\xfe", b"\x80", {"k": b"\xc3"}, b"\xfe"),
        ("p", b"\x80", {"k": b"\xc3"}, b"\xc3"),
    ],
    ids=["plaintext", "metadata_value", "metadata_key", "key_id", "plaintext_first", "metadata_before_key_id"],
)
def test_invalid_utf8_opens_then_fails_to_decode(plaintext, key_id, metadata, first_bad):
    token = enc(plaintext, key_id=key_id, metadata=metadata)
    assert oracle.open_token(token, KEY)["data"] == oracle.as_bytes(plaintext)
    with pytest.raises(UnicodeDecodeError) as info:
        qv.decrypt(token, KEY)
    assert info.value.object == first_bad


def flip(data: bytes, i: int = 0) -> bytes:
    return data[:i] + bytes([data[i] ^ 1]) + data[i + 1 :]


RANDOM = enc("payload", metadata={"m": "1"})
DET = enc("payload", metadata={"m": "1"}, deterministic=True)

STILL_OPENS = [
    ("flags_0_to_2", RANDOM, dict(flags=0x02), False),
    ("flags_0_to_fe", RANDOM, dict(flags=0xFE), False),
    ("flags_1_to_3", DET, dict(flags=0x03), True),
    ("flags_1_to_ff", DET, dict(flags=0xFF), True),
    ("metadata_text_spaced", RANDOM, dict(metadata_text=b' { "m" : "1" } '), False),
    ("empty_metadata_as_braces", enc("payload"), dict(metadata_text=b"{}"), False),
]


@pytest.mark.parametrize(
    "token, change, deterministic", [r[1:] for r in STILL_OPENS], ids=[r[0] for r in STILL_OPENS]
)
def test_changes_the_tag_does_not_bind(token, change, deterministic):
    result = qv.decrypt(tk.rebuild(token, **change), KEY)
    assert result["data"] == "payload" and result["deterministic"] is deterministic


def _fields(token):
    return tk.split(token)


NO_LONGER_OPENS = [
    ("flags_0_to_1", RANDOM, dict(flags=0x01)),
    ("flags_1_to_0", DET, dict(flags=0x00)),
    ("flags_1_to_2", DET, dict(flags=0x02)),
    ("key_id_changed", RANDOM, dict(key_id=b"j")),
    ("key_id_extended", RANDOM, dict(key_id=b"kk")),
    ("nonce_bit", RANDOM, dict(nonce=flip(_fields(RANDOM)["nonce"], 11))),
    ("det_nonce_bit", DET, dict(nonce=flip(_fields(DET)["nonce"]))),
    ("tag_bit", RANDOM, dict(tag=flip(_fields(RANDOM)["tag"], 15))),
    ("ciphertext_bit", RANDOM, dict(ciphertext=flip(_fields(RANDOM)["ciphertext"], 6))),
    ("ciphertext_truncated", RANDOM, dict(ciphertext=_fields(RANDOM)["ciphertext"][:-1])),
    ("ciphertext_extended", RANDOM, dict(ciphertext=_fields(RANDOM)["ciphertext"] + b"\x00")),
    ("metadata_value_changed", RANDOM, dict(metadata_text=b'{"m":"2"}')),
    ("metadata_removed", RANDOM, dict(metadata_text=b"")),
    ("metadata_added", enc("payload"), dict(metadata_text=b'{"m":"1"}')),
]


@pytest.mark.parametrize("token, change", [r[1:] for r in NO_LONGER_OPENS], ids=[r[0] for r in NO_LONGER_OPENS])
def test_changes_the_tag_binds(token, change):
    assert qv.decrypt(tk.rebuild(token), KEY)["data"] == "payload"  # the untouched twin opens
    with pytest.raises(RuntimeError, match=FAILED):
        qv.decrypt(tk.rebuild(token, **change), KEY)


def test_one_character_changed_anywhere_in_the_body_fails():
    body = RANDOM[6:]
    # The last character may carry spare low bits (see test_token_format).
    for i in range(len(body) - 1):
        c = "A" if body[i] != "A" else "B"
        changed = RANDOM[:6] + body[:i] + c + body[i + 1 :]
        with pytest.raises(RuntimeError, match=FAILED):
            qv.decrypt(changed, KEY)


@pytest.mark.parametrize(
    "deterministic, metadata, aad, expected",
    [
        (True, {"b": "2", "a": "1"}, {"tenant": "t9", "env": "prod"},
         b'qv.v2.det\x00k1\x00meta:{"a":"1","b":"2"}\x00env=prod\x00tenant=t9'),
        (False, {}, None, b"qv.v2\x00k1"),
        (False, {"": ""}, "", b'qv.v2\x00k1\x00meta:{"":""}'),
    ],
    ids=["worked_example_54_bytes", "bare_8_bytes", "empty_member"],
)
def test_associated_data_layout(deterministic, metadata, aad, expected):
    assert oracle.build_aad(b"k1", oracle.canonical_json(oracle.metadata_map(metadata)),
                            deterministic, *oracle.aad_parts(aad)) == expected
    fields = tk.split(enc("hello", key_id="k1", deterministic=deterministic, metadata=metadata, aad=aad))
    if deterministic:
        assert fields["nonce"] == oracle.siv_nonce(KEY, expected, b"hello")
    # The tag verifies under exactly these bytes, and not under one byte less.
    box = oracle.ChaCha20Poly1305(KEY)
    assert box.decrypt(fields["nonce"], fields["ciphertext"] + fields["tag"], expected) == b"hello"
    with pytest.raises(oracle.InvalidTag):
        box.decrypt(fields["nonce"], fields["ciphertext"] + fields["tag"], expected[:-1])


# Pairs of aad arguments that give the same associated data.
SAME_AAD = [
    ("none_and_empty_text", None, ""),
    ("none_and_empty_dict", None, {}),
    ("text_and_dict", "a=b", {"a": "b"}),
    ("nul_joined_text_and_dict", "a=b\x00c=d", {"c": "d", "a": "b"}),
    ("equals_in_key_or_value", {"a=b": "c"}, {"a": "b=c"}),
    ("equals_in_text", "a=b=c", {"a=b": "c"}),
    ("empty_entry", {"": ""}, "="),
    ("insertion_order", {"b": "1", "a": "2"}, {"a": "2", "b": "1"}),
    ("equal_keys_later_wins", {"a": "1", b"a": "2"}, "a=2"),
    ("bytes_entries", {b"k": bytearray(b"v")}, "k=v"),
    ("str_subclass", type("S", (str,), {})("x"), "x"),
    ("dict_subclass", type("D", (dict,), {})(a="b"), "a=b"),
]


@pytest.mark.parametrize("sealed, opened", [r[1:] for r in SAME_AAD], ids=[r[0] for r in SAME_AAD])
def test_equivalent_aad(sealed, opened):
    assert enc(aad=sealed, deterministic=True) == enc(aad=opened, deterministic=True)
    for a, b in ((sealed, opened), (opened, sealed)):
        assert qv.decrypt(enc(aad=a), KEY, b)["data"] == "p"


@pytest.mark.parametrize(
    "sealed, opened",
    [
        ("a=b", {"a": "c"}),
        ("x", None),
        ("a=b\x00", {"a": "b"}),
        ({"a": "b"}, "a=b\x00"),
        ({"a": "1", "b": "2"}, "b=2\x00a=1"),
        ("A=b", {"a": "b"}),
    ],
    ids=["other_value", "dropped", "trailing_nul_text", "dict_vs_trailing_nul", "text_not_sorted", "key_case"],
)
def test_different_aad_fails(sealed, opened):
    with pytest.raises(RuntimeError, match=FAILED):
        qv.decrypt(enc(aad=sealed), KEY, opened)


def test_deterministic_token_changes_with_every_input():
    base = dict(plaintext="p", key_id="k", metadata={"m": "1"}, aad="x", deterministic=True)
    tokens = {enc(**base)}
    for change in [dict(plaintext="q"), dict(key_id="j"), dict(metadata={"m": "2"}), dict(aad="y"),
                   dict(key=OTHER_KEY), dict(deterministic=False)]:
        tokens.add(enc(**{**base, **change}))
    assert len(tokens) == 7
    assert enc(**base) == enc(**base)


def test_64_mib_round_trip():
    plaintext = bytes(range(128)) * (64 * 1024 * 1024 // 128)
    token = enc(plaintext, deterministic=True)
    fields = tk.split(token)
    assert len(fields["ciphertext"]) == len(plaintext)
    ad = oracle.build_aad(b"k", b"", True)
    assert fields["nonce"] == oracle.siv_nonce(KEY, ad, plaintext)
    assert oracle.ChaCha20Poly1305(KEY).decrypt(
        fields["nonce"], fields["ciphertext"] + fields["tag"], ad) == plaintext
    assert qv.decrypt(token, KEY)["data"].encode("ascii") == plaintext
