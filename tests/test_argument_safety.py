"""Arguments stay valid while later arguments are converted.

Converting `deterministic` or `metadata` can run Python code; a bytearray
given for an earlier parameter may be resized by it, and the call must still
use the bytes it was given.
"""

from collections.abc import Mapping

import pytest

import qv

KEY = bytes(range(32))


class Shrinking(Mapping):
    """A mapping whose items() empties the bytearray it was given."""

    def __init__(self, victim: bytearray) -> None:
        self.victim = victim

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self) -> int:
        return 0

    def items(self):
        self.victim[:] = b""
        return []


@pytest.mark.parametrize("field", ["plaintext", "key_id"])
def test_bytearray_resized_by_a_later_conversion_is_used_as_given(field):
    plaintext = bytearray(b"p" * 4096)
    key_id = bytearray(b"k" * 200)
    victim = plaintext if field == "plaintext" else key_id
    token = qv.encrypt(plaintext, KEY, key_id, True, Shrinking(victim))
    expected = qv.encrypt(b"p" * 4096, KEY, b"k" * 200, True)
    assert token == expected
