"""A key ring's files: reading with a size cap, saving privately and atomically.

Uses qv._files (the private atomic write) and the package's document and keys
modules; Keyring's save, load and describe are written here over its
to_bytes and from_bytes.
"""

from __future__ import annotations

import os
import stat
import warnings
from typing import TYPE_CHECKING, Final, Self, TypeAlias

from qv._files import write_private
from qv.keyring.document import one_secret, parse_document, readable_entries
from qv.keyring.errors import KeyringError
from qv.keyring.keys import KeyInfo, utc

__all__ = ["MAX_FILE_BYTES", "FileCalls", "read_file", "write_file"]

_Path: TypeAlias = str | os.PathLike[str]

# Load reads at most this much of a file: a ring of a thousand keys with the
# longest ids is under 1 MiB, and a device such as /dev/zero never ends.
MAX_FILE_BYTES: Final = 16 * 1024 * 1024


def read_file(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            mode = os.fstat(f.fileno()).st_mode
            data = f.read(MAX_FILE_BYTES + 1)
    except OSError as e:
        raise KeyringError(f"qv: cannot read key ring file {path!r}: {e.strerror}.") from e
    if len(data) > MAX_FILE_BYTES:
        raise KeyringError(
            f"qv: key ring file {path!r} is larger than 16 MiB; no key ring is that large."
        )
    if stat.S_ISREG(mode) and mode & 0o044:
        # The default warning filter shows this once per process and message.
        warnings.warn(
            f"qv: key ring file {path!r} can be read by other users "
            f"(mode {stat.S_IMODE(mode):04o}); chmod 600 it.",
            UserWarning,
            stacklevel=3,
        )
    return data


def write_file(path: str, data: bytes) -> None:
    try:
        write_private(path, data)
    except OSError as e:
        raise KeyringError(f"qv: cannot save key ring to {path!r}: {e.strerror}.") from e


class FileCalls:
    """The calls of Keyring on files."""

    if TYPE_CHECKING:

        def to_bytes(
            self, *, passphrase: str | bytes | None = None, wrapping_key: bytes | None = None
        ) -> bytes: ...

        @classmethod
        def from_bytes(
            cls,
            data: bytes | bytearray,
            *,
            passphrase: str | bytes | None = None,
            wrapping_key: bytes | None = None,
        ) -> Self: ...

    def save(
        self,
        path: _Path,
        *,
        passphrase: str | bytes | None = None,
        wrapping_key: bytes | None = None,
    ) -> None:
        """Write the ring to `path` atomically, with mode 0600 from creation on.

        The document goes to a temporary file in the same folder, is synced,
        and then renamed over `path`; a failed save leaves the old file as it was.
        A `path` that is a symbolic link is refused (KeyringError) and nothing
        is written: replacing the link would leave the ring it names stale.
        """
        data = self.to_bytes(passphrase=passphrase, wrapping_key=wrapping_key)
        write_file(os.fspath(path), data)

    @classmethod
    def load(
        cls,
        path: _Path,
        *,
        passphrase: str | bytes | None = None,
        wrapping_key: bytes | None = None,
    ) -> Self:
        """Read a ring saved by save; warns once if other users can read the file.

        A file over 16 MiB (MAX_FILE_BYTES, far above any real ring) is refused
        after reading no more than that.
        """
        one_secret(passphrase, wrapping_key)
        return cls.from_bytes(
            read_file(os.fspath(path)), passphrase=passphrase, wrapping_key=wrapping_key
        )

    @staticmethod
    def describe(path_or_bytes: _Path | bytes | bytearray) -> list[KeyInfo]:
        """List the keys of a stored ring from its readable part, without any secret.

        Nothing is authenticated here: trust the listing only after a load succeeds.
        """
        source = path_or_bytes
        data = (
            bytes(source) if isinstance(source, bytes | bytearray) else read_file(os.fspath(source))
        )
        doc = parse_document(data)
        entries, primary = readable_entries(doc)
        return [
            KeyInfo(e.key_id, e.status, e.key_id == primary, utc(e.created), e.check, e.purpose)
            for e in entries
        ]
