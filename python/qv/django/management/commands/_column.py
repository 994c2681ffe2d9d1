"""What the column commands share: the app.Model.field argument, the batch size, the run."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from django.apps import apps
from django.core.management.base import BaseCommand, CommandError, CommandParser
from django.db.models import Model

from qv import KeyringError
from qv._sealed import SealedColumnError


def add_column_arguments(parser: CommandParser) -> None:
    parser.add_argument("field", help="the sealed field, as app_label.Model.field")
    parser.add_argument("--batch-size", type=int, default=1000, help="rows per transaction")
    parser.add_argument("--database", default="default", help="the database alias")


def named_field(options: dict[str, Any]) -> tuple[type[Model], str]:
    """The model and field name that the options' app_label.Model.field names."""
    parts = options["field"].split(".")
    if len(parts) != 3:
        raise CommandError("name the field as app_label.Model.field.")
    try:
        model = apps.get_model(parts[0], parts[1])
    except LookupError as e:
        raise CommandError(str(e)) from None
    if options["batch_size"] < 1:
        raise CommandError("--batch-size must be at least 1.")
    return model, parts[2]


class ColumnCommand(BaseCommand):
    action: Callable[..., Any]

    def add_arguments(self, parser: CommandParser) -> None:
        add_column_arguments(parser)

    def handle(self, *args: Any, **options: Any) -> None:
        model, name = named_field(options)
        try:
            result = type(self).action(
                model, name, batch_size=options["batch_size"], using=options["database"]
            )
        except (TypeError, KeyringError, SealedColumnError) as e:
            raise CommandError(str(e)) from None
        counts = ", ".join(f"{k} {v}" for k, v in vars(result).items())
        self.stdout.write(f"{options['field']}: {counts}")
        if result.failed:
            raise CommandError(f"{result.failed} rows did not open and were left as they were.")
