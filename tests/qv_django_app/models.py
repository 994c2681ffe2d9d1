from django.db import models

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
