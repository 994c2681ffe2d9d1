"""encrypt_many and decrypt_many against the single-value functions, row by row.

Every row of a batch must give what `encrypt` or `decrypt` gives for it: the
same token in deterministic mode, a token that opens in random mode, the same
plaintext or the same refusal when opening; a failing row raises the single
call's exception with its row index as a note, or gives None with
errors="null".
"""

from __future__ import annotations

import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import oracle
import qv
import qv._bulk as bulk
from sanitizer import ASAN, examples

KEY = bytes(range(32))
OTHER_KEY = bytes(range(1, 33))


SETTINGS = settings(
    max_examples=examples(300),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)

texts = st.text(max_size=12)
strings = st.one_of(texts, st.binary(max_size=12))
one_aads = st.one_of(
    st.none(),
    texts,
    st.dictionaries(strings, strings, max_size=3),
    # Refused by encrypt and decrypt, so failing rows come up too.
    st.sampled_from([b"bytes", 5, {"k": 5}]),
)
rows_plaintext = st.one_of(
    st.none(),
    st.text(max_size=40),  # empty ones fail
    st.binary(max_size=40),
    st.binary(min_size=1, max_size=40).map(bytearray),
)
# Key ids that encrypt refuses are refused for the whole batch; see BAD_CALLS.
key_ids = st.one_of(st.text(min_size=1, max_size=8), st.binary(min_size=1, max_size=8)).filter(
    lambda k: "\0" not in k if isinstance(k, str) else b"\0" not in k
)
metadatas = st.one_of(st.none(), st.dictionaries(strings, strings, max_size=3))


def outcome(call, *args, **kwargs):
    """("ok", result) or ("raise", type, message) of one call."""
    try:
        return ("ok", call(*args, **kwargs))
    except Exception as e:
        return ("raise", type(e), str(e))


def expect_row_error(call, expected: tuple, row: int) -> None:
    """`call` raises the single call's exception with the note "row <row>"."""
    with pytest.raises(expected[1]) as info:
        call()
    assert type(info.value) is expected[1]
    assert str(info.value) == expected[2]
    assert info.value.__notes__ == [f"row {row}"]


def aad_for(aad, per_row: bool, i: int):
    return aad[i] if per_row else aad


@SETTINGS
@given(
    rows=st.lists(rows_plaintext, max_size=8),
    key_id=key_ids,
    deterministic=st.booleans(),
    metadata=metadatas,
    per_row=st.booleans(),
    aads=st.lists(one_aads, min_size=8, max_size=8),
)
def test_encrypt_many_matches_encrypt_row_by_row(
    rows, key_id, deterministic, metadata, per_row, aads
):
    aad = aads[: len(rows)] if per_row else aads[0]
    expected = []
    first_failure = None
    for i, pt in enumerate(rows):
        if pt is None:
            expected.append(None)
            continue
        got = outcome(
            qv.encrypt, pt, KEY, key_id, deterministic, metadata or {}, aad_for(aad, per_row, i)
        )
        if got[0] == "raise" and first_failure is None:
            first_failure = (i, got)
        expected.append(got)

    def call():
        return qv.encrypt_many(
            rows, KEY, key_id, deterministic=deterministic, metadata=metadata, aad=aad
        )

    if first_failure is not None:
        expect_row_error(call, first_failure[1], first_failure[0])
        return
    tokens = call()
    assert len(tokens) == len(rows)
    for i, (token, want) in enumerate(zip(tokens, expected, strict=True)):
        if want is None:
            assert token is None
            continue
        row_aad = aad_for(aad, per_row, i)
        if deterministic:
            assert token == want[1]
        else:
            # An independent opener, then decrypt, agree on the row's plaintext.
            opened = oracle.open_token(token, KEY, row_aad)
            assert opened["data"] == oracle.as_bytes(rows[i])
            assert (
                outcome(qv.decrypt, token, KEY, row_aad)[:2]
                == outcome(qv.decrypt, want[1], KEY, row_aad)[:2]
            )


def tamper(token: str, how: int) -> str | bytes | None:
    """A row for decrypt_many: the token, or one of the ways it can go wrong."""
    match how:
        case 0 | 1 | 2:
            return token
        case 3:
            return token[:-2] + ("A" if token[-2] != "A" else "B") + token[-1]
        case 4:
            return token[:20]
        case 5:
            return "qv.v2.!!"
        case 6:
            return None
        case _:
            return token.encode("ascii")


