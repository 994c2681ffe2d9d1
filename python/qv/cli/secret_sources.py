"""Where a ring's secret comes from: a passphrase file, descriptor, variable or the terminal.

Secrets never come from the command line itself. Uses the messages and key files.
"""

from __future__ import annotations

import argparse
import getpass
import os

from qv.cli.key_files import read_key_file, read_limited, read_secret_file, strip_newline
from qv.cli.messages import USAGE, CliError, shown

SECRET_OPTIONS = ("--passphrase-file", "--passphrase-fd", "--passphrase-env", "--wrapping-key-file")


def check_passphrase(data: bytes, source: str) -> bytes:
    if not data:
        raise CliError(f"the passphrase from {source} is empty")
    return data


def prompt_passphrase(prompt: str, confirm: bool) -> bytes:
    # getpass falls back to standard input when there is no terminal, and
    # standard input may be the data: never let it read a passphrase there.
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        raise CliError(
            "no terminal to ask for the passphrase on; give one of " + ", ".join(SECRET_OPTIONS),
            USAGE,
        ) from None
    try:
        first = getpass.getpass(prompt)
        if confirm and getpass.getpass("Repeat the passphrase: ") != first:
            raise CliError("the two passphrases differ; nothing was changed")
    except EOFError:
        raise CliError("no passphrase given") from None
    return check_passphrase(first.encode("utf-8", "surrogateescape"), "the terminal")


def passphrase(args: argparse.Namespace, prompt: str, confirm: bool) -> bytes:
    """The passphrase from wherever the options say, or from the terminal."""
    if args.passphrase_file is not None:
        data = read_secret_file(args.passphrase_file, "passphrase file")
        return check_passphrase(strip_newline(data), args.passphrase_file)
    if args.passphrase_fd is not None:
        source = f"file descriptor {args.passphrase_fd}"
        try:
            with os.fdopen(args.passphrase_fd, "rb", closefd=False) as stream:
                data = read_limited(stream, source)
        except OSError as error:
            raise CliError(f"cannot read the passphrase from {source}: {error.strerror}") from None
        return check_passphrase(strip_newline(data), source)
    if args.passphrase_env is not None:
        value = os.environb.get(os.fsencode(args.passphrase_env))
        if value is None:
            raise CliError(f"the environment variable {shown(args.passphrase_env)} is not set")
        return check_passphrase(value, f"${shown(args.passphrase_env)}")
    return prompt_passphrase(prompt, confirm)


def ring_secret(args: argparse.Namespace, path: str, *, new: bool = False) -> dict[str, bytes]:
    """The keyword argument that opens (or locks) the ring at `path`."""
    if args.wrapping_key_file is not None:
        return {"wrapping_key": read_key_file(args.wrapping_key_file)}
    verb = "New passphrase for" if new else "Passphrase for"
    return {"passphrase": passphrase(args, f"{verb} {path}: ", confirm=new)}


def passphrase_options(parser: argparse.ArgumentParser, wrapping_key: bool) -> None:
    title = "secret (one of these; without any, qv asks on the terminal)"
    group = parser.add_argument_group(title).add_mutually_exclusive_group()
    group.add_argument(
        "--passphrase-file",
        metavar="FILE",
        help="read the passphrase from FILE (one trailing newline is removed)",
    )
    group.add_argument(
        "--passphrase-fd",
        metavar="N",
        type=int,
        help="read the passphrase from open file descriptor N, up to its end",
    )
    group.add_argument(
        "--passphrase-env",
        metavar="VAR",
        help="read the passphrase from the environment variable named VAR",
    )
    if wrapping_key:
        group.add_argument(
            "--wrapping-key-file",
            metavar="FILE",
            help="the ring's 32-byte wrapping key, from a key file (see qv keygen), "
            "instead of a passphrase",
        )
    else:
        parser.set_defaults(wrapping_key_file=None)
