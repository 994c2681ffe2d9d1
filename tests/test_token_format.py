"""Token text and body layout, the lenient base64url reader, the structural checks."""

from __future__ import annotations

import pytest
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

import oracle
import qv
import tokenkit as tk

KEY = bytes(range(32))
FAILED = r"^qv: decryption failed\.$"


def test_worked_example_body_layout() -> None:
    token = qv.encrypt("hello", KEY, "k1", True, {"a": "1"})
    assert token.startswith("qv.v2.") and len(token) == 6 + 66
    body = tk.unb64url(token[6:])
    assert len(body) == 49 and body[:5] == b"\x02\x01\x02k1"
    assert body[33:44] == b'\x00\x09{"a":"1"}'
    ad = b'qv.v2.det\x00k1\x00meta:{"a":"1"}'
    nonce = oracle.siv_nonce(KEY, ad, b"hello")
    sealed = ChaCha20Poly1305(KEY).encrypt(nonce, b"hello", ad)
    assert body[5:17] == nonce and body[17:33] == sealed[5:] and body[44:] == sealed[:5]


def test_smallest_token_is_53_characters_of_the_alphabet() -> None:
    token = qv.encrypt("x", KEY, "k")  # a 35-byte body: 11 full groups and 2 bytes
    assert len(token) == 53 and set(token[6:]) <= set(oracle.ALPHABET.decode())


# A body text holding both '-' and '_': FB EF BE gives "----" and FF FF FF gives
# "____" on a 3-byte boundary (L = 3); the 45-byte body leaves no short group.
URLSAFE = oracle.seal("payload!!", KEY, "kid", nonce=b"\xfb\xef\xbe" * 2 + b"\xff" * 6)
LENIENT = {
    "crlf_every_8": lambda t: t[:6] + "\r\n".join(t[i : i + 8] for i in range(6, len(t), 8)),
    "spaces": lambda t: t[:6] + " " + t[6:20] + "  " + t[20:] + " ",
    "equals_anywhere": lambda t: t[:6] + "=" + t[6:9] + "==" + t[9:] + "===",
    "standard_alphabet": lambda t: t.replace("-", "+").replace("_", "/"),
    "lone_trailing_sextet": lambda t: t + "A",
}


@pytest.mark.parametrize("change", LENIENT.values(), ids=LENIENT.keys())
def test_body_text_variants_that_still_open(change) -> None:
    assert "-" in URLSAFE[6:] and "_" in URLSAFE[6:] and len(URLSAFE[6:]) % 4 == 0
    assert qv.decrypt(change(URLSAFE), KEY)["data"] == "payload!!"


def test_spare_low_bits_of_a_short_group_are_ignored() -> None:
    token = qv.encrypt("abc", KEY, "k")  # 37-byte body: one byte in the last group
    last = oracle.ALPHABET.index(token[-1].encode())
    assert last & 0xF == 0
    assert qv.decrypt(token[:-1] + chr(oracle.ALPHABET[last | 0xF]), KEY)["data"] == "abc"


def crafted(**fields) -> str:
    return tk.token(tk.body(**fields))


NOT_DECODING = {
    "empty": "",
    "short": "qv.v2",
    "prefix_only": "qv.v2.",
    "capital_prefix": "QV.V2." + URLSAFE[6:],
    "leading_space": " " + URLSAFE,
    "other_version_prefix": "qv.v1." + URLSAFE[6:],
    "tab_in_body": URLSAFE[:20] + "\t" + URLSAFE[20:],
    "non_ascii_in_body": URLSAFE[:20] + "\u00e9" + URLSAFE[20:],
    "byte_xff_at_end": URLSAFE.encode() + b"\xff",
    "body_33_bytes": tk.token(tk.body(key_id=b"k", ciphertext=b"")[:33]),
    "body_34_no_ciphertext": crafted(key_id=b"k", ciphertext=b""),
    "version_1": crafted(version=1),
    "version_3": crafted(version=3),
    "key_id_length_0": crafted(key_id=b"", ciphertext=b"x" * 8),
    "key_id_runs_past_end": crafted(key_id_len=200, ciphertext=b"x" * 40),
    "key_id_nul_at_end": crafted(key_id=b"k1\x00"),
    "key_id_all_nul": crafted(key_id=bytes(255)),
    "metadata_runs_past_end": crafted(
        metadata_text=b'{"a":"1"}', metadata_len=20, ciphertext=b"xx"
    ),
    "metadata_fills_the_rest": crafted(metadata_text=b'{"a":"1"}', ciphertext=b""),
    "metadata_not_json": crafted(metadata_text=b"a=1"),
    "metadata_nested": crafted(metadata_text=b'{"a":{"b":"c"}}'),
}


@pytest.mark.parametrize("token", NOT_DECODING.values(), ids=NOT_DECODING.keys())
def test_malformed_tokens_do_not_decode_anywhere(token) -> None:
    assert oracle.decode(token) is None
    assert (qv.peek_key_id(token), qv.decode_token(token), qv.token_fingerprint(token)) == (
        None,
    ) * 3
    with pytest.raises(RuntimeError, match=FAILED):
        qv.decrypt(token, KEY)


VALID = {
    "smallest_35_bytes": ({"key_id": b"k", "ciphertext": b"z"}, 0),
    "flags_2": ({"flags": 0x02}, 0x02),
    "flags_3": ({"flags": 0x03}, 0x03),
    "flags_ff": ({"flags": 0xFF}, 0xFF),
    "flags_fe_control_key_id_empty_object": (
        {"flags": 0xFE, "key_id": bytes(range(1, 32)) * 8 + b"\x7f" * 7, "metadata_text": b"{}"},
        0xFE,
    ),
}


@pytest.mark.parametrize("fields, flags", VALID.values(), ids=VALID.keys())
def test_structurally_valid_bodies_decode(fields: dict, flags: int) -> None:
    token = crafted(**fields)
    decoded = qv.decode_token(token)
    assert (decoded["flags"], decoded["deterministic"]) == (flags, bool(flags & 1))
    assert decoded["metadata"] == {} and decoded["ciphertext"] == fields.get("ciphertext", b"x")
    assert oracle.decode(token) is not None
    with pytest.raises(RuntimeError, match=FAILED):  # nothing here was sealed under KEY
        qv.decrypt(token, KEY)
