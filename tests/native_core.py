"""Build the Python-free core as a static library for the native test programs.

The source list is read from CMakeLists.txt (QV_CORE_SOURCES), the one list
that the extension modules and the fuzz targets are built from too.
"""

from __future__ import annotations

import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FLAGS = [
    "-std=c++17",
    "-pthread",
    "-O1",
    "-Wall",
    "-Wextra",
    "-Wpedantic",
    "-Werror",
    f"-I{ROOT / 'src'}",
]


def core_sources() -> list[Path]:
    text = (ROOT / "CMakeLists.txt").read_text()
    block = re.search(r"set\(QV_CORE_SOURCES\s+(.*?)\)", text, re.S)
    assert block, "QV_CORE_SOURCES not found in CMakeLists.txt"
    return [ROOT / s for s in block.group(1).split()]


def build_program(main: Path, out_dir: Path) -> Path:
    """Compiles the core into out_dir/libqv_core.a and links `main` against it."""
    cxx = shutil.which("c++") or pytest.skip("no C++ compiler")
    ar = shutil.which("ar") or pytest.skip("no ar")
    objects = []
    for src in core_sources():
        obj = out_dir / ("_".join(src.relative_to(ROOT).with_suffix("").parts) + ".o")
        run = subprocess.run([cxx, *FLAGS, "-c", src, "-o", obj], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        objects.append(obj)
    lib = out_dir / "libqv_core.a"
    subprocess.run([ar, "rcs", lib, *objects], check=True)
    exe = out_dir / main.stem
    link = subprocess.run(
        [cxx, *FLAGS, main, lib, "-lcrypto", "-o", exe], capture_output=True, text=True
    )
    assert link.returncode == 0, link.stderr
    return exe
