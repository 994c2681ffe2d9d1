"""The Django app of qv.django: system checks and the qv_rotate / qv_seal_existing commands."""

from __future__ import annotations

from typing import Any

from django.apps import AppConfig
from django.conf import settings
from django.core import checks


class QvConfig(AppConfig):
    name = "qv.django"
    label = "qv"
    verbose_name = "qv sealed fields"

    def ready(self) -> None:
        checks.register(_check_setting, checks.Tags.security)


def _check_setting(app_configs: Any = None, **kwargs: Any) -> list[checks.CheckMessage]:
    # Only the setting's shape: loading the ring would read secrets at check time.
    value = getattr(settings, "QV_KEYRING", None)
    if value is None:
        return [
            checks.Error(
                "QV_KEYRING is not set.",
                hint="Set it to a qv.Keyring, a dotted path to a callable returning one, "
                "or a dict naming a ring file and where its secret is read from.",
                id="qv.E003",
            )
        ]
    if isinstance(value, dict):
        from qv.django.fields import ring_setting_problem

        problem = ring_setting_problem(value)
        if problem:
            return [checks.Error(f"QV_KEYRING: {problem}", id="qv.E004")]
    return []
