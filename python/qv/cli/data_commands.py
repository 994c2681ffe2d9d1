"""`qv encrypt`, `qv decrypt` and `qv rotate`: values and tokens under a key ring.

Registers its subcommands on the parser; uses the streams, rings and messages.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import IO, TYPE_CHECKING

from qv.cli.jsonl import WHITESPACE, Convert, Many
from qv.cli.messages import USAGE, CliError, ValueFailed, bare, encodable, say, shown
from qv.cli.outputs import check_output, fd_identity, file_identity
from qv.cli.rings import load_ring
from qv.cli.secret_sources import passphrase_options
from qv.cli.streams import Stream, check_stream_options, failed_status, stream_command

if TYPE_CHECKING:
    from qv import Keyring
    from qv.cli.messages import Commands


def pairs(items: list[str] | None, option: str) -> dict[str, str]:
    """KEY=VALUE options as a dict: the value is everything after the first "="."""
    result: dict[str, str] = {}
    for item in items or []:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise CliError(f"{option} takes KEY=VALUE, not {shown(item)!r}", USAGE)
        if key in result:
            raise CliError(f"{option} names {shown(key)!r} twice", USAGE)
        result[key] = value
    try:
        for text in (*result, *result.values()):
            text.encode("utf-8")
    except UnicodeEncodeError:
        raise CliError(f"{option} holds bytes that are not UTF-8 text", USAGE) from None
    return result


Aad = str | dict[str, str] | None


def aad_of(args: argparse.Namespace) -> Aad:
    if args.aad is not None:
        try:
            args.aad.encode("utf-8")
        except UnicodeEncodeError:
            raise CliError("--aad holds bytes that are not UTF-8 text", USAGE) from None
        return str(args.aad)
    entries = pairs(args.aad_entry, "--aad-entry")
    return entries or None


def failure_of(error: Exception) -> ValueFailed:
    """One value's failure as the line that reports it.

    qv's own ValueError and RuntimeError say what went wrong without quoting a
    secret; the text of anything else (a TypeError listing the arguments, a
    UnicodeError quoting the text) may hold the value or a key, so only its
    type is told.
    """
    if isinstance(error, UnicodeError):
        return ValueFailed("the value is not UTF-8 text")
    if isinstance(error, (ValueError, RuntimeError)):
        return ValueFailed(bare(error))
    return ValueFailed(f"the value failed ({type(error).__name__})")


def sealer(ring: Keyring, deterministic: bool, metadata: dict[str, str], aad: Aad) -> Convert:
    def seal(value: str) -> tuple[str, bool]:
        if not encodable(value):
            raise ValueFailed("the value holds a lone surrogate, which is not UTF-8 text")
        try:
            return ring.encrypt(
                value, deterministic=deterministic, metadata=metadata, aad=aad
            ), True
        except Exception as error:  # every failure of one value is told alike
            raise failure_of(error) from None

    return seal


# A bulk call that fails at one row is tried again around it at most this often
# per block; after that the rest of the block goes value by value.
BULK_RETRIES = 8


def failed_row(error: BaseException) -> int | None:
    """The row a bulk call says failed: its `row` attribute or its "row N" note."""
    row = getattr(error, "row", None)
    if isinstance(row, int):
        return row
    for note in reversed(getattr(error, "__notes__", [])):
        if isinstance(note, str) and note.startswith("row ") and note[4:].isdigit():
            return int(note[4:])
    return None


Rows = list[str | None]


def bulk_rows(call: Callable[[Rows], Rows], rows: Rows) -> Rows:
    """`call` over `rows` in as few calls as may be; a row that fails comes back None.

    A call that raises at one row is made again for the rows before it and
    after it, so that one bad value does not send the whole block value by
    value; the one-value path then tells why that row failed.
    """
    out: Rows = []
    for _ in range(BULK_RETRIES):
        rest = rows[len(out) :]
        try:
            return out + call(rest)
        except Exception as error:  # told row by row on the one-value path
            row = failed_row(error)
            if row is None or not 0 <= row < len(rest):
                break
        try:
            out += call(rest[:row]) if row else []
        except Exception:
            out += [None] * row
        out.append(None)
    return out + [None] * (len(rows) - len(out))


def sealer_many(ring: Keyring, deterministic: bool, metadata: dict[str, str], aad: Aad) -> Many:
    def seal_many(values: Rows) -> tuple[Rows, None]:
        # qv refuses an empty value; the one-value path says so.
        rows = [value or None for value in values]
        return bulk_rows(
            lambda part: ring.encrypt_many(
                part, deterministic=deterministic, metadata=metadata, aad=aad
            ),
            rows,
        ), None

    return seal_many


def opener_many(ring: Keyring, aad: Aad, one_line: bool) -> Many:
    def open_many(values: Rows) -> tuple[Rows, None]:
        tokens = [None if value is None else value.strip(WHITESPACE) for value in values]
        opened = bulk_rows(lambda part: ring.decrypt_many(part, aad=aad, errors="null"), tokens)
        if one_line:
            text = "\n".join(data or "" for data in opened)
            if "\r" in text or text.count("\n") != len(opened) - 1:
                # The one-value path refuses what would split its line.
                opened = [
                    None if data and ("\n" in data or "\r" in data) else data for data in opened
                ]
        return opened, None

    return open_many


def rotator_many(ring: Keyring, aad: Aad) -> Many:
    def rotate_many(values: Rows) -> tuple[Rows, list[bool]]:
        tokens = [None if value is None else value.strip(WHITESPACE) for value in values]
        new = bulk_rows(lambda part: ring.rotate_many(part, aad=aad, errors="null"), tokens)
        return new, [n != t for n, t in zip(new, tokens, strict=True)]

    return rotate_many


def utf8(data: bytes, what: str) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        # qv opens tokens into text: bytes that are not UTF-8 would seal into
        # a token that never opens again here.
        raise ValueFailed(f"{what} is not UTF-8 text; encode binary data (base64) first") from None


def checked_options(args: argparse.Namespace) -> tuple[Stream, Aad]:
    """The data options, refused if bad before any secret is asked for or file read."""
    stream = check_stream_options(args)
    aad = aad_of(args)
    read = [
        ("the key ring", file_identity(args.keyring)),
        ("the wrapping key file", file_identity(args.wrapping_key_file)),
        ("the passphrase file", file_identity(args.passphrase_file)),
        ("the passphrase's file descriptor", fd_identity(args.passphrase_fd)),
    ]
    check_output(stream.output, stream.input, read)
    return stream, aad


def cmd_encrypt(args: argparse.Namespace) -> int:
    stream, aad = checked_options(args)
    metadata = pairs(args.meta, "--meta")
    ring = load_ring(args, args.keyring)
    seal = sealer(ring, args.deterministic, metadata, aad)

    def whole(source: IO[bytes], out: IO[bytes]) -> None:
        try:
            token, _ = seal(utf8(source.read(), "the input"))
        except ValueFailed as error:
            raise CliError(str(error)) from None
        out.write(token.encode("ascii") + b"\n")

    many = sealer_many(ring, args.deterministic, metadata, aad)
    tally = stream_command(stream, seal, lambda b: utf8(b, "the line"), whole, many=many)
    return failed_status(tally)


def opener(ring: Keyring, aad: Aad, one_line: bool) -> Convert:
    def open_token(token: str) -> tuple[str, bool]:
        try:
            data = str(ring.decrypt(token_of(token), aad=aad)["data"])
        except UnicodeDecodeError:
            raise ValueFailed("the plaintext is not UTF-8 text") from None
        except Exception as error:  # every failure of one value is told alike
            raise failure_of(error) from None
        if one_line and ("\n" in data or "\r" in data):
            raise ValueFailed("the plaintext holds a line break, which --lines cannot write")
        return data, True

    return open_token


def token_of(value: str) -> str:
    """A token to open: a JSON string may hold lone surrogates, which no token holds."""
    token = value.strip(WHITESPACE)
    return token if encodable(token) else token.encode("utf-8", "replace").decode("utf-8")


def token_text(data: bytes) -> str:
    # A token is ASCII; anything else cannot decode, and the error says so.
    return data.decode("ascii", "replace")


def cmd_decrypt(args: argparse.Namespace) -> int:
    stream, aad = checked_options(args)
    ring = load_ring(args, args.keyring)
    open_token = opener(ring, aad, one_line=stream.lines)

    def whole(source: IO[bytes], out: IO[bytes]) -> None:
        try:
            data, _ = open_token(token_text(source.read()))
        except ValueFailed as error:
            raise CliError(str(error)) from None
        out.write(data.encode("utf-8"))

    many = opener_many(ring, aad, one_line=stream.lines)
    tally = stream_command(stream, open_token, token_text, whole, many=many, encoding="ascii")
    return failed_status(tally)


def cmd_rotate(args: argparse.Namespace) -> int:
    stream, aad = checked_options(args)
    ring = load_ring(args, args.keyring)

    def rotate(token: str) -> tuple[str, bool]:
        token = token_of(token)
        try:
            new = str(ring.rotate(token, aad=aad))
        except UnicodeDecodeError:
            raise ValueFailed("the plaintext is not UTF-8 text") from None
        except Exception as error:  # every failure of one value is told alike
            raise failure_of(error) from None
        return new, new != token

    # Lines that pass through keep their bytes, their endings too.
    tally = stream_command(
        stream,
        rotate,
        token_text,
        None,
        many=rotator_many(ring, aad),
        encoding="ascii",
        keep_line_endings=True,
    )
    assert tally is not None
    say(f"{tally.changed} rotated, {tally.unchanged} unchanged, {tally.failed} failed")
    return failed_status(tally)


def ring_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-k", "--keyring", metavar="FILE", required=True, help="the key ring file (required)"
    )


def data_options(parser: argparse.ArgumentParser, whole: bool, what: str, aad_help: str) -> None:
    passphrase_options(parser, wrapping_key=True)
    aad = parser.add_argument_group(
        "associated data (authenticated, not stored; opening needs the same)"
    ).add_mutually_exclusive_group()
    aad.add_argument("--aad", metavar="TEXT", help=f"bind TEXT as associated data{aad_help}")
    aad.add_argument(
        "--aad-entry",
        metavar="KEY=VALUE",
        action="append",
        help="bind one KEY=VALUE entry (repeat for more; the value is all after the first =)",
    )
    shape = parser.add_argument_group("input shape")
    modes = shape.add_mutually_exclusive_group(required=not whole)
    default = "the whole input is one value, byte for byte" if whole else "one of these is needed"
    modes.add_argument(
        "--lines",
        action="store_true",
        help=f"one {what} per line, without its line ending (default: {default})",
    )
    modes.add_argument(
        "--jsonl",
        metavar="FIELD[,FIELD...]",
        help="JSON lines: convert these top-level string fields and leave the rest as written",
    )
    shape.add_argument(
        "--on-error",
        choices=("fail", "skip", "keep"),
        help="for --lines and --jsonl: stop at the first failed line (fail, the default), "
        "leave it out (skip) or write it unchanged (keep"
        + (", that is unsealed" if what == "value" else "")
        + "); any failure exits with status 1",
    )
    parser.add_argument("input", nargs="?", metavar="INPUT", help="input file (default: stdin)")
    parser.add_argument("-o", "--output", metavar="FILE", help="output file (default: stdout)")


def register(commands: Commands) -> None:
    """Add `qv encrypt`, `qv decrypt` and `qv rotate`."""
    encrypt = commands.add_parser(
        "encrypt",
        help="seal values under the ring's primary key",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Seal values into qv.v2 tokens under the primary key of the ring.\n"
        "By default the whole input is one value, byte for byte (a trailing newline\n"
        "is part of it), and the token is written with a newline.",
    )
    ring_option(encrypt)
    encrypt.add_argument(
        "--deterministic",
        action="store_true",
        help="equal values give equal tokens (for lookups; reveals which values are equal)",
    )
    encrypt.add_argument(
        "--meta",
        metavar="KEY=VALUE",
        action="append",
        help="metadata stored readable in each token (repeat for more)",
    )
    data_options(encrypt, whole=True, what="value", aad_help="")
    encrypt.set_defaults(run=cmd_encrypt)

    decrypt = commands.add_parser(
        "decrypt",
        help="open tokens with the ring",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Open qv.v2 tokens with the ring's key each one names.\n"
        "By default the input is one token and exactly its plaintext is written,\n"
        "with nothing added.",
    )
    ring_option(decrypt)
    data_options(decrypt, whole=True, what="token", aad_help=" (as when sealed)")
    decrypt.set_defaults(run=cmd_decrypt)

    rotate = commands.add_parser(
        "rotate",
        help="seal tokens again under the current primary key",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Seal again under the primary key every token that another key sealed,\n"
        "keeping plaintext, metadata and mode; other lines pass through byte for byte.\n"
        "A summary (rotated, unchanged, failed) goes to standard error.",
    )
    ring_option(rotate)
    data_options(rotate, whole=False, what="token", aad_help=" (as when sealed)")
    rotate.set_defaults(run=cmd_rotate)
