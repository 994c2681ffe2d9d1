"""How fast the qv command line works through files of values.

`make bench-cli` runs it and writes its section into bench/RESULTS.md. Each
row is one `qv` process over a file of LINES values of 64 bytes, timed from
its start to its end (start-up and ring loading included; the ring is locked
with a wrapping key, so no scrypt is in the figures), best of ROUNDS runs.
The machine is shared: each row states the load average it ran under, and the
CPU seconds of the process, which other work disturbs less.
"""

from __future__ import annotations

import argparse
import base64
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import qv

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "RESULTS.md"
BEGIN = "<!-- command line section: begin -->"
END = "<!-- command line section: end -->"
QV = [sys.executable, "-m", "qv"]
VALUE_BYTES = 64
TARGETS = {"--lines": 500_000, "--jsonl": 150_000}  # lines per second at 10^6 lines
# Peak memory over a tenth of the input may grow this much at most over the whole.
FLAT = 1.25


def value(i: int) -> str:
    return f"{i:08d}@example.com".ljust(VALUE_BYTES, "x")


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


# Starts one qv process and records its wall and CPU seconds and peak memory.
# A child's peak memory counts what its parent held when it forked, so the
# figures come from this small process and not from the benchmark's own,
# which holds the generated values.
MEASURE = """
import os, sys, time
record, args = sys.argv[1], sys.argv[2:]
start = time.perf_counter()
pid = os.posix_spawn(sys.executable, [sys.executable, "-m", "qv", *args], os.environ)
_, status, usage = os.wait4(pid, 0)
seconds = time.perf_counter() - start
with open(record, "w") as f:
    f.write(f"{seconds} {usage.ru_utime + usage.ru_stime} {usage.ru_maxrss}")
sys.exit(os.waitstatus_to_exitcode(status))
"""


class Run:
    """One command's best run: wall and CPU seconds, peak memory, the load it ran under."""

    def __init__(self, args: list[str], folder: Path, rounds: int) -> None:
        self.load = load()
        self.seconds = self.cpu = float("inf")
        self.rss_mib = 0.0
        record = folder / "usage"
        for _ in range(rounds):
            proc = subprocess.run(
                [sys.executable, "-c", MEASURE, str(record), *args],
                cwd=folder,
                capture_output=True,
            )
            if proc.returncode != 0:
                raise SystemExit(f"qv {' '.join(args)} failed: {proc.stderr.decode()}")
            seconds, cpu, rss_kib = map(float, record.read_text().split())
            if seconds < self.seconds:
                self.seconds, self.cpu = seconds, cpu
            self.rss_mib = max(self.rss_mib, rss_kib / 1024)


def timed(args: list[str], folder: Path, rounds: int) -> Run:
    return Run(args, folder, rounds)


