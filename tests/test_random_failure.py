"""A failing random generator: every draw raises, nothing partial is handed out."""

# OpenSSL's RAND_bytes is replaced, through LD_PRELOAD, by one that scribbles a
# recognisable pattern into the buffer and then reports failure.

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.kdf.scrypt import Scrypt

import qv

KEY = bytes(range(32))
FAKE_RAND = """#include <string.h>
int RAND_bytes(unsigned char *buf, int num) { memset(buf, 0xA5, (size_t)num); return STATUS; }
"""

# Each draw must raise its message; argument checks come before any draw, and
# what needs no randomness still works.
CHILD = r"""
import json, qv
KEY, MSG = bytes(range(32)), "qv: random generator failed."
cases = {
    "generate_key": (RuntimeError, MSG, qv.generate_key),
    "encrypt": (RuntimeError, MSG, lambda: qv.encrypt("hi", KEY, "k1", False, {"a": "b"}, "x")),
    "salt": (RuntimeError, MSG, lambda: qv.derive_key_from_password("pw", N=16384)),
    "password": (ValueError, "qv: password must be a non-empty string.", lambda: qv.derive_key_from_password("", N=16384)),
    "N": (ValueError, "qv: scrypt N must be a power of 2 and at least 2^14.", lambda: qv.derive_key_from_password("pw", N=8192)),
    "key": (ValueError, "qv: key must be 32 bytes.", lambda: qv.encrypt("hi", KEY[:31], "k1")),
}
out = {"checks": {}}
for name, (exc, msg, call) in cases.items():
    try:
        out["checks"][name] = "returned " + repr(call())
    except BaseException as e:
        out["checks"][name] = "ok" if type(e) is exc and str(e) == msg else repr(e)
det = qv.encrypt("hi", KEY, "k1", True)
out["det"] = [det, qv.decrypt(det, KEY)["data"]]
out["kdf"] = qv.derive_key_from_password("pw", "0011ff", 16384)["key"].hex()
out["subkey"] = qv.derive_subkey(KEY, "ctx").hex()
print(json.dumps(out))
"""


@pytest.mark.parametrize("status", [0, -1], ids=["returns-0", "returns-minus-1"])
def test_failing_generator_raises_and_never_hands_out_a_draw(tmp_path: Path, status: int) -> None:
    cc = shutil.which("cc") or pytest.skip("no C compiler")
    (tmp_path / "rand.c").write_text(FAKE_RAND.replace("STATUS", str(status)))
    lib = tmp_path / "librand.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", lib, tmp_path / "rand.c"], check=True)
    # A runtime that is already preloaded (ASan's) must stay first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(lib)]))
    env = dict(os.environ, LD_PRELOAD=preload)
    proc = subprocess.run(
        [sys.executable, "-c", CHILD], capture_output=True, text=True, env=env, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert list(out["checks"].values()) == ["ok"] * 6, out["checks"]
    assert out["det"] == [qv.encrypt("hi", KEY, "k1", True), "hi"]
    scrypt = Scrypt(salt=bytes.fromhex("0011ff"), length=32, n=16384, r=8, p=1)
    assert out["kdf"] == scrypt.derive(b"pw").hex()
    assert out["subkey"] == qv.derive_subkey(KEY, "ctx").hex()
