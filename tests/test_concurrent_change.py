"""Arguments that change while a call runs give wrong rows at worst, never a crash.

The bulk and column calls release the interpreter lock while they seal and
open, so another thread (or a row's `__del__`) can change a list or a buffer
the call was given. These are the smallest cases that crashed before.
"""

from __future__ import annotations

import contextlib
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
    return lambda: (done.set(), thread.join())


@pytest.mark.parametrize("opening", [False, True], ids=["encrypt_many", "decrypt_many"])
def test_a_row_list_emptied_during_the_call_is_read_as_it_was(opening: bool) -> None:
    plaintexts = ["x" * 500 + str(i) for i in range(ROWS)]
    for _ in range(3):
        given = qv.encrypt_many(plaintexts, KEY, "k1") if opening else plaintexts
        rows = shrinking_rows(given[0], given)
        finish = replace_once_read(rows, given[0])
        out = qv.decrypt_many(rows, KEY) if opening else qv.encrypt_many(rows, KEY, "k1")
        finish()
        assert len(rows) == 1
        assert (out if opening else qv.decrypt_many(out, KEY)) == [plaintexts[0], *plaintexts]


pa = pytest.importorskip("pyarrow")
import qv.arrow as qa  # noqa: E402


def string_array(data: bytearray, rows: int, size: int) -> pa.Array:
    """`rows` strings of `size` bytes over `data`, with offsets a bytearray too."""
    offsets = bytearray(struct.pack(f"<{rows + 1}i", *range(0, size * (rows + 1), size)))
    return pa.Array.from_buffers(
        pa.string(), rows, [None, pa.py_buffer(offsets), pa.py_buffer(data)]
    )


def run_while_rewritten(buffer, at: int, values: list[bytes], call) -> None:
    """Runs `call` for a second or so while a thread writes `values` in turn at `buffer[at]`."""
    stop = threading.Event()

    def flip() -> None:
        while not stop.is_set():
            for v in values:
                buffer[at : at + len(v)] = v

    thread = threading.Thread(target=flip)
    thread.start()
    deadline = time.monotonic() + (1.0 if ASAN else 1.5)
    try:
        while time.monotonic() < deadline:
            with contextlib.suppress(RuntimeError, ValueError):
                call()
    finally:
        stop.set()
        thread.join()


def test_an_offset_rewritten_during_arrow_encrypt_never_writes_past_the_result() -> None:
    rows, data = 2000, bytearray(b"a" * 100_000)
    array = string_array(data, rows, 10)
    offsets = array.buffers()[1]
    ends = [struct.pack("<i", 10 * rows), struct.pack("<i", len(data))]
    view = memoryview(offsets).cast("B")
    run_while_rewritten(view, 4 * rows, ends, lambda: qa.encrypt(array, KEY, "k1", threads=2))


def test_a_token_rewritten_during_arrow_decrypt_never_writes_past_the_result() -> None:
    # Two tokens of one length: a short plaintext with long metadata, sized
    # exactly in the first pass, and a long plaintext with none, written over
    # the last row while the call runs.
    sized = qv.encrypt("x" * 50, KEY, "k1", metadata={"m": "v" * 100})
    longest = max(n for n in range(50, 400) if len(qv.encrypt("y" * n, KEY, "k1")) == len(sized))
    tokens = [qv.encrypt("y" * longest, KEY, "k1").encode(), sized.encode()]
    data = bytearray(sized.encode() * 500)
    array = string_array(data, 500, len(sized))
    run_while_rewritten(data, len(data) - len(sized), tokens, lambda: qa.decrypt(array, KEY))
