"""qv.arrow against the single calls, row by row: every column shape, every failure."""

from __future__ import annotations

import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

import qv  # noqa: E402
import qv.arrow as qa  # noqa: E402
from sanitizer import examples  # noqa: E402

KEY = bytes(range(32))
OTHER = bytes(range(1, 33))

TEXTS = ["ada@example.com", None, "4111 1111 1111 1111", "é€𝄞", "x" * 300, None, "z"]


def single_encrypt(value, aad=None, *, key=KEY, key_id="k1", metadata=None):
    return qv.encrypt(value, key, key_id, True, metadata or {}, aad)


def single_open(token, aad=None, key=KEY):
    """What qv.decrypt gives for one row: its text, or None where it raises."""
    if token is None:
        return None
    try:
        return qv.decrypt(token, key, aad)["data"]
    except (RuntimeError, UnicodeDecodeError):
        return None


def as_type(values, arrow_type):
    binary = pa.types.is_binary(arrow_type) or pa.types.is_large_binary(arrow_type)
    if binary:
        values = [None if v is None else v.encode() for v in values]
    return pa.array(values, arrow_type)


COLUMN_TYPES = [
    pytest.param(pa.string(), id="string"),
    pytest.param(pa.large_string(), id="large_string"),
    pytest.param(pa.binary(), id="binary"),
    pytest.param(pa.large_binary(), id="large_binary"),
]


def shapes(arrow_type):
    """The same rows as a plain array, a slice, and a chunked array."""
    whole = as_type(["lead", *TEXTS, "tail"], arrow_type)
    return {
        "array": (as_type(TEXTS, arrow_type), TEXTS),
        "slice": (whole.slice(1, len(TEXTS)), TEXTS),
        "chunked": (pa.chunked_array([whole.slice(1, 3), whole.slice(4, len(TEXTS) - 3)]), TEXTS),
        "empty-chunked": (pa.chunked_array([], arrow_type), []),
    }


SHAPES = ["array", "slice", "chunked", "empty-chunked"]

AADS = [
    pytest.param(None, id="no-aad"),
    pytest.param("tenant-7", id="one-text"),
    pytest.param({"table": "users", "column": "email"}, id="one-dict"),
    pytest.param("per-row", id="per-row"),
]


def per_row_aad(n):
    return [None if i % 3 == 0 else f"row-{i}" for i in range(n)]


def aad_args(aad, n):
    """The aad to pass to qv.arrow, and the one each single call gets."""
    if aad == "per-row":
        rows = per_row_aad(n)
        return pa.array(rows, pa.string()), rows
    return aad, [aad] * n


def flat(column):
    return column.to_pylist()


@pytest.mark.parametrize("arrow_type", COLUMN_TYPES)
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("aad", AADS)
def test_deterministic_tokens_equal_single_encrypt(arrow_type, shape, aad):
    column, rows = shapes(arrow_type)[shape]
    arrow_aad, row_aads = aad_args(aad, len(rows))
    meta = {"table": "users"}
    out = qa.encrypt(column, KEY, "k1", deterministic=True, metadata=meta, aad=arrow_aad)
    expected = [
        None if v is None else single_encrypt(v, a, metadata=meta)
        for v, a in zip(rows, row_aads, strict=True)
    ]
    assert flat(out) == expected
    assert isinstance(out, pa.ChunkedArray) == isinstance(column, pa.ChunkedArray)
    assert out.type == pa.string()


@pytest.mark.parametrize("arrow_type", COLUMN_TYPES)
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("aad", AADS)
def test_random_tokens_open_with_single_decrypt(arrow_type, shape, aad):
    column, rows = shapes(arrow_type)[shape]
    arrow_aad, row_aads = aad_args(aad, len(rows))
    out = flat(qa.encrypt(column, KEY, "k1", aad=arrow_aad))
    assert [t is None for t in out] == [v is None for v in rows]
    for value, token, row_aad in zip(rows, out, row_aads, strict=True):
        if value is not None:
            opened = qv.decrypt(token, KEY, row_aad)
            assert opened["data"] == value and opened["deterministic"] is False
    sealed = [t for t in out if t is not None]
    assert len(set(sealed)) == len(sealed)  # fresh nonces per row


def tamper(token):
    # Flip a ciphertext character: still base64url, no longer authentic.
    i = len(token) - 5
    return token[:i] + ("A" if token[i] != "A" else "B") + token[i + 1 :]


