"""Build and run the native checks of the column routines' sizing and refusals."""

from __future__ import annotations

import subprocess
from pathlib import Path

from native_core import ROOT, build_program


def test_column_program(tmp_path: Path) -> None:
    exe = build_program(ROOT / "tests/native/column.cpp", tmp_path)
    run = subprocess.run([exe], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and run.stdout == "", run.stdout + run.stderr
