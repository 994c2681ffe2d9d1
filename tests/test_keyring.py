"""Key rings: management, use by key id, rotation, and the locked stored form."""

from __future__ import annotations

import copy
import hashlib
import json
import os
import pickle
import subprocess
import sys
import threading
import warnings
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

import oracle
import qv
import qv.keyring.document

WRAP = bytes(range(100, 132))
# Cheapest scrypt the native module accepts; save otherwise takes qv's defaults.
FAST_SCRYPT = (2**14, 8, 1)


@pytest.fixture(autouse=True)
def fast_scrypt(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(qv.keyring.document, "_SAVE_SCRYPT", FAST_SCRYPT)


def three_key_ring() -> qv.Keyring:
    """old (disabled), cur (primary), next (enabled), gone (destroyed)."""
    ring = qv.Keyring()
    ring.add("old", bytes(range(32)))
    ring.generate("cur")
    ring.generate("next")
    ring.generate("gone")
    ring.promote("cur")
    ring.disable("old")
    ring.destroy("gone")
    return ring


def state(ring: qv.Keyring) -> tuple[object, ...]:
    return tuple(ring.keys())


# --- management --------------------------------------------------------------


def test_first_enabled_key_is_primary_and_listing_never_shows_material() -> None:
    ring = qv.Keyring()
    first = ring.generate()
    second = ring.generate()
    assert first != second and 1 <= len(first.encode()) <= 16
    ring.add("raw", b"\x07" * 32)
    infos = ring.keys()
    assert [(i.key_id, i.status, i.primary) for i in infos] == [
        (first, "enabled", True),
        (second, "enabled", False),
        ("raw", "enabled", False),
    ]
    assert all(
        i.created.tzinfo is not None and i.created.utcoffset().total_seconds() == 0 for i in infos
    )
    assert "07070707" not in repr(ring) + repr(infos)
    ring.promote("raw")
    assert [i.primary for i in ring.keys()] == [False, False, True]


def test_check_is_hkdf_of_the_key_and_tells_keys_apart() -> None:
    key = bytes(range(32))
    ring = qv.Keyring()
    ring.add("a", key)
    ring.add("b", key[::-1])
    hkdf = HKDF(algorithm=hashes.SHA256(), length=32, salt=None, info=b"qv.v2:keyring-check")
    a, b = ring.keys()
    assert a.check == hkdf.derive(key)[:8].hex()
    assert b.check != a.check and key.hex()[:16] not in (a.check, b.check)


# Tokens naming the ring's disabled, destroyed and missing keys.
OLD_TOKEN = qv.encrypt("x", bytes(range(32)), "old")
GONE_TOKEN = qv.encrypt("x", WRAP, "gone")
NOPE_TOKEN = qv.encrypt("x", WRAP, "nope")
NO_FOLDER = "/nonexistent/ring.json"


def _refusal_cases() -> list[object]:
    def case(id_, call, error, words):
        return pytest.param(call, error, words, id=id_)

    return [
        case("duplicate-id", lambda r: r.generate("cur"), qv.KeyringError, "already"),
        case("duplicate-of-tombstone", lambda r: r.add("gone", WRAP), qv.KeyringError, "already"),
        case("key-31-bytes", lambda r: r.add("k", bytes(31)), qv.KeyringError, "32 bytes"),
        case("key-33-bytes", lambda r: r.add("k", bytes(33)), qv.KeyringError, "32 bytes"),
        case("id-empty", lambda r: r.generate(""), qv.KeyringError, "1-255"),
        case("id-256-bytes", lambda r: r.generate("\u00e9" * 128), qv.KeyringError, "1-255"),
        case("id-with-nul", lambda r: r.add("a\0b", WRAP), qv.KeyringError, "NUL"),
        case("id-lone-surrogate", lambda r: r.generate("\ud800"), qv.KeyringError, "UTF-8"),
        case("disable-primary", lambda r: r.disable("cur"), qv.KeyringError, "primary"),
        case("destroy-primary", lambda r: r.destroy("cur"), qv.KeyringError, "primary"),
        case("promote-disabled", lambda r: r.promote("old"), qv.DisabledKeyError, "disabled"),
        case("promote-destroyed", lambda r: r.promote("gone"), qv.DestroyedKeyError, "destroyed"),
        case("enable-destroyed", lambda r: r.enable("gone"), qv.DestroyedKeyError, "destroyed"),
        case("disable-destroyed", lambda r: r.disable("gone"), qv.DestroyedKeyError, "destroyed"),
        case("remove-live-key", lambda r: r.remove("next"), qv.KeyringError, "destroy it"),
        case("promote-unknown", lambda r: r.promote("nope"), qv.UnknownKeyIdError, "unknown"),
        case("destroy-unknown", lambda r: r.destroy("nope"), qv.UnknownKeyIdError, "unknown"),
        case("remove-unknown", lambda r: r.remove("nope"), qv.UnknownKeyIdError, "unknown"),
        case("decrypt-disabled", lambda r: r.decrypt(OLD_TOKEN), qv.DisabledKeyError, "disabled"),
        case(
            "decrypt-destroyed", lambda r: r.decrypt(GONE_TOKEN), qv.DestroyedKeyError, "destroyed"
        ),
        case("decrypt-unknown", lambda r: r.decrypt(NOPE_TOKEN), qv.UnknownKeyIdError, "unknown"),
        case("rotate-disabled", lambda r: r.rotate(OLD_TOKEN), qv.DisabledKeyError, "disabled"),
        case(
            "needs-rotation-unknown",
            lambda r: r.needs_rotation(NOPE_TOKEN),
            qv.UnknownKeyIdError,
            "unknown",
        ),
        case(
            "needs-rotation-garbage",
            lambda r: r.needs_rotation("qv.v2.AAAA"),
            RuntimeError,
            "decryption failed",
        ),
        case(
            "save-no-folder",
            lambda r: r.save(NO_FOLDER, wrapping_key=WRAP),
            qv.KeyringError,
            "cannot save",
        ),
        case(
            "wrap-key-31", lambda r: r.to_bytes(wrapping_key=WRAP[1:]), qv.KeyringError, "32 bytes"
        ),
        case("empty-passphrase", lambda r: r.to_bytes(passphrase=""), qv.KeyringError, "empty"),
        case(
            "both-secrets",
            lambda r: r.to_bytes(passphrase="p", wrapping_key=WRAP),
            TypeError,
            "one",
        ),
    ]


@pytest.mark.parametrize(("call", "error", "words"), _refusal_cases())
def test_refused_calls_name_the_fault_and_change_nothing(call, error, words) -> None:
    ring = three_key_ring()
    token = ring.encrypt("kept")
    before = state(ring)
    with pytest.raises(error) as caught:
        call(ring)
    message = str(caught.value)
    assert words in message and (error is TypeError or message.startswith("qv: "))
    if isinstance(caught.value, qv.keyring._KeyIdError):
        assert repr(caught.value.key_id) in message
    assert state(ring) == before
    assert ring.decrypt(token)["data"] == "kept"


def test_destroy_wipes_the_material_and_keeps_a_tombstone() -> None:
    ring = three_key_ring()
    material = ring._entries["next"].material
    assert material is not None and any(material)
    ring.destroy("next")
    assert material == bytes(32)
    assert [(i.key_id, i.status) for i in ring.keys()][-2:] == [
        ("next", "destroyed"),
        ("gone", "destroyed"),
    ]
    ring.remove("next")
    assert "next" not in [i.key_id for i in ring.keys()]


def test_a_ring_cannot_be_copied_or_pickled() -> None:
    ring = three_key_ring()
    for attempt in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError, match="to_bytes"):
            attempt(ring)


