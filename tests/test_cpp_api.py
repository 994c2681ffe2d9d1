"""The C++ library on its own: installed into a prefix, used by a program
built against the installation (CMake's find_package and pkg-config), and
agreeing with the Python package token for token."""

from __future__ import annotations

import importlib.metadata
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import qv
from native_core import BUILD_ENV, ROOT, cmake, core_install

EXAMPLE = ROOT / "examples" / "cpp"
README = ROOT / "README.md"
KEY = bytes(range(32))


@pytest.fixture(scope="module")
def prefix() -> Path:
    return core_install()


@pytest.fixture(scope="module")
def example(prefix: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The example programs, built by CMake against the installed library."""
    build = tmp_path_factory.mktemp("example")
    for args in (
        [cmake(), "-S", EXAMPLE, "-B", build, f"-DCMAKE_PREFIX_PATH={prefix}"],
        [cmake(), "--build", build, "--parallel", "2"],
    ):
        run = subprocess.run(args, capture_output=True, text=True, env=BUILD_ENV)
        assert run.returncode == 0, run.stdout + run.stderr
    return build


def test_install_holds_headers_library_and_package_files(prefix: Path) -> None:
    installed = {p.relative_to(prefix).as_posix() for p in prefix.rglob("*") if p.is_file()}
    headers = {f"include/qv/{p.name}" for p in (ROOT / "include" / "qv").glob("*.h")}
    assert headers <= installed
    for pattern in (r"lib\S*/libqv\.a", r"lib\S*/cmake/qv/qvConfig\.cmake", r"lib\S*/qv\.pc"):
        assert any(re.fullmatch(pattern, f) for f in installed), pattern
    # The library's public face carries no Python.
    for header in (prefix / "include" / "qv").glob("*.h"):
        assert not re.search(r"pybind11|Python\.h", header.read_text()), header.name


def test_the_python_wheel_carries_only_the_modules() -> None:
    # pip's install goes through scikit-build-core, which must not ship the C++
    # library, its headers or its package files inside the wheel.
    files = importlib.metadata.files("qv") or []
    assert not [f for f in files if f.suffix in {".h", ".a", ".pc", ".cmake"}]


def test_readme_shows_the_example_verbatim() -> None:
    text = README.read_text(encoding="utf-8")
    section = text[text.index("## Using qv from C++") :]
    section = section[: section.index("\n## ", 1)]
    blocks = dict(re.findall(r"^```(cpp|cmake)\n(.*?)^```$", section, re.DOTALL | re.MULTILINE))
    assert blocks["cpp"] == (EXAMPLE / "hello.cpp").read_text()
    assert blocks["cmake"] == (EXAMPLE / "CMakeLists.txt").read_text()


HELLO = ["key id: 2026", "refused: qv: decryption failed.", "opened: alice@example.com"]


def test_example_built_with_find_package_runs(example: Path) -> None:
    run = subprocess.run([example / "hello"], capture_output=True, text=True, check=True)
    assert run.stdout.splitlines() == HELLO


def test_example_built_with_pkg_config_runs(prefix: Path, tmp_path: Path) -> None:
    pkg_config = shutil.which("pkg-config") or pytest.skip("no pkg-config")
    cxx = shutil.which("c++") or pytest.skip("no C++ compiler")
    (pc,) = prefix.rglob("qv.pc")
    env = {**BUILD_ENV, "PKG_CONFIG_PATH": str(pc.parent)}
    flags = subprocess.run(
        [pkg_config, "--cflags", "--libs", "qv"],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    ).stdout.split()
    exe = tmp_path / "hello"
    build = subprocess.run(
        [cxx, "-std=c++17", EXAMPLE / "hello.cpp", "-o", exe, *flags],
        capture_output=True,
        text=True,
        env=env,
    )
    assert build.returncode == 0, build.stderr
    run = subprocess.run([exe], capture_output=True, text=True, check=True)
    assert run.stdout.splitlines() == HELLO


def tool(example: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([example / "qv-tool", *args], capture_output=True, text=True)


def hexed(value: str | bytes) -> str:
    return (value.encode() if isinstance(value, str) else value).hex()


def options(metadata: dict[str, str], aad: str | dict[str, str] | None) -> list[str]:
    out = [f"meta={hexed(k)}={hexed(v)}" for k, v in metadata.items()]
    if isinstance(aad, str):
        out.append(f"aad={hexed(aad)}")
    elif isinstance(aad, dict):
        out += [f"field={hexed(k)}={hexed(v)}" for k, v in aad.items()]
    return out


CASES = [
    pytest.param(False, {}, None, id="random-plain"),
    pytest.param(True, {}, None, id="deterministic-plain"),
    pytest.param(False, {"table": "users", "é": "ü"}, "tenant=7", id="random-meta-aad-text"),
    pytest.param(True, {"table": "users"}, "tenant=7", id="deterministic-meta-aad-text"),
    pytest.param(False, {"b": "2", "a": "1"}, {"tenant": "7", "env": "p"}, id="random-aad-map"),
    pytest.param(True, {"b": "2", "a": "1"}, {"tenant": "7", "env": "p"}, id="det-aad-map"),
]
PLAINTEXT = "alice@example.com ✓"


def opened_lines(plaintext: str, key_id: str, det: bool, metadata: dict[str, str]) -> list[str]:
    mode = "deterministic" if det else "random"
    entries = sorted((k.encode(), v.encode()) for k, v in metadata.items())
    return [hexed(plaintext), key_id, mode, *(f"{k.hex()}={v.hex()}" for k, v in entries)]


@pytest.mark.parametrize(("det", "metadata", "aad"), CASES)
def test_cpp_opens_what_python_sealed(example, det, metadata, aad):
    token = qv.encrypt(PLAINTEXT, KEY, "2026", det, metadata, aad)
    run = tool(example, "open", KEY.hex(), token, *options({}, aad))
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == opened_lines(PLAINTEXT, "2026", det, metadata)
    # Without the associated data (when there is some) the token stays shut.
    if aad:
        refused = tool(example, "open", KEY.hex(), token)
        assert (refused.returncode, refused.stderr) == (1, "qv: decryption failed.\n")


@pytest.mark.parametrize(("det", "metadata", "aad"), CASES)
def test_python_opens_what_cpp_sealed(example, det, metadata, aad):
    mode = "deterministic" if det else "random"
    args = [KEY.hex(), hexed("2026"), mode, hexed(PLAINTEXT), *options(metadata, aad)]
    run = tool(example, "seal", *args)
    assert run.returncode == 0, run.stderr
    token = run.stdout.strip()
    assert qv.decrypt(token, KEY, aad) == {
        "data": PLAINTEXT,
        "metadata": dict(sorted(metadata.items(), key=lambda kv: kv[0].encode())),
        "key_id": "2026",
        "deterministic": det,
    }
    if det:
        # Byte for byte the token Python writes for the same inputs.
        assert token == qv.encrypt(PLAINTEXT, KEY, "2026", True, metadata, aad)


REFUSALS = [
    pytest.param(
        ["seal", "00" * 31, hexed("k"), "random", hexed("x")],
        "qv: key must be 32 bytes.",
        id="short-key",
    ),
    pytest.param(
        ["seal", KEY.hex(), "", "random", ""],
        "qv: keyId must be 1-255 bytes.",
        id="key-id-before-plaintext",
    ),
    pytest.param(
        ["seal", KEY.hex(), hexed("k"), "random", ""],
        "qv: plaintext must not be empty.",
        id="empty-plaintext",
    ),
    pytest.param(
        ["open", "00" * 31, "not a token"], "qv: key must be 32 bytes.", id="key-before-token"
    ),
    pytest.param(["open", KEY.hex(), "qv.v2.AAAA"], "qv: decryption failed.", id="malformed-token"),
]


@pytest.mark.parametrize(("args", "message"), REFUSALS)
def test_cpp_refuses_with_the_python_message(example, args, message):
    run = tool(example, *args)
    assert (run.returncode, run.stderr) == (1, message + "\n")
    # The Python package refuses the same call with the same words.
    with pytest.raises((ValueError, RuntimeError), match=re.escape(message)):
        if args[0] == "seal":
            qv.encrypt(
                bytes.fromhex(args[4]), bytes.fromhex(args[1]), bytes.fromhex(args[2]).decode()
            )
        else:
            qv.decrypt(args[2], bytes.fromhex(args[1]))
