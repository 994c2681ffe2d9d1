"""The public C++ API (tests/native/public_api.cpp, built on <qv/qv.h> alone)
keeps its promised checks and agrees with the Python package."""

from __future__ import annotations

import subprocess
from pathlib import Path

import qv
from native_core import ROOT, build_program

KEY = bytes(range(32))


def test_public_api_program_agrees_with_python(tmp_path: Path) -> None:
    exe = build_program(ROOT / "tests/native/public_api.cpp", tmp_path)
    run = subprocess.run([exe], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    out = dict(line.split(" ", 1) for line in run.stdout.splitlines())
    token = qv.encrypt("hello", KEY, "k1", True, {"b": "2", "a": "1"}, {"tenant": "7"})
    assert out["token"] == token
    assert out["key_id"] == qv.peek_key_id(token)
    assert out["fingerprint"] == qv.token_fingerprint(token)
    decoded = qv.decode_token(token)
    assert decoded is not None
    assert out["flags"] == f"{decoded['flags']} version {decoded['version']}"
    assert out["subkey"] == qv.derive_subkey(KEY, "ctx", b"salt").hex()
    derived = qv.derive_key_from_password("pw", "00FF", N=16384)
    assert out["scrypt"] == f"{derived['key'].hex()} {derived['salt_hex']}"
