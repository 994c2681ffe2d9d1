"""The column section of `make bench`: qv.arrow against encrypt_many and a Python loop.

Sealing and opening 1 000 000 values of 16-64 bytes: `qv.arrow.encrypt` and
`decrypt` over a pyarrow string array, `qv.encrypt_many` and `decrypt_many`
over the same values as a Python list, and a Python loop of `qv.encrypt` and
`qv.decrypt`; one thread and every core. Then the peak extra memory of the
column calls against the size of the result's buffers, in a fresh interpreter.

    python bench/columns.py            # prints the section
    python bench/bench.py --columns    # also writes it into RESULTS.md
"""

from __future__ import annotations

import os
import random
import subprocess
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass, field

ROWS = 1_000_000
KEY = bytes(range(32))
KEY_ID = "bench-key"


def values(rows: int) -> list[str]:
    rng = random.Random(15)
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789@."
    return ["".join(rng.choices(alphabet, k=rng.randint(16, 64))) for _ in range(rows)]


def best(fn, repeat: int) -> tuple[float, float]:
    """The best wall-clock seconds of `repeat` runs, with that run's CPU seconds."""
    runs = []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        fn()
        runs.append((time.perf_counter() - start, time.process_time() - start_cpu))
    return min(runs)


@dataclass
class Columns:
    rows: int
    cores: int
    # (operation, way, threads label) -> seconds for all rows
    times: dict[tuple[str, str, str], float] = field(default_factory=dict)
    # the same -> CPU seconds of the process in that run (all its threads)
    cpu: dict[tuple[str, str, str], float] = field(default_factory=dict)
    # operation -> (peak extra bytes, result buffer bytes)
    memory: dict[str, tuple[int, int]] = field(default_factory=dict)


def measure(quick: bool) -> Columns:
    import pyarrow as pa

    import qv.arrow

    rows = ROWS
    repeat = 1 if quick else 5
    texts = values(rows)
    column = pa.array(texts, pa.string())
    tokens = qv.arrow.encrypt(column, KEY, KEY_ID)
    token_list = tokens.to_pylist()
    cores = qv._arrow.usable_cores()
    out = Columns(rows, cores)
    many = getattr(qv, "encrypt_many", None)
    open_many = getattr(qv, "decrypt_many", None)
    ways = {}
    for label, threads in (("1 thread", 1), (f"{cores} cores", None)):
        ways["encrypt", "qv.arrow", label] = lambda th=threads: qv.arrow.encrypt(
            column, KEY, KEY_ID, threads=th
        )
        ways["decrypt", "qv.arrow", label] = lambda th=threads: qv.arrow.decrypt(
            tokens, KEY, threads=th
        )
        if many is not None and open_many is not None:
            ways["encrypt", "encrypt_many (list)", label] = lambda th=threads: many(
                texts, KEY, KEY_ID, threads=th
            )
            ways["decrypt", "decrypt_many (list)", label] = lambda th=threads: open_many(
                token_list, KEY, threads=th
            )
    # Round by round, every way once per round: a burst of other work on a
    # shared machine then slows one round of all of them, not one way, and the
    # best round of each is kept.
    for _ in range(repeat):
        for name, call in ways.items():
            sec, cpu = best(call, 1)
            if sec < out.times.get(name, float("inf")):
                out.times[name], out.cpu[name] = sec, cpu
    enc, dec = qv.encrypt, qv.decrypt
    loops = {
        ("encrypt", "Python loop of qv.encrypt", "1 thread"): lambda: [
            enc(v, KEY, KEY_ID) for v in texts
        ],
        ("decrypt", "Python loop of qv.decrypt", "1 thread"): lambda: [
            dec(v, KEY)["data"] for v in token_list
        ],
    }
    for name, call in loops.items():
        out.times[name], out.cpu[name] = best(call, 1 if quick else 2)
    out.memory = memory_peaks(column, tokens)
    return out


MEMORY_CHILD = textwrap.dedent(
    """
    import gc, sys
    import pyarrow as pa
    import qv.arrow
    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    op, path = sys.argv[1], sys.argv[2]
    with pa.memory_map(path) as source:
        column = pa.ipc.open_file(source).read_all().column(0).combine_chunks()
    key = bytes(range(32))
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the peak resident size to the current one
    base = status("VmRSS")
    if op == "encrypt":
        out = qv.arrow.encrypt(column, key, "bench-key")
    else:
        out = qv.arrow.decrypt(column, key)
    peak = status("VmHWM") - base
    print(peak, sum(b.size for b in out.buffers() if b is not None))
    """
)