@SETTINGS
@given(
    plaintexts=st.lists(
        st.one_of(st.text(min_size=1, max_size=30), st.binary(min_size=1, max_size=30)),
        max_size=8,
    ),
    hows=st.lists(st.integers(0, 7), min_size=8, max_size=8),
    deterministic=st.booleans(),
    metadata=st.dictionaries(texts, texts, max_size=2),
    seal_aads=st.lists(st.one_of(st.none(), texts), min_size=8, max_size=8),
    open_aads=st.lists(one_aads, min_size=8, max_size=8),
    per_row=st.booleans(),
    use_mapping=st.booleans(),
    errors=st.sampled_from(["raise", "null"]),
)
def test_decrypt_many_matches_decrypt_row_by_row(
    plaintexts, hows, deterministic, metadata, seal_aads, open_aads, per_row, use_mapping, errors
):
    # Half the rows open with the aad they were sealed with, the others with
    # whatever was drawn, so right, wrong and refused aads all come up.
    rows = []
    aad_rows = []
    for i, pt in enumerate(plaintexts):
        key_id = "k1" if i % 3 else "k2"
        token = qv.encrypt(pt, KEY, key_id, deterministic, metadata, seal_aads[i])
        rows.append(tamper(token, hows[i]))
        aad_rows.append(seal_aads[i] if hows[i] % 2 else open_aads[i])
    aad = aad_rows if per_row else (open_aads[0] if not rows else aad_rows[0])
    # With a mapping, key id k2 is missing: its rows fail as under a wrong key.
    keys = {"k1": KEY, b"k3": OTHER_KEY} if use_mapping else KEY

    expected = []
    for i, token in enumerate(rows):
        if token is None:
            expected.append(None)
            continue
        key = KEY
        if use_mapping:
            key_id = oracle.decode(token)
            key = KEY if key_id is not None and key_id["key_id"] == b"k1" else OTHER_KEY
        got = outcome(qv.decrypt, token, key, aad_for(aad, per_row, i))
        expected.append(("ok", got[1]["data"]) if got[0] == "ok" else got)

    def call():
        return qv.decrypt_many(rows, keys, aad=aad, errors=errors)

    # An aad that cannot be read is the caller's mistake, whatever `errors`:
    # a shared one is refused before any row, a row's own at that row.
    refused = outcome(qv.decrypt, qv.encrypt("x", KEY, "k1"), KEY, aad if not per_row else None)
    if refused[0] == "raise" and refused[2] != "qv: decryption failed.":
        with pytest.raises(refused[1], match=re.escape(refused[2])) as info:
            call()
        assert not getattr(info.value, "__notes__", None)
        return
    failures = [
        (i, e)
        for i, e in enumerate(expected)
        if e is not None
        and e[0] == "raise"
        and (
            errors == "raise"
            or (e[2] != "qv: decryption failed." and e[1] is not UnicodeDecodeError)
        )
    ]
    if failures:
        expect_row_error(call, failures[0][1], failures[0][0])
        return
    got = call()
    assert got == [None if e is None or e[0] == "raise" else e[1] for e in expected]


@pytest.mark.parametrize("threads", [1, 2, 3], ids=["one", "two", "three"])
@pytest.mark.parametrize("size", [1, 64, 3 * 8192 + 5], ids=["1B", "64B", "pieces"])
def test_a_batch_split_over_threads_gives_every_row_its_single_call_token(threads, size):
    # Enough rows that the batch really is split, and a size above the
    # token writer's piece, so prepared contexts carry over many values.
    count = (600 if ASAN else 1200) if size < 1000 else 40
    rows = [bytes([65 + i % 26]) * size for i in range(count)]
    aads = [{"row": str(i)} if i % 2 else None for i in range(count)]
    tokens = qv.encrypt_many(
        rows, KEY, "kid", deterministic=True, metadata={"m": "v"}, aad=aads, threads=threads
    )
    singles = [
        qv.encrypt(r, KEY, "kid", True, {"m": "v"}, a) for r, a in zip(rows, aads, strict=True)
    ]
    assert tokens == singles
    random_tokens = qv.encrypt_many(rows, KEY, "kid", aad=aads, threads=threads)
    opened = qv.decrypt_many(random_tokens, {"kid": KEY}, aad=aads, threads=threads)
    assert opened == [r.decode() for r in rows]


def test_random_nonces_of_one_two_thread_batch_are_all_distinct():
    count = 10_000 if ASAN else 100_000
    tokens = qv.encrypt_many(["x"] * count, KEY, "k", threads=2)
    nonces = {oracle.decode(t)["nonce"] for t in tokens}
    assert len(nonces) == count


