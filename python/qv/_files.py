"""Private files written whole or not at all, for the key ring and the command line.

Standard library only. A file is written into a new temporary file beside its
target (mode 0600 from its creation, so it is never readable by others, not
even for a moment) and renamed over the target only once everything was
written and synced; a failure leaves an existing target as it was. A symlink
at the target is refused rather than replaced or followed.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import tempfile
from typing import IO, TYPE_CHECKING

if TYPE_CHECKING:
    from collections.abc import Iterator

__all__ = ["SymlinkRefusedError", "private_output", "refuse_symlink", "write_private"]


class SymlinkRefusedError(OSError):
    """The target of a write is a symbolic link."""

    def __init__(self, path: str) -> None:
        super().__init__(errno.ELOOP, "is a symbolic link; it is not replaced or followed", path)


def refuse_symlink(path: str) -> None:
    """Raise SymlinkRefusedError if `path` names a symbolic link (a dangling one too)."""
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        return
    if stat.S_ISLNK(mode):
        raise SymlinkRefusedError(path)


@contextlib.contextmanager
def private_output(path: str) -> Iterator[IO[bytes]]:
    """A binary stream whose content replaces `path` atomically when the block succeeds.

    Raises SymlinkRefusedError before anything is written if `path` is a
    symlink, and OSError for a folder that cannot take the file. If the block
    raises, the temporary file is removed and `path` is left untouched.
    """
    refuse_symlink(path)
    folder = os.path.dirname(path) or "."
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        # rename replaces a link planted since the check above, never its target.
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    _sync_folder(folder)


def write_private(path: str, data: bytes) -> None:
    """Replace `path` atomically by `data`, as private_output does."""
    with private_output(path) as stream:
        stream.write(data)


def _sync_folder(folder: str) -> None:
    # The rename itself is durable only once the folder is synced; a folder
    # that cannot be opened or synced (some file systems) leaves it to the OS.
    try:
        dir_fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)