def with_spaces(token):
    # Spaces, newlines and '=' are skipped by the decoder wherever they stand,
    # including inside the head the column sizes its room from.
    return token[:8] + " \n" + token[8:20] + "=" + token[20:] + "\r\n"


def failing_column():
    """Tokens, the aad they were sealed with, and what qv.decrypt gives for each."""
    tokens, aads = [], []
    for i, text in enumerate(["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta"]):
        aads.append(f"a{i}")
        tokens.append(qv.encrypt(text, KEY, "k1", False, {}, f"a{i}"))
    tokens[1] = tamper(tokens[1])
    tokens[2] = None
    tokens[3] = "qv.v2.not*base64"
    tokens[4] = with_spaces(tokens[4])
    tokens[5] = qv.encrypt("zeta", OTHER, "k1", False, {}, "a5")  # another key
    tokens[6] = tokens[6].replace("+", "-").replace("/", "_")
    aads[0] = "a0"
    return tokens, aads


@pytest.mark.parametrize("large", [False, True], ids=["string", "large_string"])
@pytest.mark.parametrize("shape", ["array", "slice", "chunked"])
def test_decrypt_matches_single_decrypt_row_by_row(large, shape):
    tokens, aads = failing_column()
    t = pa.large_string() if large else pa.string()
    column = pa.array(tokens, t)
    aad_column = pa.array(aads, pa.string())
    if shape == "slice":
        column = pa.array(["x", *tokens], t).slice(1)
        aad_column = pa.array(["y", *aads]).slice(1)
    elif shape == "chunked":
        column = pa.chunked_array([column.slice(0, 4), column.slice(4)])
        aad_column = pa.chunked_array([aad_column.slice(0, 2), aad_column.slice(2)])
    out = qa.decrypt(column, KEY, aad=aad_column, errors="null")
    expected = [single_open(tok, a) for tok, a in zip(tokens, aads, strict=True)]
    assert expected == ["alpha", None, None, None, "epsilon", None, "eta"]
    assert flat(out) == expected
    assert out.null_count == expected.count(None)


def test_decrypt_of_binary_tokens_and_scalar_dict_aad():
    aad = {"column": "email"}
    tokens = [qv.encrypt(v, KEY, "k1", False, {}, aad).encode() for v in ["a", "b"]]
    for t in (pa.binary(), pa.large_binary()):
        assert flat(qa.decrypt(pa.array([tokens[0], None, tokens[1]], t), KEY, aad=aad)) == [
            "a",
            None,
            "b",
        ]


def test_plaintext_that_is_not_utf8_fails_its_row_like_decrypt():
    bad = qv.encrypt(b"\xff\xfe", KEY, "k1", False, {}, None)
    surrogate = qv.encrypt(b"\xed\xa0\x80", KEY, "k1", False, {}, None)
    good = qv.encrypt("ok", KEY, "k1", False, {}, None)
    column = pa.array([good, bad, surrogate, good])
    assert flat(qa.decrypt(column, KEY, errors="null")) == ["ok", None, None, "ok"]
    with pytest.raises(UnicodeDecodeError) as raised:
        qa.decrypt(column, KEY)
    assert raised.value.__notes__ == ["row 1"]


def single_error(call):
    try:
        call()
    except Exception as error:
        return type(error), str(error)
    raise AssertionError("the single call did not fail")


def test_raise_reports_the_first_failing_row_with_the_single_call_error():
    tokens, aads = failing_column()
    chunked = pa.chunked_array([pa.array(tokens[:1]), pa.array(tokens[1:])])
    with pytest.raises(RuntimeError) as raised:
        qa.decrypt(chunked, KEY, aad=pa.array(aads))
    assert (type(raised.value), str(raised.value)) == single_error(
        lambda: qv.decrypt(tokens[1], KEY, aads[1])
    )
    assert raised.value.__notes__ == ["row 1"]