def test_rows_are_read_as_encrypt_reads_them():
    # str as UTF-8, bytes and bytearray byte for byte, subclasses too.
    class S(str):
        pass

    class B(bytes):
        pass

    rows = ["é", b"\xc3\xa9", bytearray(b"\xc3\xa9"), S("é"), B(b"\xc3\xa9")]
    tokens = qv.encrypt_many(rows, KEY, b"k", deterministic=True)
    assert set(tokens) == {qv.encrypt("é", KEY, "k", True)}
    assert (
        qv.decrypt_many([tokens[0], tokens[0].encode(), bytearray(tokens[0].encode())], KEY)
        == ["é"] * 3
    )


def test_none_rows_and_empty_batches_pass_through():
    assert qv.encrypt_many([], KEY, "k") == []
    assert qv.decrypt_many((), KEY) == []
    assert qv.encrypt_many([None, None], KEY, "k") == [None, None]
    assert qv.decrypt_many([None], KEY, errors="raise") == [None]
    # Any iterable of rows, not only lists.
    assert qv.decrypt_many(iter(qv.encrypt_many(iter(["a", "b"]), KEY, "k")), KEY) == ["a", "b"]


BAD_CALLS = [
    (
        "short key",
        lambda: qv.encrypt_many(["a"], KEY[:31], "k"),
        ValueError,
        "qv: key must be 32 bytes.",
    ),
    (
        "empty key id",
        lambda: qv.encrypt_many(["a"], KEY, ""),
        ValueError,
        "qv: keyId must be 1-255 bytes.",
    ),
    (
        "long key id",
        lambda: qv.encrypt_many(["a"], KEY, "k" * 256),
        ValueError,
        "qv: keyId must be 1-255 bytes.",
    ),
    (
        "NUL key id",
        lambda: qv.encrypt_many(["a"], KEY, "a\0b"),
        ValueError,
        "qv: keyId must not contain NUL bytes.",
    ),
    # The key is checked before the key id, as in encrypt, and before any row.
    (
        "key before key id",
        lambda: qv.encrypt_many([""], KEY[:1], ""),
        ValueError,
        "qv: key must be 32 bytes.",
    ),
    (
        "zero threads",
        lambda: qv.encrypt_many(["a"], KEY, "k", threads=0),
        ValueError,
        "qv: threads must be at least 1.",
    ),
    (
        "float threads",
        lambda: qv.decrypt_many([], KEY, threads=1.0),
        TypeError,
        "qv: threads must be an int or None.",
    ),
    (
        "a str as rows",
        lambda: qv.encrypt_many("abc", KEY, "k"),
        TypeError,
        "qv: plaintexts must be a sequence of str, bytes, bytearray or None.",
    ),
    (
        "aad per row, wrong length",
        lambda: qv.encrypt_many(["a", "b"], KEY, "k", aad=["x"]),
        ValueError,
        "qv: aad must hold one entry per row.",
    ),
    (
        "errors value",
        lambda: qv.decrypt_many([], KEY, errors="ignore"),
        ValueError,
        "qv: errors must be 'raise' or 'null'.",
    ),
    (
        "short key in a mapping",
        lambda: qv.decrypt_many([], {"k": KEY[:5]}),
        ValueError,
        "qv: key must be 32 bytes.",
    ),
    (
        "bytearray key",
        lambda: qv.decrypt_many([], bytearray(KEY)),
        TypeError,
        "qv: keys must be a 32-byte key or a mapping of key id to key.",
    ),
    (
        "str key in a mapping",
        lambda: qv.decrypt_many([], {"k": "x" * 32}),
        TypeError,
        "qv: a key must be bytes.",
    ),
    (
        "int key id in a mapping",
        lambda: qv.decrypt_many([], {1: KEY}),
        TypeError,
        "qv: a key id must be str, bytes or bytearray.",
    ),
]


@pytest.mark.parametrize(
    ("call", "kind", "message"), [c[1:] for c in BAD_CALLS], ids=[c[0] for c in BAD_CALLS]
)
def test_arguments_that_no_row_could_pass_raise_without_a_row_note(call, kind, message):
    with pytest.raises(kind) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


ROW_TYPE_ERRORS = [
    ("int plaintext", lambda: qv.encrypt_many(["a", 5], KEY, "k"), 1),
    ("memoryview plaintext", lambda: qv.encrypt_many([memoryview(b"a")], KEY, "k"), 0),
    ("lone surrogate", lambda: qv.encrypt_many(["ok", "\ud800"], KEY, "k"), 1),
    (
        "int token, even with errors='null'",
        lambda: qv.decrypt_many([None, 7], KEY, errors="null"),
        1,
    ),
]