# --- use -----------------------------------------------------------------------


def test_tokens_open_by_their_key_id_only() -> None:
    ring = three_key_ring()
    nxt = ring._key_for("next")
    token = ring.encrypt("secret", metadata={"m": "1"}, aad={"row": "7"})
    # Sealed independently under the primary's key: the ring names its key.
    assert oracle.open_token(token, ring._key_for("cur"), aad={"row": "7"})["key_id"] == b"cur"
    assert ring.decrypt(token, aad="row=7")["data"] == "secret"
    # A token naming "next" but sealed under "cur" must not open: no trial of other keys.
    cur_under_next = oracle.seal("x", ring._key_for("cur"), "next")
    for bad in (cur_under_next, token[:-3], "garbage", oracle.seal("x", nxt, b"\xff")):
        with pytest.raises(RuntimeError, match=r"^qv: decryption failed\.$"):
            ring.decrypt(bad)
    with pytest.raises(RuntimeError, match=r"^qv: decryption failed\.$"):
        ring.decrypt(token, aad={"row": "8"})


def test_empty_ring_refuses_to_encrypt_and_still_saves() -> None:
    ring = qv.Keyring()
    with pytest.raises(qv.KeyringError, match="no enabled key"):
        ring.encrypt("x")
    assert ring.lookup_tokens("x") == []
    data = ring.to_bytes(wrapping_key=WRAP)
    assert qv.Keyring.from_bytes(data, wrapping_key=WRAP).keys() == []
    with pytest.raises(qv.KeyringError, match="wrapping key, not a passphrase"):
        qv.Keyring.from_bytes(data, passphrase="pw")


