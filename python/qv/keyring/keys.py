"""One key of a ring, what a listing shows of it, and the copies calls take of it.

Uses qv._native (HKDF for check values) and the package's errors.
"""

from __future__ import annotations

from dataclasses import dataclass
from datetime import UTC, datetime
from typing import Final, Literal, NoReturn, TypeAlias

from qv._native import derive_subkey as _derive_subkey
from qv.keyring.errors import KeyringError

__all__ = [
    "CHECK_BYTES",
    "MAX_KEY_ID_BYTES",
    "Entry",
    "HiddenKey",
    "HiddenText",
    "IndexKey",
    "KeyInfo",
    "PURPOSES",
    "Purpose",
    "Status",
    "check_value",
    "hex_into_bytearray",
    "utc",
    "validate_key_id",
    "validate_purpose",
]

Status: TypeAlias = Literal["enabled", "disabled", "destroyed"]
# A sealing key seals and opens tokens; an indexing key only feeds blind
# indexes. Neither ever does the other's work, so rotating one kind never
# changes what the other made.
Purpose: TypeAlias = Literal["sealing", "indexing"]
PURPOSES: Final = ("sealing", "indexing")

MAX_KEY_ID_BYTES: Final = 255
_CHECK_CONTEXT: Final = "keyring-check"
CHECK_BYTES: Final = 8


@dataclass(frozen=True)
class KeyInfo:
    """What a listing shows of one key: never the key itself."""

    key_id: str
    status: Status
    primary: bool
    created: datetime
    check: str
    purpose: Purpose = "sealing"


class HiddenKey(bytes):
    """A copy of a ring's key whose repr and str hide it.

    The copies a call takes sit in its frames' locals while an error on the
    caller's input passes through them, and error trackers record those
    locals with repr: the caller never handles a ring's keys, so they must not
    surface there. The native calls take it as the bytes it is.
    """

    __slots__ = ()

    def __repr__(self) -> str:
        return "<qv key copy>"

    __str__ = __repr__


class HiddenText(str):
    """Hex text of a ring's keys while a stored ring is opened; repr hides it."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "<qv sealed key text>"

    __str__ = __repr__


class Entry:
    """One key. `material` is None once destroyed; it is wiped before release."""

    __slots__ = ("check", "created", "key_id", "material", "purpose", "status")

    def __init__(
        self,
        key_id: str,
        status: Status,
        created: int,
        check: str,
        material: bytearray | None,
        purpose: Purpose = "sealing",
    ) -> None:
        self.key_id = key_id
        self.status: Status = status
        self.created = created
        self.check = check
        self.material = material
        self.purpose: Purpose = purpose

    def __repr__(self) -> str:
        return f"<key {self.key_id!r} {self.status} {self.purpose}>"


class IndexKey:
    """A copy of one of a ring's index keys, for qv.BlindIndex: not a sealing key.

    Not bytes, so no sealing call takes it; its repr names only the key id.
    """

    __slots__ = ("_material", "key_id")

    def __init__(self, key_id: str, material: bytes) -> None:
        self.key_id = key_id
        self._material = HiddenKey(material)

    def material(self) -> bytes:
        return self._material

    def __repr__(self) -> str:
        return f"<qv index key {self.key_id!r}>"

    __str__ = __repr__

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError("qv: an index key cannot be copied or pickled.")


def check_value(key: bytes | bytearray) -> str:
    # HKDF under its own context: equal checks mean equal keys, and the check
    # tells nothing about the key or about what the key derives elsewhere.
    return _derive_subkey(bytes(key), _CHECK_CONTEXT)[:CHECK_BYTES].hex()


def validate_key_id(key_id: object) -> str:
    if not isinstance(key_id, str):
        raise TypeError(f"qv: a key id must be a str, not {type(key_id).__name__}.")
    try:
        size = len(key_id.encode("utf-8"))
    except UnicodeEncodeError:
        raise KeyringError(f"qv: key id {key_id!r} is not valid UTF-8 text.") from None
    if not 1 <= size <= MAX_KEY_ID_BYTES:
        raise KeyringError(f"qv: key id {key_id!r} must be 1-255 UTF-8 bytes, not {size}.")
    if "\0" in key_id:
        raise KeyringError(f"qv: key id {key_id!r} must not contain NUL characters.")
    return key_id


def hex_into_bytearray(key: bytearray) -> bytearray:
    # Lower-case hex built byte by byte, so that no immutable copy of the key
    # text is made on the way into a token.
    digits = b"0123456789abcdef"
    out = bytearray(2 * len(key))
    for i, byte in enumerate(key):
        out[2 * i] = digits[byte >> 4]
        out[2 * i + 1] = digits[byte & 15]
    return out


def utc(seconds: int) -> datetime:
    return datetime.fromtimestamp(seconds, UTC)


def validate_purpose(purpose: object) -> Purpose:
    if purpose == "sealing":
        return "sealing"
    if purpose == "indexing":
        return "indexing"
    raise KeyringError(f"qv: a key's purpose is 'sealing' or 'indexing', not {purpose!r}.")
