"""The canonical metadata text, seen in real tokens, and its reader, fed through
tokens whose metadata text is replaced by hand."""

# The tag binds the parsed map, so a replacement text opens exactly when it
# reads back to the map that was sealed.

from __future__ import annotations

import pytest

import oracle
import qv
import tokenkit as tk

KEY = bytes(range(32))
FAILED = r"^qv: decryption failed\.$"

WRITER = {
    "worked_example": ({"a": "1\n", "ab": "x/y", "Z": "2"}, b'{"Z":"2","a":"1\\n","ab":"x/y"}'),
    "controls_and_del": ({"k": "\x00\x0b\x1f\x7f"}, b'{"k":"\\u0000\\u000b\\u001f\x7f"}'),
    "short_escapes": ({"\b\t": "\n\f\r"}, b'{"\\b\\t":"\\n\\f\\r"}'),
    "quote_and_backslash": ({"k": '"\\'}, b'{"k":"\\"\\\\"}'),
    "other_controls": ({"\x01\x07\x0e\x1a": ""}, b'{"\\u0001\\u0007\\u000e\\u001a":""}'),
    "non_ascii_raw": (
        {"\u00e9": "\u20ac", b"\xff": b"\x80"},
        b'{"\xc3\xa9":"\xe2\x82\xac","\xff":"\x80"}',
    ),
    "empty_key_and_value": ({"": ""}, b'{"":""}'),
    "unsigned_order": ({b"\x80": "", "a": "", "B": "", "": ""}, b'{"":"","B":"","a":"","\x80":""}'),
}


@pytest.mark.parametrize("metadata, expected", WRITER.values(), ids=WRITER.keys())
def test_canonical_text(metadata: dict, expected: bytes) -> None:
    assert oracle.canonical_json(oracle.metadata_map(metadata)) == expected
    assert tk.split(qv.encrypt("p", KEY, "k", True, metadata))["metadata_text"] == expected


# (sealed map, replacement text): each text reads back to the sealed map.
SAME_MAP = {
    "reordered": ({"a": "1", "b": "2"}, b'{"b":"2","a":"1"}'),
    "whitespace_everywhere": ({"a": "1"}, b' \t\r\n{ \n"a"\t:\r "1" \n}\r\n '),
    "duplicate_key_last_wins": ({"a": "2"}, b'{"a":"1","a":"2"}'),
    "escaped_solidus": ({"x/y": "/"}, b'{"x\\/y":"\\/"}'),
    "u_escapes_of_printables": ({"A": "\u00e9\u20ac"}, b'{"\\u0041":"\\u00e9\\u20AC"}'),
    "u_escapes_of_short_escapes": ({"\n": '"\\'}, b'{"\\u000A":"\\u0022\\u005c"}'),
    "u0000_gives_nul": ({"\x00": "\x00"}, b'{"\\u0000":"\\u0000"}'),
    "raw_controls_in_strings": ({"a": "1\n\t\x01"}, b'{"a":"1\n\t\x01"}'),
    "raw_del_and_non_ascii": ({"\u00e9": "\x7f"}, b'{"\xc3\xa9":"\x7f"}'),
    "empty_object": ({}, b"{}"),
    "empty_object_spaced": ({}, b" { } "),
}


@pytest.mark.parametrize("sealed, text", SAME_MAP.values(), ids=SAME_MAP.keys())
def test_non_canonical_text_of_the_same_map_opens(sealed: dict, text: bytes) -> None:
    crafted = tk.rebuild(qv.encrypt("p", KEY, "k", False, sealed), metadata_text=text)
    assert oracle.parse_flat_json(text) == oracle.metadata_map(sealed)
    assert qv.decrypt(crafted, KEY)["metadata"] == sealed
    assert qv.decode_token(crafted)["metadata"] == sealed


OTHER_MAP = {
    "duplicate_first_not_kept": ({"a": "2"}, b'{"a":"2","a":"1"}'),
    "extra_member": ({"a": "1"}, b'{"a":"1","b":"1"}'),
    "key_case": ({"a": "1"}, b'{"A":"1"}'),
    "empty_member": ({}, b'{"":""}'),
    "surrogate_pair": ({"k": "\U0001f600"}, b'{"k":"\\ud83d\\ude00"}'),
}


@pytest.mark.parametrize("sealed, text", OTHER_MAP.values(), ids=OTHER_MAP.keys())
def test_text_of_another_map_does_not_open(sealed: dict, text: bytes) -> None:
    with pytest.raises(RuntimeError, match=FAILED):
        qv.decrypt(tk.rebuild(qv.encrypt("p", KEY, "k", False, sealed), metadata_text=text), KEY)


def test_surrogate_pair_escapes_stay_separate() -> None:
    # Each escape gives its own 3-byte pattern, which is not valid UTF-8: the
    # tag verifies and only handing the map back as str fails.
    six = b"\xed\xa0\xbd\xed\xb8\x80"
    text = b'{"k":"\\ud83d\\ude00"}'
    assert oracle.parse_flat_json(text) == {b"k": six}
    token = tk.rebuild(qv.encrypt("p", KEY, "k", False, {"k": six}), metadata_text=text)
    with pytest.raises(UnicodeDecodeError):
        qv.decrypt(token, KEY)


REJECTED = {
    "three_spaces": b"   ",
    "trailing_letter_after_empty": b"{}x",
    "array": b"[]",
    "open_brace_only": b"{",
    "comma_before_brace": b'{"a":"1",}',
    "number_value": b'{"a":1}',
    "null_value": b'{"a":null}',
    "nested_object": b'{"a":{}}',
    "unquoted_key": b'{a:"1"}',
    "no_comma": b'{"a":"1" "b":"2"}',
    "trailing_letter": b'{"a":"1"}x',
    "no_colon": b'{"a"}',
    "ends_after_key": b'{"a"',
    "ends_after_colon": b'{"a":',
    "ends_after_value": b'{"a":"1"',
    "unterminated_string": b'{"a":"1}',
    "backslash_at_end": b'{"a":"\\',
    "short_u_escape_at_end": b'{"a":"\\u12',
    "non_hex_u_escape": b'{"a":"\\u12G4"}',
    "u_escape_with_sign": b'{"a":"\\u+123"}',
    "unknown_escape_x": b'{"a":"\\x41"}',
    "unknown_escape_digit": b'{"a":"\\0"}',
    "form_feed_before": b"\x0c{}",
    "nul_outside_string": b'{"a":"1"}\x00',
}


@pytest.mark.parametrize("text", REJECTED.values(), ids=REJECTED.keys())
def test_rejected_metadata_text_fails_the_whole_token(text: bytes) -> None:
    assert oracle.parse_flat_json(text) is None
    token = tk.rebuild(qv.encrypt("p", KEY, "k", False, {"a": "1"}), metadata_text=text)
    assert (qv.decode_token(token), qv.peek_key_id(token), qv.token_fingerprint(token)) == (
        None,
    ) * 3
    with pytest.raises(RuntimeError, match=FAILED):
        qv.decrypt(token, KEY)