@pytest.mark.parametrize(
    ("call", "row"), [c[1:] for c in ROW_TYPE_ERRORS], ids=[c[0] for c in ROW_TYPE_ERRORS]
)
def test_a_row_of_the_wrong_type_is_a_type_error_naming_its_row(call, row):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.__notes__ == [f"row {row}"]


def test_a_key_id_missing_from_the_mapping_fails_only_its_rows():
    tokens = [qv.encrypt("one", KEY, "a"), qv.encrypt("two", OTHER_KEY, "b")]
    assert qv.decrypt_many(tokens, {"a": KEY}, errors="null") == ["one", None]
    assert qv.decrypt_many(tokens, {"a": KEY, "b": OTHER_KEY}) == ["one", "two"]
    # Mapping keys are taken as their UTF-8 bytes, like a key id.
    assert qv.decrypt_many(tokens, {b"a": KEY, "b": OTHER_KEY}) == ["one", "two"]
    expect_row_error(
        lambda: qv.decrypt_many(tokens, {"a": KEY}),
        ("raise", RuntimeError, "qv: decryption failed."),
        1,
    )


def test_records_give_what_decrypt_gives():
    tokens = [
        qv.encrypt("x", KEY, "k", True, {"a": "1"}, "ad"),
        qv.encrypt(b"\xff", KEY, "k"),
        None,
    ]
    assert bulk.decrypt_many_records(tokens, KEY, aad=["ad", None, None], errors="null") == [
        qv.decrypt(tokens[0], KEY, "ad"),
        None,  # not UTF-8: decrypt raises UnicodeDecodeError
        None,
    ]


# An aad that cannot be read is the caller's mistake, under every `errors`
# setting: a shared one before any row, a row's own at its row.
UNREADABLE_AAD = [
    ("bytes", b"x", None),
    ("dict-int-value", {"a": 5}, None),
    ("list-of-ints", [1, 2], 0),
]


@pytest.mark.parametrize("errors", ["raise", "null"])
@pytest.mark.parametrize(
    ("aad", "row"), [a[1:] for a in UNREADABLE_AAD], ids=[a[0] for a in UNREADABLE_AAD]
)
@pytest.mark.parametrize("ring", [False, True], ids=["keys", "keyring"])
def test_an_aad_no_row_could_pass_raises_whatever_errors(aad, row, errors, ring):
    tokens = [qv.encrypt("a", KEY, "k1"), qv.encrypt("b", KEY, "k1")]
    single = outcome(qv.decrypt, tokens[0], KEY, aad[0] if row is not None else aad)
    if ring:
        keyring = qv.Keyring()
        keyring.add("k1", KEY)
        call = lambda: keyring.decrypt_many(tokens, aad=aad, errors=errors)  # noqa: E731
    else:
        call = lambda: qv.decrypt_many(tokens, KEY, aad=aad, errors=errors)  # noqa: E731
    with pytest.raises(single[1]) as info:
        call()
    assert str(info.value) == single[2]
    assert getattr(info.value, "__notes__", None) == (None if row is None else [f"row {row}"])


# The workers mark ASCII plaintexts so that the result str is made without a
# second scan: one non-ASCII character at any place of the word-at-a-time
# scan (within a word, in the last word, in the tail) must still decode.
@pytest.mark.parametrize(
    "text",
    [
        "a",
        "abcdefg",
        "abcdefgh",
        "abcdefghi",
        "é",
        "abcdefgé",
        "abcdefghé",
        "é" + "a" * 20,
        "a" * 15 + "€",
        "a" * 16 + "😀",
        "x" * 64,
    ],
    ids=lambda t: f"{len(t)}-{'ascii' if t.isascii() else 'utf8'}",
)
def test_decrypt_many_ascii_and_not(text: str) -> None:
    rows = [text, "plain", text, None]
    tokens = qv.encrypt_many(rows, KEY, "k", threads=1)
    assert qv.decrypt_many(tokens, KEY, threads=1) == rows
    opened = bulk.decrypt_many_records(tokens, KEY, threads=1)
    assert [r and r["data"] for r in opened] == rows
    assert all(type(r) is str for r in qv.decrypt_many(tokens, KEY)[:3])


@pytest.mark.parametrize("at", [0, 6, 7, 8, 15], ids=lambda at: f"byte-{at}")
def test_decrypt_many_plaintext_not_utf8_fails_wherever_the_byte_is(at: int) -> None:
    raw = bytearray(b"a" * 16)
    raw[at] = 0x80
    tokens = qv.encrypt_many([bytes(raw), "ok"], KEY, "k", threads=1)
    assert qv.decrypt_many(tokens, KEY, errors="null") == [None, "ok"]
