"""Blind indexes of qv.sqlalchemy columns on SQLite and, under `make test-postgres`, PostgreSQL."""

from __future__ import annotations

import pytest
from sqlalchemy import Integer, create_engine, insert, select, update
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column

import qv
from dbs import BACKENDS, sqlalchemy_url
from qv import _sealed
from qv.blind import BlindIndexError
from qv.sqlalchemy import Sealed, SealedQueryError, blind_search, rebuild, rotate

RING = qv.Keyring()
RING.generate("s1")
RING.generate("ix1", purpose="indexing")
INDEX_KEY = ["ix1"]


def index_key() -> qv.IndexKey:
    return RING.index_key(INDEX_KEY[0])


class Base(DeclarativeBase):
    pass


class Member(Base):
    __tablename__ = "member"
    id: Mapped[int] = mapped_column(primary_key=True)
    # 3 bits: about one row in eight shares an index value, so false positives abound.
    email: Mapped[str | None] = mapped_column(
        Sealed(
            lambda: RING,
            blind=[
                qv.BlindIndex("email_ci", bits=3, transform="casefold", key=index_key),
                qv.BlindIndex("email_exact", bits=64, key=index_key),
            ],
        )
    )
    card: Mapped[str | None] = mapped_column(
        Sealed(
            lambda: RING,
            blind=[
                qv.BlindIndex(
                    "card_year",
                    bits=6,
                    key=index_key,
                    columns={"card": "digits|last:4", "born": "identity"},
                )
            ],
        )
    )
    born: Mapped[int | None] = mapped_column(Integer)


EMAILS = [f"user{i}@example.org" for i in range(60)] + ["Ada@Example.com", "ada@example.com "]


@pytest.fixture(scope="module", params=BACKENDS)
def engine(request, tmp_path_factory):
    with sqlalchemy_url(request.param, tmp_path_factory.mktemp("db")) as url:
        eng = create_engine(url)
        Base.metadata.create_all(eng)
        yield eng
        eng.dispose()


@pytest.fixture
def filled(engine):
    global RING
    RING = qv.Keyring()
    RING.generate("s1")
    RING.generate("ix1", purpose="indexing")
    INDEX_KEY[0] = "ix1"
    Member.__table__.c.email.type._qv.ring = _sealed.RingSource(lambda: RING)
    Member.__table__.c.card.type._qv.ring = _sealed.RingSource(lambda: RING)
    for col in ("email", "card"):
        for ix in Member.__table__.c[col].type._qv.blind.values():
            ix._resolved = None
    with Session(engine) as s:
        s.query(Member).delete()
        s.add_all(
            Member(id=i, email=e, card=f"4000 1111 2222 {i % 10:04d}", born=1980 + i % 3)
            for i, e in enumerate(EMAILS)
        )
        s.add(Member(id=1000, email=None, card=None, born=None))
        s.commit()
    return engine


def ids(rows) -> list[int]:
    return sorted(r.id for r in rows)


@pytest.mark.parametrize(
    ("query", "index", "want"),
    [
        ("ada@example.com", "email_ci", [60, 61]),
        ("  ADA@EXAMPLE.COM", "email_ci", [60, 61]),
        ("user7@example.org", "email_ci", [7]),
        ("Ada@Example.com", "email_exact", [60]),
        ("nobody@example.org", "email_ci", []),
    ],
)
def test_exact_search_returns_exactly_the_matching_rows(filled, query, index, want) -> None:
    with Session(filled) as s:
        candidates = s.scalars(select(Member).where(Member.email.blind_candidates(query, index)))
        found = s.scalars(select(Member).where(Member.email.blind(query, index))).all()
        assert ids(found) == want
        assert set(want) <= set(ids(candidates))
        pairs = s.execute(select(Member.id, Member.email).where(Member.email.blind(query, index)))
        assert ids(pairs) == want
        assert ids(blind_search(s, Member.email, query, index)) == want
    with filled.connect() as conn:
        assert ids(blind_search(conn, Member.email, query, index)) == want


