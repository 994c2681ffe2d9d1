"""The canonical metadata text, and the reader that takes it back.

The writer is seen through the metadata field of real tokens; the reader
through tokens whose metadata field is replaced by hand. Because the tag
binds the parsed map, a replacement text opens exactly when it reads back to
the map that was sealed.
"""

from __future__ import annotations

import pytest

import oracle
import qv
import tokenkit as tk

KEY = bytes(range(32))


def metadata_text(metadata) -> bytes:
    return tk.split(qv.encrypt("p", KEY, "k", True, metadata))["metadata_text"]


WRITER = [
    ("worked_example", {"a": "1\n", "ab": "x/y", "Z": "2"}, b'{"Z":"2","a":"1\\n","ab":"x/y"}'),
    ("controls_and_del", {"k": "\x00\x0b\x1f\x7f"}, b'{"k":"\\u0000\\u000b\\u001f\x7f"}'),
    ("short_escapes", {"\b\t": "\n\f\r"}, b'{"\\b\\t":"\\n\\f\\r"}'),
    ("quote_and_backslash", {"k": '"\\'}, b'{"k":"\\"\\\\"}'),
    ("other_controls_lower_hex", {"\x01\x07\x0e\x1a": ""}, b'{"\\u0001\\u0007\\u000e\\u001a":""}'),
    ("non_ascii_raw", {"é": "€", b"\xff": b"\x80"}, b'{"\xc3\xa9":"\xe2\x82\xac","\xff":"\x80"}'),
    ("empty_key_and_value", {"": ""}, b'{"":""}'),
    ("unsigned_order", {b"\x80": "", "a": "", "B": "", "": ""}, b'{"":"","B":"","a":"","\x80":""}'),
]


@pytest.mark.parametrize("metadata, expected", [c[1:] for c in WRITER], ids=[c[0] for c in WRITER])
def test_canonical_text(metadata, expected):
    assert oracle.canonical_json(oracle.metadata_map(metadata)) == expected
    assert metadata_text(metadata) == expected


def test_worked_example_is_30_bytes():
    assert len(metadata_text({"a": "1\n", "ab": "x/y", "Z": "2"})) == 30


def test_empty_metadata_writes_no_field():
    fields = tk.split(qv.encrypt("p", KEY, "k"))
    assert fields["metadata_text"] == b""
    assert len(tk.unb64url(qv.encrypt("p", KEY, "k")[6:])) == 33 + 1 + 1


# (sealed map, replacement text): each text reads back to the sealed map.
SAME_MAP = [
    ("reordered", {"a": "1", "b": "2"}, b'{"b":"2","a":"1"}'),
    ("whitespace_everywhere", {"a": "1"}, b' \t\r\n{ \n"a"\t:\r "1" \n}\r\n '),
    ("duplicate_key_last_wins", {"a": "2"}, b'{"a":"1","a":"2"}'),
    ("escaped_solidus", {"x/y": "/"}, b'{"x\\/y":"\\/"}'),
    ("u_escapes_of_printables", {"A": "é€"}, b'{"\\u0041":"\\u00e9\\u20AC"}'),
    ("u_escapes_of_short_escapes", {"\n": '"\\'}, b'{"\\u000A":"\\u0022\\u005c"}'),
    ("u0000_gives_nul", {"\x00": "\x00"}, b'{"\\u0000":"\\u0000"}'),
    ("raw_controls_in_strings", {"a": "1\n\t\x01"}, b'{"a":"1\n\t\x01"}'),
    ("raw_del_and_non_ascii", {"é": "\x7f"}, b'{"\xc3\xa9":"\x7f"}'),
    ("empty_object", {}, b"{}"),
    ("empty_object_spaced", {}, b" { } "),
    ("empty_object_crlf", {}, b"{ }\r\n"),
]


@pytest.mark.parametrize("sealed, text", [c[1:] for c in SAME_MAP], ids=[c[0] for c in SAME_MAP])
def test_non_canonical_text_of_the_same_map_opens(sealed, text):
    token = qv.encrypt("p", KEY, "k", False, sealed)
    crafted = tk.rebuild(token, metadata_text=text)
    assert oracle.parse_flat_json(text) == oracle.metadata_map(sealed)
    assert qv.decrypt(crafted, KEY)["metadata"] == sealed
    assert qv.decode_token(crafted)["metadata"] == sealed


@pytest.mark.parametrize(
    "sealed, text",
    [
        ({"a": "2"}, b'{"a":"2","a":"1"}'),
        ({"a": "1"}, b'{"a":"1","b":"1"}'),
        ({"a": "1"}, b'{"A":"1"}'),
        ({}, b'{"":""}'),
    ],
    ids=["duplicate_key_first_is_not_kept", "extra_member", "key_case", "empty_member_is_not_empty_map"],
)
def test_text_of_another_map_does_not_open(sealed, text):
    token = qv.encrypt("p", KEY, "k", False, sealed)
    with pytest.raises(RuntimeError, match=r"^qv: decryption failed\.$"):
        qv.decrypt(tk.rebuild(token, metadata_text=text), KEY)


def test_surrogate_pair_escapes_stay_separate():
    # Each escape gives its own 3-byte pattern, which is not valid UTF-8: the
    # tag verifies and only handing the map back as str fails.
    six = b"\xed\xa0\xbd\xed\xb8\x80"
    text = b'{"k":"\\ud83d\\ude00"}'
    assert oracle.parse_flat_json(text) == {b"k": six}
    token = tk.rebuild(qv.encrypt("p", KEY, "k", False, {"k": six}), metadata_text=text)
    with pytest.raises(UnicodeDecodeError):
        qv.decrypt(token, KEY)
    other = tk.rebuild(qv.encrypt("p", KEY, "k", False, {"k": "\U0001f600"}), metadata_text=text)
    with pytest.raises(RuntimeError, match=r"^qv: decryption failed\.$"):
        qv.decrypt(other, KEY)


REJECTED = {
    "three_spaces": b"   ",
    "trailing_letter_after_empty": b"{}x",
    "array": b"[]",
    "open_brace_only": b"{",
    "close_brace_twice": b"{}}",
    "two_objects": b"{}{}",
    "comma_before_brace": b'{"a":"1",}',
    "leading_comma": b'{,"a":"1"}',
    "double_comma": b'{"a":"1",,"b":"2"}',
    "number_value": b'{"a":1}',
    "null_value": b'{"a":null}',
    "true_value": b'{"a":true}',
    "nested_object": b'{"a":{}}',
    "array_value": b'{"a":[]}',
    "number_key": b'{1:"a"}',
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
    "single_quotes": b"{'a':'1'}",
    "form_feed_before": b"\x0c{}",
    "form_feed_inside": b'{"a":"1"\x0c}',
    "vertical_tab": b'{\x0b"a":"1"}',
    "nul_outside_string": b'{"a":"1"}\x00',
    "nbsp_outside_string": b'{\xc2\xa0"a":"1"}',
}


@pytest.mark.parametrize("text", REJECTED.values(), ids=REJECTED.keys())
def test_rejected_metadata_text_fails_the_whole_token(text):
    assert oracle.parse_flat_json(text) is None
    token = tk.rebuild(qv.encrypt("p", KEY, "k", False, {"a": "1"}), metadata_text=text)
    assert qv.decode_token(token) is None
    assert qv.peek_key_id(token) is None
    with pytest.raises(RuntimeError, match=r"^qv: decryption failed\.$"):
        qv.decrypt(token, KEY)
