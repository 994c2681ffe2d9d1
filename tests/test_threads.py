"""Eight threads calling the library at once get the results one thread gets."""

from __future__ import annotations

import sys
import threading
import time

from cryptography.hazmat.primitives.kdf.scrypt import Scrypt

import oracle
import qv

THREADS = 8
SECONDS = 3.0
KEY = bytes(range(32))
OTHER_KEY = bytes(32)
MASTER = bytes(range(32, 64))


def worker(
    n: int, expected: dict[str, object], stop_at: float, errors: list[str], counts: list[int]
) -> None:
    key_id = f"thread-{n}"
    metadata = {"thread": str(n), "q": '"\\\n'}
    det_token = expected[f"det-{n}"]
    calls = 0
    try:
        while time.monotonic() < stop_at:
            plaintext = f"message {n} {calls} \u20ac"
            token = qv.encrypt(plaintext, KEY, key_id, metadata=metadata, aad={"n": str(n)})
            opened = qv.decrypt(token, KEY, aad={"n": str(n)})
            assert opened == {
                "data": plaintext,
                "metadata": metadata,
                "key_id": key_id,
                "deterministic": False,
            }, opened
            assert qv.encrypt(f"fixed {n}", KEY, key_id, True, metadata) == det_token
            assert qv.peek_key_id(det_token) == key_id
            fp = qv.token_fingerprint(token)
            assert fp == key_id + ":" + qv.decode_token(token)["nonce"].hex()
            assert qv.derive_subkey(MASTER, key_id) == expected[f"subkey-{n}"]
            key = qv.generate_key()
            assert len(key) == 32 and key != KEY
            buf = bytearray(plaintext, "utf-8")
            qv.wipe_buffer(buf)
            assert buf == bytes(len(buf))
            try:
                qv.decrypt(token, OTHER_KEY)
            except RuntimeError as e:
                assert str(e) == "qv: decryption failed."
            else:
                raise AssertionError("opened under the wrong key")
            assert qv.decode_token(token[:-3] + "!!!") is None
            calls += 10
        if n == 0:
            derived = qv.derive_key_from_password("pw", "00ff", N=16384)
            assert derived["key"] == expected["kdf"]
            calls += 1
    except BaseException as e:  # reported by the main thread
        errors.append(f"thread {n}: {type(e).__name__}: {e}")
    counts[n] = calls


def test_eight_threads_making_mixed_calls_all_get_correct_results() -> None:
    # Deterministic tokens from the oracle, the scrypt key from cryptography,
    # subkeys from a single-threaded run before the threads start.
    expected: dict[str, object] = {
        "kdf": Scrypt(salt=b"\x00\xff", length=32, n=16384, r=8, p=1).derive(b"pw")
    }
    for n in range(THREADS):
        expected[f"det-{n}"] = oracle.seal(
            f"fixed {n}",
            KEY,
            f"thread-{n}",
            deterministic=True,
            metadata={"thread": str(n), "q": '"\\\n'},
        )
        expected[f"subkey-{n}"] = qv.derive_subkey(MASTER, f"thread-{n}")

    errors: list[str] = []
    counts = [0] * THREADS
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the interpreter lock over as often as possible
    try:
        stop_at = time.monotonic() + SECONDS
        threads = [
            threading.Thread(target=worker, args=(n, expected, stop_at, errors, counts))
            for n in range(THREADS)
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old_interval)

    assert errors == []
    assert all(c > 0 for c in counts), counts