@pytest.mark.parametrize("deterministic", [False, True], ids=["random", "deterministic"])
def test_rotate_keeps_plaintext_metadata_and_mode(deterministic: bool) -> None:
    ring = three_key_ring()
    token = ring.encrypt("v\u20ac", deterministic=deterministic, metadata={"t": "9"}, aad="ctx")
    assert ring.needs_rotation(token) is False
    assert ring.rotate(token, aad="ctx") == token
    ring.promote("next")
    assert ring.needs_rotation(token) is True
    rotated = ring.rotate(token, aad="ctx")
    opened = oracle.open_token(rotated, ring._key_for("next"), aad="ctx")
    assert (opened["data"], opened["metadata"], opened["key_id"], opened["deterministic"]) == (
        "v\u20ac".encode(),
        {b"t": b"9"},
        b"next",
        deterministic,
    )
    if deterministic:
        assert rotated == ring.lookup_tokens("v\u20ac", metadata={"t": "9"}, aad="ctx")[0]
    with pytest.raises(RuntimeError, match="decryption failed"):
        ring.rotate(token, aad="other")
    # A tampered token under the primary is not handed back as if it were fine.
    with pytest.raises(RuntimeError, match="decryption failed"):
        ring.rotate(rotated[:-2] + ("A" if rotated[-2] != "A" else "B") + rotated[-1])


def test_lookup_tokens_cover_enabled_keys_primary_first() -> None:
    ring = three_key_ring()
    ring.promote("next")
    tokens = ring.lookup_tokens("alice@example.com", metadata={"col": "email"})
    expected = [
        oracle.seal("alice@example.com", ring._key_for(k), k, True, {"col": "email"})
        for k in ("next", "cur")
    ]
    assert tokens == expected


def test_rotating_ten_thousand_tokens_to_a_new_primary() -> None:
    ring = qv.Keyring()
    ring.generate("2025")
    tokens = [ring.encrypt(f"record {i}", deterministic=i % 2 == 0) for i in range(10_000)]
    ring.generate("2026")
    ring.promote("2026")
    rotated = [ring.rotate(t) if ring.needs_rotation(t) else t for t in tokens]
    ring.disable("2025")
    assert [qv.peek_key_id(t) for t in rotated] == ["2026"] * 10_000
    assert [ring.decrypt(t)["data"] for t in rotated] == [f"record {i}" for i in range(10_000)]


def test_threads_never_see_a_half_made_change() -> None:
    ring = qv.Keyring()
    ring.generate("k0")
    errors: list[BaseException] = []
    stop = threading.Event()

    def use() -> None:
        try:
            while not stop.is_set():
                token = ring.encrypt("t")
                try:
                    assert ring.decrypt(token)["data"] == "t"
                except qv.DisabledKeyError:
                    # Sealed under a key another thread disabled a moment later.
                    pass
                # One primary, always enabled; one lookup token per enabled key.
                assert [i.status for i in ring.keys() if i.primary] == ["enabled"]
                ids = [qv.peek_key_id(t) for t in ring.lookup_tokens("t")]
                assert 1 <= len(ids) == len(set(ids)) <= 4
        except BaseException as e:
            errors.append(e)

    workers = [threading.Thread(target=use) for _ in range(4)]
    for w in workers:
        w.start()
    for n in range(1, 200):
        ring.generate(f"k{n}")
        ring.promote(f"k{n}")
        if n >= 3:
            ring.disable(f"k{n - 3}")
    stop.set()
    for w in workers:
        w.join()
    assert errors == []


# --- stored form ---------------------------------------------------------------


