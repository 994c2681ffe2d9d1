"""Build and run the native check that piecewise cipher updates equal one call."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# The Python-free sources behind token/token.h.
SOURCES = [
    "src/token/aead.cpp",
    "src/token/format.cpp",
    "src/aad/json.cpp",
    "src/module/common.cpp",
]


def test_pieces_program(tmp_path: Path) -> None:
    cxx = shutil.which("c++") or pytest.skip("no C++ compiler")
    flags = ["-std=c++17", "-O1", "-Wall", "-Wextra", "-Wpedantic", "-Werror", f"-I{ROOT / 'src'}"]
    sources = [ROOT / "tests/native/pieces.cpp", *(ROOT / s for s in SOURCES)]
    build = subprocess.run(
        [cxx, *flags, *sources, "-lcrypto", "-o", tmp_path / "pieces"],
        capture_output=True,
        text=True,
    )
    assert build.returncode == 0, build.stderr
    run = subprocess.run([tmp_path / "pieces"], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout == "", run.stdout + run.stderr
