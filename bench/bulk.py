"""The bulk section of the benchmark: encrypt_many and decrypt_many per value.

Each figure is the time of a whole batch divided by its number of values, the
best of several batches. A batch holds 100 000 values, or fewer for large
values (at most 256 MiB of plaintext per batch). The peers run as Python loops
over the same values; the bare `cryptography` call is also timed alone, with a
fixed nonce, as the floor the targets are set against.

    python bench/bulk.py            # prints the section
    python bench/bench.py --bulk    # runs it and splices it into RESULTS.md
"""

from __future__ import annotations

import os
import subprocess
import sys
import timeit
from dataclasses import dataclass

import qv

KiB = 1024
MiB = 1024 * KiB
BULK_SIZES = [16, 64, KiB, 64 * KiB]
VALUES = 100_000
MAX_BATCH_BYTES = 256 * MiB
KEY_ID = "bench-key"
MARK_BEGIN = "<!-- bulk section: written by bench/bulk.py -->"
MARK_END = "<!-- end of bulk section -->"


def size_name(n: int) -> str:
    return f"{n // KiB} KiB" if n >= KiB else f"{n} B"


def best(stmt: str, ns: dict, repeat: int, number: int = 1) -> float:
    """Best time of one run of `stmt`, over `repeat` runs of `number`."""
    return min(timeit.Timer(stmt, globals=ns).repeat(repeat=repeat, number=number)) / number


@dataclass
class SizeResult:
    size: int
    values: int
    per_value: dict[str, float]  # seconds per value, by contender


