"""Key rings over many values: each row as the ring's single-value call treats it."""

from __future__ import annotations

import pytest

import qv

KEYS = {"old": bytes(range(32)), "cur": bytes(range(1, 33)), "next": bytes(range(2, 34))}


def ring_with_statuses() -> tuple[qv.Keyring, dict[str, str]]:
    """old (disabled), cur (primary), next (enabled), gone (destroyed), and one token each."""
    ring = qv.Keyring()
    tokens = {}
    for key_id, key in KEYS.items():
        ring.add(key_id, key)
        tokens[key_id] = qv.encrypt(f"under {key_id}", key, key_id, metadata={"by": key_id})
    ring.generate("gone")
    ring.promote("gone")
    tokens["gone"] = ring.encrypt("under gone", deterministic=True)
    ring.promote("cur")
    ring.disable("old")
    ring.destroy("gone")
    tokens["unknown"] = qv.encrypt("under nobody", KEYS["cur"], "unknown")
    return ring, tokens


@pytest.mark.parametrize(
    ("key_id", "error"),
    [
        ("old", qv.DisabledKeyError),
        ("gone", qv.DestroyedKeyError),
        ("unknown", qv.UnknownKeyIdError),
    ],
    ids=["disabled", "destroyed", "unknown"],
)
@pytest.mark.parametrize("method", ["decrypt_many", "rotate_many"])
def test_rows_under_keys_the_ring_cannot_use_fail_as_single_calls_do(method, key_id, error):
    ring, tokens = ring_with_statuses()
    rows = [tokens["cur"], None, tokens[key_id], tokens["next"]]
    with pytest.raises(error) as info:
        ring.decrypt(tokens[key_id])
    single_message = str(info.value)
    with pytest.raises(error) as info:
        getattr(ring, method)(rows)
    assert str(info.value) == single_message
    assert info.value.__notes__ == ["row 2"]
    got = getattr(ring, method)(rows, errors="null")
    assert got[1] is None and got[2] is None
    assert got[0] is not None and got[3] is not None


def test_decrypt_many_opens_each_row_with_its_own_key():
    ring, tokens = ring_with_statuses()
    rows = [tokens["next"], tokens["cur"], tokens["next"].encode()]
    assert ring.decrypt_many(rows) == ["under next", "under cur", "under next"]
    # A token that opens under no key fails as decrypt fails it.
    bad = tokens["cur"][:-3] + "AAA"
    with pytest.raises(RuntimeError, match=r"qv: decryption failed\.") as info:
        ring.decrypt_many([tokens["cur"], bad])
    assert info.value.__notes__ == ["row 1"]


def test_rotate_many_keeps_plaintext_metadata_mode_and_aad():
    ring, tokens = ring_with_statuses()
    rows = [
        tokens["next"],
        tokens["cur"],
        qv.encrypt("det", KEYS["next"], "next", True, {"m": "1"}, {"t": "9"}),
        qv.encrypt("det", KEYS["next"], "next", True, {"m": "1"}, "other"),
    ]
    aad = [None, None, {"t": "9"}, "other"]
    rotated = ring.rotate_many(rows, aad=aad)
    assert rotated[1] == rows[1]  # already under the primary: unchanged
    assert {qv.peek_key_id(t) for t in rotated} == {"cur"}
    assert [ring.decrypt(t, aad=a) for t, a in zip(rotated, aad, strict=True)] == [
        ring.decrypt(t, aad=a) | {"key_id": "cur"} for t, a in zip(rows, aad, strict=True)
    ]
    # Deterministic rows become the primary's deterministic tokens.
    assert rotated[2] == qv.encrypt("det", KEYS["cur"], "cur", True, {"m": "1"}, {"t": "9"})
    assert rotated[3] == ring.rotate(rows[3], aad="other")


def test_encrypt_many_seals_under_the_primary():
    ring, _ = ring_with_statuses()
    tokens = ring.encrypt_many(["a", None, b"b"], deterministic=True, metadata={"x": "y"})
    assert tokens == [
        qv.encrypt("a", KEYS["cur"], "cur", True, {"x": "y"}),
        None,
        qv.encrypt(b"b", KEYS["cur"], "cur", True, {"x": "y"}),
    ]
    assert qv.Keyring().decrypt_many([]) == []
    with pytest.raises(qv.KeyringError):
        qv.Keyring().encrypt_many(["a"])


def _arrow():
    return pytest.importorskip("qv.arrow"), pytest.importorskip("pyarrow")


ROW_FAILURES = {
    "decrypt_many": lambda ring, t: qv.decrypt_many([t["cur"], "qv.bad"], KEYS["cur"]),
    "encrypt_many": lambda ring, t: qv.encrypt_many(["a", b""], KEYS["cur"], "cur"),
    "ring-unknown-key": lambda ring, t: ring.decrypt_many([t["cur"], t["unknown"]]),
    "ring-rotate-tampered": lambda ring, t: ring.rotate_many([t["cur"], t["next"][:-3] + "AAA"]),
    "arrow-decrypt": lambda ring, t: _arrow()[0].decrypt(
        _arrow()[1].array([t["cur"], t["old"]]), ring
    ),
    "arrow-encrypt": lambda ring, t: _arrow()[0].encrypt(_arrow()[1].array(["a", ""]), ring),
}


@pytest.mark.parametrize("call", ROW_FAILURES.values(), ids=ROW_FAILURES.keys())
def test_the_failing_row_travels_as_an_attribute_and_a_note(call):
    ring, tokens = ring_with_statuses()
    with pytest.raises((ValueError, RuntimeError)) as info:
        call(ring, tokens)
    assert info.value.row == 1 and info.value.__notes__ == ["row 1"]
