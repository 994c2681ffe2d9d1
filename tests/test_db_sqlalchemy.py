"""qv.sqlalchemy on SQLite and, under `make test-postgres`, on PostgreSQL: one body for both."""

from __future__ import annotations

import subprocess
import sys

import pytest
from sqlalchemy import (
    Column,
    Integer,
    MetaData,
    Table,
    Text,
    create_engine,
    insert,
    select,
    text,
    update,
)
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column

import qv
from dbs import BACKENDS, sqlalchemy_url
from qv import _sealed
from qv.sqlalchemy import (
    Sealed,
    SealedKeyError,
    SealedQueryError,
    SealedTamperedError,
    bind_to_row,
    rotate,
    seal_existing,
)
from tokenkit import split

RING = qv.Keyring()
RING.generate("k1")


class Base(DeclarativeBase):
    pass


class Person(Base):
    __tablename__ = "person"
    id: Mapped[int] = mapped_column(primary_key=True)
    email: Mapped[str | None] = mapped_column(Sealed(lambda: RING, deterministic=True))
    note: Mapped[str | None] = mapped_column(Sealed(lambda: RING))
    # Shares its context with `alias`, so tokens move between the two.
    shared: Mapped[str | None] = mapped_column(Sealed(lambda: RING, context="people.shared"))
    alias: Mapped[str | None] = mapped_column(Sealed(lambda: RING, context="people.shared"))
    ssn: Mapped[str] = mapped_column(Sealed(lambda: RING), default="")


bind_to_row(Person.ssn)

EMAILS = ["a@x", "b@x", "", "qv.v2.AgABazF" + "A" * 60]


@pytest.fixture(scope="module", params=BACKENDS)
def engine(request, tmp_path_factory):
    with sqlalchemy_url(request.param, tmp_path_factory.mktemp("db")) as url:
        eng = create_engine(url)
        yield eng
        eng.dispose()


@pytest.fixture
def ring():
    """A fresh ring per test: the columns asked for theirs once, so they ask again."""
    global RING
    RING = qv.Keyring()
    RING.generate("k1")
    for column in Person.__table__.c:
        if isinstance(column.type, Sealed):
            column.type._qv.ring = _sealed.RingSource(lambda: RING)
    return RING


@pytest.fixture
def db(engine, ring):
    Base.metadata.drop_all(engine)
    Base.metadata.create_all(engine)
    with Session(engine) as s:
        s.add_all(Person(email=e, note=f"n{i}", ssn=f"s{i}") for i, e in enumerate(EMAILS))
        s.commit()
    return engine


def raw(engine, column, where="1=1"):
    with engine.connect() as c:
        return (
            c.execute(text(f"SELECT {column} FROM person WHERE {where} ORDER BY id"))
            .scalars()
            .all()
        )


def put_raw(engine, column, value, row_id):
    with engine.begin() as c:
        c.execute(text(f"UPDATE person SET {column} = :v WHERE id = :i"), {"v": value, "i": row_id})


def reseal(engine, row_id, email):
    # An ORM assignment of an equal value writes nothing; Core always writes.
    with engine.begin() as c:
        c.execute(update(Person).where(Person.id == row_id).values(email=email))
    assert (
        split(raw(engine, "email", f"id = {row_id}")[0])["key_id"]
        == RING.keys()[-1].key_id.encode()
    )


def load(engine, attr="email", row_id=1):
    with Session(engine) as s:
        return getattr(s.get(Person, row_id), attr)


def test_values_round_trip_and_are_stored_sealed(db):
    with Session(db) as s:
        got = [(p.email, p.note, p.ssn) for p in s.scalars(select(Person).order_by(Person.id))]
    assert got == [(e, f"n{i}", f"s{i}") for i, e in enumerate(EMAILS)]
    stored = raw(db, "email")
    assert all(t.startswith("qv.v2.") and t not in EMAILS for t in stored)
    # The token-looking value was sealed like any text, and "" is a token too.
    assert split(stored[3])["key_id"] == b"k1"
    assert len({*stored, *raw(db, "note"), *raw(db, "ssn")}) == 3 * len(EMAILS)


@pytest.mark.parametrize(
    ("column", "forged"),
    [
        ("email", ""),
        ("email", "a@x"),
        ("note", "n0"),
        ("email", "qv.v2.AgECazE"),
        ("ssn", ""),
    ],
    ids=["unsealed-empty", "plaintext", "plaintext-random", "broken-token", "row-placeholder"],
)
def test_text_written_around_the_type_never_reads_as_a_value(db, column, forged):
    put_raw(db, column, forged, 1)
    with pytest.raises(SealedTamperedError) as e:
        load(db, column)
    assert e.value.column == column and (not forged or forged not in str(e.value))


