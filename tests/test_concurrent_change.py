"""Arguments that change while a call runs give wrong rows at worst, never a crash.

The bulk and column calls release the interpreter lock while they seal and
open, so another thread (or a row's `__del__`) can change a list or a buffer
the call was given. These are the smallest cases that crashed before.
"""

from __future__ import annotations

import struct
import sys
import threading
import time

import pytest

import qv
from sanitizer import ASAN

KEY = bytes(range(32))
# Three chunks of rows, so that the call crosses chunk boundaries.
ROWS = 3 * 8192


def shrinking_rows(first: str, rest: list[str]) -> list[str]:
    """A list whose first row, once nothing else holds it, empties the list."""
    rows: list[str] = []

    class Shrinks(str):
        def __del__(self) -> None:
            del rows[1:]

    rows += [Shrinks(first), *rest]
    return rows


def replace_once_read(rows: list[str], value: str):
    """Replaces rows[0] from another thread as soon as the call holds it;
    returns a function that waits for that thread."""
    unread = sys.getrefcount(rows[0])
    done = threading.Event()

    def replace() -> None:
        while not done.is_set():
            if sys.getrefcount(rows[0]) > unread:
                rows[0] = value
                return
            time.sleep(0)

    thread = threading.Thread(target=replace)
    thread.start()

    def finish() -> None:
        done.set()
        thread.join()

    return finish


def test_a_row_list_emptied_during_encrypt_many_is_read_as_it_was() -> None:
    for _ in range(3):
        # Distinct rows, freed when the list drops them: stale slots would
        # point at freed strings.
        rest = ["x" * 500 + str(i) for i in range(ROWS)]
        rows = shrinking_rows("first", rest)
        finish = replace_once_read(rows, "y")
        tokens = qv.encrypt_many(rows, KEY, "k1", deterministic=True)
        finish()
        assert len(rows) == 1 and len(tokens) == ROWS + 1
        assert [qv.decrypt(t, KEY)["data"] for t in tokens[-3:]] == rest[-3:]


def test_a_token_list_emptied_during_decrypt_many_is_read_as_it_was() -> None:
    plaintexts = ["x" * 500 + str(i) for i in range(ROWS)]
    for _ in range(3):
        tokens = qv.encrypt_many(plaintexts, KEY, "k1")
        rows = shrinking_rows(tokens[0], tokens)
        finish = replace_once_read(rows, tokens[0])
        opened = qv.decrypt_many(rows, KEY)
        finish()
        assert len(rows) == 1 and opened == [plaintexts[0], *plaintexts]


pa = pytest.importorskip("pyarrow")
import qv.arrow as qa  # noqa: E402


def flipping(column: bytearray, at: int, values: list[bytes], seconds: float, call) -> int:
    """Runs `call` repeatedly for `seconds` while a thread writes each of
    `values` in turn at `at` of `column`; returns the calls that returned."""
    stop = threading.Event()

    def flip() -> None:
        while not stop.is_set():
            for v in values:
                column[at : at + len(v)] = v

    thread = threading.Thread(target=flip)
    thread.start()
    returned = 0
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            try:
                call()
                returned += 1
            except (RuntimeError, ValueError, UnicodeDecodeError):
                pass
    finally:
        stop.set()
        thread.join()
    return returned


SECONDS = 1.0 if ASAN else 1.5


def test_an_offset_rewritten_during_arrow_encrypt_never_writes_past_the_result() -> None:
    n = 2000
    data = bytearray(b"a" * 100_000)
    offsets = bytearray(struct.pack(f"<{n + 1}i", *[10 * i for i in range(n + 1)]))
    array = pa.Array.from_buffers(pa.string(), n, [None, pa.py_buffer(offsets), pa.py_buffer(data)])
    last = struct.pack("<i", 10 * n), struct.pack("<i", len(data))
    flipping(offsets, 4 * n, list(last), SECONDS, lambda: qa.encrypt(array, KEY, "k1", threads=2))


def test_a_token_rewritten_during_arrow_decrypt_never_writes_past_the_result() -> None:
    # Two tokens of one length: a short plaintext with long metadata, sized
    # exactly in the first pass, and a long plaintext with none, written over
    # the last row while the call runs.
    sized = qv.encrypt("x" * 50, KEY, "k1", metadata={"m": "v" * 100})
    longest = max(n for n in range(50, 400) if len(qv.encrypt("y" * n, KEY, "k1")) == len(sized))
    bigger = qv.encrypt("y" * longest, KEY, "k1")
    rows = 500
    data = bytearray(sized.encode() * rows)
    size = len(sized)
    offsets = bytearray(struct.pack(f"<{rows + 1}i", *[size * i for i in range(rows + 1)]))
    array = pa.Array.from_buffers(
        pa.string(), rows, [None, pa.py_buffer(offsets), pa.py_buffer(data)]
    )
    returned = flipping(
        data,
        len(data) - size,
        [bigger.encode(), sized.encode()],
        SECONDS,
        lambda: qa.decrypt(array, KEY, errors="null"),
    )
    assert returned > 0
