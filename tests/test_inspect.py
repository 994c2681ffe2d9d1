"""peek_key_id, decode_token and token_fingerprint: reading tokens without a key."""

from __future__ import annotations

import pytest

import qv
from tokenkit import PREFIX, b64url, body, rebuild, split, token

KEY = bytes(range(32))
NONCE = bytes(range(0xA0, 0xAC))
TAG = bytes(range(0x10, 0x20))
DECODE_KEYS = ["version", "flags", "deterministic", "key_id", "nonce", "tag", "ciphertext",
               "metadata"]


def inspect_all(tok):
    return qv.peek_key_id(tok), qv.decode_token(tok), qv.token_fingerprint(tok)


def test_sealed_token_inspects_to_its_fields() -> None:
    tok = qv.encrypt("h\u00e9llo", KEY, "k1")
    fields = split(tok)
    assert qv.peek_key_id(tok) == "k1"
    fp = qv.token_fingerprint(tok)
    assert fp == "k1:" + fields["nonce"].hex() and len(fp) == 27
    decoded = qv.decode_token(tok)
    assert list(decoded) == DECODE_KEYS
    assert decoded == {
        "version": 2, "flags": 0, "deterministic": False, "key_id": "k1",
        "nonce": fields["nonce"], "tag": fields["tag"], "ciphertext": fields["ciphertext"],
        "metadata": {},
    }
    assert len(decoded["ciphertext"]) == len("h\u00e9llo".encode())


def test_deterministic_flag_and_fingerprints() -> None:
    det = qv.encrypt("x", KEY, "k1", True, {"a": "1"})
    assert qv.decode_token(det)["flags"] == 1 and qv.decode_token(det)["deterministic"] is True
    assert qv.token_fingerprint(det) == qv.token_fingerprint(qv.encrypt("x", KEY, "k1", True,
                                                                          {"a": "1"}))
    r1, r2 = qv.encrypt("x", KEY, "k1"), qv.encrypt("x", KEY, "k1")
    assert qv.token_fingerprint(r1) != qv.token_fingerprint(r2)


@pytest.mark.parametrize(
    "flags, deterministic",
    [(0x03, True), (0x02, False), (0xFE, False), (0xFF, True)],
    ids=["0x03", "0x02", "0xfe", "0xff"],
)
def test_whole_flags_byte_is_reported(flags: int, deterministic: bool) -> None:
    d = qv.decode_token(token(body(flags=flags)))
    assert (d["flags"], d["deterministic"]) == (flags, deterministic)


def test_hand_built_token_decodes_field_for_field() -> None:
    raw = body(key_id=b"key-\xc3\xa9", nonce=NONCE, tag=TAG,
               metadata_text=b'{ "b" : "2", "a":"1", "c":"\\u00e9\\n" }', ciphertext=b"\x00\xff")
    d = qv.decode_token(token(raw))
    assert d == {
        "version": 2, "flags": 0, "deterministic": False, "key_id": "key-\u00e9",
        "nonce": NONCE, "tag": TAG, "ciphertext": b"\x00\xff",
        "metadata": {"a": "1", "b": "2", "c": "\u00e9\n"},
    }
    assert list(d["metadata"]) == ["a", "b", "c"]
    assert qv.token_fingerprint(token(raw)) == "key-\u00e9:a0a1a2a3a4a5a6a7a8a9aaab"


def test_metadata_comes_back_in_byte_order() -> None:
    tok = qv.encrypt("x", KEY, "k1", True, {"b": "2", "\u00e9": "3", "B": "0", "a": "1"})
    assert list(qv.decode_token(tok)["metadata"]) == ["B", "a", "b", "\u00e9"]


def test_smallest_body_decodes() -> None:
    raw = body(key_id=b"k", ciphertext=b"z")
    assert len(raw) == 35
    assert qv.decode_token(token(raw))["ciphertext"] == b"z"


GOOD = body(nonce=NONCE, tag=TAG, metadata_text=b'{"a":"1"}', ciphertext=b"cipher")

MALFORMED = {
    "empty": "",
    "short": "qv.v2",
    "prefix-only": PREFIX,
    "capital-prefix": "QV.V2." + b64url(GOOD),
    "old-prefix": "qv.v1." + b64url(GOOD),
    "leading-space": " " + token(GOOD),
    "tab-in-body": token(GOOD)[:20] + "\t" + token(GOOD)[20:],
    "non-ascii-in-body": token(GOOD)[:20] + "\u00e9" + token(GOOD)[20:],
    "body-33": token(body(ciphertext=b"")[:33]),
    "empty-ciphertext": token(body(key_id=b"k", ciphertext=b"")),
    "version-3": token(body(version=3)),
    "version-0": token(body(version=0)),
    "key-id-length-0": token(body(key_id=b"", key_id_len=0)),
    "key-id-past-end": token(body(key_id_len=250)),
    "metadata-past-end": token(body(metadata_text=b'{"a":"1"}', metadata_len=200)),
    "metadata-not-json": token(body(metadata_text=b"{")),
    "metadata-number": token(body(metadata_text=b'{"a":1}')),
    "metadata-array": token(body(metadata_text=b'["a"]')),
    "metadata-trailing": token(body(metadata_text=b'{"a":"1"}x')),
    "metadata-nested": token(body(metadata_text=b'{"a":{"b":"c"}}')),
}


