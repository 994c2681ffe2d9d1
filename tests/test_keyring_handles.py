"""A key ring's prepared keys (qv._ring): the same tokens as qv.encrypt, handles
that follow the keys' statuses, keys dropped under running bulk calls, and
fresh nonces in a forked child."""

from __future__ import annotations

import os
import threading

import pytest

import qv
import qv._ring as native_ring

KEY = bytes(range(32))
OTHER = bytes(range(1, 33))

CASES = [
    pytest.param(pt, det, meta, aad, id=f"{pid}-{'det' if det else 'rnd'}-{mid}-{aid}")
    for pid, pt in [("str", "card 4111"), ("bytes", b"\x00\xffraw"), ("bytearray", bytearray(b"b"))]
    for det in (True, False)
    for mid, meta in [("nometa", None), ("meta", {"b": "2", "a": "\u00e9"})]
    for aid, aad in [("noaad", None), ("straad", "tenant=7"), ("dictaad", {"t": "7", "u": "x"})]
]


def ring_of(**keys: bytes) -> qv.Keyring:
    ring = qv.Keyring()
    for key_id, key in keys.items():
        ring.add(key_id, key)
    return ring


@pytest.mark.parametrize(("plaintext", "deterministic", "metadata", "aad"), CASES)
def test_ring_tokens_are_those_of_qv_encrypt(plaintext, deterministic, metadata, aad) -> None:
    ring = ring_of(k1=KEY, k2=OTHER)
    token = ring.encrypt(plaintext, deterministic=deterministic, metadata=metadata, aad=aad)
    reference = qv.encrypt(plaintext, KEY, "k1", deterministic, metadata or {}, aad)
    if deterministic:
        assert token == reference
        assert ring.lookup_tokens(plaintext, metadata=metadata, aad=aad) == [
            reference,
            qv.encrypt(plaintext, OTHER, "k2", True, metadata or {}, aad),
        ]
        assert ring.encrypt_many([plaintext], deterministic=True, metadata=metadata, aad=aad) == [
            reference
        ]
    else:
        assert token != reference
    try:
        expected = qv.decrypt(reference, KEY, aad)
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            ring.decrypt(token, aad=aad)
        return
    assert ring.decrypt(token, aad=aad) == expected
    assert qv.decrypt(token, KEY, aad) == expected
    # Rotation to another primary gives what qv.encrypt gives for the opened value.
    ring.promote("k2")
    rotated = ring.rotate(token, aad=aad)
    assert qv.decrypt(rotated, OTHER, aad) == expected | {"key_id": "k2"}
    if deterministic:
        assert rotated == qv.encrypt(plaintext, OTHER, "k2", True, metadata or {}, aad)
    # The tampered twin: one changed character in the ciphertext does not open.
    last = "A" if token[-2] != "A" else "B"
    with pytest.raises(RuntimeError, match=r"^qv: decryption failed\.$"):
        ring.decrypt(token[:-2] + last + token[-1], aad=aad)


@pytest.mark.parametrize(
    ("change", "held"),
    [
        (lambda r: None, {"k1", "k2"}),
        (lambda r: r.disable("k2"), {"k1"}),
        (lambda r: (r.disable("k2"), r.enable("k2")), {"k1", "k2"}),
        (lambda r: r.destroy("k2"), {"k1"}),
        (lambda r: (r.destroy("k2"), r.remove("k2")), {"k1"}),
        (lambda r: r.generate("k3"), {"k1", "k2", "k3"}),
        (lambda r: r.generate("k3", purpose="indexing"), {"k1", "k2"}),
        (
            lambda r: qv.Keyring.from_bytes(r.to_bytes(wrapping_key=OTHER), wrapping_key=OTHER),
            {"k1", "k2"},
        ),
    ],
    ids=[
        "as-added",
        "disabled",
        "enabled-again",
        "destroyed",
        "removed",
        "generated",
        "index-key",
        "loaded",
    ],
)
def test_the_ring_holds_a_handle_for_each_enabled_key_only(change, held) -> None:
    ring = ring_of(k1=KEY, k2=OTHER)
    changed = change(ring)
    if isinstance(changed, qv.Keyring):  # a ring loaded from the stored form
        ring = changed
    handles = ring.handles()
    assert {k for k in ("k1", "k2", "k3") if native_ring.holds(handles, k)} == held
    assert "k1" not in repr(handles) and KEY.hex()[:8] not in repr(handles)


def test_a_token_under_a_dropped_key_is_refused_after_disable_returns() -> None:
    ring = ring_of(k1=KEY, k2=OTHER)
    ring.promote("k2")
    token = ring.encrypt("x")
    ring.promote("k1")
    ring.disable("k2")
    with pytest.raises(qv.DisabledKeyError):
        ring.decrypt(token)
    assert native_ring.decrypt(ring.handles(), token) is None


def test_bulk_calls_running_while_their_keys_are_destroyed_finish_or_fail_their_rows() -> None:
    # The rows are opened with the interpreter lock released; meanwhile the
    # main thread disables and destroys the keys they need. Each row must come
    # back as its plaintext (the call kept its keys) or as None (it failed),
    # never as anything else, and nothing reads freed memory (run this under
    # `make asan-test` as well).
    values = [f"value {i:05d}" for i in range(4000)]
    rounds = 6
    rings = []
    for _ in range(rounds):
        ring = qv.Keyring()
        ring.generate("keep")
        ring.generate("doomed")
        ring.promote("doomed")
        tokens = ring.encrypt_many(values, threads=2)
        ring.promote("keep")
        rings.append((ring, tokens))
    results: list[list[str | None]] = []
    failures: list[BaseException] = []

    def open_all() -> None:
        try:
            for ring, tokens in rings:
                results.append(ring.decrypt_many(tokens, errors="null", threads=2))
        except BaseException as e:  # pragma: no cover - reported below
            failures.append(e)

    worker = threading.Thread(target=open_all)
    worker.start()
    for ring, _ in rings:
        ring.disable("doomed")
        ring.destroy("doomed")
        del ring
    worker.join()
    assert not failures
    assert len(results) == rounds
    for opened in results:
        assert all(v is None or v == values[i] for i, v in enumerate(opened))
    for ring, tokens in rings:
        assert ring.decrypt_many(tokens[:3], errors="null") == [None] * 3


def test_single_calls_from_threads_share_the_handles() -> None:
    ring = ring_of(k1=KEY)
    errors: list[BaseException] = []

    def work(n: int) -> None:
        try:
            for i in range(300):
                text = f"{n}:{i}"
                assert ring.decrypt(ring.encrypt(text))["data"] == text
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_sealing_under_the_same_ring_draws_its_own_nonces() -> None:
    ring = ring_of(k1=KEY)
    ring.encrypt("warm up")  # the working context exists before the fork
    count = 200
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            with os.fdopen(write_end, "w") as out:
                out.write("\n".join(ring.encrypt("same") for _ in range(count)))
        finally:
            os._exit(0)
    os.close(write_end)
    mine = [ring.encrypt("same") for _ in range(count)]
    with os.fdopen(read_end) as f:
        theirs = f.read().split("\n")
    os.waitpid(pid, 0)
    assert len(theirs) == count
    nonces = {qv.decode_token(t)["nonce"] for t in mine + theirs}  # type: ignore[index]
    assert len(nonces) == 2 * count
    assert all(ring.decrypt(t)["data"] == "same" for t in theirs)
