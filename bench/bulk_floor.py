"""The bulk calls against their C++ floor: 64 B values, ns per value and ratios.

bench/bulk_floor.cpp seals and opens the same 64-byte values as qv.v2 tokens
with everything a batch may keep (a context keyed once, one nonce draw, the
output preallocated) and no Python: the least the same work can cost on this
machine. This times it and, in the same run, `encrypt_many`, `decrypt_many`,
deterministic `encrypt_many` and `qv.arrow` on one thread and on two, and
states the load, since the machine is shared. `--callgrind` also counts
instructions per value under valgrind (the difference between batches of
10 000 and 20 000 values), which the load does not disturb.

    python bench/bulk_floor.py [--callgrind] [--write]   # --write splices RESULTS.md
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
KEY = bytes(range(32))
KEY_ID = "bench-key"
TEXT = ("0123456789abcdef" * 4)[:64]
VALUES = 100_000
MARK_BEGIN = "<!-- floor section: written by bench/bulk_floor.py -->"
MARK_END = "<!-- end of floor section -->"

# What each qv call is set against: the floor case doing the same work.
CALLS = {
    "encrypt_many": ("seal", "qv.encrypt_many(pts, key, kid, threads={t})"),
    "decrypt_many": ("open", "qv.decrypt_many(tokens, key, threads={t})"),
    "encrypt_many deterministic": (
        "det",
        "qv.encrypt_many(pts, key, kid, deterministic=True, threads={t})",
    ),
    "qv.arrow.encrypt": ("seal", "qv.arrow.encrypt(col, key, kid, threads={t})"),
    "qv.arrow.decrypt": ("open", "qv.arrow.decrypt(tcol, key, threads={t})"),
}

# A child that makes one call of `n` values, for callgrind to count.
COUNT_CHILD = r"""
import sys, qv, qv.arrow, pyarrow as pa
n = int(sys.argv[1])
key, kid = bytes(range(32)), "bench-key"
pts = [("0123456789abcdef" * 4)[:64]] * n
tokens = qv.encrypt_many(pts, key, kid, threads=1)
col, tcol = pa.array(pts), pa.array(tokens)
r = eval(sys.argv[2])
"""


def build(tmp: str) -> str | None:
    """Compiles the floor program with the library's sources; None without a compiler."""
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        return None
    exe = os.path.join(tmp, "bulk_floor")
    sources = [str(p) for d in ("common", "aad", "token") for p in (ROOT / "src" / d).glob("*.cpp")]
    cmd = [cxx, "-O2", "-std=c++17", f"-I{ROOT / 'src'}", f"-I{ROOT / 'include'}"]
    cmd += [str(HERE / "bulk_floor.cpp"), *sources, "-o", exe, "-lcrypto", "-lpthread"]
    if subprocess.run(cmd, capture_output=True).returncode != 0:
        return None
    return exe


def floor_times(exe: str) -> dict[str, float]:
    out = subprocess.run([exe, str(VALUES)], capture_output=True, text=True, check=True).stdout
    return {name: float(ns) for name, ns in (line.rsplit("|", 1) for line in out.splitlines())}


def qv_times(threads: int) -> dict[str, float]:
    import pyarrow as pa

    import qv
    import qv.arrow

    pts = [TEXT] * VALUES
    tokens = qv.encrypt_many(pts, KEY, KEY_ID, threads=1)
    ns = {
        "qv": qv,
        "pts": pts,
        "tokens": tokens,
        "col": pa.array(pts),
        "tcol": pa.array(tokens),
        "key": KEY,
        "kid": KEY_ID,
    }
    return {
        name: min(timeit.repeat(stmt.format(t=threads), globals=ns, number=1, repeat=7))
        / VALUES
        * 1e9
        for name, (_, stmt) in CALLS.items()
    }


def callgrind(argv: list[str]) -> int:
    """Instructions counted by callgrind for `argv`."""
    # pyarrow loads numpy, whose OpenBLAS threads spin while the program
    # runs: under callgrind their instructions grow with the run's length and
    # would be counted as the call's.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv],
        capture_output=True,
        text=True,
        check=True,
        env=env,
    ).stderr
    line = next(x for x in out.splitlines() if "Collected" in x)
    return int(line.split()[-1])


