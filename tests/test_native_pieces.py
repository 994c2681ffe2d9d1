"""Build and run the native check that piecewise cipher updates equal one call."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# The Python-free sources behind token/token.h: the cipher core, the token
# writer it may call on, the JSON reader the writer's decoder uses, and the
# shared buffers and randomness.
SOURCES = ["src/token/aead.cpp", "src/token/format.cpp", "src/aad/json.cpp",
           "src/module/common.cpp"]


def test_pieces_program(tmp_path: Path) -> None:
    cxx = shutil.which("c++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path / "pieces"
    build = subprocess.run(
        [cxx, "-std=c++17", "-O1", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
         f"-I{ROOT / 'src'}", str(ROOT / "tests/native/pieces.cpp"),
         *(str(ROOT / s) for s in SOURCES), "-lcrypto", "-o", str(exe)],
        capture_output=True, text=True, timeout=300,
    )
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "all piece checks passed" in run.stdout
