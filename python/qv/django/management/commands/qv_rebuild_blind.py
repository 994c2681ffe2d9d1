"""qv_rebuild_blind app.Model.field [--index NAME]: recompute one blind index over a table."""

from __future__ import annotations

from typing import Any

from django.apps import apps
from django.core.management.base import BaseCommand, CommandError, CommandParser

from qv import KeyringError
from qv._sealed import SealedColumnError, SealedQueryError
from qv.blind import BlindIndexError
from qv.django.blind import rebuild


class Command(BaseCommand):
    help = (
        "Recompute a blind index of a sealed field over the whole table (after a new index "
        "key, transform or size), in batches; sealed values are never written."
    )

    def add_arguments(self, parser: CommandParser) -> None:
        parser.add_argument("field", help="the sealed field, as app_label.Model.field")
        parser.add_argument("--index", help="the index's name (needed when the field has several)")
        parser.add_argument("--batch-size", type=int, default=1000, help="rows per transaction")
        parser.add_argument("--after", help="resume after this primary key (a run's last key)")
        parser.add_argument("--database", default="default", help="the database alias")

    def handle(self, *args: Any, **options: Any) -> None:
        parts = options["field"].split(".")
        if len(parts) != 3:
            raise CommandError("name the field as app_label.Model.field.")
        try:
            model = apps.get_model(parts[0], parts[1])
        except LookupError as e:
            raise CommandError(str(e)) from None
        if options["batch_size"] < 1:
            raise CommandError("--batch-size must be at least 1.")
        after = options["after"]
        if after is not None:
            pk = model._meta.pk
            assert pk is not None
            after = pk.to_python(after)
        try:
            result = rebuild(
                model,
                parts[2],
                options["index"],
                batch_size=options["batch_size"],
                using=options["database"],
                after=after,
            )
        except (TypeError, KeyringError, SealedColumnError, SealedQueryError, BlindIndexError) as e:
            raise CommandError(str(e)) from None
        self.stdout.write(
            f"{options['field']}: rebuilt {result.rebuilt}, current {result.current}, "
            f"failed {result.failed}, last key {result.last_pk}"
        )
        if result.failed:
            raise CommandError(
                f"{result.failed} rows did not open; their index was left as it was."
            )
