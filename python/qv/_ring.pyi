"""qv.v2 key ring handles: keys prepared once"""

from collections.abc import Mapping, Sequence
from typing import Any, Literal, TypeAlias, TypeVar, final

from qv._native import _Opened

_Text: TypeAlias = str | bytes | bytearray
_MetaKey = TypeVar("_MetaKey", bound=_Text)
_Metadata: TypeAlias = Mapping[_Text, _Text] | Mapping[_MetaKey, _Text]
_AadKey = TypeVar("_AadKey", bound=_Text)
_AadValue = TypeVar("_AadValue", bound=_Text)
_OneAad: TypeAlias = str | dict[_AadKey, _AadValue] | None
_Aad: TypeAlias = str | dict[_AadKey, _AadValue] | Sequence[str | dict[Any, Any] | None] | None
_Buffer: TypeAlias = bytes | bytearray | memoryview

@final
class Handles:
    """The prepared keys of one key ring, by key id."""

def new_table() -> Handles:
    """An empty table of handles."""

def put(handles: Handles, key_id: str, key: _Buffer) -> None:
    """Prepare a 32-byte key and hold it under key_id, replacing any before it."""

def drop(handles: Handles, key_id: str) -> None:
    """Release the key held under key_id, if any."""

def clear(handles: Handles) -> None:
    """Release every key."""

def holds(handles: Handles, key_id: str) -> bool:
    """Whether a key is held under key_id."""

def encrypt(
    handles: Handles,
    key_id: str,
    plaintext: _Text,
    deterministic: bool = False,
    metadata: _Metadata[_MetaKey] = ...,
    aad: _OneAad[_AadKey, _AadValue] = None,
) -> str | None:
    """As qv.encrypt with the key held under key_id; None when none is held."""

def decrypt(
    handles: Handles, token: _Text, aad: _OneAad[_AadKey, _AadValue] = None
) -> _Opened | None:
    """As qv.decrypt with the key the token names; None when none is held."""

def rotate(
    handles: Handles,
    token: _Text,
    primary_id: str | None,
    aad: _OneAad[_AadKey, _AadValue] = None,
) -> str | None:
    """Open a token and seal it again under primary_id; None when a key is not held."""

def encrypt_many(
    handles: Handles,
    key_id: str,
    plaintexts: Sequence[_Text | None],
    *,
    deterministic: bool = False,
    metadata: _Metadata[_MetaKey] | None = None,
    aad: _Aad[_AadKey, _AadValue] = None,
    threads: int | None = None,
) -> list[str | None] | None:
    """As qv.encrypt_many with the key held under key_id; None when none is held."""

def decrypt_many(
    handles: Handles,
    tokens: Sequence[_Text | None],
    *,
    aad: _Aad[_AadKey, _AadValue] = None,
    errors: Literal["raise", "null"] = "raise",
    threads: int | None = None,
) -> list[str | None]:
    """As qv.decrypt_many with every key held."""

def decrypt_many_records(
    handles: Handles,
    tokens: Sequence[_Text | None],
    *,
    aad: _Aad[_AadKey, _AadValue] = None,
    errors: Literal["raise", "null"] = "raise",
    threads: int | None = None,
) -> list[_Opened | None]:
    """As decrypt_many, each opened row a decrypt dict."""
