#!/usr/bin/env python3
"""Time qv against the token and AEAD libraries people would pick instead.

One run measures, on this machine, the time per call and the plaintext
throughput of qv's `encrypt` (random and deterministic), `decrypt` and
`decode_token`, and of the peers' seal and open calls, for plaintexts of
16 B to 16 MiB; then the peak resident memory of sealing and opening a
16 MiB plaintext. It prints the tables and writes them, with the targets
marked met or missed, to bench/RESULTS.md.

    python bench/bench.py           # full run, a few minutes
    python bench/bench.py --quick   # shorter batches, under a minute
    python bench/bench.py --ring    # only the key ring section (add --quick: seconds)

Every figure is the best of several batches (`timeit` loops, no lambdas
around the calls), which is the least disturbed by other work on a shared
machine. Throughput is plaintext bytes per second, in GB/s of 10^9 bytes.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.metadata
import os
import platform
import ssl
import subprocess
import sys
import textwrap
import timeit
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import qv

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "RESULTS.md"

KiB = 1024
MiB = 1024 * KiB
SIZES = [16, 64, KiB, 64 * KiB, MiB, 16 * MiB]
KEY_ID = "bench-key"


def size_name(n: int) -> str:
    if n >= MiB:
        return f"{n // MiB} MiB"
    if n >= KiB:
        return f"{n // KiB} KiB"
    return f"{n} B"


# --------------------------------------------------------------------------
# The contenders. Each maker returns {operation: (stmt, namespace)} for one
# plaintext size; the statement is what `timeit` repeats.


def qv_ops(pt: bytes) -> dict[str, tuple[str, dict]]:
    text = pt.decode("ascii")  # qv seals text; ASCII keeps the sizes equal
    key = qv.generate_key()
    tok = qv.encrypt(text, key, KEY_ID)
    ns = {"qv": qv, "pt": text, "key": key, "kid": KEY_ID, "tok": tok}
    return {
        "encrypt": ("qv.encrypt(pt, key, kid)", ns),
        "encrypt_det": ("qv.encrypt(pt, key, kid, True)", ns),
        "decrypt": ("qv.decrypt(tok, key)", ns),
        "decode_token": ("qv.decode_token(tok)", ns),
    }


def chacha_ops(pt: bytes) -> dict[str, tuple[str, dict]]:
    from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

    aead = ChaCha20Poly1305(ChaCha20Poly1305.generate_key())
    nonce = os.urandom(12)
    ns = {"aead": aead, "nonce": nonce, "pt": pt, "ct": aead.encrypt(nonce, pt, None)}
    # The bare cipher call with a fixed nonce and no associated data: the
    # floor under any token scheme built on it.
    ns["urandom"] = os.urandom
    return {
        "encrypt": ("aead.encrypt(nonce, pt, None)", ns),
        "decrypt": ("aead.decrypt(nonce, ct, None)", ns),
        # For reference: the same call with a fresh nonce, as a caller needs.
        "encrypt_rn": ("aead.encrypt(urandom(12), pt, None)", ns),
    }


def fernet_ops(pt: bytes) -> dict[str, tuple[str, dict]]:
    from cryptography.fernet import Fernet

    f = Fernet(Fernet.generate_key())
    ns = {"f": f, "pt": pt, "tok": f.encrypt(pt)}
    return {"encrypt": ("f.encrypt(pt)", ns), "decrypt": ("f.decrypt(tok)", ns)}


def _tink():
    import tink
    from tink import aead, daead

    aead.register()
    daead.register()
    return tink, aead, daead


def tink_aead_ops(pt: bytes) -> dict[str, tuple[str, dict]]:
    tink, aead, _ = _tink()
    handle = tink.new_keyset_handle(aead.aead_key_templates.XCHACHA20_POLY1305)
    p = handle.primitive(aead.Aead)
    ns = {"p": p, "pt": pt, "ct": p.encrypt(pt, b"")}
    return {"encrypt": ("p.encrypt(pt, b'')", ns), "decrypt": ("p.decrypt(ct, b'')", ns)}


def tink_daead_ops(pt: bytes) -> dict[str, tuple[str, dict]]:
    tink, _, daead = _tink()
    handle = tink.new_keyset_handle(daead.deterministic_aead_key_templates.AES256_SIV)
    p = handle.primitive(daead.DeterministicAead)
    ns = {"p": p, "pt": pt, "ct": p.encrypt_deterministically(pt, b"")}
    return {
        "encrypt": ("p.encrypt_deterministically(pt, b'')", ns),
        "decrypt": ("p.decrypt_deterministically(ct, b'')", ns),
    }


def secretbox_ops(pt: bytes) -> dict[str, tuple[str, dict]]:
    import nacl.secret
    import nacl.utils

    box = nacl.secret.SecretBox(nacl.utils.random(nacl.secret.SecretBox.KEY_SIZE))
    ns = {"box": box, "pt": pt, "ct": box.encrypt(pt)}
    return {"encrypt": ("box.encrypt(pt)", ns), "decrypt": ("box.decrypt(ct)", ns)}


CONTENDERS: dict[str, Callable[[bytes], dict[str, tuple[str, dict]]]] = {
    "qv": qv_ops,
    "ChaCha20Poly1305": chacha_ops,
    "Fernet": fernet_ops,
    "Tink AEAD": tink_aead_ops,
    "Tink DAEAD": tink_daead_ops,
    "SecretBox": secretbox_ops,
}

PEER_NOTES = {
    "ChaCha20Poly1305": "`cryptography` ChaCha20Poly1305, bare call (fixed nonce, no AD, no token); "
    "`encrypt_rn` is the same call with a fresh `os.urandom(12)` nonce, for reference",
    "Fernet": "`cryptography` Fernet (AES-128-CBC + HMAC-SHA256, base64url token)",
    "Tink AEAD": "Tink AEAD, XCHACHA20_POLY1305 key template (Tink offers XChaCha20)",
    "Tink DAEAD": "Tink deterministic AEAD, AES256_SIV key template",
    "SecretBox": "PyNaCl SecretBox (XSalsa20-Poly1305, random nonce)",
}

PEER_PACKAGES = {
    "ChaCha20Poly1305": "cryptography",
    "Fernet": "cryptography",
    "Tink AEAD": "tink",
    "Tink DAEAD": "tink",
    "SecretBox": "pynacl",
}


# --------------------------------------------------------------------------
# Timing


@dataclass
class Settings:
    batch_seconds: float  # each batch runs at least this long
    repeats: int  # batches per figure; the best one counts


def time_per_call(stmt: str, ns: dict, s: Settings) -> float:
    """Seconds per call: the best of `s.repeats` batches."""
    timer = timeit.Timer(stmt, globals=ns)
    number = 1
    while True:  # grow the batch until it lasts long enough to time
        t = timer.timeit(number)
        if t >= s.batch_seconds:
            break
        number = max(number * 2, int(number * s.batch_seconds / max(t, 1e-9) * 1.1))
    best = t
    for _ in range(s.repeats - 1):
        best = min(best, timer.timeit(number))
    return best / number


@dataclass
class Timings:
    # seconds per call, by (contender, operation, size)
    t: dict[tuple[str, str, int], float] = field(default_factory=dict)

    def get(self, who: str, op: str, size: int) -> float:
        return self.t[(who, op, size)]


def run_timings(s: Settings, sizes: list[int]) -> Timings:
    out = Timings()
    for size in sizes:
        pt = (b"0123456789abcdef" * (size // 16 + 1))[:size]
        for who, make in CONTENDERS.items():
            for op, (stmt, ns) in make(pt).items():
                out.t[(who, op, size)] = time_per_call(stmt, ns, s)
            print(f"  {size_name(size):>7}  {who}", file=sys.stderr, flush=True)
    return out


# --------------------------------------------------------------------------
# Memory: each measurement runs in a fresh interpreter, with every large
# allocation served by its own mapping (so freed buffers leave the resident
# set at once) and the peak counter reset just before the call.

MEMORY_CHILD = textwrap.dedent(
    """
    import gc, sys, qv
    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    size, op, tok_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    key = bytes(range(32))
    pt = ("0123456789abcdef" * (size // 16 + 1))[:size]
    if op == "decrypt":
        with open(tok_path) as f:
            tok = f.read()
        del pt
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the peak resident size to the current one
    base = status("VmRSS")
    if op == "encrypt":
        out = qv.encrypt(pt, key, "bench-key")
    else:
        out = qv.decrypt(tok, key)
    print(status("VmHWM") - base)
    """
)


def memory_peaks(size: int) -> dict[str, int]:
    import tempfile

    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="0")
    key = bytes(range(32))
    pt = ("0123456789abcdef" * (size // 16 + 1))[:size]
    with tempfile.NamedTemporaryFile("w", suffix=".tok", delete=False) as f:
        f.write(qv.encrypt(pt, key, KEY_ID))
        tok_path = f.name
    try:
        peaks = {}
        for op in ("encrypt", "decrypt"):
            # Best of three: page-cache and allocator noise only ever adds.
            runs = [
                int(
                    subprocess.run(
                        [sys.executable, "-c", MEMORY_CHILD, str(size), op, tok_path],
                        env=env,
                        check=True,
                        capture_output=True,
                        text=True,
                    ).stdout
                )
                for _ in range(3)
            ]
            peaks[op] = min(runs)
        return peaks
    finally:
        os.unlink(tok_path)


def openssl_floors() -> list[tuple[str, float]] | None:
    """Build and run floor.cpp; None without a compiler or libcrypto headers."""
    import shutil
    import tempfile

    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "floor")
        built = subprocess.run(
            [cxx, "-O2", "-std=c++17", str(HERE / "floor.cpp"), "-o", exe, "-lcrypto"],
            capture_output=True,
        )
        if built.returncode != 0:
            return None
        out = subprocess.run([exe], capture_output=True, text=True, check=True).stdout
    rows = []
    for line in out.splitlines():
        name, ns = line.rsplit("|", 1)
        rows.append((name, float(ns)))
    return rows


# --------------------------------------------------------------------------
# Report


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def load_average() -> str:
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "unknown"


def version(pkg: str) -> str:
    try:
        return importlib.metadata.version(pkg)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def openssl_version() -> str:
    try:
        out = subprocess.run(["openssl", "version"], capture_output=True, text=True, check=True)
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def fmt_time(sec: float) -> str:
    if sec < 1e-3:
        return f"{sec * 1e6:.2f} µs"
    if sec < 1:
        return f"{sec * 1e3:.2f} ms"
    return f"{sec:.2f} s"


def fmt_rate(size: int, sec: float) -> str:
    rate = size / sec
    if rate >= 1e9:
        return f"{rate / 1e9:.2f} GB/s"
    return f"{rate / 1e6:.1f} MB/s"


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def timing_table(tm: Timings, sizes: list[int]) -> str:
    cols = [(w, op) for (w, op, sz) in tm.t if sz == sizes[0]]
    header = ["size"] + [f"{w} {op}" for w, op in cols]
    rows = []
    for sz in sizes:
        rows.append(
            [size_name(sz)]
            + [
                f"{fmt_time(tm.get(w, op, sz))}<br>{fmt_rate(sz, tm.get(w, op, sz))}"
                for w, op in cols
            ]
        )
    return table(header, rows)


# (qv operation, peer, peer operation) pairs shown as ratios.
RATIOS = [
    ("encrypt", "ChaCha20Poly1305", "encrypt"),
    ("encrypt", "ChaCha20Poly1305", "encrypt_rn"),
    ("decrypt", "ChaCha20Poly1305", "decrypt"),
    ("encrypt", "Fernet", "encrypt"),
    ("decrypt", "Fernet", "decrypt"),
    ("encrypt", "Tink AEAD", "encrypt"),
    ("decrypt", "Tink AEAD", "decrypt"),
    ("encrypt", "SecretBox", "encrypt"),
    ("decrypt", "SecretBox", "decrypt"),
    ("encrypt_det", "Tink DAEAD", "encrypt"),
    ("decrypt", "Tink DAEAD", "decrypt"),
]


def ratio_table(tm: Timings, sizes: list[int]) -> str:
    header = ["size"] + [f"qv {q} / {p} {po}" for q, p, po in RATIOS]
    rows = [
        [size_name(sz)] + [f"{tm.get('qv', q, sz) / tm.get(p, po, sz):.2f}" for q, p, po in RATIOS]
        for sz in sizes
    ]
    return table(header, rows)


@dataclass
class Target:
    text: str
    met: bool
    measured: str


def check_targets(
    tm: Timings, sizes: list[int], mem: dict[str, int] | None, mem_size: int
) -> list[Target]:
    out = []
    if 64 in sizes:
        for op in ("encrypt", "decrypt"):
            r = tm.get("qv", op, 64) / tm.get("ChaCha20Poly1305", op, 64)
            out.append(
                Target(
                    f"64 B, random mode: `{op}` within 2x of the bare ChaCha20Poly1305 call",
                    r <= 2.0,
                    f"{r:.2f}x",
                )
            )
    for peer, limit, what in (
        ("Fernet", 0.2, "at least 5x faster than"),
        ("Tink AEAD", 1.0, "faster than"),
        ("SecretBox", 1.0, "faster than"),
    ):
        for op in ("encrypt", "decrypt"):
            rs = {sz: tm.get("qv", op, sz) / tm.get(peer, op, sz) for sz in sizes}
            worst = max(rs, key=rs.get)
            met = all(r < limit if limit == 1.0 else r <= limit for r in rs.values())
            out.append(
                Target(
                    f"every size: `{op}` {what} {peer}",
                    met,
                    f"worst qv/{peer} {rs[worst]:.2f} at {size_name(worst)}",
                )
            )
    if MiB in sizes:
        for op in ("encrypt", "decrypt"):
            rate = MiB / tm.get("qv", op, MiB) / 1e9
            out.append(
                Target(f"1 MiB: `{op}` at 1.5 GB/s or more", rate >= 1.5, f"{rate:.2f} GB/s")
            )
    if mem is not None:
        for op, peak in mem.items():
            x = peak / mem_size
            out.append(
                Target(
                    f"{size_name(mem_size)}: peak extra memory of `{op}` at most 5 x P",
                    x <= 5.0,
                    f"{x:.2f} x P ({peak / MiB:.1f} MiB)",
                )
            )
    return out


def report(
    tm: Timings,
    sizes: list[int],
    mem,
    mem_size: int,
    quick: bool,
    load_before: str,
    floors: list[tuple[str, float]] | None,
) -> str:
    targets = check_targets(tm, sizes, mem, mem_size)
    now = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    parts = [
        "# qv benchmark results",
        "",
        f"Written by `bench/bench.py{' --quick' if quick else ''}` on {now}. "
        "Regenerate with `make bench`.",
        "",
        "## Machine",
        "",
        f"- CPU: {cpu_model()}, {os.cpu_count()} cores",
        f"- Load average (1, 5, 15 min) before the run: {load_before}; after: {load_average()}",
        f"- Python {platform.python_version()} ({platform.python_implementation()})",
        f"- OpenSSL: {openssl_version()} (Python's ssl module: {ssl.OPENSSL_VERSION})",
        f"- qv {version('qv')}, cryptography {version('cryptography')}, tink {version('tink')}, "
        f"pynacl {version('pynacl')}",
        "",
        "## Peers",
        "",
        *[f"- {k}: {v}" for k, v in PEER_NOTES.items()],
        "",
        "qv seals an ASCII `str` of the given size (qv's plaintext is text); the peers seal "
        "`bytes` of the same size. qv `encrypt` is random mode, `encrypt_det` deterministic "
        "mode; `decrypt` returns the plaintext as a `str`.",
        "",
        "## Targets",
        "",
        table(
            ["target", "measured", "result"],
            [[t.text, t.measured, "met" if t.met else "**missed**"] for t in targets],
        ),
        "",
        "## Ratios (qv time / peer time; below 1 means qv is faster)",
        "",
        ratio_table(tm, sizes),
        "",
        "## Time per call and plaintext throughput",
        "",
        timing_table(tm, sizes),
        "",
    ]
    if mem is not None:
        parts += [
            "## Peak memory",
            "",
            f"Peak resident memory above the inputs, for a {size_name(mem_size)} plaintext "
            "(P), measured in a fresh interpreter; the result object is included.",
            "",
            table(
                ["operation", "peak extra", "multiple of P"],
                [[op, f"{v / MiB:.1f} MiB", f"{v / mem_size:.2f}"] for op, v in mem.items()],
            ),
            "",
        ]
    if floors is not None:
        parts += [
            "## OpenSSL's per-call floor",
            "",
            "From `bench/floor.cpp` (C++, no Python), nanoseconds per call, best of 7 batches:",
            "",
            table(["step", "ns"], [[name, f"{ns:.0f}"] for name, ns in floors]),
            "",
        ]
    notes = HERE / "NOTES.md"
    if notes.exists():  # the hand-written analysis of the profile, kept across runs
        parts += [notes.read_text()]
    return "\n".join(parts)


def columns_section(quick: bool) -> str:
    """The qv.arrow section (bench/columns.py), with the load it ran under."""
    sys.path.insert(0, str(HERE))
    import columns

    before = load_average()
    measured = columns.measure(quick)
    return columns.section(measured).replace(
        "\n\n", f"\n\nLoad average before: {before}; after: {load_average()}.\n\n", 1
    )


# The column section sits between these marks in RESULTS.md, so a run of that
# section alone replaces exactly it.
COLUMNS_BEGIN = "<!-- columns section: begin -->"
COLUMNS_END = "<!-- columns section: end -->"


def replace_section(text: str, section: str) -> str:
    """`text` with its column section replaced by `section`, or `section` added at the end."""
    marked = f"{COLUMNS_BEGIN}\n{section.rstrip()}\n{COLUMNS_END}\n"
    if COLUMNS_BEGIN in text and COLUMNS_END in text:
        head, rest = text.split(COLUMNS_BEGIN, 1)
        return head + marked + rest.split(COLUMNS_END, 1)[1].lstrip("\n")
    return text.rstrip("\n") + "\n\n" + marked


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="short batches; under a minute")
    ap.add_argument(
        "--sizes",
        type=lambda s: [int(x) for x in s.split(",")],
        help="comma-separated plaintext sizes in bytes (default: all)",
    )
    ap.add_argument("--no-write", action="store_true", help="print only; leave RESULTS.md alone")
    ap.add_argument(
        "--bulk",
        action="store_true",
        help="only the bulk section (encrypt_many, decrypt_many), spliced into RESULTS.md",
    )
    ap.add_argument(
        "--ring",
        action="store_true",
        help="only the key ring section (Keyring against Fernet), spliced into RESULTS.md",
    )
    ap.add_argument(
        "--columns",
        action="store_true",
        help="only the column section (qv.arrow), spliced into RESULTS.md",
    )
    args = ap.parse_args()
    if args.columns:
        text = columns_section(args.quick)
        print(text)
        if not args.no_write:
            RESULTS.write_text(replace_section(RESULTS.read_text(), text))
            print(f"wrote {RESULTS}", file=sys.stderr)
        return

    sys.path.insert(0, str(HERE))
    import bulk
    import ring

    if args.ring:
        section = ring.run(args.quick)
        print(section)
        if not args.no_write:
            old = RESULTS.read_text() if RESULTS.exists() else "# qv benchmark results\n"
            RESULTS.write_text(ring.splice(old, section))
            print(f"wrote {RESULTS}", file=sys.stderr)
        return

    if args.bulk:
        print(f"load average before: {load_average()}", file=sys.stderr)
        section = bulk.run(args.quick)
        print(section)
        if not args.no_write:
            old = RESULTS.read_text() if RESULTS.exists() else "# qv benchmark results\n"
            RESULTS.write_text(bulk.splice(old, section))
            print(f"wrote {RESULTS}", file=sys.stderr)
        return

    settings = Settings(0.02, 3) if args.quick else Settings(0.2, 7)
    sizes = args.sizes or SIZES
    load_before = load_average()
    print(f"load average before: {load_before}", file=sys.stderr)
    tm = run_timings(settings, sizes)
    mem_size = 16 * MiB
    mem = memory_peaks(mem_size)
    floors = openssl_floors()
    text = report(tm, sizes, mem, mem_size, args.quick, load_before, floors)
    text = bulk.splice(text, bulk.run(args.quick))
    text = ring.splice(text, ring.run(args.quick))
    text = replace_section(text, columns_section(args.quick))
    # The floor section (make bench-floor) needs valgrind and minutes of its
    # own: a full run keeps the last one rather than dropping it.
    import bulk_floor

    if RESULTS.exists():
        text = bulk_floor.carry_over(RESULTS.read_text(), text)
    print(text)
    if not args.no_write:
        import cli_bench  # the command line's section is written by `make bench-cli`

        RESULTS.write_text(cli_bench.carried(RESULTS.read_text() if RESULTS.exists() else "", text))
        print(f"wrote {RESULTS}", file=sys.stderr)


if __name__ == "__main__":
    main()