@pytest.mark.parametrize(
    "secret",
    [{"passphrase": "correct horse"}, {"passphrase": b"\xffraw"}, {"wrapping_key": WRAP}],
    ids=["passphrase-str", "passphrase-bytes", "wrapping-key"],
)
def test_round_trip_keeps_every_key_and_status(secret: dict[str, object]) -> None:
    ring = three_key_ring()
    tokens = {k: qv.encrypt("x", ring._key_for(k), k) for k in ("cur", "next")}
    data = ring.to_bytes(**secret)
    loaded = qv.Keyring.from_bytes(data, **secret)
    assert state(loaded) == state(ring) == tuple(qv.Keyring.describe(data))
    assert all(loaded.decrypt(t)["key_id"] == k for k, t in tokens.items())
    loaded.enable("old")
    assert loaded._key_for("old") == bytes(range(32))


def test_sealed_part_opens_with_an_independent_reader() -> None:
    ring = three_key_ring()
    doc = json.loads(ring.to_bytes(passphrase="pw"))
    kdf = doc["kdf"]
    wrap = hashlib.scrypt(
        b"pw", salt=bytes.fromhex(kdf["salt_hex"]), n=kdf["N"], r=kdf["r"], p=kdf["p"], dklen=32
    )
    readable = {k: doc[k] for k in ("format", "version", "kdf", "primary", "keys")}
    aad = json.dumps(readable, sort_keys=True, separators=(",", ":"))
    sealed = json.loads(oracle.open_token(doc["sealed"], wrap, aad=aad)["data"])
    assert sorted(sealed) == ["cur", "next", "old"]
    assert bytes.fromhex(sealed["old"]) == bytes(range(32))
    assert bytes.fromhex(sealed["cur"]) == ring._key_for("cur")


def _edit(doc: dict, change) -> bytes:
    change(doc)
    return json.dumps(doc).encode()


def _flip_sealed(doc: dict) -> None:
    s = doc["sealed"]
    doc["sealed"] = s[:40] + ("A" if s[40] != "A" else "B") + s[41:]


def _swap_ids(doc: dict) -> None:
    a, b = doc["keys"][1], doc["keys"][2]
    a["key_id"], b["key_id"] = b["key_id"], a["key_id"]


LOAD_FAULTS = [
    pytest.param(
        lambda d: None, {"passphrase": "wrong"}, "wrong passphrase", id="wrong-passphrase"
    ),
    pytest.param(
        lambda d: None,
        {"wrapping_key": WRAP},
        "passphrase, not a wrapping key",
        id="wrapping-key-for-passphrase-ring",
    ),
    pytest.param(_flip_sealed, {}, "altered", id="flipped-byte-in-sealed"),
    pytest.param(
        lambda d: d["keys"][2].update(status="disabled"), {}, "altered", id="status-flipped"
    ),
    pytest.param(
        lambda d: d["keys"][1].update(status="disabled"),
        {},
        "primary 'cur' is not",
        id="primary-disabled",
    ),
    pytest.param(
        lambda d: d["keys"][0].update(status="enabled"), {}, "altered", id="disabled-key-enabled"
    ),
    pytest.param(lambda d: d.update(primary="next"), {}, "altered", id="primary-moved"),
    pytest.param(_swap_ids, {}, "altered", id="key-ids-swapped"),
    pytest.param(
        lambda d: d["keys"][1].update(created="2001-01-01T00:00:00Z"),
        {},
        "altered",
        id="created-edited",
    ),
    pytest.param(lambda d: d["keys"].pop(3), {}, "altered", id="tombstone-dropped"),
    pytest.param(lambda d: d.update(version=3), {}, "version 3 is not supported", id="version-3"),
    pytest.param(lambda d: d.update(format="other"), {}, "not a key ring", id="other-format"),
    pytest.param(lambda d: d.update(extra=1), {}, "unknown members", id="unknown-member"),
    pytest.param(
        lambda d: d["kdf"].update(N=2**21),
        {},
        "outside the accepted range",
        id="scrypt-N-above-cap",
    ),
    pytest.param(
        lambda d: d["kdf"].update(r=33), {}, "outside the accepted range", id="scrypt-r-above-cap"
    ),
    pytest.param(
        lambda d: d["kdf"].update(p=17), {}, "outside the accepted range", id="scrypt-p-above-cap"
    ),
    pytest.param(
        lambda d: d["kdf"].update(N=2**20, r=8), {}, "256 MiB", id="scrypt-memory-above-cap"
    ),
    pytest.param(
        lambda d: d["kdf"].update(N=20000),
        {},
        "outside the accepted range",
        id="scrypt-N-not-power-of-2",
    ),
    pytest.param(lambda d: d["kdf"].update(N=True), {}, "integers", id="scrypt-N-bool"),
]


