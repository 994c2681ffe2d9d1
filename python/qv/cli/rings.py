"""Opening, saving and locking a key-ring file for the commands that use one.

Uses the ring only through qv.Keyring's public methods, and the secret sources.
"""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import os
from collections.abc import Iterator
from typing import TYPE_CHECKING

from qv.cli.messages import CliError, bare
from qv.cli.secret_sources import ring_secret

if TYPE_CHECKING:
    from qv import Keyring


def load_ring(args: argparse.Namespace, path: str) -> Keyring:
    # Say that the file is missing before asking for a passphrase for it.
    if not os.path.exists(path):
        raise CliError(f"cannot open key ring {path}: no such file")
    return open_ring(path, ring_secret(args, path))


def open_ring(path: str, secret: dict[str, bytes]) -> Keyring:
    from qv import Keyring

    try:
        return Keyring.load(path, **secret)
    except OSError as error:
        raise CliError(f"cannot open key ring {path}: {error.strerror}") from None
    except ValueError as error:
        raise CliError(f"cannot open key ring {path}: {bare(error)}") from None


def save_ring(ring: Keyring, path: str, secret: dict[str, bytes]) -> None:
    try:
        ring.save(path, **secret)
    except OSError as error:
        raise CliError(f"cannot save key ring {path}: {error.strerror}") from None
    except ValueError as error:
        raise CliError(f"cannot save key ring {path}: {bare(error)}") from None


@contextlib.contextmanager
def ring_lock(path: str) -> Iterator[None]:
    """Hold an exclusive lock on the ring file from reading it to replacing it.

    Two changes at once would otherwise both start from the same ring, and the
    later save would drop the other's change. A save renames a new file over
    the old one, so a lock won on a file that was replaced meanwhile is let go
    and taken again on the file now at `path`.
    """
    while True:
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as error:
            raise CliError(f"cannot open key ring {path}: {error.strerror}") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            held, current = os.fstat(fd), os.stat(path)
        except OSError as error:
            os.close(fd)
            raise CliError(f"cannot lock key ring {path}: {error.strerror}") from None
        if (held.st_dev, held.st_ino) == (current.st_dev, current.st_ino):
            break
        os.close(fd)
    try:
        yield
    finally:
        os.close(fd)