def make_files(folder: Path, lines: int) -> None:
    wrap = qv.generate_key()
    (folder / "ring.key").write_bytes(base64.urlsafe_b64encode(wrap).rstrip(b"=") + b"\n")
    (folder / "ring.key").chmod(0o600)
    ring = qv.Keyring()
    ring.generate("old")
    ring.generate("new")
    step = 100_000
    with (
        open(folder / "plain.txt", "w") as plain,
        open(folder / "plain.jsonl", "w") as rows,
        open(folder / "tokens.txt", "w") as tokens,
        open(folder / "sealed.jsonl", "w") as sealed,
    ):
        for first in range(0, lines, step):
            values = [value(i) for i in range(first, min(lines, first + step))]
            plain.writelines(v + "\n" for v in values)
            rows.writelines(
                f'{{"id": {first + i}, "email": "{v}", "n": {{"a": [1]}}}}\n'
                for i, v in enumerate(values)
            )
            sealed_values = ring.encrypt_many(values)
            tokens.writelines(f"{t}\n" for t in sealed_values)
            sealed.writelines(
                f'{{"id": {first + i}, "email": "{t}"}}\n' for i, t in enumerate(sealed_values)
            )
    with open(folder / "plain.jsonl", "rb") as whole, open(folder / "tenth.jsonl", "wb") as part:
        part.writelines(line for _, line in zip(range(max(1, lines // 10)), whole, strict=False))
    ring.promote("new")
    ring.save(folder / "ring.json", wrapping_key=wrap)


COMMANDS = [
    ("encrypt --lines", ["encrypt", "--lines", "plain.txt"]),
    ("decrypt --lines", ["decrypt", "--lines", "tokens.txt"]),
    ("rotate --lines", ["rotate", "--lines", "tokens.txt"]),
    ("encrypt --jsonl email", ["encrypt", "--jsonl", "email", "plain.jsonl"]),
    ("decrypt --jsonl email", ["decrypt", "--jsonl", "email", "sealed.jsonl"]),
    ("rotate --jsonl email", ["rotate", "--jsonl", "email", "sealed.jsonl"]),
]
RING = ["-k", "ring.json", "--wrapping-key-file", "ring.key", "-o", "out"]


@contextmanager
def ring_calls_timed(totals: dict[str, float]) -> Iterator[None]:
    """Adds the CPU seconds spent inside the ring's bulk calls to totals["ring"]."""
    saved: dict[str, Callable[..., Any]] = {}
    for name in ("encrypt_many", "decrypt_many", "rotate_many"):
        real = saved[name] = getattr(qv.Keyring, name)

        def timed_call(self: qv.Keyring, *a: Any, _real: Any = real, **kw: Any) -> Any:
            start = time.process_time()
            try:
                return _real(self, *a, **kw)
            finally:
                totals["ring"] += time.process_time() - start

        setattr(qv.Keyring, name, timed_call)
    try:
        yield
    finally:
        for name, real in saved.items():
            setattr(qv.Keyring, name, real)


def parse_seconds(path: Path) -> float:
    """CPU seconds the standard library's JSON scanner takes to parse each line of `path`."""
    from json import JSONDecoder

    scan = JSONDecoder().scan_once  # type: ignore[attr-defined]
    with open(path, encoding="utf-8") as f:
        rows = f.read().splitlines()
    start = time.process_time()
    for row in rows:
        scan(row, 0)
    return time.process_time() - start


def shares(folder: Path) -> list[tuple[str, float, float, float | None]]:
    """(command, CPU seconds, of which in the ring's bulk calls, of which parsing JSON),
    run in this process."""
    from qv import cli

    out: list[tuple[str, float, float, float | None]] = []
    cwd = Path.cwd()
    os.chdir(folder)
    try:
        for name, args in COMMANDS[:2] + COMMANDS[3:5]:
            totals = {"ring": 0.0}
            with ring_calls_timed(totals):
                start = time.process_time()
                status = cli.main([args[0], *RING, *args[1:]])
                cpu = time.process_time() - start
            assert status == 0, name
            parsing = parse_seconds(folder / args[-1]) if "--jsonl" in args else None
            out.append((name, cpu, totals["ring"], parsing))
    finally:
        os.chdir(cwd)
    return out


def section(lines: int, rounds: int) -> str:
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        make_files(folder, lines)
        startup = timed(["--version"], folder, rounds)
        runs = [(name, timed([a[0], *RING, *a[1:]], folder, rounds)) for name, a in COMMANDS]
        tenth = timed(["encrypt", *RING, "--jsonl", "email", "tenth.jsonl"], folder, 1)
        split = shares(folder)
    text = [
        "## Command line: --lines and --jsonl",
        "",
        f"Written by `bench/cli_bench.py` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}"
        f"; `make bench-cli` runs it again. Each row is one `qv` process over a file of "
        f"{lines:,} lines of {VALUE_BYTES}-byte values (as JSON lines, one field of three), "
        f"timed from its start to its end, best of {rounds}; lines/s is over wall seconds. "
        "The machine (2 cores) is shared with other work: each row gives the load average "
        "(1, 5, 15 min) when it started, and the process's CPU seconds (user and system, "
        "both bulk threads), which that work disturbs less.",
        "",
        "| command | seconds | lines/s | CPU seconds | lines per CPU second | peak RSS | load |",
        "|---|---|---|---|---|---|---|",
        f"| qv --version (start-up) | {startup.seconds:.3f} | | {startup.cpu:.3f} | | "
        f"{startup.rss_mib:.0f} MiB | {startup.load} |",
    ]
    for name, run in runs:
        text.append(
            f"| {name} | {run.seconds:.3f} | {lines / run.seconds:,.0f} | {run.cpu:.3f} | "
            f"{lines / run.cpu:,.0f} | {run.rss_mib:.0f} MiB | {run.load} |"
        )
    text += [
        "",
        "Where the CPU time goes: the same commands run in one process, with the ring's bulk "
        "calls (sealing or opening) timed inside it; the rest is reading, splitting or "
        "splicing, and writing. For JSON lines, the standard library's scanner was also timed "
        "parsing every line alone, as the splicer has it do once per line.",
        "",
        "| command | CPU seconds | in the ring's bulk calls | the rest | of which parsing JSON |",
        "|---|---|---|---|---|",
    ]
    for name, cpu, ring, parsing in split:
        parsed = "" if parsing is None else f"{parsing:.2f} ({parsing / cpu:.0%})"
        text.append(
            f"| {name} | {cpu:.2f} | {ring:.2f} ({ring / cpu:.0%}) | {cpu - ring:.2f} | {parsed} |"
        )
    text += ["", "| target | measured | result |", "|---|---|---|"]
    for name, run in runs:
        shape = name.split()[1]
        if name.startswith("rotate"):
            continue
        rate, goal = lines / run.seconds, TARGETS[shape]
        met = "met" if rate >= goal else "**missed**"
        text.append(
            f"| {name}: at least {goal:,} lines/s | {rate:,.0f} lines/s "
            f"(load {run.load.split()[0]}) | {met} |"
        )
    whole = dict(runs)["encrypt --jsonl email"].rss_mib
    met = "met" if whole <= FLAT * tenth.rss_mib else "**missed**"
    text.append(
        f"| memory flat in the input: peak RSS over all lines at most {FLAT}x that over a tenth "
        f"| {whole:.0f} MiB / {tenth.rss_mib:.0f} MiB | {met} |"
    )
    return "\n".join(text) + "\n"


def splice(results: str, text: str) -> str:
    """`results` with its command-line section replaced by `text`, or `text` added at the end."""
    marked = f"{BEGIN}\n{text.rstrip()}\n{END}\n"
    if BEGIN in results and END in results:
        head, rest = results.split(BEGIN, 1)
        return head + marked + rest.split(END, 1)[1].lstrip("\n")
    return results.rstrip("\n") + "\n\n" + marked


def carried(old: str, new: str) -> str:
    """`new` keeping the command-line section of `old`, for a run that rewrites the whole file."""
    if BEGIN in old and END in old and BEGIN not in new:
        return splice(new, old.split(BEGIN, 1)[1].split(END, 1)[0].strip())
    return new


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--lines", type=int, default=1_000_000, help="lines per file (10^6)")
    ap.add_argument("--rounds", type=int, default=3, help="runs per command; the best counts")
    ap.add_argument("--no-write", action="store_true", help="print only; leave RESULTS.md alone")
    args = ap.parse_args()
    text = section(args.lines, args.rounds)
    print(text)
    if not args.no_write:
        RESULTS.write_text(splice(RESULTS.read_text(), text))
        print(f"wrote {RESULTS}", file=sys.stderr)


if __name__ == "__main__":
    main()