@pytest.mark.parametrize(
    ("source", "target", "opens"),
    [("note", "email", False), ("shared", "alias", True), ("note", "shared", False)],
    ids=["other-column", "same-context", "context-differs"],
)
def test_a_token_opens_only_in_the_column_it_was_sealed_for(db, source, target, opens):
    with Session(db) as s:
        setattr(s.get(Person, 2), source, "moved")
        s.commit()
    put_raw(db, target, raw(db, source, "id = 2")[0], 2)
    if opens:
        assert load(db, target, row_id=2) == "moved"
    else:
        with pytest.raises(SealedTamperedError):
            load(db, target, row_id=2)


def test_a_row_bound_token_copied_to_another_row_fails(db):
    put_raw(db, "ssn", raw(db, "ssn", "id = 2")[0], 1)
    with pytest.raises(SealedTamperedError, match=r"person\.ssn"):
        load(db, "ssn", 1)
    assert load(db, "ssn", 2) == "s1"


def test_row_bound_updates_and_core_writes(db):
    with Session(db) as s:
        p = s.get(Person, 2)
        p.ssn = "changed"
        s.commit()
        assert p.ssn == "changed"
    assert load(db, "ssn", 2) == "changed"
    with db.begin() as c, pytest.raises(Exception, match="bound to its row"):
        c.execute(Person.__table__.update().values(ssn="x"))


@pytest.mark.parametrize(
    ("change", "cause"),
    [
        (lambda r: (r.destroy("k1"), r.remove("k1")), qv.UnknownKeyIdError),
        (lambda r: r.disable("k1"), qv.DisabledKeyError),
        (lambda r: r.destroy("k1"), qv.DestroyedKeyError),
    ],
    ids=["unknown", "disabled", "destroyed"],
)
def test_a_missing_key_is_told_apart_from_tampering(db, ring, change, cause):
    ring.generate("k2")
    ring.promote("k2")
    change(ring)
    with pytest.raises(SealedKeyError) as e:
        load(db)
    assert isinstance(e.value, qv.KeyringError) and isinstance(e.value.__cause__, cause)
    assert (e.value.table, e.value.column, e.value.key_id) == ("person", "email", "k1")
    assert "a@x" not in str(e.value) and "k1" in str(e.value)


def test_a_tampered_token_is_not_a_key_error(db):
    token = raw(db, "email", "id = 1")[0]
    put_raw(db, "email", token[:-2] + ("A" if token[-2] != "A" else "B") + token[-1], 1)
    with pytest.raises(SealedTamperedError) as e:
        load(db)
    assert not isinstance(e.value, qv.KeyringError) and e.value.key_id == "k1"


# -- queries --------------------------------------------------------------------

QUERIES = [
    ("eq", lambda: Person.email == "a@x", [1]),
    ("eq-empty", lambda: Person.email == "", [3]),
    ("ne", lambda: Person.email != "a@x", [2, 3, 4]),
    ("in", lambda: Person.email.in_(["a@x", "b@x", "zz"]), [1, 2]),
    ("in-none", lambda: Person.email.in_([]), []),
    ("not-in", lambda: Person.email.not_in(["a@x", "b@x"]), [3, 4]),
    ("is-null", lambda: Person.note.is_(None), []),
    ("eq-none", lambda: Person.email == None, []),  # noqa: E711
    ("is-not-null", lambda: Person.note.is_not(None), [1, 2, 3, 4]),
]


@pytest.mark.parametrize("rotated", [False, True], ids=["one-key", "mid-rotation"])
@pytest.mark.parametrize(
    ("query", "expected"), [q[1:] for q in QUERIES], ids=[q[0] for q in QUERIES]
)
def test_queries_find_rows_under_every_enabled_key(db, ring, query, expected, rotated):
    if rotated:
        ring.generate("k2")
        ring.promote("k2")
        reseal(db, 2, "b@x")
    with Session(db) as s:
        assert s.scalars(select(Person.id).where(query()).order_by(Person.id)).all() == expected


REFUSED = [
    ("like", lambda: Person.email.like("a%")),
    ("ilike", lambda: Person.email.ilike("a%")),
    ("contains", lambda: Person.email.contains("a")),
    ("startswith", lambda: Person.email.startswith("a")),
    ("lt", lambda: Person.email < "b"),
    ("ge", lambda: Person.email >= "b"),
    ("between", lambda: Person.email.between("a", "b")),
    ("asc", lambda: Person.email.asc()),
    ("desc", lambda: Person.email.desc()),
    ("add", lambda: Person.email + "x"),
    ("radd", lambda: "x" + Person.email),
    ("concat", lambda: Person.email.concat("x")),
    ("column", lambda: Person.email == Person.note),
    ("subquery", lambda: Person.email.in_(select(Person.note).scalar_subquery())),
    ("not-text", lambda: Person.email == 5),
    ("random-eq", lambda: Person.note == "n1"),
    ("random-in", lambda: Person.note.in_(["n1"])),
    ("row-bound-eq", lambda: Person.ssn == "s1"),
]


