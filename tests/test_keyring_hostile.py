"""Key rings against hostile documents, paths and error trackers: the smallest case of each."""

from __future__ import annotations

import json
import os
import traceback
from pathlib import Path

import pytest

import qv
import qv.keyring.document
from qv._native import derive_key_from_password

FAST_SCRYPT = (2**14, 8, 1)


@pytest.fixture(autouse=True)
def fast_scrypt(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(qv.keyring.document, "_SAVE_SCRYPT", FAST_SCRYPT)


def ring_document(settings: tuple[int, int, int]) -> bytes:
    """A ring locked with passphrase "pw", its kdf settings then set to `settings`."""
    ring = qv.Keyring()
    ring.generate("k")
    doc = json.loads(ring.to_bytes(passphrase="pw"))
    doc["kdf"].update(zip("Nrp", settings, strict=True))
    return json.dumps(doc).encode()


@pytest.mark.parametrize(
    ("settings", "words"),
    [
        pytest.param((2**20, 2, 1), "256 MiB", id="openssl-overhead-over-256MiB"),
        pytest.param((2**16, 1, 1), "below 2\\^\\(16 r\\)", id="N-too-large-for-r-1"),
        pytest.param((2**19, 2, 16), "more work", id="hostile-9s-document"),
        pytest.param((2**17, 8, 3), "more work", id="work-just-over-cap"),
    ],
)
def test_scrypt_settings_are_refused_before_any_derivation(monkeypatch, settings, words) -> None:
    data = ring_document(settings)
    monkeypatch.setattr(qv.keyring.document, "_derive_key_from_password", pytest.fail)
    with pytest.raises(qv.KeyringError, match=f"^qv: .*{words}"):
        qv.Keyring.from_bytes(data, passphrase="pw")


@pytest.mark.slow
@pytest.mark.parametrize(
    "settings",
    [pytest.param((2**17, 8, 1), id="qv-defaults"), pytest.param((2**14, 32, 4), id="work-at-cap")],
)
def test_rings_within_the_caps_load(monkeypatch, settings) -> None:
    monkeypatch.setattr(qv.keyring.document, "_SAVE_SCRYPT", settings)
    ring = qv.Keyring()
    ring.generate("k")
    token = ring.encrypt("kept")
    assert qv.Keyring.from_bytes(ring.to_bytes(passphrase="pw"), passphrase="pw").decrypt(token)


@pytest.mark.parametrize(
    "call",
    [lambda path: qv.Keyring.load(path, passphrase="pw"), qv.Keyring.describe],
    ids=["load", "describe"],
)
@pytest.mark.parametrize("source", ["/dev/zero", "oversized"])
def test_files_over_the_size_cap_are_refused(tmp_path, call, source) -> None:
    if source == "oversized":
        source = str(tmp_path / "big.json")
        Path(source).write_bytes(b" " * (qv.keyring.MAX_FILE_BYTES + 1))
    with pytest.raises(qv.KeyringError, match=r"^qv: key ring file .* larger than 16 MiB"):
        call(source)


@pytest.mark.parametrize("dangling", [False, True], ids=["link-to-ring", "dangling-link"])
def test_save_refuses_a_symlink_and_writes_nothing(tmp_path, dangling) -> None:
    target = tmp_path / "ring.json"
    if not dangling:
        target.write_bytes(b"old ring")
    link = tmp_path / "link.json"
    link.symlink_to(target)
    ring = qv.Keyring()
    ring.generate()
    with pytest.raises(qv.KeyringError, match=r"^qv: cannot save key ring to .*symbolic link"):
        ring.save(link, passphrase="pw")
    assert link.is_symlink()
    assert sorted(os.listdir(tmp_path)) == (
        ["link.json"] if dangling else ["link.json", "ring.json"]
    )
    assert dangling or target.read_bytes() == b"old ring"


# --- keys kept out of the locals that error trackers record ------------------


def _tampered(token: str) -> str:
    return token[:-3] + ("A" if token[-3] != "A" else "B") + token[-2:]


def _ring_with_tokens() -> tuple[qv.Keyring, str, str]:
    ring = qv.Keyring()
    ring.generate("old")
    old = ring.encrypt("old row", aad="ctx")
    ring.generate("cur")
    ring.promote("cur")
    return ring, old, ring.encrypt("cur row")


LEAK_CASES = {
    "encrypt-bad-plaintext": lambda ring, old, cur: ring.encrypt("\ud800"),
    "decrypt-bad-token": lambda ring, old, cur: ring.decrypt(_tampered(old), aad="ctx"),
    "decrypt-wrong-aad": lambda ring, old, cur: ring.decrypt(old, aad="other"),
    "rotate-tampered": lambda ring, old, cur: ring.rotate(_tampered(old), aad="ctx"),
    "lookup-bad-metadata": lambda ring, old, cur: ring.lookup_tokens("x", metadata={"a": 5}),
    "encrypt-many-bad-row": lambda ring, old, cur: ring.encrypt_many(["a", 5]),
    "decrypt-many-bad-row": lambda ring, old, cur: ring.decrypt_many([cur, _tampered(cur)]),
    "rotate-many-bad-row": lambda ring, old, cur: ring.rotate_many([cur, old], aad=[None, "x"]),
    "arrow-encrypt-bad-row": lambda ring, old, cur: _arrow_call("encrypt", ["a", ""], ring),
    "arrow-decrypt-bad-row": lambda ring, old, cur: _arrow_call("decrypt", [cur, old], ring),
}


def _arrow_call(name: str, rows: list[str], ring: qv.Keyring) -> object:
    pa = pytest.importorskip("pyarrow")
    return getattr(pytest.importorskip("qv.arrow"), name)(pa.array(rows), ring)


def _rendered(error: BaseException) -> str:
    """Every frame's locals, as an error tracker records them, along the whole chain."""
    seen: list[traceback.TracebackException] = []
    todo = [
        traceback.TracebackException(type(error), error, error.__traceback__, capture_locals=True)
    ]
    while todo:
        exc = todo.pop()
        seen.append(exc)
        todo += [e for e in (exc.__cause__, exc.__context__) if e is not None]
    return "".join(line for exc in seen for line in exc.format(chain=False))


def _leaks(text: str, keys: list[bytes]) -> list[str]:
    return [k.hex() for k in keys if k.hex() in text or repr(bytes(k)) in text]


@pytest.mark.parametrize("call", LEAK_CASES.values(), ids=LEAK_CASES.keys())
def test_errors_on_input_carry_no_ring_key_in_frame_locals(call) -> None:
    ring, old, cur = _ring_with_tokens()
    with pytest.raises((TypeError, ValueError, RuntimeError)) as caught:
        call(ring, old, cur)
    text = _rendered(caught.value)
    assert "<qv key copy>" in text or "Keyring" in text  # the locals were captured
    assert _leaks(text, [bytes(e.material) for e in ring._entries.values()]) == []


def test_an_altered_document_carries_no_wrapping_key_in_frame_locals() -> None:
    data = ring_document(FAST_SCRYPT)
    doc = json.loads(data)
    doc["primary"] = None
    doc["keys"][0]["status"] = "disabled"
    with pytest.raises(qv.KeyringError, match="altered") as caught:
        qv.Keyring.from_bytes(json.dumps(doc).encode(), passphrase="pw")
    text = _rendered(caught.value)
    kdf = doc["kdf"]
    wrap = derive_key_from_password("pw", kdf["salt_hex"], kdf["N"], kdf["r"], kdf["p"])["key"]
    assert "<qv key copy>" in text and _leaks(text, [wrap]) == []