def measure_size(size: int, repeat: int, values: int, cores: int) -> SizeResult:
    from cryptography.fernet import Fernet
    from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305

    n = max(1, min(values, MAX_BATCH_BYTES // size))
    text = ("0123456789abcdef" * (size // 16 + 1))[:size]
    pts = [text] * n
    raw = [text.encode()] * n
    key = qv.generate_key()
    tokens = qv.encrypt_many(pts, key, KEY_ID, threads=cores)
    aead = ChaCha20Poly1305(ChaCha20Poly1305.generate_key())
    nonce = os.urandom(12)
    ct = aead.encrypt(nonce, raw[0], None)
    fernet = Fernet(Fernet.generate_key())
    ftok = [fernet.encrypt(raw[0])] * n
    ns = {
        "qv": qv,
        "pts": pts,
        "raw": raw,
        "key": key,
        "kid": KEY_ID,
        "tokens": tokens,
        "aead": aead,
        "nonce": nonce,
        "ct": ct,
        "cts": [ct] * n,
        "urandom": os.urandom,
        "fernet": fernet,
        "ftok": ftok,
        "cores": cores,
    }
    per: dict[str, float] = {}

    def batch(name: str, stmt: str) -> None:
        per[name] = best(stmt, ns, repeat) / n

    batch("encrypt_many 1 thread", "qv.encrypt_many(pts, key, kid, threads=1)")
    batch("encrypt_many all cores", "qv.encrypt_many(pts, key, kid, threads=cores)")
    batch(
        "encrypt_many det 1 thread", "qv.encrypt_many(pts, key, kid, deterministic=True, threads=1)"
    )
    batch(
        "encrypt_many det all cores",
        "qv.encrypt_many(pts, key, kid, deterministic=True, threads=cores)",
    )
    batch("decrypt_many 1 thread", "qv.decrypt_many(tokens, key, threads=1)")
    batch("decrypt_many all cores", "qv.decrypt_many(tokens, key, threads=cores)")
    # The loops keep their results, as a caller sealing a column does: a
    # loop that drops each result reuses one block of memory, while a batch's
    # results are all new memory (at 64 KiB the page faults alone are a third
    # of the cost).
    batch("loop qv.encrypt", "[qv.encrypt(p, key, kid) for p in pts]")
    batch("loop qv.decrypt", "[qv.decrypt(t, key) for t in tokens]")
    batch(
        "loop ChaCha20Poly1305 encrypt (urandom nonce)",
        "[aead.encrypt(urandom(12), p, None) for p in raw]",
    )
    batch("loop ChaCha20Poly1305 decrypt", "[aead.decrypt(nonce, c, None) for c in cts]")
    batch("loop Fernet encrypt", "[fernet.encrypt(p) for p in raw]")
    batch("loop Fernet decrypt", "[fernet.decrypt(t) for t in ftok]")
    try:
        import tink
        from tink import aead as tink_aead

        tink_aead.register()
        handle = tink.new_keyset_handle(tink_aead.aead_key_templates.XCHACHA20_POLY1305)
        prim = handle.primitive(tink_aead.Aead)
        ns["tink"] = prim
        ns["tcts"] = [prim.encrypt(raw[0], b"")] * n
        batch("loop Tink AEAD encrypt", "[tink.encrypt(p, b'') for p in raw]")
        batch("loop Tink AEAD decrypt", "[tink.decrypt(c, b'') for c in tcts]")
    except ImportError:
        pass
    # The floor: one bare call with a fixed nonce, timed alone (no loop).
    number = max(1, 20_000 // max(1, size // 64))
    per["bare ChaCha20Poly1305 encrypt call"] = best(
        "aead.encrypt(nonce, raw[0], None)", ns, repeat, number
    )
    per["bare ChaCha20Poly1305 decrypt call"] = best(
        "aead.decrypt(nonce, ct, None)", ns, repeat, number
    )
    per["single qv.encrypt call"] = best("qv.encrypt(pts[0], key, kid)", ns, repeat, number)
    per["single qv.decrypt call"] = best("qv.decrypt(tokens[0], key)", ns, repeat, number)
    return SizeResult(size, n, per)


MEMORY_CHILD = r"""
import gc, sys, qv
n, size = int(sys.argv[1]), int(sys.argv[2])
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
key = bytes(range(32))
text = ("0123456789abcdef" * (size // 16 + 1))[:size]
pts = [text] * n
qv.encrypt_many(pts[:1000], key, "bench-key")  # warm up, load everything
gc.collect()
base = status("VmRSS")
open("/proc/self/clear_refs", "w").write("5")  # restart the peak from here
tokens = qv.encrypt_many(pts, key, "bench-key")
enc_peak = status("VmHWM") - base
text_size = sum(map(len, tokens))
gc.collect()
base = status("VmRSS")
open("/proc/self/clear_refs", "w").write("5")
opened = qv.decrypt_many(tokens, key)
dec_peak = status("VmHWM") - base
assert opened == pts
print(enc_peak, dec_peak, text_size, n * size)
"""


def memory(n: int = 1_000_000, size: int = 64) -> tuple[int, int, int, int]:
    """Peak extra memory of encrypt_many and decrypt_many, best of three fresh runs."""
    runs = []
    for _ in range(3):
        out = subprocess.run(
            [sys.executable, "-c", MEMORY_CHILD, str(n), str(size)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout.split()
        runs.append(tuple(int(x) for x in out))
    enc = min(r[0] for r in runs)
    dec = min(r[1] for r in runs)
    return enc, dec, runs[0][2], runs[0][3]


def distinct_nonces(n: int = 1_000_000) -> tuple[int, int]:
    tokens = qv.encrypt_many(["x"] * n, bytes(range(32)), "k", threads=2)
    nonces = {qv.decode_token(t)["nonce"] for t in tokens}  # type: ignore[index]
    return len(nonces), n


def fmt(sec: float) -> str:
    return f"{sec * 1e9:.0f} ns" if sec < 1e-5 else f"{sec * 1e6:.1f} µs"


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def run(quick: bool = False) -> str:
    load_before = load()
    cores = len(os.sched_getaffinity(0))
    repeat = 3 if quick else 7
    values = 20_000 if quick else VALUES
    results = [measure_size(size, repeat, values, cores) for size in BULK_SIZES]
    enc_peak, dec_peak, text_size, plain = memory(200_000 if quick else 1_000_000)
    distinct, total = distinct_nonces(100_000 if quick else 1_000_000)
    return section(
        results, cores, (enc_peak, dec_peak, text_size, plain), (distinct, total), load_before
    )


def section(results: list[SizeResult], cores: int, mem, nonces, load_before: str) -> str:
    by_size = {r.size: r.per_value for r in results}
    targets: list[tuple[str, str, bool]] = []
    p64 = by_size.get(64)
    if p64:
        bare_e = p64["bare ChaCha20Poly1305 encrypt call"]
        bare_d = p64["bare ChaCha20Poly1305 decrypt call"]
        for name, ref, limit in [
            ("encrypt_many 1 thread", bare_e, 0.75),
            ("encrypt_many all cores", bare_e, 0.4),
            ("decrypt_many 1 thread", bare_d, 0.75),
            ("decrypt_many all cores", bare_d, 0.4),
            ("encrypt_many det 1 thread", bare_e, 1.0),
        ]:
            r = p64[name] / ref
            targets.append(
                (
                    f"64 B: {name} at most {limit} x the bare call",
                    f"{r:.2f} x ({fmt(p64[name])} / {fmt(ref)})",
                    r <= limit,
                )
            )
    for op, peers in [
        (
            "encrypt",
            [
                "loop Fernet encrypt",
                "loop Tink AEAD encrypt",
                "loop ChaCha20Poly1305 encrypt (urandom nonce)",
            ],
        ),
        (
            "decrypt",
            ["loop Fernet decrypt", "loop Tink AEAD decrypt", "loop ChaCha20Poly1305 decrypt"],
        ),
    ]:
        for threads in ("1 thread", "all cores"):
            name = f"{op}_many {threads}"
            worst = max(
                (by_size[s][name] / by_size[s][p], s, p)
                for s in by_size
                for p in peers
                if p in by_size[s]
            )
            targets.append(
                (
                    f"every size: {name} faster per value than a Python loop of every peer",
                    f"worst {worst[0]:.2f} x ({worst[2]}, {size_name(worst[1])})",
                    worst[0] < 1,
                )
            )
    big = by_size.get(64 * KiB)
    if big:
        for op in ("encrypt", "decrypt"):
            r = big[f"{op}_many 1 thread"] / big[f"loop qv.{op}"]
            alone = big[f"{op}_many 1 thread"] / big[f"single qv.{op} call"]
            targets.append(
                (
                    f"64 KiB: {op}_many (1 thread) no slower per byte than single {op} calls "
                    "(a loop keeping its results)",
                    f"{r:.2f} x ({alone:.2f} x one call timed alone, its result dropped)",
                    r <= 1.0,
                )
            )
    enc_peak, dec_peak, text_size, plain = mem
    targets.append(
        (
            f"{plain // 64:,} values of 64 B: peak extra memory of encrypt_many at most 1.5 x the token text",
            f"{enc_peak / text_size:.2f} x ({enc_peak / MiB:.0f} MiB for {text_size / MiB:.0f} MiB of tokens)",
            enc_peak <= 1.5 * text_size,
        )
    )
    distinct, total = nonces
    targets.append(
        (
            f"{total:,} random-mode tokens of one batch (two threads): distinct nonces",
            f"{distinct:,}",
            distinct == total,
        )
    )

    names = list(results[0].per_value)
    lines = [
        MARK_BEGIN,
        "## Bulk: encrypt_many and decrypt_many",
        "",
        f"Time per value over one batch (100 000 values, or 256 MiB of plaintext for 64 KiB: "
        f"{', '.join(f'{r.values:,} at {size_name(r.size)}' for r in results)}), best of "
        f'several batches; "all cores" is {cores} threads here. Peers are Python loops over '
        "the same values that keep their results, as the bulk calls do; the bare calls and "
        "single qv calls are timed alone. The machine is shared: load average (1, 5, 15 min) "
        f"{load_before} before the section, {load()} after; figures taken under load are "
        "slower and noisier, the multi-thread ones most of all.",
        "",
        "| target | measured | result |",
        "|---|---|---|",
        *[f"| {t} | {m} | {'met' if ok else '**missed**'} |" for t, m, ok in targets],
        "",
        "| per value | " + " | ".join(size_name(r.size) for r in results) + " |",
        "|---|" + "---|" * len(results),
        *[
            f"| {n} | "
            + " | ".join(fmt(r.per_value[n]) if n in r.per_value else "-" for r in results)
            + " |"
            for n in names
        ],
        "",
        f"Peak extra memory for {plain // 64:,} values of 64 B: encrypt_many {enc_peak / MiB:.0f} MiB, "
        f"decrypt_many {dec_peak / MiB:.0f} MiB; the returned tokens hold {text_size / MiB:.0f} MiB of text "
        "(the result list and its strings are counted in the peak).",
        MARK_END,
    ]
    return "\n".join(lines) + "\n"


def splice(results_md: str, bulk: str) -> str:
    """`results_md` with its bulk section replaced by `bulk` (or `bulk` appended)."""
    if MARK_BEGIN in results_md and MARK_END in results_md:
        head, rest = results_md.split(MARK_BEGIN, 1)
        tail = rest.split(MARK_END, 1)[1].lstrip("\n")
        return head + bulk + ("\n" + tail if tail else "")
    return results_md.rstrip("\n") + "\n\n" + bulk


if __name__ == "__main__":
    print(run("--quick" in sys.argv))
