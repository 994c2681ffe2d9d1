#!/usr/bin/env python3
"""Sealed database columns: per-row cost next to plain text and a Fernet field, and rotation.

Per row, inserting N rows with one executemany and selecting them back,
through qv.sqlalchemy.Sealed, a plain Text column and sqlalchemy-utils'
StringEncryptedType with its FernetEngine; and through Django's bulk_create and
values_list with qv.django.SealedTextField, TextField and
django-fernet-encrypted-fields' EncryptedTextField. Then qv.sqlalchemy.rotate
over ROTATE_ROWS rows next to the floor: the same batches read by primary key
and written back by an UPDATE per row, with no sealing.

`make bench-db` runs it on a throwaway PostgreSQL (QV_TEST_PG_SOCKET) and
splices the section into bench/RESULTS.md; without a server it measures SQLite.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

from sqlalchemy import Column, Integer, MetaData, Table, Text, create_engine, insert, select, text
from sqlalchemy_utils import StringEncryptedType
from sqlalchemy_utils.types.encrypted.encrypted_type import FernetEngine

import qv
from qv.sqlalchemy import Sealed, rotate

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "RESULTS.md"
BEGIN = "<!-- database columns section: begin -->"
END = "<!-- database columns section: end -->"
SIZES = (16, 64, 1024)
PG_SOCKET = os.environ.get("QV_TEST_PG_SOCKET")


def load_average() -> str:
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def best(fn: Callable[[], float], repeat: int) -> float:
    return min(fn() for _ in range(repeat))


def sqlalchemy_rows(url: str, rows: int, repeat: int) -> list[tuple[str, int, float, float]]:
    ring = qv.Keyring()
    ring.generate("k1")
    fernet_key = "bench-key-" + "x" * 22
    kinds = {
        "Text": Text(),
        "qv Sealed": Sealed(ring),
        "Fernet (sqlalchemy-utils)": StringEncryptedType(Text, fernet_key, FernetEngine),
    }
    engine = create_engine(url)
    out = []
    for size in SIZES:
        value = "x" * size
        for name, type_ in kinds.items():
            meta = MetaData()
            table = Table("bench", meta, Column("id", Integer, primary_key=True))
            table.append_column(Column("v", type_.copy()))
            meta.drop_all(engine)
            meta.create_all(engine)

            def insert_rows(table: Table = table, value: str = value) -> float:
                with engine.begin() as c:
                    c.execute(table.delete())
                start = time.perf_counter()
                with engine.begin() as c:
                    c.execute(insert(table), [{"v": value}] * rows)
                return (time.perf_counter() - start) / rows

            def select_rows(table: Table = table, value: str = value) -> float:
                start = time.perf_counter()
                with engine.connect() as c:
                    got = c.execute(select(table.c.v)).scalars().all()
                assert len(got) == rows and got[0] == value
                return (time.perf_counter() - start) / rows

            ins = best(insert_rows, repeat)
            sel = best(select_rows, repeat)
            out.append((name, size, ins, sel))
            meta.drop_all(engine)
    engine.dispose()
    return out


def django_rows(
    alias_settings: dict, rows: int, repeat: int
) -> list[tuple[str, int, float, float]]:
    import django
    from django.conf import settings

    ring = qv.Keyring()
    ring.generate("k1")
    settings.configure(
        DATABASES={"default": alias_settings},
        INSTALLED_APPS=["qv.django"],
        QV_KEYRING=ring,
        SECRET_KEY="bench-secret",
        SALT_KEY="bench-salt",
        DEFAULT_AUTO_FIELD="django.db.models.BigAutoField",
    )
    django.setup()
    from django.db import connection, models
    from encrypted_fields.fields import EncryptedTextField

    from qv.django import SealedTextField

    kinds = {
        "TextField": models.TextField,
        "qv SealedTextField": SealedTextField,
        "Fernet (django-fernet-encrypted-fields)": EncryptedTextField,
    }
    out = []
    for n, (name, field) in enumerate(kinds.items()):
        model = type(
            f"Bench{n}",
            (models.Model,),
            {"v": field(), "__module__": __name__, "Meta": type("Meta", (), {"app_label": "qv"})},
        )
        with connection.schema_editor() as editor:
            editor.create_model(model)
        for size in SIZES:
            value = "x" * size

            def insert_rows(model: type = model, value: str = value) -> float:
                model.objects.all().delete()
                start = time.perf_counter()
                model.objects.bulk_create([model(v=value) for _ in range(rows)], batch_size=1000)
                return (time.perf_counter() - start) / rows

            def select_rows(model: type = model, value: str = value) -> float:
                start = time.perf_counter()
                got = list(model.objects.values_list("v", flat=True))
                assert len(got) == rows and got[0] == value
                return (time.perf_counter() - start) / rows

            out.append((name, size, best(insert_rows, repeat), best(select_rows, repeat)))
        with connection.schema_editor() as editor:
            editor.delete_model(model)
    return out


def rotation(url: str, rows: int, batch: int) -> tuple[float, float]:
    """Seconds for qv.sqlalchemy.rotate over `rows`, and for the plain UPDATE floor."""
    ring = qv.Keyring()
    ring.generate("k1")
    meta = MetaData()
    table = Table("rot", meta, Column("id", Integer, primary_key=True), Column("v", Sealed(ring)))
    plain = Table("rot", MetaData(), Column("id", Integer, primary_key=True), Column("v", Text))
    engine = create_engine(url)
    meta.drop_all(engine)
    meta.create_all(engine)
    aad = {"qv.column": "rot.v"}
    tokens = ring.encrypt_many(["\x01" + "4242 4242 4242 4242"] * rows, aad=aad)
    with engine.begin() as c:
        c.execute(insert(plain), [{"id": i, "v": t} for i, t in enumerate(tokens)])
    ring.generate("k2")
    ring.promote("k2")
    start = time.perf_counter()
    result = rotate(engine, table.c.v, batch_size=batch)
    qv_seconds = time.perf_counter() - start
    assert result.rotated == rows, result
    # The floor: the same keyset batches read and written back by primary key.
    start = time.perf_counter()
    after = -1
    while True:
        with engine.begin() as c:
            found = c.execute(
                select(plain.c.id, plain.c.v)
                .where(plain.c.id > after)
                .order_by(plain.c.id)
                .limit(batch)
            ).all()
            if not found:
                break
            c.execute(
                text("UPDATE rot SET v = :v WHERE id = :id AND v = :v"),
                [{"id": i, "v": v} for i, v in found],
            )
        after = found[-1][0]
    floor_seconds = time.perf_counter() - start
    meta.drop_all(engine)
    engine.dispose()
    return qv_seconds, floor_seconds


def table(rows: list[tuple[str, int, float, float]]) -> list[str]:
    lines = ["| field | value size | insert µs/row | select µs/row |", "|---|---|---|---|"]
    for name, size, ins, sel in rows:
        lines.append(f"| {name} | {size} B | {ins * 1e6:.1f} | {sel * 1e6:.1f} |")
    return lines


def overhead(rows: list[tuple[str, int, float, float]], kind: str, base: str, size: int) -> float:
    by = {(n, s): i for n, s, i, _ in rows}
    return by[(kind, size)] / by[(base, size)] - 1


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="1 000 rows and 10 000 to rotate")
    ap.add_argument("--no-write", action="store_true", help="print only")
    args = ap.parse_args()
    rows, rotate_rows, repeat = (1_000, 10_000, 2) if args.quick else (10_000, 100_000, 3)
    folder = Path(tempfile.mkdtemp(prefix="qv-db-bench-"))
    if PG_SOCKET:
        import psycopg

        with psycopg.connect(
            host=PG_SOCKET, user="postgres", dbname="postgres", autocommit=True
        ) as c:
            c.execute("DROP DATABASE IF EXISTS qv_bench")
            c.execute("CREATE DATABASE qv_bench")
        url = f"postgresql+psycopg://postgres@/qv_bench?host={PG_SOCKET}"
        dj = {"ENGINE": "django.db.backends.postgresql", "NAME": "qv_bench", "USER": "postgres"}
        dj["HOST"] = PG_SOCKET
        where = "PostgreSQL 15 on a Unix socket (fsync off, a throwaway cluster)"
    else:
        url = f"sqlite:///{folder / 'bench.sqlite'}"
        dj = {"ENGINE": "django.db.backends.sqlite3", "NAME": str(folder / "django.sqlite")}
        where = "SQLite file"
    before = load_average()
    sa = sqlalchemy_rows(url, rows, repeat)
    qv_s, floor_s = rotation(url, rotate_rows, 1000)
    dj_rows = django_rows(dj, rows, repeat)
    after = load_average()
    lines = [
        "## Database columns",
        "",
        f"Written by `bench/db_bench.py` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}"
        f" (`make bench-db`). Database: {where}. Python {sys.version.split()[0]}, qv"
        f" {qv.__version__}. Load average before: {before}; after: {after}.",
        "",
        f"SQLAlchemy Core, {rows} rows inserted with one `insert()` and many parameter sets, then"
        " selected back; best of {repeat} runs.".replace("{repeat}", str(repeat)),
        "",
        *table(sa),
        "",
        f"qv's insert over a plain Text column's at 64 B: "
        f"{overhead(sa, 'qv Sealed', 'Text', 64) * 100:+.0f} % (target: at most +15 %).",
        "",
        f"Django, {rows} rows by `bulk_create` (batches of 1 000) and read by `values_list`:",
        "",
        *table(dj_rows),
        "",
        f"Rotation of {rotate_rows} rows in batches of 1 000: `qv.sqlalchemy.rotate` {qv_s:.2f} s"
        f" ({rotate_rows / qv_s:,.0f} rows/s); the same batches read and written back by"
        f" primary key without sealing {floor_s:.2f} s ({rotate_rows / floor_s:,.0f} rows/s);"
        f" ratio {qv_s / floor_s:.2f}x (target: at most 2x).",
    ]
    section = "\n".join(lines)
    print(section)
    if PG_SOCKET:
        with psycopg.connect(
            host=PG_SOCKET, user="postgres", dbname="postgres", autocommit=True
        ) as c:
            c.execute("DROP DATABASE IF EXISTS qv_bench WITH (FORCE)")
    if not args.no_write:
        old = RESULTS.read_text()
        marked = f"{BEGIN}\n{section}\n{END}\n"
        if BEGIN in old and END in old:
            head, rest = old.split(BEGIN, 1)
            new = head + marked + rest.split(END, 1)[1].lstrip("\n")
        else:
            new = old.rstrip("\n") + "\n\n" + marked
        RESULTS.write_text(new)
        print(f"wrote {RESULTS}", file=sys.stderr)


if __name__ == "__main__":
    main()
