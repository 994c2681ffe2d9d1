"""Build and run the native check that piecewise cipher updates equal one call."""

from __future__ import annotations

import subprocess
from pathlib import Path

from native_core import ROOT, build_program


def test_pieces_program(tmp_path: Path) -> None:
    exe = build_program(ROOT / "tests/native/pieces.cpp", tmp_path)
    run = subprocess.run([exe], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout == "", run.stdout + run.stderr
