"""Build the C++ library (no Python) through CMake, once per test session.

The native test programs and the C++ API test link the same library that the
extension modules link: `core_build()` configures and builds it with
QV_BUILD_PYTHON=OFF in build/native (kept between sessions, so a rerun only
rebuilds what changed), and `core_install()` installs it into a temporary
prefix as a user's `cmake --install` would.
"""

from __future__ import annotations

import atexit
import functools
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "native"
FLAGS = [
    "-std=c++17",
    "-pthread",
    "-O1",
    "-Wall",
    "-Wextra",
    "-Wpedantic",
    "-Werror",
    f"-I{ROOT / 'include'}",
    f"-I{ROOT / 'src'}",
    f"-I{ROOT / 'tests' / 'native'}",
]


def _run(args: list[str | Path], **kwargs: object) -> None:
    run = subprocess.run(args, capture_output=True, text=True, **kwargs)  # type: ignore[call-overload]
    assert run.returncode == 0, f"{' '.join(map(str, args))}\n{run.stdout}\n{run.stderr}"


def cmake() -> str:
    return shutil.which("cmake") or pytest.skip("no cmake")


# A build from a child of the sanitised interpreter must not inherit its
# preloaded runtime: the compilers would report their own leaks.
BUILD_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


@functools.cache
def core_build() -> Path:
    """Configures and builds the library alone; returns the build directory."""
    _run(
        [
            cmake(),
            "-S",
            ROOT,
            "-B",
            BUILD,
            "-DQV_BUILD_PYTHON=OFF",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON",
        ],
        env=BUILD_ENV,
    )
    _run([cmake(), "--build", BUILD, "--parallel", "2"], env=BUILD_ENV)
    return BUILD


@functools.cache
def core_install() -> Path:
    """Installs the built library into a fresh temporary prefix; returns it."""
    prefix = Path(tempfile.mkdtemp(prefix="qv-prefix-"))
    atexit.register(shutil.rmtree, prefix, ignore_errors=True)
    _run([cmake(), "--install", core_build(), "--prefix", prefix], env=BUILD_ENV)
    return prefix


def build_program(main: Path, out_dir: Path) -> Path:
    """Links `main` (which may use the library's internal headers) against it."""
    cxx = shutil.which("c++") or pytest.skip("no C++ compiler")
    lib = core_build() / "libqv.a"
    exe = out_dir / main.stem
    link = subprocess.run(
        [cxx, *FLAGS, main, lib, "-lcrypto", "-o", exe],
        capture_output=True,
        text=True,
        env=BUILD_ENV,
    )
    assert link.returncode == 0, link.stderr
    return exe
