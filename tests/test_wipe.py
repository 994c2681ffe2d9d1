"""generate_key and wipe_buffer."""

from __future__ import annotations

import array
import ctypes

import pytest

import qv


def test_generate_key_gives_distinct_32_byte_keys() -> None:
    keys = {qv.generate_key() for _ in range(16)}
    assert len(keys) == 16
    assert all(type(k) is bytes and len(k) == 32 for k in keys)


def _filled(n: int) -> bytearray:
    return bytearray(range(1, n + 1))


# Each case: (backing store, view handed to wipe_buffer, byte offsets the view covers).
def _cases():
    b = _filled(6)
    yield "bytearray", b, b, range(6)
    b = bytearray()
    yield "empty-bytearray", b, b, range(0)
    b = _filled(10)
    yield "memoryview", b, memoryview(b), range(10)
    b = _filled(10)
    yield "contiguous-slice", b, memoryview(b)[2:5], range(2, 5)
    b = _filled(10)
    yield "empty-slice", b, memoryview(b)[4:4], range(0)
    b = _filled(10)
    yield "step-2", b, memoryview(b)[::2], range(0, 10, 2)
    b = _filled(10)
    yield "step-3-offset", b, memoryview(b)[1::3], range(1, 10, 3)
    b = _filled(10)
    yield "reversed", b, memoryview(b)[::-1], range(10)
    b = _filled(10)
    yield "reversed-step-2", b, memoryview(b)[8:1:-2], range(8, 1, -2)
    b = _filled(24)
    yield "2d-contiguous", b, memoryview(b).cast("B", (4, 6)), range(24)
    b = _filled(24)
    yield "items-of-4-strided", b, memoryview(b).cast("I")[::2], [
        i for i in range(24) if (i // 4) % 2 == 0
    ]


@pytest.mark.parametrize("store, view, covered", [c[1:] for c in _cases()],
                         ids=[c[0] for c in _cases()])
def test_wipe_zeroes_exactly_the_items(store: bytearray, view, covered) -> None:
    before = bytes(store)
    assert qv.wipe_buffer(view) is None
    covered = set(covered)
    expected = bytes(0 if i in covered else v for i, v in enumerate(before))
    assert bytes(store) == expected
    assert len(store) == len(before)


def test_wipe_array_of_ints() -> None:
    a = array.array("i", [-1, 123456789, 7])
    qv.wipe_buffer(a)
    assert a.tolist() == [0, 0, 0]
    a = array.array("i", [1, 2, 3, 4, 5, 6])
    qv.wipe_buffer(memoryview(a)[1::2])
    assert a.tolist() == [1, 0, 3, 0, 5, 0]


def test_wipe_ctypes_scalar_and_array() -> None:
    # A scalar exports a view of no dimensions: one item.
    c = ctypes.c_uint64(0x1122334455667788)
    qv.wipe_buffer(c)
    assert c.value == 0
    arr = (ctypes.c_uint16 * 3)(1, 2, 3)
    qv.wipe_buffer(arr)
    assert list(arr) == [0, 0, 0]


def _testbuffer():
    return pytest.importorskip("_testbuffer", reason="CPython's _testbuffer is not built")


@pytest.mark.parametrize(
    "index, fmt",
    [
        ((slice(None), slice(None, None, 2)), "B"),
        ((slice(None, None, -2), slice(None, None, -3)), "B"),
        ((slice(1, 3), slice(1, 5)), "B"),
        ((slice(None), slice(1, None, 2)), "H"),
    ],
    ids=["columns-step-2", "negative-both", "inner-block", "items-of-2"],
)
def test_wipe_two_dimensional_non_contiguous(index, fmt: str) -> None:
    tb = _testbuffer()
    base = tb.ndarray(list(range(1, 25)), shape=[4, 6], format=fmt, flags=tb.ND_WRITABLE)
    view = base[index]
    rows, cols = range(4)[index[0]], range(6)[index[1]]
    qv.wipe_buffer(view)
    expected = [[0 if (r in rows and c in cols) else 6 * r + c + 1 for c in range(6)]
                for r in range(4)]
    assert base.tolist() == expected


def test_wipe_fortran_order_view() -> None:
    tb = _testbuffer()
    base = tb.ndarray(list(range(1, 13)), shape=[3, 4], format="B",
                      flags=tb.ND_WRITABLE | tb.ND_FORTRAN)
    qv.wipe_buffer(base)
    assert base.tolist() == [[0] * 4] * 3


@pytest.mark.parametrize(
    "make",
    [lambda: b"secret", lambda: memoryview(bytearray(b"secret")).toreadonly(),
     lambda: memoryview(b"secret")],
    ids=["bytes", "readonly-memoryview", "memoryview-of-bytes"],
)
def test_wipe_read_only_is_buffer_error_and_unchanged(make) -> None:
    obj = make()
    with pytest.raises(BufferError):
        qv.wipe_buffer(obj)
    assert bytes(obj) == b"secret"


@pytest.mark.parametrize("obj", ["secret", 5, None, [1, 2]], ids=["str", "int", "None", "list"])
def test_wipe_non_buffer_is_type_error(obj) -> None:
    with pytest.raises(TypeError):
        qv.wipe_buffer(obj)


def test_wipe_refuses_a_buffer_that_needs_suboffsets() -> None:
    tb = _testbuffer()
    base = tb.ndarray(list(range(1, 13)), shape=[3, 4], format="B",
                      flags=tb.ND_WRITABLE | tb.ND_PIL)
    with pytest.raises(BufferError):
        qv.wipe_buffer(base)
    assert base.tolist() == [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12]]
