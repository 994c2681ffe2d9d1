"""How fast the qv command line works through files of values.

Prints one table; `make bench-cli` runs it. Each row is one `qv` process over
a file of LINES lines, start-up and ring loading included (the ring is locked
with a wrapping key, so no scrypt is in the figures).
"""

from __future__ import annotations

import base64
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import qv

LINES = 100_000
QV = [sys.executable, "-m", "qv"]


def timed(args: list[str], cwd: Path) -> float:
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        subprocess.run([*QV, *args], cwd=cwd, check=True, capture_output=True)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        wrap = qv.generate_key()
        (folder / "ring.key").write_bytes(base64.urlsafe_b64encode(wrap).rstrip(b"=") + b"\n")
        ring = qv.Keyring()
        ring.generate("old")
        ring.generate("new")
        with open(folder / "plain.txt", "w") as plain, open(folder / "plain.jsonl", "w") as rows:
            for i in range(LINES):
                plain.write(f"4242 4242 4242 {i:04d}\n")
                rows.write(f'{{"id": {i}, "card": "4242 4242 4242 {i:04d}", "n": {{"a": [1]}}}}\n')
        old_tokens = [ring.encrypt(f"4242 4242 4242 {i:04d}") for i in range(LINES)]
        (folder / "tokens.txt").write_text("".join(t + "\n" for t in old_tokens))
        (folder / "sealed.jsonl").write_text(
            "".join(f'{{"id": {i}, "card": "{t}"}}\n' for i, t in enumerate(old_tokens))
        )
        ring.promote("new")
        ring.save(folder / "ring.json", wrapping_key=wrap)
        k = ["-k", "ring.json", "--wrapping-key-file", "ring.key", "-o", "out"]
        rows_out = [
            ("qv --version (start-up)", timed(["--version"], folder), 1),
            ("encrypt --lines", timed(["encrypt", *k, "--lines", "plain.txt"], folder), LINES),
            ("decrypt --lines", timed(["decrypt", *k, "--lines", "tokens.txt"], folder), LINES),
            (
                "encrypt --jsonl card",
                timed(["encrypt", *k, "--jsonl", "card", "plain.jsonl"], folder),
                LINES,
            ),
            ("rotate --lines", timed(["rotate", *k, "--lines", "tokens.txt"], folder), LINES),
            (
                "rotate --jsonl card",
                timed(["rotate", *k, "--jsonl", "card", "sealed.jsonl"], folder),
                LINES,
            ),
        ]
    print(f"{'command':<28} {'seconds':>8} {'lines/s':>10}")
    for name, seconds, lines in rows_out:
        rate = f"{lines / seconds:,.0f}" if lines > 1 else ""
        print(f"{name:<28} {seconds:>8.3f} {rate:>10}")


if __name__ == "__main__":
    main()