@pytest.mark.parametrize("tok", list(MALFORMED.values()), ids=list(MALFORMED))
def test_malformed_tokens_give_none_from_all_three(tok: str) -> None:
    assert inspect_all(tok) == (None, None, None)
    assert inspect_all(tok.encode()) == (None, None, None)


def test_tampered_tokens_are_inspected_like_genuine_ones() -> None:
    tok = qv.encrypt("secret", KEY, "k1", True, {"m": "v"})
    f = split(tok)
    flipped = {
        "ciphertext": bytes([f["ciphertext"][0] ^ 1]) + f["ciphertext"][1:],
        "tag": bytes([f["tag"][0] ^ 0x80]) + f["tag"][1:],
        "nonce": NONCE,
    }
    for field, value in flipped.items():
        bad = rebuild(tok, **{field: value})
        with pytest.raises(RuntimeError, match=r"^qv: decryption failed\.$"):
            qv.decrypt(bad, KEY)
        d = qv.decode_token(bad)
        assert d[field] == value
        assert qv.peek_key_id(bad) == "k1"
        assert qv.token_fingerprint(bad) == "k1:" + d["nonce"].hex()
        assert d["metadata"] == {"m": "v"}


def test_bytes_input_equals_str_input() -> None:
    tok = qv.encrypt("x", KEY, "k\u00e9", True, {"z": "1", "y": "2"})
    expected = inspect_all(tok)
    assert inspect_all(tok.encode()) == expected
    assert inspect_all(bytearray(tok.encode())) == expected
    assert qv.decode_token(token=tok) == expected[1]


def test_lenient_base64_is_read_by_inspection() -> None:
    # The body decoder skips blanks and '=' and takes standard-alphabet characters.
    raw = body(key_id=b"\xfb\xff", nonce=bytes([0xFB] * 12), ciphertext=b"\xff\xfe")
    text = b64url(raw)
    assert "-" in text or "_" in text
    lenient = PREFIX + "\n".join(text[i:i + 7] for i in range(0, len(text), 7)) + "=="
    lenient = lenient.replace("-", "+").replace("_", "/")
    with pytest.raises(UnicodeDecodeError):
        qv.decode_token(lenient)  # proves it decoded: the key id is not UTF-8
    assert qv.decode_token(token(body(nonce=bytes([0xFB] * 12))).replace("-", "+").replace(
        "_", "/"))["nonce"] == bytes([0xFB] * 12)


@pytest.mark.parametrize("fn", [qv.peek_key_id, qv.decode_token, qv.token_fingerprint],
                         ids=["peek_key_id", "decode_token", "token_fingerprint"])
@pytest.mark.parametrize("key_id", [b"\xff", b"k\xc3", b"\xed\xa0\x80"],
                         ids=["ff", "truncated", "encoded-surrogate"])
def test_key_id_not_utf8_raises_in_all_three(fn, key_id: bytes) -> None:
    with pytest.raises(UnicodeDecodeError):
        fn(token(body(key_id=key_id)))


def test_surrogate_pair_escape_breaks_only_decode_token() -> None:
    # Each escape of the pair becomes its own 3-byte pattern: not valid UTF-8.
    tok = token(body(nonce=NONCE, metadata_text=b'{"a":"\\ud83d\\ude00"}'))
    assert qv.peek_key_id(tok) == "k1"
    assert qv.token_fingerprint(tok) == "k1:" + NONCE.hex()
    with pytest.raises(UnicodeDecodeError):
        qv.decode_token(tok)
    key_tok = token(body(metadata_text=b'{"\\ud83d\\ude00":"v"}'))
    assert qv.peek_key_id(key_tok) == "k1"
    with pytest.raises(UnicodeDecodeError):
        qv.decode_token(key_tok)


@pytest.mark.parametrize("arg", [None, 5, ["qv.v2."]], ids=["None", "int", "list"])
def test_non_text_argument_is_type_error(arg) -> None:
    for fn in (qv.peek_key_id, qv.decode_token, qv.token_fingerprint):
        with pytest.raises(TypeError):
            fn(arg)