def test_candidates_hold_false_positives_at_three_bits(filled) -> None:
    # 60 distinct values over 8 index values: some value's candidates hold other rows.
    with Session(filled) as s:
        counts = [
            len(s.scalars(select(Member).where(Member.email.blind_candidates(e, "email_ci"))).all())
            for e in EMAILS[:60]
        ]
    assert max(counts) > 1


def test_compound_index_and_null_values(filled) -> None:
    with Session(filled) as s:
        want = [i for i in range(len(EMAILS)) if i % 10 == 3 and 1980 + i % 3 == 1981]
        row = {"card": "x-0003", "born": 1981}
        found = s.scalars(select(Member).where(Member.card.blind(row, "card_year"))).all()
        assert ids(found) == want
        empty = s.get(Member, 1000)
        assert (empty.email_ci, empty.email_exact, empty.card_year) == (None, None, None)
        member = s.get(Member, 3)
        member.born = 1999  # only one member of the compound index changes
        s.commit()
        row = {"card": "...0003", "born": 1999}
        assert ids(s.scalars(select(Member).where(Member.card.blind(row, "card_year")))) == [3]


def test_core_and_bulk_writes_fill_the_indexes(filled) -> None:
    table = Member.__table__
    with filled.begin() as conn:
        conn.execute(
            insert(table),
            [
                {"id": 2000, "email": "Core@x.org", "card": None, "born": None},
                {"id": 2001, "email": None, "card": None, "born": None},
            ],
        )
        conn.execute(update(table).where(table.c.id == 2001).values(email="CORE@x.org"))
    with Session(filled) as s:
        s.execute(insert(Member), [{"id": 2002, "email": "core@X.org", "card": None, "born": None}])
        s.execute(update(Member), [{"id": 5, "email": "core@x.org"}])
        s.commit()
        assert ids(blind_search(s, Member.email, "core@x.org", "email_ci")) == [5, 2000, 2001, 2002]


def test_sealing_rotation_leaves_indexes_and_rebuild_replaces_them(filled) -> None:
    table = Member.__table__
    before = dict(filled.connect().execute(select(table.c.id, table.c.email_exact)).all())
    RING.generate("s2")
    RING.promote("s2")
    assert rotate(filled, Member.email).rotated == len(EMAILS)
    with filled.connect() as conn:
        assert dict(conn.execute(select(table.c.id, table.c.email_exact)).all()) == before
    RING.generate("ix2", purpose="indexing")
    INDEX_KEY[0] = "ix2"
    first = rebuild(filled, Member.email, "email_exact", batch_size=7, after=None)
    again = rebuild(filled, Member.email, "email_exact", batch_size=7)
    assert (first.rebuilt, first.failed) == (len(EMAILS), 0) and again.rebuilt == 0
    with filled.connect() as conn:
        after = dict(conn.execute(select(table.c.id, table.c.email_exact)).all())
    assert not set(before.values()) - {None} & set(after.values())
    with Session(filled) as s:
        assert ids(blind_search(s, Member.email, "Ada@Example.com", "email_exact")) == [60]
    resumed = rebuild(filled, Member.email, "email_ci", after=(30,))
    assert resumed.current + resumed.rebuilt == len(EMAILS) - 30


def test_declaration_errors() -> None:
    class Other(DeclarativeBase):
        pass

    key = index_key()
    with pytest.raises(BlindIndexError, match=r"names columns \['year'\]"):

        class Broken(Other):
            __tablename__ = "broken"
            id: Mapped[int] = mapped_column(primary_key=True)
            card: Mapped[str] = mapped_column(
                Sealed(
                    RING,
                    blind=[
                        qv.BlindIndex(
                            "cy", bits=8, key=key, columns={"card": "digits", "year": "identity"}
                        )
                    ],
                )
            )

    with pytest.raises(TypeError, match="not an index key"):
        Sealed(key)  # type: ignore[arg-type]
    with pytest.raises(BlindIndexError, match="repeat"):
        Sealed(RING, blind=[qv.BlindIndex("a", bits=8, key=key)] * 2)
    with pytest.raises(SealedQueryError, match="name one"):
        Member.email.blind("x")
    with pytest.raises(SealedQueryError, match="no blind index 'nope'"):
        Member.email.blind("x", "nope")
