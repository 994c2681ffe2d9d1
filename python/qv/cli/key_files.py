"""Secret files, read with a size limit, and key files: one key as base64url text and a newline.

Uses the messages; keys are written only where -o says, never over a file.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import os
import stat
import sys
from typing import IO

from qv._constants import KEY_SIZE
from qv.cli.messages import USAGE, CliError, say

# No secret file is larger; a bigger one is a mistake (a data file given by error).
SECRET_FILE_LIMIT = 64 * 1024


def read_limited(stream: IO[bytes], what: str) -> bytes:
    data = stream.read(SECRET_FILE_LIMIT + 1)
    if len(data) > SECRET_FILE_LIMIT:
        raise CliError(f"{what} is larger than {SECRET_FILE_LIMIT} bytes; is it the right file?")
    return data


def read_secret_file(path: str, what: str) -> bytes:
    try:
        with open(path, "rb") as stream:
            info = os.fstat(stream.fileno())
            data = read_limited(stream, f"{what} {path}")
    except OSError as error:
        raise CliError(f"cannot read {what} {path}: {error.strerror}") from None
    if stat.S_ISREG(info.st_mode) and info.st_mode & 0o044:
        say(f"warning: {what} {path} can be read by other users (chmod 600 {path})")
    return data


def strip_newline(data: bytes) -> bytes:
    if data.endswith(b"\r\n"):
        return data[:-2]
    return data[:-1] if data.endswith(b"\n") else data


# A key file holds the key as unpadded base64url: 43 characters for 32 bytes.
KEY_TEXT_SIZE = 43


def decode_key(data: bytes, source: str) -> bytes:
    """A key from a key file: unpadded base64url text and a newline, or 32 raw bytes."""
    if len(data) == KEY_SIZE:
        return data
    text = strip_newline(data)
    if len(text) == KEY_TEXT_SIZE:
        try:
            key = base64.b64decode(text + b"=", altchars=b"-_", validate=True)
        except binascii.Error:
            key = b""
        # The last character carries two unused bits; only one spelling is the key's.
        if len(key) == KEY_SIZE and base64.urlsafe_b64encode(key)[:-1] == text:
            return key
    raise CliError(
        f"{source} is not a key file: it must hold a key as {KEY_TEXT_SIZE} base64url "
        f"characters and a newline (as qv keygen writes it), or exactly {KEY_SIZE} raw bytes"
    )


def read_key_file(path: str) -> bytes:
    return decode_key(read_secret_file(path, "key file"), path)


def encode_key(key: bytes) -> bytes:
    return base64.urlsafe_b64encode(key).rstrip(b"=") + b"\n"


def write_key(key: bytes, destination: str) -> None:
    """Write a key file: only where -o says, never over an existing file."""
    text = encode_key(key)
    if destination == "-":
        sys.stdout.buffer.write(text)
        sys.stdout.buffer.flush()
        return
    # O_EXCL refuses an existing file and any symlink (a dangling one too),
    # so a key never lands in a file that someone else prepared.
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    try:
        fd = os.open(destination, flags, 0o600)
    except FileExistsError:
        raise CliError(f"{destination} already exists; a key file is never overwritten") from None
    except OSError as error:
        raise CliError(f"cannot create {destination}: {error.strerror}") from None
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(text)
            stream.flush()
            os.fsync(stream.fileno())
    except OSError as error:
        os.unlink(destination)
        raise CliError(f"cannot write {destination}: {error.strerror}") from None


def require_key_output(args: argparse.Namespace) -> str:
    if args.output is None:
        raise CliError(
            "a key is written only where -o says: -o FILE (created with mode 0600), "
            "or -o - for standard output",
            USAGE,
        )
    destination = str(args.output)
    # Say so before a password is typed, not after; writing refuses it again.
    if destination != "-" and os.path.lexists(destination):
        raise CliError(f"{destination} already exists; a key file is never overwritten")
    return destination


def key_output(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="required: the new key file (created with mode 0600, never over an existing "
        "file), or - for standard output",
    )