@pytest.mark.parametrize(("change", "secret", "words"), LOAD_FAULTS)
def test_load_refuses_altered_or_hostile_documents(monkeypatch, change, secret, words) -> None:
    data = three_key_ring().to_bytes(passphrase="pw")
    edited = _edit(json.loads(data), change)
    derived: list[object] = []
    real = qv.keyring.document._derive_key_from_password
    monkeypatch.setattr(
        qv.keyring.document, "_derive_key_from_password", lambda *a: derived.append(a) or real(*a)
    )
    with pytest.raises(qv.KeyringError, match=words) as caught:
        qv.Keyring.from_bytes(edited, **(secret or {"passphrase": "pw"}))
    assert str(caught.value).startswith("qv: ")
    if words in ("outside the accepted range", "256 MiB", "integers"):
        assert derived == []  # refused before any scrypt work


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\xff\xfe",
        b"[]",
        b"{",
        b'{"format":"qv.keyring","format":"qv.keyring"}',
        b'{"format":"qv.keyring","version":' + b"9" * 5000 + b"}",
    ],
    ids=["empty", "not-utf8", "array", "truncated-json", "repeated-member", "huge-integer"],
)
def test_load_refuses_what_is_not_a_ring(data: bytes) -> None:
    with pytest.raises(qv.KeyringError, match=r"^qv: "):
        qv.Keyring.from_bytes(data, wrapping_key=WRAP)


def test_truncated_file_is_refused_at_every_length() -> None:
    data = three_key_ring().to_bytes(wrapping_key=WRAP)
    for cut in range(0, len(data) - 2, 7):
        with pytest.raises(qv.KeyringError):
            qv.Keyring.from_bytes(data[:cut], wrapping_key=WRAP)


def test_save_is_0600_atomic_and_leaves_the_old_file_on_failure(
    tmp_path: Path, monkeypatch
) -> None:
    path = tmp_path / "ring.json"
    ring = three_key_ring()
    ring.save(path, wrapping_key=WRAP)
    assert os.stat(path).st_mode & 0o777 == 0o600
    old = path.read_bytes()
    ring.generate("newer")

    def fail(*args: object) -> None:
        raise OSError(28, "No space left on device")

    with monkeypatch.context() as m:
        m.setattr(os, "fsync", fail)
        with pytest.raises(qv.KeyringError, match="No space left"):
            ring.save(path, wrapping_key=WRAP)
    assert path.read_bytes() == old and os.listdir(tmp_path) == ["ring.json"]
    ring.save(str(path), passphrase="pw")
    assert "newer" in [i.key_id for i in qv.Keyring.load(path, passphrase="pw").keys()]
    assert os.listdir(tmp_path) == ["ring.json"]


def test_loading_a_file_others_can_read_works_but_warns(tmp_path: Path) -> None:
    path = tmp_path / "ring.json"
    three_key_ring().save(path, wrapping_key=WRAP)
    os.chmod(path, 0o644)
    with pytest.warns(UserWarning, match="other users"):
        ring = qv.Keyring.load(path, wrapping_key=WRAP)
    with pytest.warns(UserWarning, match="other users"):
        listed = qv.Keyring.describe(path)
    assert listed == ring.keys() == qv.Keyring.describe(path.read_bytes())
    # Under Python's default filter, loading the same file again says nothing new.
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("default")
        for _ in range(3):
            qv.Keyring.load(path, wrapping_key=WRAP)
    assert len(seen) == 1


FRESH_PROCESS = """
import json, sys, qv
ring = qv.Keyring.load(sys.argv[1], passphrase="pw")
print(json.dumps([ring.decrypt(t)["data"] for t in json.loads(sys.argv[2])]))
"""


def test_saved_ring_opens_earlier_tokens_in_a_fresh_process(tmp_path: Path) -> None:
    ring = qv.Keyring()
    tokens = []
    for n in range(3):
        ring.generate(f"k{n}")
        ring.promote(f"k{n}")
        tokens.append(ring.encrypt(f"made under k{n}", deterministic=n == 1))
    path = tmp_path / "ring.json"
    ring.save(path, passphrase="pw")
    out = subprocess.run(
        [sys.executable, "-c", FRESH_PROCESS, str(path), json.dumps(tokens)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    assert json.loads(out) == [f"made under k{n}" for n in range(3)]