@pytest.mark.parametrize(
    ("rows", "bad_row"),
    [
        pytest.param(["a", "", "c"], 1, id="middle"),
        pytest.param([None, ""], 1, id="after-null"),
        pytest.param(["a"] * 40000 + [""], 40000, id="past-first-window"),
    ],
)
def test_empty_plaintext_raises_with_its_row(rows, bad_row):
    t = pa.string()
    chunked = pa.chunked_array([pa.array(rows[:1], t), pa.array(rows[1:], t)])
    for column in (pa.array(rows, t), chunked):
        with pytest.raises(ValueError) as raised:
            qa.encrypt(column, KEY, "k1")
        assert str(raised.value) == "qv: plaintext must not be empty."
        assert raised.value.__notes__ == [f"row {bad_row}"]


def test_windows_threads_and_nulls_agree_with_single_calls_over_many_rows():
    # More rows than one window, nulls throughout, several workers.
    n = 70000
    rows = [None if i % 7 == 3 else f"value-{i}-" + "v" * (i % 50) for i in range(n)]
    column = pa.array(rows)
    one = qa.encrypt(column, KEY, "k1", deterministic=True, threads=1)
    two = qa.encrypt(column, KEY, "k1", deterministic=True, threads=2)
    assert one.equals(two)
    tokens = flat(one)
    for i in (0, 1, 3, 32767, 32768, 32769, 65536, n - 1):
        assert tokens[i] == (None if rows[i] is None else single_encrypt(rows[i]))
    spoiled = tokens.copy()
    spoiled[40000] = tamper(spoiled[40000])
    opened = qa.decrypt(pa.array(spoiled), KEY, errors="null", threads=2)
    assert flat(opened) == [None if i == 40000 else v for i, v in enumerate(rows)]


def test_keyring_seals_under_primary_and_opens_each_row_by_its_key_id():
    ring = qv.Keyring()
    old = ring.generate("old")
    sealed_old = qa.encrypt(pa.array(["one", None]), ring)
    ring.generate("new")
    ring.promote("new")
    sealed_new = qa.encrypt(pa.array(["two"]), ring, deterministic=True)
    assert qv.peek_key_id(sealed_old[0].as_py()) == old
    assert sealed_new[0].as_py() == ring.encrypt("two", deterministic=True)
    mixed = pa.chunked_array([sealed_old, sealed_new])
    assert flat(qa.decrypt(mixed, ring)) == ["one", None, "two"]
    ring.disable(old)
    assert flat(qa.decrypt(mixed, ring, errors="null")) == [None, None, "two"]
    with pytest.raises(qv.DisabledKeyError) as raised:
        qa.decrypt(mixed, ring)
    assert str(raised.value) == single_error(lambda: ring.decrypt(sealed_old[0].as_py()))[1]
    assert raised.value.__notes__ == ["row 0"]


def test_mapping_of_keys_opens_by_key_id_and_fails_unknown_ids():
    a = qv.encrypt("from a", KEY, "a", False, {}, None)
    b = qv.encrypt("from b", OTHER, "b", False, {}, None)
    column = pa.array([a, b])
    assert flat(qa.decrypt(column, {"a": KEY, "b": OTHER})) == ["from a", "from b"]
    assert flat(qa.decrypt(column, {"a": KEY}, errors="null")) == ["from a", None]
    with pytest.raises(RuntimeError) as raised:
        qa.decrypt(column, {"a": KEY})
    assert str(raised.value) == "qv: decryption failed."
    assert raised.value.__notes__ == ["row 1"]


STRINGS = pa.array(["a"])

BAD_CALLS = [
    pytest.param(lambda: qa.encrypt(pa.array([1, 2]), KEY, "k1"), TypeError, id="int-column"),
    pytest.param(lambda: qa.encrypt(["a"], KEY, "k1"), TypeError, id="list-not-array"),
    pytest.param(lambda: qa.encrypt(STRINGS, KEY), TypeError, id="key-without-key-id"),
    pytest.param(lambda: qa.encrypt(STRINGS, KEY[:31], "k1"), ValueError, id="short-key"),
    pytest.param(lambda: qa.encrypt(STRINGS, KEY, ""), ValueError, id="empty-key-id"),
    pytest.param(lambda: qa.encrypt(STRINGS, KEY, "a\0b"), ValueError, id="nul-key-id"),
    pytest.param(
        lambda: qa.encrypt(STRINGS, KEY, "k1", metadata={"m": "x" * 70000}),
        ValueError,
        id="metadata-too-long",
    ),
    pytest.param(lambda: qa.encrypt(STRINGS, KEY, "k1", aad=3), ValueError, id="aad-int"),
    pytest.param(
        lambda: qa.encrypt(STRINGS, KEY, "k1", aad=pa.array(["a", "b"])),
        ValueError,
        id="aad-rows-mismatch",
    ),
    pytest.param(
        lambda: qa.encrypt(STRINGS, KEY, "k1", aad=pa.array([b"a"])), TypeError, id="aad-binary"
    ),
    pytest.param(lambda: qa.encrypt(STRINGS, KEY, "k1", threads=0), ValueError, id="threads-0"),
    pytest.param(lambda: qa.decrypt(STRINGS, KEY, errors="ignore"), ValueError, id="errors-value"),
    pytest.param(lambda: qa.decrypt(STRINGS, KEY[:16]), ValueError, id="decrypt-short-key"),
    pytest.param(lambda: qa.decrypt(STRINGS, {"k": b"x"}), ValueError, id="short-key-in-map"),
    pytest.param(lambda: qa.encrypt(STRINGS, qv.Keyring()), qv.KeyringError, id="empty-ring"),
]


