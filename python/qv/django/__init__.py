"""Sealed model fields for Django: values stored as qv tokens in a text column.

Add "qv.django" to INSTALLED_APPS for the system checks and the management
commands qv_rotate, qv_seal_existing and qv_rebuild_blind. A sealed field
given blind indexes (`blind=[qv.BlindIndex(...)]`) gains one indexed column
per index and the lookups `field__blind` and `field__blind_candidates`. The ring comes from the setting
QV_KEYRING and is loaded on first use, never at import.

Needs Django (`pip install "qv[django]"`); `import qv` does not import it.
"""

from qv._sealed import (
    RotateResult,
    SealedColumnError,
    SealedKeyError,
    SealedQueryError,
    SealedTamperedError,
    SealResult,
)
from qv.django.blind import Blind, BlindIndexField, RebuildResult, rebuild
from qv.django.fields import (
    SealedCharField,
    SealedEmailField,
    SealedTextField,
    get_keyring,
    rotate,
    seal_existing,
)

__all__ = [
    "Blind",
    "BlindIndexField",
    "RebuildResult",
    "RotateResult",
    "SealResult",
    "SealedCharField",
    "SealedColumnError",
    "SealedEmailField",
    "SealedKeyError",
    "SealedQueryError",
    "SealedTamperedError",
    "SealedTextField",
    "get_keyring",
    "rebuild",
    "rotate",
    "seal_existing",
]
