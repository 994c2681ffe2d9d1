"""qv.v2 bulk sealing and opening"""

from collections.abc import Mapping, Sequence
from typing import Any, Literal, TypeAlias, TypeVar

from qv._native import _Opened

_Text: TypeAlias = str | bytes | bytearray
_MetaKey = TypeVar("_MetaKey", bound=_Text)
_Metadata: TypeAlias = Mapping[_Text, _Text] | Mapping[_MetaKey, _Text]
_AadKey = TypeVar("_AadKey", bound=_Text)
_AadValue = TypeVar("_AadValue", bound=_Text)
# One `aad` for every row, or a list or tuple holding one per row (any
# other sequence, bytes included, is refused at run time).
_Aad: TypeAlias = str | dict[_AadKey, _AadValue] | Sequence[str | dict[Any, Any] | None] | None
# One key for every token, or keys by key id.
_Keys: TypeAlias = bytes | Mapping[str, bytes] | Mapping[bytes, bytes] | Mapping[str | bytes, bytes]

def encrypt_many(
    plaintexts: Sequence[_Text | None],
    key: bytes,
    key_id: _Text,
    *,
    deterministic: bool = False,
    metadata: _Metadata[_MetaKey] | None = None,
    aad: _Aad[_AadKey, _AadValue] = None,
    threads: int | None = None,
) -> list[str | None]:
    """Encrypt every plaintext (None stays None) and return the list of qv.v2 tokens.

    Each token is the one `encrypt` returns for its row (the same token in
    deterministic mode), and each row is checked as `encrypt` checks it. The
    first failing row raises `encrypt`'s exception with the note "row <i>".
    `threads` workers share a large batch (default: every usable core); the
    interpreter lock is released while they work.
    """

def decrypt_many(
    tokens: Sequence[_Text | None],
    keys: _Keys,
    *,
    aad: _Aad[_AadKey, _AadValue] = None,
    errors: Literal["raise", "null"] = "raise",
    threads: int | None = None,
) -> list[str | None]:
    """Decrypt every token (None stays None) and return the list of plaintexts.

    `keys` is one 32-byte key for every token, or a mapping from key id to key
    (a token whose key id is missing fails). Each row opens exactly when
    `decrypt` opens it. With errors="raise" the first failing row raises
    `decrypt`'s exception with the note "row <i>"; with errors="null" failing
    rows give None. A row that is not str, bytes, bytearray or None is a
    TypeError under either setting.
    """

def decrypt_many_records(
    tokens: Sequence[_Text | None],
    keys: _Keys,
    *,
    aad: _Aad[_AadKey, _AadValue] = None,
    errors: Literal["raise", "null"] = "raise",
    threads: int | None = None,
) -> list[_Opened | None]:
    """As decrypt_many, but each opened row is the dict that decrypt returns."""