@pytest.mark.parametrize(("call", "error"), BAD_CALLS)
def test_bad_arguments_are_refused(call, error):
    with pytest.raises(error):
        call()


def test_key_errors_match_single_encrypt_messages():
    for key, key_id in [(KEY[:31], "k1"), (KEY, ""), (KEY, "a\0b")]:
        with pytest.raises(ValueError) as raised:
            qa.encrypt(STRINGS, key, key_id)
        assert (ValueError, str(raised.value)) == single_error(
            lambda key=key, key_id=key_id: qv.encrypt("a", key, key_id, False, {}, None)
        )


def hostile(offsets, data):
    # pyarrow checks only the first and last offsets when it makes an array
    # from buffers; one in between may point anywhere.
    return pa.Array.from_buffers(
        pa.string(),
        len(offsets) - 1,
        [None, pa.py_buffer(pa.array(offsets, pa.int32()).buffers()[1]), pa.py_buffer(data)],
    )


@pytest.mark.parametrize(
    ("offsets", "data"),
    [
        pytest.param([0, 4000, 4], b"abcd", id="offset-past-data"),
        pytest.param([0, 3, 1, 4], b"abcd", id="offsets-decrease"),
        pytest.param([0, -5, 2], b"abcd", id="negative-offset"),
    ],
)
def test_buffers_that_do_not_fit_are_refused_not_read(offsets, data):
    column = hostile(offsets, data)
    for call in (lambda: qa.encrypt(column, KEY, "k1"), lambda: qa.decrypt(column, KEY)):
        with pytest.raises(ValueError, match="buffers do not match"):
            call()


def test_import_qv_does_not_import_pyarrow():
    code = "import sys, qv; assert 'pyarrow' not in sys.modules and 'qv.arrow' not in sys.modules"
    subprocess.run([sys.executable, "-c", code], check=True)


def respell(token, how):
    body = token[len("qv.v2.") :]
    if how == "as-is":
        return token
    if how == "space-in-head":
        return "qv.v2." + body[:3] + " " + body[3:]
    if how == "newlines-after-head":
        cut = len(body) - 3
        return "qv.v2." + body[:cut] + "\n" + body[cut:-1] + "\r\n" + body[-1:]
    if how == "padding":
        return token + "=" * ((-len(body)) % 4)
    if how == "plus-slash":
        return token.replace("-", "+").replace("_", "/")
    raise AssertionError(how)


SPELLINGS = ["as-is", "space-in-head", "newlines-after-head", "padding", "plus-slash"]


@pytest.mark.parametrize("how", SPELLINGS)
@pytest.mark.parametrize(
    ("plaintext", "key_id", "metadata"),
    [
        pytest.param("a", "k", {}, id="one-byte"),
        pytest.param("ok" * 40, "k" * 255, {}, id="longest-key-id"),
        pytest.param("ok", "k1", {"m": "v" * 1000}, id="long-metadata"),
        pytest.param("€" * 33, "id", {"a": "b"}, id="multibyte"),
    ],
)
def test_every_spelling_decrypt_opens_opens_in_a_column(how, plaintext, key_id, metadata):
    # The column sizes each row's room from the token's head; a spelling the
    # decoder accepts must never be given less room than its plaintext.
    token = respell(qv.encrypt(plaintext, KEY, key_id, False, metadata, None), how)
    assert qv.decrypt(token, KEY, None)["data"] == plaintext
    column = pa.array([token, "qv.v2.", token], pa.large_string())
    assert flat(qa.decrypt(column, KEY, errors="null")) == [plaintext, None, plaintext]


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:
        return (type(error), str(error), getattr(error, "__notes__", []))


