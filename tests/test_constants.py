"""qv._constants against the native module that enforces the same sizes and limits."""

from __future__ import annotations

import pytest

import qv
from qv._constants import (
    KEY_SIZE,
    SCRYPT_DEFAULTS,
    SCRYPT_MAX_MEMORY,
    SCRYPT_MIN_N,
    scrypt_memory,
)


@pytest.mark.parametrize("size", [KEY_SIZE - 1, KEY_SIZE, KEY_SIZE + 1])
def test_key_size_is_the_native_key_size(size: int) -> None:
    assert len(qv.generate_key()) == KEY_SIZE
    if size == KEY_SIZE:
        assert qv.decrypt(qv.encrypt("x", bytes(size), "k"), bytes(size))["data"] == "x"
    else:
        with pytest.raises(ValueError, match="32 bytes"):
            qv.encrypt("x", bytes(size), "k")


@pytest.mark.parametrize(
    ("settings", "accepted"),
    [
        pytest.param((SCRYPT_MIN_N, 1, 1), True, id="N-at-floor"),
        pytest.param((SCRYPT_MIN_N // 2, 1, 1), False, id="N-below-floor"),
        # 128 r N is exactly the cap in these three: the overhead tips them over.
        pytest.param((2**14, 128, 1), False, id="r-overhead-over-cap"),
        pytest.param((2**19, 4, 1), False, id="N-overhead-over-cap"),
        pytest.param((2**20, 2, 1), False, id="issue-case-over-cap"),
        pytest.param((2**14, 127, 1), True, id="memory-just-under-cap", marks=pytest.mark.slow),
    ],
)
def test_scrypt_floor_and_memory_cap_match_the_native_refusals(settings, accepted) -> None:
    n, r, p = settings
    assert (n >= SCRYPT_MIN_N and scrypt_memory(n, r, p) <= SCRYPT_MAX_MEMORY) is accepted
    if accepted:
        assert len(qv.derive_key_from_password("pw", "00ff", n, r, p)["key"]) == KEY_SIZE
    else:
        with pytest.raises((ValueError, RuntimeError)):
            qv.derive_key_from_password("pw", "00ff", n, r, p)


@pytest.mark.slow
def test_scrypt_defaults_are_the_native_defaults() -> None:
    derived = qv.derive_key_from_password("pw", "00ff")
    assert derived == qv.derive_key_from_password("pw", "00ff", *SCRYPT_DEFAULTS)
