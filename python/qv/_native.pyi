"""qv.v2 native cryptographic library"""

from collections.abc import Mapping
from typing import SupportsIndex, SupportsInt, TypeAlias, TypedDict, TypeVar

from _typeshed import WriteableBuffer

# Every text parameter takes a str (as its UTF-8 bytes) or raw bytes.
_Text: TypeAlias = str | bytes | bytearray
# Mapping is invariant in its key type and dict in both, so `Mapping[_Text,
# _Text]` alone would refuse a `dict[str, str]` variable. Type variables bound
# to _Text let every narrower dict type through as well.
_MetaKey = TypeVar("_MetaKey", bound=_Text)
_AadKey = TypeVar("_AadKey", bound=_Text)
_AadValue = TypeVar("_AadValue", bound=_Text)
# The plain _Text form stays first, so a literal mixing str and bytes keys checks.
_Metadata: TypeAlias = Mapping[_Text, _Text] | Mapping[_MetaKey, _Text]
# `aad` is None, a str or a dict of text; bytes, lists and Mapping types other
# than dict raise ValueError. (A dict literal mixing str and bytes keys needs an
# annotation here: mypy joins its key types to Sequence[object].)
_Aad: TypeAlias = str | dict[_AadKey, _AadValue] | None

# The result dicts exist only for the type checker; at run time they are
# plain dicts, so these names are private.
class _DerivedKey(TypedDict):
    key: bytes
    salt_hex: str

class _Opened(TypedDict):
    data: str
    metadata: dict[str, str]
    key_id: str
    deterministic: bool

class _TokenParts(TypedDict):
    version: int
    flags: int
    deterministic: bool
    key_id: str
    nonce: bytes
    tag: bytes
    ciphertext: bytes
    metadata: dict[str, str]

def generate_key() -> bytes:
    """Generate a random 32-byte encryption key.

    Raises RuntimeError "qv: random generator failed." if the system's random
    generator fails; never returns a zero or partial key.
    """

# The integer parameters take what the conversion takes: an int or an object
# with __index__ or __int__. A float is refused at run time, which the type
# (float has __int__) cannot express.
def derive_key_from_password(
    password: _Text,
    salt_hex: _Text = "",
    N: SupportsInt | SupportsIndex = 131072,
    r: SupportsInt | SupportsIndex = 8,
    p: SupportsInt | SupportsIndex = 1,
) -> _DerivedKey:
    """Derive a key from a password using scrypt.

    Returns {"key": 32 bytes, "salt_hex": the salt used, lower-case hex}. An
    empty `salt_hex` draws a fresh 32-byte random salt; store the returned
    "salt_hex" to derive the same key again. `N` must be a power of two and at
    least 2**14; scrypt's working memory (about 128 * r * N bytes) must stay
    within 256 MiB. The interpreter lock is held while scrypt runs.
    """

def derive_subkey(master_key: bytes, context: _Text, salt: bytes | None = None) -> bytes:
    """Derive a subkey using HKDF-SHA256.

    The 32-byte subkey is HKDF-SHA256(master_key, salt, "qv.v2:" + context).
    None, b"" and 32 zero bytes as `salt` give the same subkey.
    """

def encrypt(
    plaintext: _Text,
    key: bytes,
    key_id: _Text,
    deterministic: bool = False,
    metadata: _Metadata[_MetaKey] = ...,
    aad: _Aad[_AadKey, _AadValue] = None,
) -> str:
    """Encrypt plaintext and return an qv.v2 token string.

    `key` is 32 bytes, `key_id` 1 to 255 bytes, `plaintext` at least 1 byte.
    `metadata` travels readable inside the token and is authenticated; `aad`
    is authenticated but not stored, and `decrypt` needs the same value. With
    `deterministic=True` equal inputs give equal tokens.
    """

def decrypt(token: _Text, key: bytes, aad: _Aad[_AadKey, _AadValue] = None) -> _Opened:
    """Decrypt an qv.v2 token. Returns dict with data, metadata, key_id, deterministic.

    Every token that fails to open (malformed, wrong key, wrong `aad`,
    tampered) raises RuntimeError "qv: decryption failed.".
    """

def peek_key_id(token: _Text) -> str | None:
    """Extract the key ID from a token without decrypting.

    Nothing is authenticated: do not trust the result before `decrypt` succeeds.
    """

def decode_token(token: _Text) -> _TokenParts | None:
    """Decode a token into its components. Returns None on failure.

    Nothing is authenticated: do not trust the result before `decrypt` succeeds.
    """

def token_fingerprint(token: _Text) -> str | None:
    """Get the fingerprint (keyId:nonceHex) of a token."""

def wipe_buffer(buf: WriteableBuffer) -> None:
    """Securely zero a buffer.

    Overwrites every item of a writable buffer (a bytearray, a memoryview, an
    array.array, ...) with zeros. A read-only buffer such as bytes raises
    BufferError and is left unchanged.
    """