SEAL_CASES = [
    pytest.param(["a", "", "c"], {}, None, id="empty-row"),
    pytest.param([None, "b"], {"m": "x" * 70000}, None, id="metadata-too-long"),
    pytest.param([None, None], {"m": "x" * 70000}, None, id="metadata-too-long-all-null"),
    pytest.param([None, "", "c"], {"m": "x" * 70000}, None, id="empty-before-metadata"),
    pytest.param(["a", None], {}, 3, id="aad-not-text"),
    pytest.param(["a", None], {}, {"k": "v", "a": "b"}, id="dict-aad"),
]


@pytest.mark.parametrize(("rows", "metadata", "aad"), SEAL_CASES)
def test_encrypt_fails_and_seals_as_encrypt_many(rows, metadata, aad):
    column = pa.array(rows, pa.string())
    ours = outcome(
        lambda: qa.encrypt(column, KEY, "k1", deterministic=True, metadata=metadata, aad=aad)
    )
    theirs = outcome(
        lambda: qv.encrypt_many(rows, KEY, "k1", deterministic=True, metadata=metadata, aad=aad)
    )
    if ours[0] == "ok":
        assert ours[1].to_pylist() == theirs[1]
    else:
        assert ours == theirs


@pytest.mark.parametrize("errors", ["raise", "null"])
@pytest.mark.parametrize("keys", ["one-key", "key-map", "wrong-key"])
def test_decrypt_fails_and_opens_as_decrypt_many(errors, keys):
    tokens, aads = failing_column()
    key = {"one-key": KEY, "key-map": {"k1": KEY}, "wrong-key": OTHER}[keys]
    ours = outcome(lambda: qa.decrypt(pa.array(tokens), key, aad=pa.array(aads), errors=errors))
    theirs = outcome(lambda: qv.decrypt_many(tokens, key, aad=aads, errors=errors))
    if ours[0] == "ok":
        assert ours[1].to_pylist() == theirs[1]
    else:
        assert ours == theirs


@pytest.mark.skipif(not hasattr(pa, "string_view"), reason="pyarrow without view types")
def test_view_types_are_taken_as_their_offsets_form():
    rows = ["a", None, "b" * 40]
    sealed = qa.encrypt(
        pa.array(rows, pa.string_view()),
        KEY,
        "k1",
        deterministic=True,
        aad=pa.array(["x", "y", None], pa.string_view()),
    )
    assert flat(sealed) == [single_encrypt("a", "x"), None, single_encrypt("b" * 40)]
    binary = pa.array([t and t.encode() for t in flat(sealed)], pa.binary_view())
    assert flat(qa.decrypt(binary, KEY, aad=pa.array(["x", "y", None]))) == rows


texts = st.lists(st.one_of(st.none(), st.text(min_size=1, max_size=80)), max_size=40)


@settings(max_examples=examples(150), deadline=None)
@given(rows=texts, cut=st.integers(0, 40), split=st.integers(0, 40), data=st.data())
def test_any_column_seals_and_opens_as_the_single_calls(rows, cut, split, data):
    cut = min(cut, len(rows))
    large = data.draw(st.booleans())
    whole = pa.array(["pad", *rows], pa.large_string() if large else pa.string())
    column = whole.slice(1)  # always a slice with a nonzero offset
    view = rows
    if data.draw(st.booleans()):
        split = min(split, len(rows))
        column = pa.chunked_array([column.slice(0, split), column.slice(split)])
    aad = data.draw(st.one_of(st.none(), st.text(max_size=10)))
    sealed = flat(qa.encrypt(column, KEY, "k1", deterministic=True, aad=aad))
    assert sealed == [None if v is None else single_encrypt(v, aad) for v in view]
    if sealed[cut:]:
        sealed[cut] = None if sealed[cut] is None else tamper(sealed[cut])
    opened = flat(qa.decrypt(pa.array(sealed, pa.string()), KEY, aad=aad, errors="null"))
    assert opened == [single_open(t, aad) for t in sealed]
