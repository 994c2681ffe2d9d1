"""Input and output files of the data commands: the input, and -o written whole or not at all.

Uses qv._files for the private atomic write and the messages.
"""

from __future__ import annotations

import contextlib
import os
import stat
import sys
from collections.abc import Iterable, Iterator
from typing import IO

from qv._files import SymlinkRefusedError, private_output, refuse_symlink
from qv.cli.messages import USAGE, CliError

Identity = tuple[int, int]  # a file's device and inode


def open_input(path: str | None) -> contextlib.AbstractContextManager[IO[bytes]]:
    if path is None or path == "-":
        return contextlib.nullcontext(sys.stdin.buffer)
    try:
        return open(path, "rb")
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror}") from None


def file_identity(path: str | None) -> Identity | None:
    if path is None:
        return None
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_dev, info.st_ino


def stdin_identity() -> Identity | None:
    try:
        info = os.fstat(sys.stdin.fileno())
    except (OSError, ValueError, AttributeError):
        return None
    return info.st_dev, info.st_ino


def fd_identity(fd: int | None) -> Identity | None:
    if fd is None:
        return None
    try:
        info = os.fstat(fd)
    except OSError:
        return None
    return info.st_dev, info.st_ino


def check_output(
    path: str | None, input_path: str | None, read: Iterable[tuple[str, Identity | None]]
) -> None:
    """Refuse an -o that would replace a file the command reads, before anything is read.

    `read` names the files besides the input (the ring, key and passphrase
    files) with their identities. Files are compared by device and inode, so
    no other name for the same file (a hard link, a path through another
    folder, standard input) gets past.
    """
    if path is None or path == "-":
        return
    try:
        refuse_symlink(path)
    except SymlinkRefusedError:
        raise CliError(
            f"-o {path} is a symbolic link; qv neither follows nor replaces one", USAGE
        ) from None
    try:
        target = os.stat(path)
    except OSError:
        return  # a new file; a folder that cannot take it is told when writing
    if not stat.S_ISREG(target.st_mode):
        return  # a device or a pipe is written in place, never replaced
    here = (target.st_dev, target.st_ino)
    if input_path in (None, "-"):
        if stdin_identity() == here:
            raise CliError(f"-o {path} is standard input; write elsewhere, then rename", USAGE)
    elif file_identity(input_path) == here:
        raise CliError(f"-o {path} is the input file; write elsewhere, then rename", USAGE)
    for what, identity in read:
        if identity == here:
            raise CliError(f"-o {path} is {what}, which this command reads", USAGE)


def open_output(path: str | None) -> contextlib.AbstractContextManager[IO[bytes]]:
    """Where the output goes: standard output, a device in place, or a private new file.

    A file is written under a temporary name beside it (mode 0600: decrypted
    output holds plaintexts) and replaces `path` only when the block ends
    without an exception, so a failed run leaves an existing file as it was.
    """
    if path is None or path == "-":
        return contextlib.nullcontext(sys.stdout.buffer)
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            # Renaming over a device (-o /dev/null) would replace the device.
            return os.fdopen(os.open(path, os.O_WRONLY | os.O_CLOEXEC), "wb")
    except FileNotFoundError:
        pass
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror}") from None
    return private_output_of(path)


@contextlib.contextmanager
def private_output_of(path: str) -> Iterator[IO[bytes]]:
    with contextlib.ExitStack() as stack:
        try:
            out = stack.enter_context(private_output(path))
        except SymlinkRefusedError:
            raise CliError(
                f"-o {path} is a symbolic link; qv neither follows nor replaces one", USAGE
            ) from None
        except OSError as error:
            raise CliError(f"cannot write {path}: {error.strerror}") from None
        yield out
