"""What a key ring adds per call over the bare functions, and what a stored ring costs.

Prints one table; `make bench-keyring` runs it. The ring's overhead is the id
lookup and the key copy under its lock, the same for any number of keys.
"""

from __future__ import annotations

import tempfile
import timeit
from pathlib import Path

import qv

PLAINTEXT = "4242 4242 4242 4242"


def per_call(stmt: str, ns: dict[str, object], number: int = 20_000) -> float:
    return min(timeit.repeat(stmt, globals=ns, number=number, repeat=5)) / number


def main() -> None:
    rows: list[tuple[str, float]] = []
    for keys in (2, 100):
        ring = qv.Keyring()
        for n in range(keys):
            ring.generate(f"k{n}")
        key = ring._key_for("k0")
        token = ring.encrypt(PLAINTEXT)
        ring.promote(f"k{keys - 1}")
        ns: dict[str, object] = {"qv": qv, "ring": ring, "key": key, "token": token}
        rows += [
            (f"qv.encrypt ({keys} keys in ring)", per_call("qv.encrypt('x' * 19, key, 'k0')", ns)),
            (f"Keyring.encrypt ({keys} keys)", per_call("ring.encrypt('x' * 19)", ns)),
            (f"qv.decrypt ({keys} keys)", per_call("qv.decrypt(token, key)", ns)),
            (f"Keyring.decrypt ({keys} keys)", per_call("ring.decrypt(token)", ns)),
            (f"Keyring.rotate ({keys} keys)", per_call("ring.rotate(token)", ns)),
            (
                f"Keyring.lookup_tokens ({keys} keys)",
                per_call("ring.lookup_tokens('x' * 19)", ns, number=200),
            ),
        ]
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "ring.json"
        wrap = qv.generate_key()
        ns = {"qv": qv, "ring": ring, "path": path, "wrap": wrap}
        rows += [
            (
                "save, passphrase (scrypt N=2^17)",
                per_call("ring.save(path, passphrase='pw')", ns, 3),
            ),
            (
                "load, passphrase (scrypt N=2^17)",
                per_call("qv.Keyring.load(path, passphrase='pw')", ns, 3),
            ),
            (
                "save, wrapping key (100 keys)",
                per_call("ring.save(path, wrapping_key=wrap)", ns, 50),
            ),
        ]
        ring.save(path, wrapping_key=wrap)
        rows.append(
            (
                "load, wrapping key (100 keys)",
                per_call("qv.Keyring.load(path, wrapping_key=wrap)", ns, 50),
            )
        )
    width = max(len(name) for name, _ in rows)
    print(f"| {'operation':{width}} | time per call |")
    print(f"|{'-' * (width + 2)}|---------------|")
    for name, sec in rows:
        shown = f"{sec * 1e6:.2f} us" if sec < 1e-3 else f"{sec * 1e3:.1f} ms"
        print(f"| {name:{width}} | {shown:>13} |")


if __name__ == "__main__":
    main()
