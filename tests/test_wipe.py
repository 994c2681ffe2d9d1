"""generate_key and wipe_buffer."""

from __future__ import annotations

import array
import ctypes

import pytest

import qv


def test_generate_key_gives_distinct_32_byte_keys() -> None:
    keys = {qv.generate_key() for _ in range(16)}
    assert len(keys) == 16 and all(type(k) is bytes and len(k) == 32 for k in keys)


# (id, size of the backing bytearray, view of its memoryview, byte offsets the view covers)
VIEWS = [
    ("bytearray", 6, lambda m: m.obj, range(6)),
    ("empty-bytearray", 0, lambda m: m.obj, ()),
    ("contiguous-slice", 10, lambda m: m[2:5], range(2, 5)),
    ("empty-slice", 10, lambda m: m[4:4], ()),
    ("step-2", 10, lambda m: m[::2], range(0, 10, 2)),
    ("step-3-offset", 10, lambda m: m[1::3], range(1, 10, 3)),
    ("reversed", 10, lambda m: m[::-1], range(10)),
    ("items-of-4-strided", 24, lambda m: m.cast("I")[::2], [i for i in range(24) if i % 8 < 4]),
]


@pytest.mark.parametrize("size, view, covered", [v[1:] for v in VIEWS], ids=[v[0] for v in VIEWS])
def test_wipe_zeroes_exactly_the_items_of_the_view(size: int, view, covered) -> None:
    store = bytearray(range(1, size + 1))
    assert qv.wipe_buffer(view(memoryview(store))) is None
    assert store == bytearray(0 if i in covered else i + 1 for i in range(size))


def test_wipe_arrays_and_zero_dimensional_buffers() -> None:
    a = array.array("i", [-1, 123456789, 7, 4, 5, 6])
    qv.wipe_buffer(memoryview(a)[1::2])
    assert a.tolist() == [-1, 0, 7, 0, 5, 0]
    qv.wipe_buffer(a)
    assert a.tolist() == [0] * 6
    c = ctypes.c_uint64(0x1122334455667788)  # a view of no dimensions: one item
    qv.wipe_buffer(c)
    assert c.value == 0


TWO_D = {
    "columns-step-2": ((slice(None), slice(None, None, 2)), "B"),
    "negative-both": ((slice(None, None, -2), slice(None, None, -3)), "B"),
    "inner-block": ((slice(1, 3), slice(1, 5)), "B"),
    "items-of-2": ((slice(None), slice(1, None, 2)), "H"),
}


@pytest.mark.parametrize("index, fmt", TWO_D.values(), ids=TWO_D.keys())
def test_wipe_two_dimensional_non_contiguous(index, fmt: str) -> None:
    tb = pytest.importorskip("_testbuffer")
    base = tb.ndarray(list(range(1, 25)), shape=[4, 6], format=fmt, flags=tb.ND_WRITABLE)
    rows, cols = range(4)[index[0]], range(6)[index[1]]
    qv.wipe_buffer(base[index])
    expected = [
        [0 if r in rows and c in cols else 6 * r + c + 1 for c in range(6)] for r in range(4)
    ]
    assert base.tolist() == expected


def test_wipe_fortran_order_and_refuses_suboffsets() -> None:
    tb = pytest.importorskip("_testbuffer")
    fortran = tb.ndarray(list(range(1, 13)), shape=[3, 4], flags=tb.ND_WRITABLE | tb.ND_FORTRAN)
    qv.wipe_buffer(fortran)
    assert fortran.tolist() == [[0] * 4] * 3
    pil = tb.ndarray(list(range(1, 13)), shape=[3, 4], flags=tb.ND_WRITABLE | tb.ND_PIL)
    with pytest.raises(BufferError):
        qv.wipe_buffer(pil)
    assert pil.tolist() == [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12]]


def test_wipe_read_only_is_buffer_error_and_unchanged() -> None:
    for obj in (b"secret", memoryview(bytearray(b"secret")).toreadonly(), memoryview(b"secret")):
        with pytest.raises(BufferError):
            qv.wipe_buffer(obj)
        assert bytes(obj) == b"secret"
