"""qv_rotate app.Model.field: re-seal a sealed field's values under the ring's primary."""

from qv.django.fields import rotate
from qv.django.management.commands._column import ColumnCommand


class Command(ColumnCommand):
    help = "Re-seal every value of a sealed field that is not under the key ring's primary key."
    action = staticmethod(rotate)
