"""--lines and --jsonl in blocks: every line comes out, or fails, as when lines go one at a time.

Runs `main(argv)` in process with small blocks, and compares each run with the
same run going value by value.
"""

from __future__ import annotations

import base64
import io
import json
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import qv
from qv import cli
from qv.cli import data_commands, jsonl, streams

WRAP = bytes(range(32))


@pytest.fixture(scope="module")
def ring(tmp_path_factory: pytest.TempPathFactory) -> tuple[list[str], qv.Keyring]:
    folder = tmp_path_factory.mktemp("ring")
    keys = qv.Keyring()
    for key_id in ("old", "off", "new"):
        keys.generate(key_id)
    keys.disable("off")
    keys.promote("new")
    keys.save(folder / "ring.json", wrapping_key=WRAP)
    (folder / "wrap.key").write_bytes(base64.urlsafe_b64encode(WRAP).rstrip(b"=") + b"\n")
    (folder / "wrap.key").chmod(0o600)
    k = ["-k", str(folder / "ring.json"), "--wrapping-key-file", str(folder / "wrap.key")]
    return k, keys


def main(argv: list[str], stdin: bytes, capsys: pytest.CaptureFixture[bytes]) -> tuple[int, bytes]:
    saved, sys.stdin = sys.stdin, io.TextIOWrapper(io.BytesIO(stdin))
    try:
        status = cli.main(argv)
    finally:
        sys.stdin = saved
    captured = capsys.readouterr()
    return status, captured.out + b"\0" + captured.err


def tokens(keys: qv.Keyring, *values: str) -> list[str]:
    """Deterministic tokens: rotating them, and sealing the same values, gives the same text."""
    return [keys.encrypt(v, deterministic=True) for v in values]


def inputs(keys: qv.Keyring) -> dict[str, tuple[list[str], bytes]]:
    """(words, input): lines of one length, failing ones among them, and every kind of ending."""
    keys.promote("old")
    old = tokens(keys, "v1", "v2", "v3", "v4")
    keys.enable("off")
    keys.promote("off")
    (off,) = tokens(keys, "v5")
    keys.promote("new")
    keys.disable("off")
    new = tokens(keys, "v6", "v7", "l\n")
    broken = new[1][:-3] + "AAA"
    lines = [broken, old[0], new[0], off, old[1], broken, new[2], old[2], old[3]]
    data = "\n".join(lines).encode()  # no final newline
    padded = f' {new[0]}\t\n{{"a": " {old[0]} "}}\n'  # tokens may have space around them
    crlf = "\r\n".join(lines[1:4]).encode() + b"\r\n\n\r\n" + padded.encode() + data
    rows = [
        '{"a": "x", "b": "1", "c": 1}',
        '{"n": {"a": "z"}, "a": "y"}',
        '{"b": "a", "a": "y"}',
        ' {"a": "y"}',
        '{"\\u0061": "w", "a": "\\u00e9"}',
        '{"a": "x", "a": ""}',
        "",
        '{"a": 1}',
        '{"a": "\\ud800"}',
        '{"b": "v", "a": "u"} x',
        "[1]",
        '{"a": "q", "b": "r"}\r',
    ]
    plain = ("\n".join(rows) + "\n").encode() + b'{"a": "\xff"}\n{"b": "x", "a": "s"}'
    sealed = "\n".join(f'{{"a": "{t}", "b": {i}}}' for i, t in enumerate(lines)).encode()
    sealed += f'\n{{"a": " {old[0]}\\n"}}'.encode()
    return {
        "decrypt-lines": (["decrypt", "--lines"], data),
        "decrypt-lines-crlf": (["decrypt", "--lines"], crlf),
        "rotate-lines": (["rotate", "--lines"], crlf),
        "encrypt-lines": (["encrypt", "--deterministic", "--lines"], b"a\n\nb\r\n\xff\nc\r"),
        "encrypt-jsonl": (["encrypt", "--deterministic", "--jsonl", "a,b"], plain),
        "decrypt-jsonl": (["decrypt", "--jsonl", "a"], sealed),
        "rotate-jsonl": (["rotate", "--jsonl", "a"], sealed.replace(b"\n", b"\r\n")),
    }


CASES = ["decrypt-lines", "decrypt-lines-crlf", "rotate-lines", "encrypt-lines"]
CASES += ["encrypt-jsonl", "decrypt-jsonl", "rotate-jsonl"]


