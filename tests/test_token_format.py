"""The token text and body layout, and the lenient base64url reader."""

from __future__ import annotations

import pytest

import oracle
import qv
import tokenkit as tk

KEY = bytes(range(32))
FAILED = "qv: decryption failed."


def test_worked_example_body_layout():
    token = qv.encrypt("hello", KEY, "k1", True, {"a": "1"})
    assert token.startswith("qv.v2.") and len(token) == 6 + 66
    body = tk.unb64url(token[6:])
    assert len(body) == 49
    assert body[:5] == bytes([0x02, 0x01, 0x02, 0x6B, 0x31])
    assert body[5 + 28 : 5 + 28 + 2] == b"\x00\x09"
    assert body[35:44] == b'{"a":"1"}'
    ad = oracle.build_aad(b"k1", b'{"a":"1"}', True)
    nonce = oracle.siv_nonce(KEY, ad, b"hello")
    assert body[5:17] == nonce
    sealed = oracle.ChaCha20Poly1305(KEY).encrypt(nonce, b"hello", ad)
    assert body[17:33] == sealed[5:] and body[44:] == sealed[:5]


@pytest.mark.parametrize(
    "kwargs, body_len, flags",
    [
        ({"plaintext": "x", "key_id": "k"}, 35, 0),
        ({"plaintext": "x", "key_id": "k", "deterministic": True}, 35, 1),
        ({"plaintext": "abc", "key_id": "k" * 255, "metadata": {"b": "2", "a": "1"}}, 33 + 255 + 17 + 3, 0),
    ],
    ids=["smallest", "deterministic_flag", "long_key_id_and_metadata"],
)
def test_body_size_and_flags(kwargs, body_len, flags):
    token = qv.encrypt(key=KEY, **kwargs)
    assert set(token[6:]) <= set(oracle.ALPHABET.decode())
    assert len(token) == 6 + (body_len * 4 + 2) // 3
    fields = tk.split(token)
    assert fields["version"] == 2 and fields["flags"] == flags
    assert len(tk.unb64url(token[6:])) == body_len
    assert fields["metadata_text"] == oracle.canonical_json(oracle.metadata_map(kwargs.get("metadata")))


def test_smallest_token_is_53_characters():
    assert len(qv.encrypt("x", KEY, "k")) == 53


# A token whose body text holds both '-' and '_': a nonce of FB EF BE gives
# "----" and FF FF FF gives "____" when it starts on a 3-byte boundary (L = 3);
# the 45-byte body leaves no short group.
URLSAFE_NONCE = b"\xfb\xef\xbe" * 2 + b"\xff" * 6
URLSAFE = oracle.seal("payload!!", KEY, "kid", nonce=URLSAFE_NONCE)


def _lone_sextet(t: str) -> str:
    assert len(t[6:]) % 4 == 0  # body length is a multiple of 3
    return t + "A"


LENIENT = {
    "line_feeds": lambda t: t[:10] + "\n" + t[10:30] + "\n" + t[30:],
    "crlf_every_8": lambda t: t[:6] + "\r\n".join(t[i : i + 8] for i in range(6, len(t), 8)),
    "spaces": lambda t: t[:6] + " " + t[6:20] + "  " + t[20:] + " ",
    "equals_anywhere": lambda t: t[:6] + "=" + t[6:9] + "==" + t[9:] + "===",
    "standard_alphabet": lambda t: t.replace("-", "+").replace("_", "/"),
    "lone_trailing_sextet": _lone_sextet,
}


@pytest.mark.parametrize("change", LENIENT.values(), ids=LENIENT.keys())
def test_body_text_variants_that_still_open(change):
    assert "-" in URLSAFE[6:] and "_" in URLSAFE[6:]
    assert qv.decrypt(change(URLSAFE), KEY)["data"] == "payload!!"


def test_spare_low_bits_of_a_short_group_are_ignored():
    token = qv.encrypt("abc", KEY, "k")  # 37-byte body: one byte in the last group
    last = oracle.ALPHABET.index(token[-1].encode())
    assert last & 0xF == 0
    changed = token[:-1] + chr(oracle.ALPHABET[last | 0xF])
    assert qv.decrypt(changed, KEY)["data"] == "abc"


def _crafted(**fields) -> str:
    return tk.token(tk.body(**fields))


NOT_DECODING = {
    "empty": "",
    "prefix_only_short": "qv.v2",
    "capital_prefix": "QV.V2." + URLSAFE[6:],
    "leading_space": " " + URLSAFE,
    "other_version_prefix": "qv.v1." + URLSAFE[6:],
    "tab_in_body": URLSAFE[:20] + "\t" + URLSAFE[20:],
    "non_ascii_in_body": URLSAFE[:20] + "é" + URLSAFE[20:],
    "dot_in_body": URLSAFE[:20] + "." + URLSAFE[20:],
    "body_33_bytes": tk.token(tk.body(key_id=b"k", ciphertext=b"")[:33]),
    "body_34_no_ciphertext": _crafted(key_id=b"k", ciphertext=b""),
    "version_1": _crafted(version=1),
    "version_3": _crafted(version=3),
    "key_id_length_0": _crafted(key_id=b"", ciphertext=b"x" * 8),
    "key_id_runs_past_end": _crafted(key_id=b"k", key_id_len=200, ciphertext=b"x" * 40),
    "metadata_runs_past_end": _crafted(metadata_text=b'{"a":"1"}', metadata_len=20, ciphertext=b"xx"),
    "metadata_fills_the_rest": _crafted(metadata_text=b'{"a":"1"}', ciphertext=b""),
    "metadata_not_json": _crafted(metadata_text=b"a=1"),
}


@pytest.mark.parametrize("token", NOT_DECODING.values(), ids=NOT_DECODING.keys())
def test_malformed_tokens_do_not_decode(token):
    assert oracle.decode(token) is None
    assert qv.decode_token(token) is None
    with pytest.raises(RuntimeError, match=f"^{FAILED}$"):
        qv.decrypt(token, KEY)


def test_bytes_above_0x7f_in_body_fail():
    token = URLSAFE.encode()
    with pytest.raises(RuntimeError, match=f"^{FAILED}$"):
        qv.decrypt(token[:20] + b"\x80" + token[20:], KEY)
    with pytest.raises(RuntimeError, match=f"^{FAILED}$"):
        qv.decrypt(token + b"\xff", KEY)


@pytest.mark.parametrize(
    "fields",
    [
        {"key_id": b"k", "ciphertext": b"x"},
        {"flags": 0x03},
        {"flags": 0xFE, "key_id": b"\x00" * 255, "metadata_text": b"{}"},
    ],
    ids=["smallest_35_bytes", "flags_3", "high_flags_nul_key_id_empty_object"],
)
def test_structurally_valid_bodies_decode(fields):
    token = _crafted(**fields)
    decoded = qv.decode_token(token)
    assert decoded is not None
    assert decoded["flags"] == fields.get("flags", 0)
    assert decoded["deterministic"] is bool(fields.get("flags", 0) & 1)
    assert decoded["metadata"] == {}
    assert oracle.decode(token) is not None
    # Structure is fine, but nothing here was sealed under KEY.
    with pytest.raises(RuntimeError, match=f"^{FAILED}$"):
        qv.decrypt(token, KEY)