def per_value(argv_for) -> float:
    return (callgrind(argv_for(20_000)) - callgrind(argv_for(10_000))) / 10_000


def instruction_counts(exe: str) -> dict[str, float]:
    counts = {case: per_value(lambda n, c=case: [exe, str(n), c]) for case in ("seal", "det")}
    # The open case seals its tokens first.
    counts["open"] = per_value(lambda n: [exe, str(n), "open"]) - counts["seal"]

    def child(code: str) -> float:
        return per_value(lambda n: [sys.executable, "-c", COUNT_CHILD, str(n), code])

    # The child's own set-up (the values, the tokens, the arrays) grows with
    # the batch too: counted alone and taken off.
    setup = child("None")
    for name, (_, stmt) in CALLS.items():
        counts[name] = child(stmt.format(t=1)) - setup
    return counts


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def section(
    floor: dict[str, float],
    one: dict[str, float],
    two: dict[str, float],
    counts: dict[str, float] | None,
    load_before: str,
) -> str:
    lines = [
        MARK_BEGIN,
        "## Bulk against its C++ floor (64 B)",
        "",
        f"`bench/bulk_floor.py`: {VALUES:,} values of 64 B per batch, best of 7, ns per value. "
        "The floor is `bench/bulk_floor.cpp`: the same tokens from a context keyed once, one "
        "nonce draw and preallocated output, no Python. Load average (1, 5, 15 min) "
        f"{load_before} before, {load()} after, on {os.cpu_count()} cores shared with other "
        "work: two free cores were not to be had, so the two-thread column shows what the load "
        "left; the instruction counts (callgrind, one thread) are the load-free comparison.",
        "",
        "| call | floor case | floor ns | 1 thread ns | x floor | 2 threads ns | 2 threads speed-up |"
        + (" floor instr. | qv instr. | x floor |" if counts else ""),
        "|---|---|---|---|---|---|---|" + ("---|---|---|" if counts else ""),
    ]
    for name, (case, _) in CALLS.items():
        row = (
            f"| {name} | {case} | {floor[case]:.0f} | {one[name]:.0f} | "
            f"{one[name] / floor[case]:.2f} | {two[name]:.0f} | {one[name] / two[name]:.2f} |"
        )
        if counts:
            row += f" {counts[case]:.0f} | {counts[name]:.0f} | {counts[name] / counts[case]:.2f} |"
        lines.append(row)
    lines += [
        "",
        "The seal alone (64 B, no token text), by the ways OpenSSL 3.0 offers to restart a keyed "
        "context (bench/NOTES.md has what they cost and why):",
        "",
        "| way | ns |",
        "|---|---|",
        *[
            f"| {name[len('bare seal, ') :]} | {ns:.0f} |"
            for name, ns in floor.items()
            if name.startswith("bare seal, ")
        ],
        MARK_END,
    ]
    return "\n".join(lines) + "\n"


def splice(results_md: str, text: str) -> str:
    """`results_md` with its floor section replaced by `text` (or `text` appended)."""
    if MARK_BEGIN in results_md and MARK_END in results_md:
        head, rest = results_md.split(MARK_BEGIN, 1)
        return head + text + rest.split(MARK_END, 1)[1].lstrip("\n")
    return results_md.rstrip("\n") + "\n\n" + text


def carry_over(old_md: str, new_md: str) -> str:
    """`new_md` with the floor section of `old_md`, if it has one."""
    if MARK_BEGIN not in old_md or MARK_END not in old_md:
        return new_md
    section = MARK_BEGIN + old_md.split(MARK_BEGIN, 1)[1].split(MARK_END, 1)[0] + MARK_END + "\n"
    return splice(new_md, section)


def main() -> None:
    load_before = load()
    with tempfile.TemporaryDirectory() as tmp:
        exe = build(tmp)
        if exe is None:
            sys.exit("bulk_floor.py: cannot build bench/bulk_floor.cpp")
        floor = floor_times(exe)
        one = qv_times(1)
        two = qv_times(2)
        counts = instruction_counts(exe) if "--callgrind" in sys.argv else None
    text = section(floor, one, two, counts, load_before)
    print(text)
    if "--write" in sys.argv:
        path = HERE / "RESULTS.md"
        path.write_text(splice(path.read_text(), text))


if __name__ == "__main__":
    main()