@pytest.mark.parametrize("on_error", ["fail", "skip", "keep"])
@pytest.mark.parametrize("case", CASES)
def test_blocks_give_what_lines_one_by_one_give(
    ring: tuple[list[str], qv.Keyring],
    capsysbinary: pytest.CaptureFixture[bytes],
    monkeypatch: pytest.MonkeyPatch,
    case: str,
    on_error: str,
) -> None:
    k, keys = ring
    words, data = inputs(keys)[case]
    argv = [words[0], *k, *words[1:], "--on-error", on_error]
    monkeypatch.setattr(streams, "BULK_MIN", sys.maxsize)
    expected = main(argv, data, capsysbinary)
    assert expected[0] == 1  # every case has failing lines
    monkeypatch.setattr(streams, "BULK_MIN", 1)
    line = len(data.split(b"\n")[0]) + 1
    # Three lines a block (failing lines first and last in one), blocks cut
    # inside lines and inside "\r\n", and one block.
    for size in (3 * line, 1, 5, 7, 1 << 16):
        monkeypatch.setattr(streams, "BLOCK_BYTES", size)
        assert main(argv, data, capsysbinary) == expected, size


def test_a_failing_row_does_not_send_its_block_value_by_value() -> None:
    calls: list[list[str | None]] = []

    def call(rows: list[str | None]) -> list[str | None]:
        calls.append(rows)
        for i, row in enumerate(rows):
            if row in ("c", "e"):
                error = ValueError("bad")
                error.add_note(f"row {i}")
                raise error
        return [None if r is None else r.upper() for r in rows]

    assert data_commands.bulk_rows(call, ["a", "b", "c", "d", "e", None]) == [
        "A", "B", None, "D", None, None,
    ]  # fmt: skip
    assert len(calls) == 5 and calls[-1] == [None]
    # Without a row, every row goes value by value.
    assert data_commands.bulk_rows(lambda rows: [][5], ["a", "b"]) == [None, None]


@given(
    sizes=st.lists(st.integers(0, 40), min_size=1, max_size=30),
    block=st.integers(1, 64),
    final_newline=st.booleans(),
)
def test_blocks_hold_whole_lines_and_stay_bounded(
    sizes: list[int], block: int, final_newline: bool
) -> None:
    data = b"\n".join(b"x" * n for n in sizes) + b"\n" * final_newline
    saved, streams.BLOCK_BYTES = streams.BLOCK_BYTES, block
    try:
        blocks = list(streams.read_blocks(io.BufferedReader(io.BytesIO(data), 8)))
    finally:
        streams.BLOCK_BYTES = saved
    assert b"".join(blocks) == data
    assert all(b.endswith(b"\n") for b in blocks[:-1])
    assert all(len(b) <= block + max(sizes) + 1 for b in blocks)


def upper(value: str) -> tuple[str, bool]:
    if value == "bad":
        raise cli.ValueFailed("does not open")
    return value.upper(), value != "same"


def upper_many(values: list[str | None]) -> tuple[list[str | None], list[bool]]:
    return [None if v in (None, "bad") else v.upper() for v in values], [
        v != "same" for v in values
    ]


scalars = st.one_of(
    st.sampled_from(["a", "b", "same", "bad", "x\\y", "\u00e9", '"a"']), st.integers(), st.none()
)
objects = st.dictionaries(
    st.sampled_from(["a", "b", "\u00e9"]),
    st.one_of(scalars, st.dictionaries(st.sampled_from(["a", "c"]), scalars, max_size=2)),
    max_size=4,
)


@given(
    rows=st.lists(
        st.tuples(objects, st.booleans(), st.sampled_from(["", " ", "}", "\r"])), max_size=6
    )
)
def test_a_block_splices_as_each_line_alone_would(rows: list[tuple[dict, bool, str]]) -> None:
    lines = [
        json.dumps(obj, ensure_ascii=ascii, separators=(",", ":") if ascii else None) + tail
        for obj, ascii, tail in rows
    ]
    fields = frozenset({"a", "\u00e9"})
    alone: list[str | None] = []
    for line in lines:
        try:
            alone.append(jsonl.convert_jsonl(line.encode(), fields, upper)[0].decode())
        except cli.ValueFailed:
            alone.append(None)
    assert jsonl.jsonl_batch(fields, upper_many)(list(lines))[0] == alone
    whole = jsonl.splice_block("\n".join(lines), fields, upper_many)
    assert (None if None in alone else "\n".join(alone)) == (whole and whole[0])
