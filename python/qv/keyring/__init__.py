"""Key rings: named keys with one primary, rotation, and a locked stored form.

A token names its key, so a ring opens a token with one lookup by key id and
never tries its keys in turn. The stored form is a JSON document whose readable
part (ids, statuses, primary, creation times, check values, scrypt settings) is
bound as associated data to the sealed key material: editing any of it makes
the ring refuse to load.

The modules, each using only qv's native modules, qv's private helpers and the
modules listed after it: `ring` (the ring in memory), `bulk` (its calls over
many values), `files` (reading and saving the stored form), `document` (the
stored form), `keys` (one key and the copies calls take of it), `errors`.
"""

from qv._constants import KEY_SIZE as KEY_SIZE
from qv.keyring.document import FORMAT_NAME as FORMAT_NAME
from qv.keyring.document import FORMAT_VERSION as FORMAT_VERSION
from qv.keyring.errors import (
    DestroyedKeyError,
    DisabledKeyError,
    KeyIdError,
    KeyPurposeError,
    KeyringError,
    UnknownKeyIdError,
)
from qv.keyring.files import MAX_FILE_BYTES as MAX_FILE_BYTES
from qv.keyring.keys import MAX_KEY_ID_BYTES as MAX_KEY_ID_BYTES
from qv.keyring.keys import IndexKey, KeyInfo
from qv.keyring.keys import Purpose as Purpose
from qv.keyring.keys import Status as Status
from qv.keyring.ring import Keyring

__all__ = [
    "DestroyedKeyError",
    "DisabledKeyError",
    "IndexKey",
    "KeyInfo",
    "KeyPurposeError",
    "Keyring",
    "KeyringError",
    "UnknownKeyIdError",
]

# The base of the errors that name a key id, by its name from before the split.
_KeyIdError = KeyIdError

# Reprs, tracebacks and pickles name these qv.keyring.X, where users import them.
for _public in (
    Keyring,
    KeyInfo,
    KeyringError,
    UnknownKeyIdError,
    DisabledKeyError,
    DestroyedKeyError,
    KeyPurposeError,
    IndexKey,
):
    _public.__module__ = __name__
del _public