@pytest.mark.parametrize("build", [r[1] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_other_operators_fail_when_the_query_is_built(build):
    with pytest.raises(SealedQueryError, match="person"):
        select(Person.id).where(build())


@pytest.mark.parametrize("value", [5, b"x", 1.5, ["a"]], ids=["int", "bytes", "float", "list"])
def test_a_non_text_value_is_a_type_error_naming_the_column(db, value):
    with Session(db) as s, pytest.raises(TypeError, match=r"person\.note"):
        s.add(Person(note=value))
        s.flush()


def test_the_ring_callable_runs_at_first_use_and_an_empty_ring_fails_at_first_write(engine):
    calls = []
    empty = qv.Keyring()

    def later():
        calls.append(1)
        return empty

    meta = MetaData()
    t = Table("lazy", meta, Column("id", Integer, primary_key=True), Column("v", Sealed(later)))
    assert calls == []
    meta.create_all(engine)
    try:
        with engine.begin() as c, pytest.raises(qv.KeyringError, match="no enabled key"):
            c.execute(insert(t).values(v="x"))
        assert calls == [1]
    finally:
        meta.drop_all(engine)


def test_one_sealed_type_serves_one_column():
    shared = Sealed(RING)
    Column("a", shared)
    with pytest.raises(ValueError, match="one column"):
        Column("b", shared)


# -- whole columns ------------------------------------------------------------


def test_rotate_counts_and_leaves_rows_it_cannot_open(db, ring):
    ring.generate("k2")
    ring.promote("k2")
    reseal(db, 2, "b@x")  # already under k2
    before = raw(db, "email")
    put_raw(db, "email", "not a token", 3)
    with db.connect() as c:
        result = rotate(c, Person.email, batch_size=1)
    assert (result.rotated, result.current, result.failed) == (2, 1, 1)
    after = raw(db, "email")
    assert after[2] == "not a token" and after[1] == before[1] and after[0] != before[0]
    assert all(split(t)["key_id"] == b"k2" for i, t in enumerate(after) if i != 2)
    put_raw(db, "email", before[2], 3)
    with Session(db) as s:
        assert rotate(s, Person.email).rotated == 1
    ring.disable("k1")
    with db.connect() as c:
        assert c.execute(select(Person.email).order_by(Person.id)).scalars().all() == EMAILS


def test_a_stopped_rotation_resumes_without_reading_rotated_rows(db, ring, monkeypatch):
    ring.generate("k2")
    ring.promote("k2")
    real, seen = _sealed.rotate_batch, []

    def stop_after_first(r, tokens, aads):
        seen.append(len(tokens))
        if len(seen) == 2:
            raise KeyboardInterrupt
        return real(r, tokens, aads)

    monkeypatch.setattr(_sealed, "rotate_batch", stop_after_first)
    with pytest.raises(KeyboardInterrupt):
        rotate(db, Person.note, batch_size=3)
    monkeypatch.setattr(_sealed, "rotate_batch", real)
    result = rotate(db, Person.note, batch_size=3)
    assert (result.rotated, result.current, result.failed) == (1, 3, 0)
    assert rotate(db, Person.ssn, batch_size=2).rotated == 4
    with Session(db) as s:
        assert [p.ssn for p in s.scalars(select(Person).order_by(Person.id))] == [
            f"s{i}" for i in range(4)
        ]


def test_rotation_needs_a_clean_transaction(db):
    with Session(db) as s:
        s.execute(select(Person.id))
        with pytest.raises(ValueError, match="commit or roll back"):
            rotate(s, Person.email)


def test_seal_existing_seals_plaintext_once_and_leaves_tokens(engine, ring):
    # A two-column key: batches resume after the last (a, b) pair.
    def legacy(meta, type_):
        pk = [Column(n, Integer, primary_key=True) for n in "ab"]
        return Table("legacy", meta, *pk, Column("v", type_))

    meta = MetaData()
    plain = legacy(meta, Text)
    other = qv.Keyring()
    other.generate("lost")
    foreign = other.encrypt("x")
    rows = ["alice", "", "qv.v2.looks-like-one", foreign, None]
    meta.create_all(engine)
    try:
        with engine.begin() as c:
            c.execute(
                insert(plain), [{"a": i // 2, "b": i % 2, "v": v} for i, v in enumerate(rows)]
            )
        sealed = legacy(MetaData(), Sealed(ring))
        first = seal_existing(engine, sealed.c.v, batch_size=2)
        assert (first.sealed, first.current, first.failed) == (3, 0, 1)
        with engine.connect() as c:
            stored = c.execute(select(plain.c.v).order_by(plain.c.a, plain.c.b)).scalars().all()
        assert stored[3] == foreign and stored[4] is None
        again = seal_existing(engine, sealed.c.v)
        assert (again.sealed, again.current, again.failed) == (0, 3, 1)
        with engine.connect() as c:
            opened = c.execute(select(sealed.c.v).order_by(sealed.c.a, sealed.c.b).limit(3))
            assert opened.scalars().all() == rows[:3]
    finally:
        meta.drop_all(engine)


@pytest.mark.parametrize(
    "key_id", ["k", "k1", "k12", "k123", "2026-01", "ключ", "a" * 255], ids=len
)
def test_key_id_prefixes_match_exactly_that_key_id(key_id):
    ring = qv.Keyring()
    ring.generate(key_id)
    neighbours = {key_id[:-1] + chr(ord(key_id[-1]) ^ 1), (key_id + "x")[:255]}
    neighbours |= {("x" + key_id)[:255], key_id[:-1]}
    for other in neighbours - {"", key_id}:
        ring.generate(other)
    prefixes = _sealed.key_id_prefixes(key_id)
    assert len({len(p) for p in prefixes}) == 1
    for info in ring.keys():
        ring.promote(info.key_id)
        for deterministic in (False, True):
            for _ in range(8):
                token = ring.encrypt("v", deterministic=deterministic)
                hit = any(token.startswith(p) for p in prefixes)
                assert hit == (info.key_id == key_id), (info.key_id, token)


def test_alembic_autogenerate_renders_a_migration_that_runs(engine, tmp_path):
    """A generated migration imports with no ring at all and creates a TEXT column."""
    from alembic import command
    from alembic.config import Config

    (tmp_path / "versions").mkdir()
    (tmp_path / "models.py").write_text(
        "import qv\nfrom sqlalchemy import Column, Integer, MetaData, Table\n"
        "from qv.sqlalchemy import Sealed\nmetadata = MetaData()\n"
        "Table('card', metadata, Column('id', Integer, primary_key=True),\n"
        "      Column('number', Sealed(lambda: qv.Keyring(), deterministic=True)))\n"
    )
    (tmp_path / "script.py.mako").write_text(
        "from alembic import op\nimport sqlalchemy as sa\n${imports if imports else ''}\n"
        "revision = ${repr(up_revision)}\ndown_revision = ${repr(down_revision)}\n"
        "branch_labels = None\ndepends_on = None\n\n"
        "def upgrade():\n    ${upgrades if upgrades else 'pass'}\n\n"
        "def downgrade():\n    ${downgrades if downgrades else 'pass'}\n"
    )
    (tmp_path / "env.py").write_text(
        "import sys\nfrom alembic import context\nfrom sqlalchemy import create_engine\n"
        f"sys.path.insert(0, {str(tmp_path)!r})\nimport models\nimport qv.sqlalchemy\n"
        "engine = create_engine(context.config.get_main_option('sqlalchemy.url'))\n"
        "with engine.connect() as conn:\n"
        "    context.configure(connection=conn, target_metadata=models.metadata,\n"
        "                      render_item=qv.sqlalchemy.render_item)\n"
        "    with context.begin_transaction():\n        context.run_migrations()\n"
        "engine.dispose()\n"
    )
    cfg = Config()
    cfg.set_main_option("script_location", str(tmp_path))
    url = engine.url.render_as_string(hide_password=False)
    cfg.set_main_option("sqlalchemy.url", url.replace("%", "%%"))
    command.revision(cfg, message="card", autogenerate=True)
    (script,) = (tmp_path / "versions").glob("*.py")
    assert "sa.Text()" in script.read_text() and "Keyring" not in script.read_text()
    # The migration runs in a fresh interpreter, where no model module is loaded.
    code = (
        "from alembic import command\nfrom alembic.config import Config\n"
        f"cfg = Config()\ncfg.set_main_option('script_location', {str(tmp_path)!r})\n"
        f"cfg.set_main_option('sqlalchemy.url', {url.replace('%', '%%')!r})\n"
        "command.upgrade(cfg, 'head')\ncommand.downgrade(cfg, 'base')\ncommand.upgrade(cfg, 'head')\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, capture_output=True)
    try:
        with engine.connect() as c:
            c.execute(text("INSERT INTO card (id, number) VALUES (1, 'x')"))
            assert c.execute(text("SELECT number FROM card")).scalar_one() == "x"
    finally:
        with engine.begin() as c:
            c.execute(text("DROP TABLE IF EXISTS card"))
            c.execute(text("DROP TABLE IF EXISTS alembic_version"))
