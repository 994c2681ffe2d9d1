"""The databases the column tests run on, for test_db_*.py.

SQLite files always; PostgreSQL too when QV_TEST_PG_SOCKET names the socket
folder of a running server (`make test-postgres` starts one), reached as the
`postgres` role over that Unix socket. Each user gets a database of its own,
dropped afterwards.
"""

from __future__ import annotations

import os
import secrets
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

PG_SOCKET = os.environ.get("QV_TEST_PG_SOCKET")
BACKENDS = ["sqlite", *(["postgres"] if PG_SOCKET else [])]


def _admin():  # type: ignore[no-untyped-def]
    import psycopg

    return psycopg.connect(host=PG_SOCKET, user="postgres", dbname="postgres", autocommit=True)


def pg_database_name() -> str:
    return "qv_test_" + secrets.token_hex(4)


def create_pg_database(name: str | None = None) -> str:
    name = name or pg_database_name()
    with _admin() as conn:
        conn.execute(f'CREATE DATABASE "{name}"')
    return name


def drop_pg_database(name: str) -> None:
    with _admin() as conn:
        conn.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')


@contextmanager
def sqlalchemy_url(kind: str, folder: Path) -> Iterator[str]:
    """A URL of an empty database of `kind`, removed on exit."""
    if kind == "sqlite":
        yield f"sqlite:///{folder / 'qv.sqlite'}"
        return
    name = create_pg_database()
    try:
        yield f"postgresql+psycopg://postgres@/{name}?host={PG_SOCKET}"
    finally:
        drop_pg_database(name)
