"""peek_key_id, decode_token and token_fingerprint (tokens that do not decode: test_token_format)."""

from __future__ import annotations

import pytest

import qv
from tokenkit import body, rebuild, split, token

KEY = bytes(range(32))
NONCE = bytes(range(0xA0, 0xAC))
READERS = [qv.peek_key_id, qv.decode_token, qv.token_fingerprint]


def inspect_all(tok):
    return tuple(read(tok) for read in READERS)


def test_sealed_token_inspects_to_its_fields() -> None:
    tok = qv.encrypt("h\u00e9llo", KEY, "k1")
    f = split(tok)
    assert qv.peek_key_id(tok) == "k1"
    assert qv.token_fingerprint(tok) == "k1:" + f["nonce"].hex()
    decoded = qv.decode_token(tok)
    assert " ".join(decoded) == "version flags deterministic key_id nonce tag ciphertext metadata"
    assert list(decoded.values()) == [2, 0, False, "k1", f["nonce"], f["tag"], f["ciphertext"], {}]
    assert len(f["nonce"]) == 12 and len(f["tag"]) == 16 and len(f["ciphertext"]) == 6


def test_deterministic_token_reports_flags_1_and_a_stable_fingerprint() -> None:
    det = qv.encrypt("x", KEY, "k1", True, {"a": "1"})
    assert (qv.decode_token(det)["flags"], qv.decode_token(det)["deterministic"]) == (1, True)
    assert qv.token_fingerprint(det) == qv.token_fingerprint(
        qv.encrypt("x", KEY, "k1", True, {"a": "1"})
    )


def test_hand_built_token_decodes_field_for_field() -> None:
    tag = bytes(range(0x10, 0x20))
    text = b'{ "b" : "2", "a":"1", "c":"\\u00e9\\n" }'
    tok = token(
        body(key_id=b"key-\xc3\xa9", nonce=NONCE, tag=tag, metadata_text=text, ciphertext=b"\0\xff")
    )
    d = qv.decode_token(tok)
    metadata = {"a": "1", "b": "2", "c": "\u00e9\n"}
    assert list(d.values()) == [2, 0, False, "key-\u00e9", NONCE, tag, b"\0\xff", metadata]
    assert list(d["metadata"]) == ["a", "b", "c"]
    assert qv.token_fingerprint(tok) == "key-\u00e9:a0a1a2a3a4a5a6a7a8a9aaab"
    assert inspect_all(tok.encode()) == inspect_all(bytearray(tok.encode())) == inspect_all(tok)


def test_tampered_tokens_are_inspected_like_genuine_ones() -> None:
    tok = qv.encrypt("secret", KEY, "k1", True, {"m": "v"})
    f = split(tok)
    for field, value in [
        ("ciphertext", bytes([f["ciphertext"][0] ^ 1]) + f["ciphertext"][1:]),
        ("tag", bytes([f["tag"][0] ^ 0x80]) + f["tag"][1:]),
        ("nonce", NONCE),
    ]:
        bad = rebuild(tok, **{field: value})
        d = qv.decode_token(bad)
        assert d[field] == value and d["metadata"] == {"m": "v"}
        assert qv.peek_key_id(bad) == "k1"
        assert qv.token_fingerprint(bad) == "k1:" + d["nonce"].hex()


@pytest.mark.parametrize("read", READERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("key_id", [b"\xff", b"k\xc3", b"\xed\xa0\x80"])
def test_key_id_not_utf8_raises_in_all_three(read, key_id: bytes) -> None:
    with pytest.raises(UnicodeDecodeError):
        read(token(body(key_id=key_id)))


@pytest.mark.parametrize("text", [b'{"a":"\\ud83d\\ude00"}', b'{"\\ud83d\\ude00":"v"}'])
def test_surrogate_pair_escape_breaks_only_decode_token(text: bytes) -> None:
    # Each escape of the pair becomes its own 3-byte pattern: not valid UTF-8.
    tok = token(body(nonce=NONCE, metadata_text=text))
    assert qv.peek_key_id(tok) == "k1"
    assert qv.token_fingerprint(tok) == "k1:" + NONCE.hex()
    with pytest.raises(UnicodeDecodeError):
        qv.decode_token(tok)