def memory_peaks(column, tokens) -> dict[str, tuple[int, int]]:
    import pyarrow as pa

    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="0")
    peaks = {}
    with tempfile.TemporaryDirectory() as folder:
        for op, data in (("encrypt", column), ("decrypt", tokens)):
            path = os.path.join(folder, f"{op}.arrow")
            table = pa.table({"c": data})
            with pa.OSFile(path, "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
                writer.write_table(table)
            runs = []
            for _ in range(3):  # best of three: noise only ever adds
                done = subprocess.run(
                    [sys.executable, "-c", MEMORY_CHILD, op, path],
                    env=env,
                    check=True,
                    capture_output=True,
                    text=True,
                )
                peak, result = (int(x) for x in done.stdout.split())
                runs.append((peak, result))
            peaks[op] = min(runs)
    return peaks


def targets(c: Columns) -> list[tuple[str, str, bool]]:
    """(target, measured, met) rows for the report's table."""
    out = []
    for op in ("encrypt", "decrypt"):
        loop = c.times[op, f"Python loop of qv.{op}", "1 thread"]
        for label in ("1 thread", f"{c.cores} cores"):
            arrow = c.times[op, "qv.arrow", label]
            x = loop / arrow
            out.append(
                (
                    f"1M values of 16-64 B, {label}: `qv.arrow.{op}` at least 10x faster than "
                    f"a Python loop of `qv.{op}`",
                    f"{x:.1f}x",
                    x >= 10,
                )
            )
            many = c.times.get((op, f"{op}_many (list)", label))
            if many is None:
                out.append(
                    (
                        f"1M values, {label}: `qv.arrow.{op}` faster than `{op}_many` over a list",
                        "not measured (no bulk functions in this build)",
                        False,
                    )
                )
            else:
                out.append(
                    (
                        f"1M values, {label}: `qv.arrow.{op}` faster than `{op}_many` over a list",
                        f"{many / arrow:.2f}x",
                        arrow < many,
                    )
                )
    for op, (peak, result) in c.memory.items():
        out.append(
            (
                f"1M values: peak extra memory of `qv.arrow.{op}` at most 1.5x the result's buffers",
                f"{peak / result:.2f}x ({peak / 2**20:.1f} MiB for {result / 2**20:.1f} MiB)",
                peak <= 1.5 * result,
            )
        )
    return out


def section(c: Columns) -> str:
    lines = [
        "## Columns (qv.arrow)",
        "",
        f"{c.rows:,} values of 16-64 random ASCII bytes (mean 40 B); seconds for all of them "
        "and values per second. `qv.arrow` takes and returns pyarrow string arrays; the "
        "`*_many` functions take the values as a Python list and return a list; the loops call "
        "the single functions once per value. Peak memory is measured in a fresh interpreter "
        "whose input was read from an Arrow file, against the size of the returned array's "
        "buffers. Targets are judged on wall-clock seconds (best round of several); CPU "
        "seconds, which other work on the machine disturbs less, are shown beside them.",
        "",
        "| operation | way | threads | seconds | values/s | vs Python loop | CPU seconds |",
        "|---|---|---|---|---|---|---|",
    ]
    for (op, way, label), sec in c.times.items():
        loop = c.times[op, f"Python loop of qv.{op}", "1 thread"]
        lines.append(
            f"| {op} | {way} | {label} | {sec:.3f} | {c.rows / sec / 1e6:.2f} M | "
            f"{loop / sec:.1f}x | {c.cpu[op, way, label]:.3f} |"
        )
    lines += ["", "| target | measured | result |", "|---|---|---|"]
    for text, measured, met in targets(c):
        lines.append(f"| {text} | {measured} | {'met' if met else '**missed**'} |")
    loop = c.times["encrypt", "Python loop of qv.encrypt", "1 thread"] / c.rows * 1e9
    arrow = c.times["encrypt", "qv.arrow", "1 thread"] / c.rows * 1e9
    lines += [
        "",
        "Why the 10x targets are out of reach here: a Python loop of `qv.encrypt` costs "
        f"{loop:.0f} ns a value in this run, so 10x asks for {loop / 10:.0f} ns a value, "
        "while sealing one value from a cipher context keyed once costs about 420 ns in C++ "
        "alone (see the OpenSSL floor above and the bulk notes) before any token work; "
        f"`qv.arrow.encrypt` spends {arrow:.0f} ns a value on one thread. On one thread "
        "the ceiling is the cipher's own, about 5x; across cores the figure scales with the "
        "cores that are free, and this machine has two, shared with other work while it ran.",
    ]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    print(section(measure("--quick" in sys.argv)))
