from django.db import models

import qv
from qv.django import SealedCharField, SealedEmailField, SealedTextField


class Customer(models.Model):
    email = SealedEmailField(deterministic=True, null=True, blank=True)
    name = SealedCharField(max_length=20, null=True, blank=True)
    note = SealedTextField(null=True, blank=True)
    # Two fields sharing one context: their tokens open in either.
    shared = SealedTextField(null=True, context="customers.shared")
    alias = SealedTextField(null=True, context="customers.shared")

    class Meta:
        app_label = "qv_django_app"


def _index_key():  # type: ignore[no-untyped-def]
    from qv.django import get_keyring

    return get_keyring().index_key("ix")


class Contact(models.Model):
    """Blind indexes: 3 bits on the e-mail so false positives abound, and a compound one."""

    email = SealedEmailField(
        null=True,
        blind=[
            qv.BlindIndex("email_ci", bits=3, transform="casefold", key=_index_key),
            qv.BlindIndex("email_exact", bits=64, key=_index_key),
        ],
    )
    card = SealedCharField(
        max_length=40,
        null=True,
        blind=[
            qv.BlindIndex(
                "card_year",
                bits=6,
                key=_index_key,
                columns={"card": "digits|last:4", "born": "identity"},
            )
        ],
    )
    born = models.IntegerField(null=True)

    class Meta:
        app_label = "qv_django_app"
