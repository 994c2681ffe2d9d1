"""Nothing leaks through the Python layer.

About 200 000 calls of all nine functions, failing ones included, must leave
the process's resident memory where warm-up left it, and must neither keep
nor drop references to the objects passed in.
"""

from __future__ import annotations

import gc
import os
import sys
from collections.abc import Callable

import pytest

import qv
from sanitizer import ASAN

KEY = bytes(range(32))
OTHER_KEY = bytes(32)
PAGE = os.sysconf("SC_PAGE_SIZE")
# Failing key derivation is cheap; a successful one (16 MiB of scrypt work)
# runs only every so many rounds.
KDF_EVERY = 400


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def expect_error(exc: type[BaseException], call: Callable[[], object]) -> None:
    try:
        call()
    except exc:
        return
    raise AssertionError(f"{call} did not raise {exc.__name__}")


class Args:
    """The argument objects whose reference counts are watched."""

    def __init__(self) -> None:
        self.key = bytes(KEY)
        self.bad_key = b"short"
        self.plaintext = "payload \u00e9\u20ac " * 8
        self.key_id = "leak-key"
        self.metadata = {"tenant": "t1", "purpose": 'leak "test"\n', b"raw": b"\xff"}
        self.utf8_metadata = {"tenant": "t1", "note": "caf\u00e9"}
        self.aad = {"env": "prod", b"region": "eu"}
        self.aad_text = "caller data"
        self.bad_aad = [1, 2]
        self.bad_aad_dict = {"a": 5}
        self.context = "leak-context"
        self.salt = b"salt"
        self.password = "correct horse"
        self.buffer = bytearray(b"secret" * 10)
        self.garbage = "qv.v2.AAAA!!!"
        self.non_utf8_token = qv.encrypt(b"\xff\xfe", self.key, b"\xff", True)
        self.rows = [self.plaintext, None, b"raw", bytearray(b"copied")]
        self.row_aads = [self.aad, None, self.aad_text, None]
        self.keys = {self.key_id: self.key}

    def watched(self) -> dict[str, object]:
        return {k: v for k, v in vars(self).items()}


def one_round(a: Args, i: int) -> int:
    """Makes 20 calls (21 with a key derivation) and checks their results."""
    token = qv.encrypt(a.plaintext, a.key, a.key_id, metadata=a.utf8_metadata, aad=a.aad)
    opened = qv.decrypt(token, a.key, aad=a.aad)
    assert opened["data"] == a.plaintext and opened["metadata"] == a.utf8_metadata
    det = qv.encrypt(a.plaintext, a.key, a.key_id, True, a.metadata, a.aad_text)
    assert qv.peek_key_id(det) == a.key_id
    assert qv.decode_token(token)["deterministic"] is False
    assert qv.token_fingerprint(det).startswith(a.key_id + ":")
    assert len(qv.generate_key()) == 32
    assert len(qv.derive_subkey(a.key, a.context, a.salt)) == 32
    a.buffer[:] = b"secret" * 10
    qv.wipe_buffer(a.buffer)

    # The failing paths: every one builds and discards native state.
    expect_error(RuntimeError, lambda: qv.decrypt(token, OTHER_KEY, aad=a.aad))
    expect_error(RuntimeError, lambda: qv.decrypt(token, a.key, aad=a.aad_text))
    expect_error(RuntimeError, lambda: qv.decrypt(a.garbage, a.key))
    expect_error(ValueError, lambda: qv.decrypt(token, a.bad_key))
    expect_error(ValueError, lambda: qv.encrypt(a.plaintext, a.key, a.key_id, aad=a.bad_aad))
    expect_error(RuntimeError, lambda: qv.encrypt(a.plaintext, a.key, a.key_id, aad=a.bad_aad_dict))
    expect_error(TypeError, lambda: qv.encrypt(a.plaintext, a.key, a.key_id, metadata=a.bad_aad))
    # Opens, then fails to hand back the non-UTF-8 plaintext and key id.
    expect_error(UnicodeDecodeError, lambda: qv.decrypt(a.non_utf8_token, a.key))
    expect_error(UnicodeDecodeError, lambda: qv.decode_token(a.non_utf8_token))
    expect_error(ValueError, lambda: qv.derive_key_from_password(a.password, N=1000))
    expect_error(ValueError, lambda: qv.derive_subkey(a.bad_key, a.context))
    # The bulk calls, their row failures and their refused arguments.
    many = qv.encrypt_many(a.rows, a.key, a.key_id, metadata=a.utf8_metadata, aad=a.row_aads)
    assert qv.decrypt_many(many, a.keys, aad=a.row_aads)[2] == "raw"
    assert qv.decrypt_many([*many, a.garbage], a.key, errors="null")[4] is None
    expect_error(RuntimeError, lambda: qv.decrypt_many([token, a.garbage], a.key, aad=a.aad))
    expect_error(RuntimeError, lambda: qv.encrypt_many(a.rows, a.key, a.key_id, aad=a.bad_aad_dict))
    expect_error(ValueError, lambda: qv.encrypt_many(a.rows, a.bad_key, a.key_id))
    calls = 26
    if i % KDF_EVERY == 0:
        derived = qv.derive_key_from_password(a.password, "00ff", N=16384)
        assert len(derived["key"]) == 32
        calls += 1
    return calls


@pytest.mark.slow
def test_mixed_calls_leak_neither_memory_nor_references() -> None:
    a = Args()
    watched = a.watched()
    calls = 0
    for i in range(1000):  # warm-up: caches, free lists, OpenSSL's fetched algorithms
        calls += one_round(a, i)
    gc.collect()
    refs_before = {name: sys.getrefcount(obj) for name, obj in watched.items()}
    rss_before = rss_bytes()

    for i in range(1000, 10000):
        calls += one_round(a, i)

    gc.collect()
    growth = rss_bytes() - rss_before
    refs_after = {name: sys.getrefcount(obj) for name, obj in watched.items()}
    assert calls >= 200_000
    assert refs_after == refs_before
    print(f"\n{calls} calls, resident memory growth after warm-up: {growth} bytes")
    # ASan holds freed blocks in quarantine, so resident memory grows there by
    # design; LeakSanitizer checks the native heap in that run instead.
    if not ASAN:
        assert growth < 2 * 1024 * 1024, f"resident memory grew by {growth} bytes"
