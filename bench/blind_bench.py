#!/usr/bin/env python3
"""Blind indexes: compute_many per value, and a blind search next to a plain indexed query.

compute_many over 100 000 values of 64 bytes on one thread (one call, the
best of five). Then a table of ROWS rows holding each e-mail address twice
over: in a plain Text column with an index, and in a qv.sqlalchemy.Sealed
column with a blind index sized by the planner. The same LOOKUPS addresses
are looked up through each: `select ... where plain = :v` on a Connection,
and qv.sqlalchemy.blind_search (index value computed, candidates fetched
through the index, opened, false positives dropped) on a Connection.

`make bench-blind` runs it on a throwaway PostgreSQL (QV_TEST_PG_SOCKET) and
splices the section into bench/RESULTS.md; without a server it measures SQLite.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import tempfile
import time
from pathlib import Path

from sqlalchemy import Column, Integer, MetaData, Table, Text, create_engine, insert, select

import qv
from qv.blind import plan
from qv.sqlalchemy import Sealed, blind_search

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "RESULTS.md"
BEGIN = "<!-- blind index section: begin -->"
END = "<!-- blind index section: end -->"
PG_SOCKET = os.environ.get("QV_TEST_PG_SOCKET")


def load_average() -> str:
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def compute_ns(values: int) -> float:
    ring = qv.Keyring()
    ring.generate("ix", purpose="indexing")
    index = qv.BlindIndex("bench", bits=32, key=ring.index_key("ix"), table="t", column="c")
    data = [os.urandom(32).hex() for _ in range(values)]  # 64 characters each
    index.compute_many(data[:100])
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        index.compute_many(data)
        best = min(best, time.perf_counter() - start)
    return best / values * 1e9


def search(url: str, rows: int, lookups: int) -> tuple[int, float, float, float]:
    ring = qv.Keyring()
    ring.generate("seal")
    ring.generate("ix", purpose="indexing")
    bits = plan(rows, rows)
    meta = MetaData()
    table = Table(
        "blind_bench",
        meta,
        Column("id", Integer, primary_key=True),
        Column("plain", Text, index=True),
        Column(
            "email",
            Sealed(ring, blind=[qv.BlindIndex("email_ix", bits=bits, key=ring.index_key("ix"))]),
        ),
    )
    engine = create_engine(url)
    meta.drop_all(engine)
    meta.create_all(engine)
    emails = [f"user{i:07d}@example.org" for i in range(rows)]
    with engine.begin() as conn:
        for start in range(0, rows, 10_000):
            chunk = emails[start : start + 10_000]
            conn.execute(
                insert(table),
                [{"id": start + i, "plain": e, "email": e} for i, e in enumerate(chunk)],
            )
    if url.startswith("postgresql"):
        with engine.begin() as conn:
            conn.exec_driver_sql("ANALYZE blind_bench")
    wanted = random.Random(7).sample(emails, lookups)
    with engine.connect() as conn:
        for e in wanted[:20]:  # warm the caches of both paths
            conn.execute(select(table).where(table.c.plain == e)).all()
            blind_search(conn, table.c.email, e)
        best_plain = best_blind = float("inf")
        candidates = 0
        for _ in range(3):
            start = time.perf_counter()
            for e in wanted:
                conn.execute(select(table).where(table.c.plain == e)).all()
            best_plain = min(best_plain, time.perf_counter() - start)
            start = time.perf_counter()
            for e in wanted:
                assert len(blind_search(conn, table.c.email, e)) == 1
            best_blind = min(best_blind, time.perf_counter() - start)
        for e in wanted[:200]:
            ix = table.c.email.type._qv.blind["email_ix"]
            candidates += len(
                conn.execute(select(table.c.id).where(table.c.email_ix == ix.compute(e))).all()
            )
    engine.dispose()
    return bits, best_plain / lookups * 1e6, best_blind / lookups * 1e6, candidates / 200


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="10 000 rows, 200 lookups")
    args = parser.parse_args()
    rows, lookups = (10_000, 200) if args.quick else (100_000, 1000)
    load_before = load_average()
    ns = compute_ns(100_000)
    with tempfile.TemporaryDirectory() as folder:
        if PG_SOCKET:
            import psycopg

            name = "qv_blind_bench"
            with psycopg.connect(host=PG_SOCKET, user="postgres", autocommit=True) as admin:
                admin.execute(f'DROP DATABASE IF EXISTS "{name}"')
                admin.execute(f'CREATE DATABASE "{name}"')
            url = f"postgresql+psycopg://postgres@/{name}?host={PG_SOCKET}"
            where = "PostgreSQL 15 (Unix socket)"
        else:
            url = f"sqlite:///{folder}/bench.sqlite"
            where = "SQLite"
        bits, plain_us, blind_us, candidates = search(url, rows, lookups)
    lines = [
        BEGIN,
        "## Blind indexes",
        "",
        f"Load average before / after: {load_before} / {load_average()} (2 cores).",
        "",
        f"- `BlindIndex.compute_many`, 100 000 values of 64 B, one thread: **{ns:.0f} ns** a value.",
        f"- Search on {where}, {rows} rows, {lookups} lookups of one address each "
        f"(blind index of {bits} bits from the planner, {candidates:.1f} candidates a lookup):",
        "",
        "| Query | us per lookup |",
        "|---|---|",
        f"| plain indexed equality (`select ... where plain = :v`) | {plain_us:.0f} |",
        f"| `qv.sqlalchemy.blind_search` (compute, fetch candidates, open, filter) | {blind_us:.0f} |",
        f"| ratio | {blind_us / plain_us:.2f}x |",
        END,
    ]
    section = "\n".join(lines) + "\n"
    print(section)
    old = RESULTS.read_text() if RESULTS.exists() else ""
    if BEGIN in old and END in old:
        head, rest = old.split(BEGIN, 1)
        new = head + section.rstrip("\n") + rest.split(END, 1)[1]
    else:
        new = old.rstrip("\n") + "\n\n" + section
    RESULTS.write_text(new)
    print(f"wrote {RESULTS}", file=sys.stderr)


if __name__ == "__main__":
    main()
