"""A key ring's single-value calls against Fernet and the bare AEAD call.

`Keyring.encrypt` and `Keyring.decrypt` (keys prepared once) are timed beside
`qv.encrypt`/`qv.decrypt` (keyed per call), Fernet's `encrypt`/`decrypt` and
`cryptography`'s bare ChaCha20Poly1305 call with a fresh nonce from
os.urandom, at 16 B, 64 B and 1 KiB. Contenders and sizes take turns batch by
batch and each keeps its best batch, so that a busy moment of a shared
machine weighs on all alike; the ratios are what to read. Also times the two
nonce sources in C++ (nonce.cpp). Run by bench.py (`--ring` for this part
alone); `python bench/ring.py [--quick]` prints the section.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

import qv

HERE = Path(__file__).resolve().parent
MARK_BEGIN = "<!-- ring:begin -->"
MARK_END = "<!-- ring:end -->"
SIZES = [16, 64, 1024]


def contenders(size: int) -> dict[str, tuple[str, dict]]:
    from cryptography.fernet import Fernet
    from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

    text = ("0123456789abcdef" * (size // 16 + 1))[:size]
    pt = text.encode()
    ring = qv.Keyring()
    ring.generate("bench-key")
    key = qv.generate_key()
    fernet = Fernet(Fernet.generate_key())
    aead = ChaCha20Poly1305(ChaCha20Poly1305.generate_key())
    nonce = os.urandom(12)
    ns = {
        "ring": ring,
        "qv": qv,
        "key": key,
        "text": text,
        "pt": pt,
        "f": fernet,
        "aead": aead,
        "urandom": os.urandom,
        "nonce": nonce,
        "ring_tok": ring.encrypt(text),
        "qv_tok": qv.encrypt(text, key, "bench-key"),
        "f_tok": fernet.encrypt(pt),
        "ct": aead.encrypt(nonce, pt, None),
    }
    stmts = {
        "Keyring.encrypt": "ring.encrypt(text)",
        "Keyring.decrypt": "ring.decrypt(ring_tok)",
        "Keyring.encrypt det": "ring.encrypt(text, deterministic=True)",
        "qv.encrypt": "qv.encrypt(text, key, 'bench-key')",
        "qv.decrypt": "qv.decrypt(qv_tok, key)",
        "Fernet.encrypt": "f.encrypt(pt)",
        "Fernet.decrypt": "f.decrypt(f_tok)",
        "AEAD encrypt, fresh nonce": "aead.encrypt(urandom(12), pt, None)",
        "AEAD decrypt": "aead.decrypt(nonce, ct, None)",
    }
    return {name: (stmt, ns) for name, stmt in stmts.items()}


def measure(quick: bool) -> dict[int, dict[str, float]]:
    """Seconds per call of every contender at every size, each the best of its batches.

    Every round runs one batch of each contender at each size, so that the
    sizes, too, share the machine's busy and quiet moments.
    """
    batch_seconds, rounds = (0.01, 5) if quick else (0.05, 15)
    timers = {}
    for size in SIZES:
        for name, (stmt, ns) in contenders(size).items():
            timer = timeit.Timer(stmt, globals=ns)
            number = 1
            while (t := timer.timeit(number)) < batch_seconds:
                number = max(number * 2, int(number * batch_seconds / max(t, 1e-9) * 1.1))
            timers[(size, name)] = (timer, number)
    best = {key: float("inf") for key in timers}
    for _ in range(rounds):
        for key, (timer, number) in timers.items():
            best[key] = min(best[key], timer.timeit(number) / number)
    out: dict[int, dict[str, float]] = {size: {} for size in SIZES}
    for (size, name), seconds in best.items():
        out[size][name] = seconds
    return out


def nonce_sources() -> list[tuple[str, float]] | None:
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "nonce")
        src = str(HERE / "nonce.cpp")
        built = subprocess.run(
            [cxx, "-O2", "-std=c++17", src, "-o", exe, "-lcrypto"], capture_output=True
        )
        if built.returncode != 0:
            return None
        out = subprocess.run([exe], capture_output=True, text=True, check=True).stdout
    return [(name, float(ns)) for name, ns in (line.rsplit("|", 1) for line in out.splitlines())]


def run(quick: bool) -> str:
    load = Path("/proc/loadavg").read_text().split()[:3]
    timings = measure(quick)
    names = list(next(iter(timings.values())))
    lines = [
        MARK_BEGIN,
        "## Key ring, one value per call",
        "",
        f"Written by `bench/ring.py{' --quick' if quick else ''}`; load average before: "
        f"{' '.join(load)}. Contenders and sizes take turns batch by batch, best batch each. "
        "`Keyring` keeps each key prepared (cipher keyed once, HMAC pads absorbed once); "
        "`qv.encrypt` keys per call.",
        "",
        "| call | " + " | ".join(f"{s} B" for s in SIZES) + " |",
        "|---|" + "---|" * len(SIZES),
    ]
    for name in names:
        cells = [f"{timings[s][name] * 1e9:.0f} ns" for s in SIZES]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "| ratio | " + " | ".join(f"{s} B" for s in SIZES) + " | target |"]
    lines.append("|---|" + "---|" * (len(SIZES) + 1))
    ratios = [
        ("Keyring.encrypt / Fernet.encrypt", "Keyring.encrypt", "Fernet.encrypt", 1.0),
        ("Keyring.decrypt / Fernet.decrypt", "Keyring.decrypt", "Fernet.decrypt", 1.0),
        (
            "Keyring.encrypt / AEAD encrypt, fresh nonce",
            "Keyring.encrypt",
            "AEAD encrypt, fresh nonce",
            None,
        ),
        ("Keyring.decrypt / AEAD decrypt", "Keyring.decrypt", "AEAD decrypt", None),
        ("Keyring.encrypt / qv.encrypt", "Keyring.encrypt", "qv.encrypt", None),
        ("Keyring.decrypt / qv.decrypt", "Keyring.decrypt", "qv.decrypt", None),
    ]
    for label, a, b, limit in ratios:
        rs = [timings[s][a] / timings[s][b] for s in SIZES]
        verdict = "" if limit is None else ("met" if all(r <= limit for r in rs) else "MISSED")
        target = "" if limit is None else f"<= {limit:.2f}: {verdict}"
        lines.append(f"| {label} | " + " | ".join(f"{r:.2f}" for r in rs) + f" | {target} |")
    sources = nonce_sources()
    if sources:
        lines += ["", "Nonce sources, C++ (nonce.cpp), ns per 12-byte draw, best of 7:", ""]
        lines += [f"- {name}: {ns:.0f} ns" for name, ns in sources]
    lines.append(MARK_END)
    return "\n".join(lines) + "\n"


def splice(results_md: str, section: str) -> str:
    """`results_md` with its key ring section replaced by `section` (or appended)."""
    if MARK_BEGIN in results_md and MARK_END in results_md:
        head, rest = results_md.split(MARK_BEGIN, 1)
        tail = rest.split(MARK_END, 1)[1].lstrip("\n")
        return head + section + ("\n" + tail if tail else "")
    return results_md.rstrip("\n") + "\n\n" + section


if __name__ == "__main__":
    print(run("--quick" in sys.argv))
