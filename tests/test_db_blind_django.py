"""Blind indexes of qv.django fields on SQLite and, under `make test-postgres`, PostgreSQL.

Shares test_db_django's settings, test app and migration.
"""

from __future__ import annotations

# test_db_django configures Django's settings: it is imported before Django is.
import test_db_django
from test_db_django import ALIAS, migrated  # noqa: F401  (the migration fixture)

assert test_db_django.settings.configured

from io import StringIO  # noqa: E402

import pytest  # noqa: E402
from django.core.management import CommandError, call_command  # noqa: E402
from django.test import override_settings  # noqa: E402

import qv  # noqa: E402
from dbs import BACKENDS  # noqa: E402
from qv.blind import BlindIndexError  # noqa: E402
from qv.django import Blind, SealedCharField, SealedQueryError, rebuild, rotate  # noqa: E402
from qv_django_app.models import Contact  # noqa: E402

EMAILS = [f"user{i}@example.org" for i in range(40)] + ["Ada@Example.com", "ada@example.com "]


@pytest.fixture
def ring():
    fresh = qv.Keyring()
    fresh.generate("k1")
    fresh.generate("ix", purpose="indexing")
    with override_settings(QV_KEYRING=fresh):
        yield fresh


@pytest.fixture(params=BACKENDS)
def db(request, migrated, ring):  # noqa: F811
    alias = ALIAS[request.param]
    Contact.objects.using(alias).all().delete()
    Contact.objects.using(alias).bulk_create(
        [
            Contact(pk=i + 1, email=e, card=f"4000 1111 2222 {i % 10:04d}", born=1980 + i % 3)
            for i, e in enumerate(EMAILS)
        ]
        + [Contact(pk=1000, email=None, card=None, born=None)]
    )
    return alias


def found(alias, **lookup) -> list[int]:
    return sorted(Contact.objects.using(alias).filter(**lookup).values_list("pk", flat=True))


@pytest.mark.parametrize(
    ("value", "index", "want"),
    [
        ("ada@example.com", "email_ci", [41, 42]),
        (" ADA@EXAMPLE.COM", "email_ci", [41, 42]),
        ("user7@example.org", "email_ci", [8]),
        ("Ada@Example.com", "email_exact", [41]),
        ("nobody@example.org", "email_ci", []),
    ],
)
def test_blind_lookup_returns_exactly_the_matching_rows(db, value, index, want) -> None:
    assert found(db, email__blind=Blind(value, index)) == want
    assert set(want) <= set(found(db, email__blind_candidates=Blind(value, index)))
    assert Contact.objects.using(db).filter(email__blind=Blind(value, index)).count() == len(want)


def test_write_paths_keep_indexes(db) -> None:
    objects = Contact.objects.using(db)
    # 40 distinct values over 8 index values: some value's candidates hold other rows.
    shared = max(
        EMAILS[:40], key=lambda e: len(found(db, email__blind_candidates=Blind(e, "email_ci")))
    )
    assert len(found(db, email__blind_candidates=Blind(shared, "email_ci"))) > 1
    one = objects.get(pk=1)
    one.email = "Changed@x.org"
    one.save(update_fields=["email"])
    two, three = objects.get(pk=2), objects.get(pk=3)
    two.email, three.email = "changed@X.org", "other@x.org"
    objects.bulk_update([two, three], ["email"])
    objects.filter(pk=4).update(email="CHANGED@x.org")
    assert found(db, email__blind=Blind("changed@x.org", "email_ci")) == [1, 2, 4]
    assert found(db, email__blind=Blind("other@x.org", "email_exact")) == [3]
    empty = objects.get(pk=1000)
    assert (empty.email_ci, empty.email_exact, empty.card_year) == (None, None, None)
    four = objects.get(pk=4)
    four.born = 1999
    four.save(update_fields=["born"])
    assert found(db, card__blind={"card": "0003", "born": 1999}) == [4]
    with pytest.raises(SealedQueryError, match="compound index 'card_year'"):
        objects.filter(pk=5).update(card="1234")


def test_rotation_leaves_indexes_and_rebuild_replaces_them(db, ring) -> None:
    objects = Contact.objects.using(db)
    before = dict(objects.values_list("pk", "email_exact"))
    ring.generate("k2")
    ring.promote("k2")
    rotate(Contact, "email", using=db)
    assert dict(objects.values_list("pk", "email_exact")) == before
    out = StringIO()
    with override_settings(QV_KEYRING=_with_new_index_key(ring)):
        call_command(
            "qv_rebuild_blind",
            "qv_django_app.Contact.email",
            "--index",
            "email_exact",
            "--batch-size",
            "7",
            "--database",
            db,
            stdout=out,
        )
        assert "rebuilt 42, current 1, failed 0" in out.getvalue()
        after = dict(objects.values_list("pk", "email_exact"))
        assert not (set(before.values()) - {None}) & set(after.values())
        assert found(db, email__blind=Blind("Ada@Example.com", "email_exact")) == [41]
        again = rebuild(Contact, "email", "email_exact", using=db, after=20)
        assert (again.rebuilt, again.current) == (0, 23)


def _with_new_index_key(ring: qv.Keyring) -> qv.Keyring:
    # The same sealing keys, and a new key under the index key's id.
    data = ring.to_bytes(wrapping_key=b"w" * 32)
    copy = qv.Keyring.from_bytes(data, wrapping_key=b"w" * 32)
    copy.destroy("ix")
    copy.remove("ix")
    copy.generate("ix", purpose="indexing")
    return copy


def test_declaration_errors_and_lookup_refusals(migrated) -> None:  # noqa: F811
    from django.db import models
    from django.test.utils import isolate_apps

    key = qv.Keyring()
    key.generate("ix", purpose="indexing")
    index_key = key.index_key("ix")
    with isolate_apps("qv_django_app"):
        with pytest.raises(BlindIndexError, match=r"names column 'year'"):

            class Broken(models.Model):
                card = SealedCharField(
                    max_length=9,
                    blind=[
                        qv.BlindIndex(
                            "cy",
                            bits=8,
                            key=index_key,
                            columns={"card": "digits", "year": "identity"},
                        )
                    ],
                )

                class Meta:
                    app_label = "qv_django_app"

        class Base(models.Model):
            card = SealedCharField(
                max_length=9, blind=[qv.BlindIndex("card_ix", bits=8, key=index_key)]
            )

            class Meta:
                abstract = True
                app_label = "qv_django_app"

        class Child(Base):
            class Meta:
                app_label = "qv_django_app"

        assert Child._meta.get_field("card_ix").qv_index.table == Child._meta.db_table

    with pytest.raises(SealedQueryError, match="name one"):
        list(Contact.objects.filter(email__blind="x"))
    with pytest.raises(SealedQueryError, match="no blind index 'nope'"):
        list(Contact.objects.filter(email__blind=Blind("x", "nope")))
    with pytest.raises(CommandError, match="no blind index"):
        call_command("qv_rebuild_blind", "qv_django_app.Contact.email", "--index", "nope")
