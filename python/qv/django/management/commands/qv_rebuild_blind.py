"""qv_rebuild_blind app.Model.field [--index NAME]: recompute one blind index over a table."""

from __future__ import annotations

from typing import Any

from django.core.management.base import BaseCommand, CommandError, CommandParser

from qv import KeyringError
from qv._sealed import SealedColumnError, SealedQueryError
from qv.blind import BlindIndexError
from qv.django.blind import rebuild
from qv.django.management.commands._column import add_column_arguments, named_field


class Command(BaseCommand):
    help = (
        "Recompute a blind index of a sealed field over the whole table (after a new index "
        "key, transform or size), in batches; sealed values are never written."
    )

    def add_arguments(self, parser: CommandParser) -> None:
        add_column_arguments(parser)
        parser.add_argument("--index", help="the index's name (needed when the field has several)")
        parser.add_argument("--after", help="resume after this primary key (a run's last key)")

    def handle(self, *args: Any, **options: Any) -> None:
        model, name = named_field(options)
        after = options["after"]
        if after is not None:
            pk = model._meta.pk
            assert pk is not None
            after = pk.to_python(after)
        try:
            result = rebuild(
                model,
                name,
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
