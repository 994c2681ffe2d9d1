"""The C++ library's blind index values (tests/native/blind.cpp) against Python's hmac."""

from __future__ import annotations

import hashlib
import hmac
import subprocess
from pathlib import Path

from native_core import ROOT, build_program

VALUES = [b"", b"a", b"Ada@example.com", b"\0\x01\xff"]


def test_blind_many_agrees_with_hmac_and_refuses_bad_sizes(tmp_path: Path) -> None:
    exe = build_program(ROOT / "tests/native/blind.cpp", tmp_path)
    run = subprocess.run([exe], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    lines = run.stdout.splitlines()
    key = bytes(range(32))
    want = []
    for bits in (1, 3, 4, 5, 31, 32, 63, 64, 200, 255, 256):
        for i, value in enumerate(VALUES):
            mac = int.from_bytes(hmac.new(key, value, hashlib.sha256).digest(), "big")
            want.append(f"{bits} {i} {format(mac >> (256 - bits), f'0{(bits + 3) // 4}x')}")
    assert lines == [*want, "refused 0", "refused 257", "kept"]
