"""A failing random generator: every draw raises, nothing partial is handed out.

OpenSSL's RAND_bytes is replaced, through LD_PRELOAD, by one that scribbles a
recognisable pattern into the buffer and then reports failure.
"""

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

FAKE_RAND = r"""
#include <string.h>
int RAND_bytes(unsigned char *buf, int num) {
    if (num > 0) memset(buf, 0xA5, (size_t)num);
    return STATUS;
}
"""

CHILD = r"""
import json, sys
import qv

MSG = "qv: random generator failed."
KEY = bytes(range(32))
out = {}

def expect(name, exc_type, message, call):
    try:
        value = call()
    except exc_type as e:
        out[name] = "ok" if str(e) == message else "message: " + str(e)
    except BaseException as e:
        out[name] = "raised " + type(e).__name__ + ": " + str(e)
    else:
        out[name] = "returned " + repr(value)

expect("generate_key", RuntimeError, MSG, qv.generate_key)
expect("encrypt-random", RuntimeError, MSG, lambda: qv.encrypt("hi", KEY, "k1"))
expect("encrypt-random-kw", RuntimeError, MSG,
       lambda: qv.encrypt("hi", KEY, "k1", deterministic=False, metadata={"a": "b"}, aad="x"))
expect("kdf-random-salt", RuntimeError, MSG,
       lambda: qv.derive_key_from_password("pw", N=16384))
# Argument checks come before any draw.
expect("kdf-empty-password", ValueError, "qv: password must be a non-empty string.",
       lambda: qv.derive_key_from_password("", N=16384))
expect("kdf-bad-N", ValueError, "qv: scrypt N must be a power of 2 and at least 2^14.",
       lambda: qv.derive_key_from_password("pw", N=8192))
expect("encrypt-bad-key", ValueError, "qv: key must be 32 bytes.",
       lambda: qv.encrypt("hi", KEY[:31], "k1"))
# What needs no randomness still works.
out["det-token"] = qv.encrypt("hi", KEY, "k1", True)
out["kdf-key"] = qv.derive_key_from_password("pw", "0011ff", 16384)["key"].hex()
out["subkey"] = qv.derive_subkey(KEY, "ctx").hex()
out["opened"] = qv.decrypt(out["det-token"], KEY)["data"]
print(json.dumps(out))
"""

RANDOM_DRAWS = ["generate_key", "encrypt-random", "encrypt-random-kw", "kdf-random-salt",
                "kdf-empty-password", "kdf-bad-N", "encrypt-bad-key"]


@pytest.fixture(scope="module")
def compiler() -> str:
    cc = shutil.which("cc")
    if cc is None:
        pytest.skip("no C compiler")
    return cc


@pytest.mark.parametrize("status", [0, -1], ids=["returns-0", "returns-minus-1"])
def test_failing_generator_raises_and_never_hands_out_a_draw(
    compiler: str, tmp_path: Path, status: int
) -> None:
    src = tmp_path / "fake_rand.c"
    lib = tmp_path / "libfake_rand.so"
    src.write_text(FAKE_RAND.replace("STATUS", str(status)))
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(lib), str(src)], check=True)

    env = dict(os.environ, LD_PRELOAD=str(lib))
    proc = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                          env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)

    assert {name: out[name] for name in RANDOM_DRAWS} == {name: "ok" for name in RANDOM_DRAWS}
    # The deterministic token opens in an ordinary process, where it was sealed
    # identically, and the salted derivation matches an independent scrypt.
    assert out["det-token"] == qv.encrypt("hi", KEY, "k1", True)
    assert qv.decrypt(out["det-token"], KEY)["data"] == "hi"
    assert out["opened"] == "hi"
    expected = Scrypt(salt=bytes.fromhex("0011ff"), length=32, n=16384, r=8, p=1).derive(b"pw")
    assert out["kdf-key"] == expected.hex()
    assert out["subkey"] == qv.derive_subkey(KEY, "ctx").hex()
