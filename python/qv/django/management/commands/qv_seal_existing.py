"""qv_seal_existing app.Model.field: seal a field that still holds plaintext, in place."""

from qv.django.fields import seal_existing
from qv.django.management.commands._column import ColumnCommand


class Command(ColumnCommand):
    help = "Seal the plaintext values of a field just made sealed; sealed values are left alone."
    action = staticmethod(seal_existing)
