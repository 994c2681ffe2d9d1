"""A key ring's life: add keys, roll one out, rotate stored tokens, retire the old key.

Runs as a script, and `make lint` checks it with `mypy --strict`, so it uses
every method of qv.Keyring.
"""

from __future__ import annotations

import tempfile
from datetime import datetime
from pathlib import Path
from typing import assert_type

import qv


def main() -> None:
    ring = qv.Keyring()
    first = ring.generate()  # an id chosen by qv; the first key is the primary
    ring.add("imported-2025", qv.generate_key())
    assert_type(first, str)

    # Records are sealed under the primary; each token names its key.
    stored = [ring.encrypt(f"row {n}", metadata={"table": "users"}) for n in range(3)]
    email = ring.encrypt("ada@example.com", deterministic=True, aad={"column": "email"})

    # Roll out a new key: generate it everywhere first, promote it once every
    # reader holds it, then rotate what is stored.
    ring.generate("2026")
    ring.promote("2026")
    stored = [ring.rotate(t) if ring.needs_rotation(t) else t for t in stored]
    # Deterministic lookups find the record under the old key and the new one.
    candidates: list[str] = ring.lookup_tokens("ada@example.com", aad={"column": "email"})
    assert email in candidates and candidates[0].startswith("qv.v2.")
    email = ring.rotate(email, aad={"column": "email"})
    assert email == candidates[0]

    # Retire the old keys: disable (reversible), then destroy and remove.
    ring.disable(first)
    ring.enable(first)
    ring.disable(first)
    ring.destroy(first)
    ring.destroy("imported-2025")
    ring.remove("imported-2025")

    for info in ring.keys():
        assert_type(info, qv.KeyInfo)
        assert_type(info.created, datetime)
        print(f"{info.key_id:>10} {info.status:9} primary={info.primary} check={info.check}")

    opened = ring.decrypt(stored[0])
    assert_type(opened["data"], str)
    assert opened["metadata"] == {"table": "users"} and opened["key_id"] == "2026"

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "ring.json"
        ring.save(path, passphrase="correct horse battery staple")
        listed: list[qv.KeyInfo] = qv.Keyring.describe(path)
        again = qv.Keyring.load(str(path), passphrase="correct horse battery staple")
        assert again.keys() == listed == ring.keys()

    kms_key = qv.generate_key()
    blob: bytes = ring.to_bytes(wrapping_key=kms_key)
    copy = qv.Keyring.from_bytes(blob, wrapping_key=kms_key)
    assert copy.decrypt(email, aad={"column": "email"})["data"] == "ada@example.com"

    try:
        copy.decrypt(qv.encrypt("x", qv.generate_key(), first))
    except qv.DestroyedKeyError as e:
        print(e)
    except (qv.UnknownKeyIdError, qv.DisabledKeyError, qv.KeyringError) as e:
        raise AssertionError(e) from e
    print(repr(copy))


if __name__ == "__main__":
    main()
