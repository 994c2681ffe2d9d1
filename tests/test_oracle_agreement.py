"""qv and the independent Python implementation agree on every token.

Deterministic tokens must be identical byte for byte; random-mode tokens of
either side must open with the other.
"""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import oracle
import qv

KEY = bytes(range(32))


class Text(str):
    pass


class Dict(dict):
    pass


# (plaintext, key_id, metadata, aad) chosen to cross every escaping, sorting
# and conversion rule at least once.
CASES = {
    "ascii": ("hello", "k1", {}, None),
    "non_ascii": ("héllo wörld ✓ 🎉", "ключ", {"ü": "ß", "日本": "語"}, "tenant=é"),
    "nul_and_controls_in_plaintext": (b"\x00\x01\x1f\x7f\x80\xff", "k", {}, None),
    "invalid_utf8_everywhere": (b"\xff\xfe", b"\xc3", {b"\x80": b"\xff"}, {b"\xfe": b"\xc0"}),
    "bytearray_arguments": (bytearray(b"pt"), bytearray(b"kid"), {"m": bytearray(b"v")}, None),
    "key_id_255_bytes": ("x", "i" * 255, {}, None),
    "json_escapes": ("p", "k", {'q"uote': 'back\\slash', "ctl": "\x00\x08\t\n\x0b\x0c\r\x1b\x1f\x7f/"}, None),
    "empty_key_and_value": ("p", "k", {"": ""}, {"": ""}),
    "unsigned_key_order": ("p", "k", {b"\xff": "1", "a": "2", "B": "3", "ab": "4", "": "5", "\x01": "6"}, None),
    "equal_key_bytes_first_wins": ("p", "k", {"a": "first", b"a": "second"}, None),
    "aad_text_with_nul_quotes_backslash": ("p", "k", {"m": "1"}, 'a"b\\c\x00d=e'),
    "aad_dict_unsorted": ("p", "k", {}, {"tenant": "t9", "env": "prod", "Z": ""}),
    "aad_dict_bytes_entries": ("p", "k", {}, {b"k\x00": bytearray(b"v="), "a=b": "c"}),
    "aad_dict_equal_keys_last_wins": ("p", "k", {}, {"a": "1", b"a": "2"}),
    "aad_empty_text": ("p", "k", {}, ""),
    "aad_empty_dict": ("p", "k", {"m": "v"}, {}),
    "aad_str_subclass": ("p", "k", {}, Text("sub")),
    "aad_dict_subclass": ("p", "k", {}, Dict(a="b")),
    "long_plaintext": ("z" * 100_000, "k", {"m": "v" * 1000}, "x" * 5000),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_deterministic_token_equals_oracle(case):
    plaintext, key_id, metadata, aad = case
    assert qv.encrypt(plaintext, KEY, key_id, True, metadata, aad) == oracle.seal(
        plaintext, KEY, key_id, True, metadata, aad
    )


def expected_decrypt(opened: dict) -> dict | type[UnicodeDecodeError]:
    """What qv.decrypt returns for what the oracle opened."""
    try:
        return {
            "data": opened["data"].decode("utf-8"),
            "metadata": {k.decode(): v.decode() for k, v in opened["metadata"].items()},
            "key_id": opened["key_id"].decode(),
            "deterministic": opened["deterministic"],
        }
    except UnicodeDecodeError:
        return UnicodeDecodeError


@pytest.mark.parametrize("deterministic", [False, True], ids=["random", "deterministic"])
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_tokens_cross_open(case, deterministic):
    plaintext, key_id, metadata, aad = case
    ours = qv.encrypt(plaintext, KEY, key_id, deterministic, metadata, aad)
    opened = oracle.open_token(ours, KEY, aad)
    assert opened["data"] == oracle.as_bytes(plaintext)
    assert opened["key_id"] == oracle.as_bytes(key_id)
    assert opened["metadata"] == oracle.metadata_map(metadata)
    assert opened["deterministic"] is deterministic

    theirs = oracle.seal(plaintext, KEY, key_id, deterministic, metadata, aad)
    expected = expected_decrypt(opened)
    if expected is UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            qv.decrypt(theirs, KEY, aad)
    else:
        assert qv.decrypt(theirs, KEY, aad) == expected


def test_random_mode_draws_a_fresh_nonce():
    a, b = (qv.encrypt("same", KEY, "k") for _ in range(2))
    assert a != b
    assert oracle.open_token(a, KEY)["data"] == oracle.open_token(b, KEY)["data"] == b"same"


def test_deterministic_token_with_a_foreign_nonce_still_opens():
    # Opening never recomputes the synthetic nonce; the flag only picks the label.
    token = oracle.seal("p", KEY, "k", True, nonce=bytes(range(12)))
    assert qv.decrypt(token, KEY) == {"data": "p", "metadata": {}, "key_id": "k", "deterministic": True}


text = st.binary(max_size=24)
aad_values = st.none() | st.text(max_size=12) | st.dictionaries(text, text, max_size=4)


@settings(max_examples=300, deadline=None)
@given(
    plaintext=st.binary(min_size=1, max_size=300),
    key=st.binary(min_size=32, max_size=32),
    key_id=st.binary(min_size=1, max_size=255),
    metadata=st.dictionaries(text, text, max_size=5),
    aad=aad_values,
    deterministic=st.booleans(),
)
def test_any_input_agrees_with_oracle(plaintext, key, key_id, metadata, aad, deterministic):
    ours = qv.encrypt(plaintext, key, key_id, deterministic, metadata, aad)
    if deterministic:
        assert ours == oracle.seal(plaintext, key, key_id, True, metadata, aad)
    assert oracle.open_token(ours, key, aad)["data"] == plaintext
