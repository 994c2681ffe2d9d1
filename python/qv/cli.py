"""The `qv` command line: key rings, sealing, opening, inspecting and rotating tokens.

Standard library only. Secrets never come from the command line: a passphrase
is asked on the terminal or read from a file, a file descriptor or a named
environment variable, and keys are read from key files. Messages go to
standard error, one line each, starting with "qv: ". Exit status: 0 on
success, 1 when a value failed or a key ring could not be opened, 2 for a
usage error. An unexpected failure is reported by its type alone (its text
may quote a value); set QV_DEBUG=1 to let it raise with its traceback.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import contextlib
import fcntl
import getpass
import json
import os
import stat
import string
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Iterator
from typing import IO, TYPE_CHECKING, Any, NoReturn

import qv
from qv._constants import (
    KEY_SIZE,
    SCRYPT_DEFAULTS,
    SCRYPT_MAX_MEMORY,
    SCRYPT_MAX_N,
    SCRYPT_MIN_N,
    TIME_FORMAT,
)
from qv._files import SymlinkRefusedError, private_output, refuse_symlink

if TYPE_CHECKING:
    from datetime import datetime

    from qv import KeyInfo, Keyring

OK, FAILED, USAGE = 0, 1, 2

# Set, it lets an unexpected exception raise with its traceback (which may show values).
DEBUG_VARIABLE = "QV_DEBUG"
# The largest scrypt N under the memory cap at qv's r, which the command line
# does not change; OpenSSL counts some overhead beyond 128 * r * N, so the cap
# itself is out of reach.
LARGEST_N = SCRYPT_MAX_N
while 128 * SCRYPT_DEFAULTS[1] * LARGEST_N >= SCRYPT_MAX_MEMORY:
    LARGEST_N //= 2
# A key file holds the key as unpadded base64url: 43 characters for 32 bytes.
KEY_TEXT_SIZE = 43
# No secret file is larger; a bigger one is a mistake (a data file given by error).
SECRET_FILE_LIMIT = 64 * 1024
# After this many failures under --on-error skip|keep, only the count is reported.
SHOWN_FAILURES = 10
SECRET_OPTIONS = ("--passphrase-file", "--passphrase-fd", "--passphrase-env", "--wrapping-key-file")


class CliError(Exception):
    """An expected failure: reported as one "qv: " line and an exit status."""

    def __init__(self, message: str, status: int = FAILED) -> None:
        super().__init__(message)
        self.status = status


class ValueFailed(Exception):
    """One value (a line, a token) failed; what happens next depends on --on-error."""


def bare(error: BaseException | str) -> str:
    """The message of `error` without qv's own "qv: " prefix, for composing a line."""
    text = str(error)
    return text[4:] if text.startswith("qv: ") else text


def shown(text: str) -> str:
    """`text` safe to print: key ids and metadata come from files and tokens that
    anyone may have written, so control characters (a terminal's escape
    sequences among them) are shown escaped, never sent as they are."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def say(message: str) -> None:
    # Names in messages (paths, fields) come from outside: one line, no escapes.
    print(f"qv: {shown(message)}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------- secrets


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


# ---------------------------------------------------------------- key files


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


# ---------------------------------------------------------------- rings


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


def cmd_keyring_new(args: argparse.Namespace) -> int:
    from qv import Keyring

    # Replacing a ring would lose every key in it, and every token under them.
    if os.path.lexists(args.file):
        raise CliError(f"{args.file} already exists; keyring new never replaces a key ring")
    ring = Keyring()
    try:
        key_id = ring.generate(args.key_id)
    except ValueError as error:
        raise CliError(bare(error), USAGE) from None
    secret = ring_secret(args, args.file, new=True)
    # Claim the name before saving over it: of two rings made at once under
    # one name, the second is refused instead of silently replacing the first.
    try:
        os.close(os.open(args.file, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600))
    except FileExistsError:
        raise CliError(
            f"{args.file} already exists; keyring new never replaces a key ring"
        ) from None
    except OSError as error:
        raise CliError(f"cannot create key ring {args.file}: {error.strerror}") from None
    try:
        save_ring(ring, args.file, secret)
    except BaseException:
        os.unlink(args.file)
        raise
    print(key_id)
    return OK


def describe(path: str) -> list[KeyInfo]:
    from qv import Keyring

    try:
        return list(Keyring.describe(path))
    except OSError as error:
        raise CliError(f"cannot read key ring {path}: {error.strerror}") from None
    except ValueError as error:
        raise CliError(f"cannot read key ring {path}: {bare(error)}") from None


def utc_text(moment: datetime) -> str:
    return moment.strftime(TIME_FORMAT)


def cmd_keyring_list(args: argparse.Namespace) -> int:
    infos = describe(args.file)
    out = sys.stdout
    if args.json:
        rows = [
            {
                "key_id": info.key_id,
                "status": info.status,
                "primary": info.primary,
                "created": utc_text(info.created),
                "check": info.check,
            }
            for info in infos
        ]
        out.write(json.dumps(rows, indent=2) + "\n")
        return OK
    table = [("KEY ID", "STATUS", "PRIMARY", "CREATED (UTC)", "CHECK")]
    for info in infos:
        primary = "primary" if info.primary else ""
        table.append((shown(info.key_id), info.status, primary, utc_text(info.created), info.check))
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    for row in table:
        out.write(
            "  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=True)).rstrip()
            + "\n"
        )
    return OK


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


def change_ring(args: argparse.Namespace, change: Callable[[Keyring], object]) -> object:
    # Ask for the secret first: nobody else waits on the lock while someone types.
    if not os.path.exists(args.file):
        raise CliError(f"cannot open key ring {args.file}: no such file")
    secret = ring_secret(args, args.file)
    with ring_lock(args.file):
        ring = open_ring(args.file, secret)
        try:
            result = change(ring)
        except ValueError as error:
            raise CliError(bare(error)) from None
        save_ring(ring, args.file, secret)
    return result


def cmd_keyring_add(args: argparse.Namespace) -> int:
    print(change_ring(args, lambda ring: ring.generate(args.key_id)))
    return OK


def cmd_keyring_change(args: argparse.Namespace) -> int:
    change_ring(args, lambda ring: getattr(ring, args.action)(args.key_id))
    return OK


# ---------------------------------------------------------------- data


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


def open_input(path: str | None) -> contextlib.AbstractContextManager[IO[bytes]]:
    if path is None or path == "-":
        return contextlib.nullcontext(sys.stdin.buffer)
    try:
        return open(path, "rb")
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror}") from None


def file_identity(path: str | None) -> tuple[int, int] | None:
    if path is None:
        return None
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_dev, info.st_ino


def stdin_identity() -> tuple[int, int] | None:
    try:
        info = os.fstat(sys.stdin.fileno())
    except (OSError, ValueError, AttributeError):
        return None
    return info.st_dev, info.st_ino


def fd_identity(fd: int | None) -> tuple[int, int] | None:
    if fd is None:
        return None
    try:
        info = os.fstat(fd)
    except OSError:
        return None
    return info.st_dev, info.st_ino


def check_output(args: argparse.Namespace) -> None:
    """Refuse an -o that would replace a file the command reads, before anything is read.

    Files are compared by device and inode, so no other name for the same file
    (a hard link, a path through another folder, standard input) gets past.
    """
    path = args.output
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
    if args.input in (None, "-"):
        if stdin_identity() == here:
            raise CliError(f"-o {path} is standard input; write elsewhere, then rename", USAGE)
    elif file_identity(args.input) == here:
        raise CliError(f"-o {path} is the input file; write elsewhere, then rename", USAGE)
    read = [
        ("the key ring", file_identity(args.keyring)),
        ("the wrapping key file", file_identity(args.wrapping_key_file)),
        ("the passphrase file", file_identity(args.passphrase_file)),
        ("the passphrase's file descriptor", fd_identity(args.passphrase_fd)),
    ]
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


def split_line(raw: bytes) -> tuple[bytes, bytes]:
    """A line and its ending (b"\\r\\n", b"\\n", or b"" for a last line without one)."""
    if raw.endswith(b"\r\n"):
        return raw[:-2], b"\r\n"
    if raw.endswith(b"\n"):
        return raw[:-1], b"\n"
    return raw, b""


_WHITESPACE = " \t\n\r"
_DECODER = json.JSONDecoder()


def skip_space(text: str, at: int) -> int:
    while at < len(text) and text[at] in _WHITESPACE:
        at += 1
    return at


def members(text: str) -> list[tuple[str, int, int, object]]:
    """(name, start, end, value) of each member of the JSON object `text`.

    Values are replaced in place by their spans, so everything else on the line
    (other fields, nesting, spacing, number spelling, order) stays as written.
    """
    at = skip_space(text, 0)
    if text[at : at + 1] != "{":
        raise ValueFailed("not a JSON object")
    found: list[tuple[str, int, int, object]] = []
    try:
        at = skip_space(text, at + 1)
        if text[at : at + 1] == "}":
            at += 1
        else:
            while True:
                if text[at : at + 1] != '"':
                    raise ValueFailed("not a JSON object")
                name, at = _DECODER.raw_decode(text, at)
                at = skip_space(text, at)
                if text[at : at + 1] != ":":
                    raise ValueFailed("not a JSON object")
                start = skip_space(text, at + 1)
                value, end = _DECODER.raw_decode(text, start)
                found.append((name, start, end, value))
                at = skip_space(text, end)
                if text[at : at + 1] == ",":
                    at = skip_space(text, at + 1)
                    continue
                if text[at : at + 1] == "}":
                    at += 1
                    break
                raise ValueFailed("not a JSON object")
    except (ValueError, RecursionError):
        raise ValueFailed("not valid JSON") from None
    if skip_space(text, at) != len(text):
        raise ValueFailed("not valid JSON: text after the object")
    return found


# A converter takes one value and gives its replacement and whether it changed.
Convert = Callable[[str], tuple[str, bool]]


def convert_jsonl(body: bytes, fields: frozenset[str], convert: Convert) -> tuple[bytes, int, int]:
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueFailed("not UTF-8 text") from None
    if not text.strip(_WHITESPACE):
        return body, 0, 0
    pieces: list[str] = []
    last = changed = unchanged = 0
    for name, start, end, value in members(text):
        if name not in fields:
            continue
        if not isinstance(value, str):
            raise ValueFailed(f"field {json.dumps(name)} is not a string")
        try:
            result, did_change = convert(value)
        except ValueFailed as error:
            raise ValueFailed(f"field {json.dumps(name)}: {error}") from None
        if did_change:
            changed += 1
            pieces += [text[last:start], json.dumps(result, ensure_ascii=False)]
            last = end
        else:
            unchanged += 1
    if not changed:
        return body, 0, unchanged
    pieces.append(text[last:])
    return "".join(pieces).encode("utf-8"), changed, unchanged


class Progress:
    """Values done and their rate on standard error, when that is a terminal."""

    def __init__(
        self,
        stream: IO[str],
        clock: Callable[[], float] = time.monotonic,
        interval: float = 0.5,
    ) -> None:
        self.stream, self.clock, self.interval = stream, clock, interval
        self.enabled = stream.isatty()
        self.start = self.last = clock()
        self.width = 0

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        now = self.clock()
        if now - self.last < self.interval:
            return
        self.last = now
        rate = done / max(now - self.start, 1e-9)
        text = f"qv: {done:,} values, {rate:,.0f}/s"
        self.stream.write("\r" + text.ljust(self.width))
        self.stream.flush()
        self.width = len(text)

    def finish(self) -> None:
        if self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()
            self.width = 0


class Tally:
    def __init__(self) -> None:
        self.changed = self.unchanged = self.failed = 0


def run_lines(
    args: argparse.Namespace,
    source: IO[bytes],
    out: IO[bytes],
    line_convert: Callable[[bytes], tuple[bytes, int, int]],
    keep_ending: bool,
) -> Tally:
    """Convert `source` line by line under --on-error; failures are told on standard error."""
    tally = Tally()
    progress = Progress(sys.stderr)
    on_error = args.on_error or "fail"
    try:
        for number, raw in enumerate(source, 1):
            body, ending = split_line(raw)
            if not keep_ending:
                ending = b"\n"
            try:
                result, changed, unchanged = line_convert(body)
            except ValueFailed as error:
                tally.failed += 1
                if on_error == "fail":
                    progress.finish()
                    say(f"line {number}: {error}")
                    break
                if tally.failed <= SHOWN_FAILURES:
                    progress.finish()
                    say(f"line {number}: {error} ({'skipped' if on_error == 'skip' else 'kept'})")
                if on_error == "keep":
                    out.write(body + ending)
            else:
                tally.changed += changed
                tally.unchanged += unchanged
                out.write(result + ending)
            progress.update(number)
    finally:
        progress.finish()
        out.flush()
    if tally.failed > SHOWN_FAILURES:
        say(f"{tally.failed} lines failed; the first {SHOWN_FAILURES} are shown above")
    return tally


def field_names(text: str) -> frozenset[str]:
    names = text.split(",")
    if not all(names):
        raise CliError(f"--jsonl takes FIELD[,FIELD...], not {shown(text)!r}", USAGE)
    return frozenset(names)


def check_stream_options(args: argparse.Namespace) -> Aad:
    """Refuse bad options before a passphrase is asked for; returns the aad."""
    if args.on_error is not None and not (args.lines or args.jsonl):
        raise CliError("--on-error applies to --lines and --jsonl only", USAGE)
    if args.passphrase_fd == 0 and args.input in (None, "-"):
        raise CliError("--passphrase-fd 0 reads standard input, which holds the data", USAGE)
    if args.jsonl:
        args.fields = field_names(args.jsonl)
    aad = aad_of(args)
    check_output(args)
    return aad


def stream_command(
    args: argparse.Namespace,
    convert: Convert,
    line_value: Callable[[bytes], str],
    whole: Callable[[IO[bytes], IO[bytes]], None] | None,
) -> Tally | None:
    """Open input and output, then run the whole input or each line through `convert`.

    An output file replaces its target only if the run went through: under
    --on-error fail a failed line leaves no output, under skip and keep the
    output is written as asked (and the status is still 1).
    """
    with open_input(args.input) as source:
        try:
            with open_output(args.output) as out:
                if args.jsonl:
                    fields = args.fields
                    tally = run_lines(
                        args, source, out, lambda b: convert_jsonl(b, fields, convert), True
                    )
                elif args.lines:

                    def one(body: bytes) -> tuple[bytes, int, int]:
                        result, changed = convert(line_value(body))
                        return (result.encode("utf-8"), 1, 0) if changed else (body, 0, 1)

                    keep = args.command == "rotate"
                    tally = run_lines(args, source, out, one, keep_ending=keep)
                else:
                    assert whole is not None
                    whole(source, out)
                    return None
                if tally.failed and (args.on_error or "fail") == "fail":
                    raise Abandoned(tally)
                return tally
        except Abandoned as stop:
            return stop.tally


class Abandoned(Exception):
    """Raised through an output's block so that a run stopped by a failure leaves no file."""

    def __init__(self, tally: Tally) -> None:
        super().__init__("abandoned")
        self.tally = tally


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


def encodable(text: str) -> bool:
    """Whether `text` is UTF-8 text: JSON's \\ud800 decodes to a lone surrogate, which is not."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def failed_status(tally: Tally | None) -> int:
    return FAILED if tally is not None and tally.failed else OK


def sealer(ring: Keyring, args: argparse.Namespace, metadata: dict[str, str], aad: Aad) -> Convert:
    def seal(value: str) -> tuple[str, bool]:
        if not encodable(value):
            raise ValueFailed("the value holds a lone surrogate, which is not UTF-8 text")
        try:
            return ring.encrypt(
                value, deterministic=args.deterministic, metadata=metadata, aad=aad
            ), True
        except Exception as error:  # every failure of one value is told alike
            raise failure_of(error) from None

    return seal


def utf8(data: bytes, what: str) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        # qv opens tokens into text: bytes that are not UTF-8 would seal into
        # a token that never opens again here.
        raise ValueFailed(f"{what} is not UTF-8 text; encode binary data (base64) first") from None


def cmd_encrypt(args: argparse.Namespace) -> int:
    aad = check_stream_options(args)
    metadata = pairs(args.meta, "--meta")
    ring = load_ring(args, args.keyring)
    seal = sealer(ring, args, metadata, aad)

    def whole(source: IO[bytes], out: IO[bytes]) -> None:
        try:
            token, _ = seal(utf8(source.read(), "the input"))
        except ValueFailed as error:
            raise CliError(str(error)) from None
        out.write(token.encode("ascii") + b"\n")

    return failed_status(stream_command(args, seal, lambda b: utf8(b, "the line"), whole))


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
    token = value.strip(_WHITESPACE)
    return token if encodable(token) else token.encode("utf-8", "replace").decode("utf-8")


def token_text(data: bytes) -> str:
    # A token is ASCII; anything else cannot decode, and the error says so.
    return data.decode("ascii", "replace")


def cmd_decrypt(args: argparse.Namespace) -> int:
    aad = check_stream_options(args)
    ring = load_ring(args, args.keyring)
    open_token = opener(ring, aad, one_line=bool(args.lines))

    def whole(source: IO[bytes], out: IO[bytes]) -> None:
        try:
            data, _ = open_token(token_text(source.read()))
        except ValueFailed as error:
            raise CliError(str(error)) from None
        out.write(data.encode("utf-8"))

    return failed_status(stream_command(args, open_token, token_text, whole))


def cmd_rotate(args: argparse.Namespace) -> int:
    aad = check_stream_options(args)
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

    tally = stream_command(args, rotate, token_text, None)
    assert tally is not None
    say(f"{tally.changed} rotated, {tally.unchanged} unchanged, {tally.failed} failed")
    return failed_status(tally)


# ---------------------------------------------------------------- inspect


def token_sources(args: argparse.Namespace) -> Iterator[bytes]:
    if args.tokens:
        yield from (os.fsencode(token).strip() for token in args.tokens)
        return
    for raw in sys.stdin.buffer:
        line = raw.strip()
        if line:
            yield line


def describe_token(token: bytes) -> dict[str, Any] | None:
    try:
        parts = qv.decode_token(token)
    except UnicodeDecodeError:
        return None
    if parts is None:
        return None
    body = (len(token) - len("qv.v2.")) * 3 // 4
    plaintext = len(parts["ciphertext"])
    return {
        "authenticated": False,
        "key_id": parts["key_id"],
        "mode": "deterministic" if parts["deterministic"] else "random",
        "metadata": parts["metadata"],
        "fingerprint": qv.token_fingerprint(token),
        "sizes": {
            "token": len(token),
            "body": body,
            "metadata": body - 33 - len(parts["key_id"].encode("utf-8")) - plaintext,
            "plaintext": plaintext,
        },
    }


def cmd_inspect(args: argparse.Namespace) -> int:
    status = OK
    out = sys.stdout
    for number, token in enumerate(token_sources(args), 1):
        info = describe_token(token)
        if info is None:
            status = FAILED
            say(f"token {number} does not decode as a qv.v2 token")
            if args.json:
                out.write(json.dumps({"token": number, "error": "does not decode"}) + "\n")
            continue
        if args.json:
            out.write(json.dumps({"token": number, **info}) + "\n")
            continue
        sizes = info["sizes"]
        metadata = json.dumps(info["metadata"], ensure_ascii=False) if info["metadata"] else "none"
        out.write(
            f"token {number}\n"
            "  authenticated  no: read without a key, so anyone could have written these fields\n"
            f"  key id         {shown(info['key_id'])}\n"
            f"  mode           {info['mode']}\n"
            f"  metadata       {shown(metadata)}\n"
            f"  fingerprint    {shown(info['fingerprint'])}\n"
            f"  sizes          token {sizes['token']} characters, body {sizes['body']} bytes, "
            f"metadata {sizes['metadata']} bytes, plaintext {sizes['plaintext']} bytes\n"
        )
    return status


# ---------------------------------------------------------------- keys


def cmd_keygen(args: argparse.Namespace) -> int:
    destination = require_key_output(args)
    write_key(qv.generate_key(), destination)
    return OK


def cmd_derive_password(args: argparse.Namespace) -> int:
    destination = require_key_output(args)
    # Refuse bad settings before the password is typed, not after.
    if args.n < SCRYPT_MIN_N or args.n & (args.n - 1):
        raise CliError(f"--n must be a power of two of at least {SCRYPT_MIN_N}", USAGE)
    if args.n > LARGEST_N:
        raise CliError(
            f"--n must be at most {LARGEST_N}: a larger one needs more than the "
            f"{SCRYPT_MAX_MEMORY >> 20} MiB of memory that qv allows scrypt",
            USAGE,
        )
    salt = args.salt_hex
    if salt is not None and (not salt or len(salt) % 2 or salt.strip(string.hexdigits)):
        raise CliError("--salt-hex takes an even number of hexadecimal digits", USAGE)
    secret = bytearray(passphrase(args, "Password to derive from: ", confirm=args.salt_hex is None))
    try:
        derived = qv.derive_key_from_password(secret, args.salt_hex or "", args.n)
    except ValueError as error:
        raise CliError(bare(error), USAGE) from None
    except RuntimeError as error:
        raise CliError(bare(error)) from None
    except TypeError as error:  # its text may list the arguments, the password among them
        raise CliError(f"derivation failed ({type(error).__name__})") from None
    finally:
        qv.wipe_buffer(secret)
    write_key(derived["key"], destination)
    say(
        f"salt_hex {derived['salt_hex']} (not secret: keep it, and give it with --salt-hex "
        "to derive this key again)"
    )
    return OK


def cmd_derive_subkey(args: argparse.Namespace) -> int:
    destination = require_key_output(args)
    if not encodable(args.context):
        raise CliError("--context holds bytes that are not UTF-8 text", USAGE)
    master = read_key_file(args.master_key_file)
    try:
        subkey = qv.derive_subkey(master, args.context)
    except ValueError as error:
        raise CliError(bare(error), USAGE) from None
    except RuntimeError as error:
        raise CliError(bare(error)) from None
    except TypeError as error:  # its text may list the arguments, the master key among them
        raise CliError(f"derivation failed ({type(error).__name__})") from None
    write_key(subkey, destination)
    return OK


# ---------------------------------------------------------------- parser


class Parser(argparse.ArgumentParser):
    """argparse, with usage errors as one "qv: " line and status 2."""

    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see {self.prog} --help)", USAGE)


FORMATTER = argparse.RawDescriptionHelpFormatter


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


def key_output(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="required: the new key file (created with mode 0600, never over an existing "
        "file), or - for standard output",
    )


def build_parser() -> Parser:
    parser = Parser(
        prog="qv",
        formatter_class=FORMATTER,
        description="Seal, open, inspect and rotate qv.v2 tokens, and manage key rings.",
        epilog="""examples:
  qv keygen -o ring.key
  qv keyring new ring.json --wrapping-key-file ring.key
  printf 'secret value' | qv encrypt -k ring.json --wrapping-key-file ring.key > token.txt
  qv decrypt -k ring.json --wrapping-key-file ring.key token.txt
  qv inspect < token.txt

Secrets never go on the command line: a passphrase is asked on the terminal or
read from --passphrase-file, --passphrase-fd or --passphrase-env; keys come
from key files. Exit status: 0 success, 1 a value failed or a key ring did not
open, 2 usage error. Run qv COMMAND --help for each command.""",
    )
    parser.add_argument("--version", action="version", version=f"qv {qv.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    # keyring
    keyring = commands.add_parser(
        "keyring",
        help="create, list and change key rings",
        description="Create, list and change key-ring files. Every change is saved atomically.",
    )
    actions = keyring.add_subparsers(dest="action", metavar="ACTION", required=True)
    new = actions.add_parser(
        "new",
        help="create a key ring holding one new key",
        description="Create FILE holding one new random key, its primary, and print the key's "
        "id. An existing FILE is never replaced. Asks for the passphrase twice.",
    )
    new.add_argument("file", metavar="FILE", help="the key ring file")
    new.add_argument("--key-id", metavar="ID", help="the first key's id (default: chosen by qv)")
    passphrase_options(new, wrapping_key=True)
    new.set_defaults(run=cmd_keyring_new)

    listing = actions.add_parser(
        "list",
        help="list a ring's keys (needs no passphrase)",
        description="List the keys of FILE: id, status, primary, creation time and check "
        "value. Reads only the ring's readable part: no passphrase, no key.",
    )
    listing.add_argument("file", metavar="FILE", help="the key ring file")
    listing.add_argument("--json", action="store_true", help="print a JSON array of keys")
    listing.set_defaults(run=cmd_keyring_list)

    add = actions.add_parser(
        "add",
        help="add a new random key",
        description="Add a new random key to FILE and print its id. It is not the primary "
        "until promoted (unless it is the ring's only enabled key). Raw keys are imported "
        "through Python's qv.Keyring.add.",
    )
    add.add_argument("file", metavar="FILE", help="the key ring file")
    add.add_argument("key_id", metavar="KEY_ID", nargs="?", help="the id (default: chosen by qv)")
    passphrase_options(add, wrapping_key=True)
    add.set_defaults(run=cmd_keyring_add)

    for action, summary in [
        ("promote", "make an enabled key the primary: new tokens are sealed under it"),
        ("disable", "stop a key from opening tokens (not the primary)"),
        ("enable", "let a disabled key open tokens again"),
        ("destroy", "forget a key's material for good, keeping its id (not the primary)"),
        ("remove", "drop a destroyed key's id from the ring"),
    ]:
        sub = actions.add_parser(
            action, help=summary, description=f"{summary[0].upper()}{summary[1:]}."
        )
        sub.add_argument("file", metavar="FILE", help="the key ring file")
        sub.add_argument("key_id", metavar="KEY_ID", help="the id of the key to change")
        passphrase_options(sub, wrapping_key=True)
        sub.set_defaults(run=cmd_keyring_change)

    # data
    encrypt = commands.add_parser(
        "encrypt",
        help="seal values under the ring's primary key",
        formatter_class=FORMATTER,
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
        formatter_class=FORMATTER,
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
        formatter_class=FORMATTER,
        description="Seal again under the primary key every token that another key sealed,\n"
        "keeping plaintext, metadata and mode; other lines pass through byte for byte.\n"
        "A summary (rotated, unchanged, failed) goes to standard error.",
    )
    ring_option(rotate)
    data_options(rotate, whole=False, what="token", aad_help=" (as when sealed)")
    rotate.set_defaults(run=cmd_rotate)

    # inspect
    inspect = commands.add_parser(
        "inspect",
        help="show what a token says about itself, without a key",
        description="Show each token's key id, mode, metadata, fingerprint and sizes. No key "
        "is used, so nothing is authenticated: anyone can write a token that says anything.",
    )
    inspect.add_argument(
        "tokens", nargs="*", metavar="TOKEN", help="tokens (default: one per line on stdin)"
    )
    inspect.add_argument("--json", action="store_true", help="one JSON object per token")
    inspect.set_defaults(run=cmd_inspect)

    # keys
    keygen = commands.add_parser(
        "keygen",
        help="write a new random key file",
        description="Write a new random 32-byte key as a key file: unpadded base64url text "
        "and a newline. Use it as a --wrapping-key-file or --master-key-file.",
    )
    key_output(keygen)
    keygen.set_defaults(run=cmd_keygen)

    derive = commands.add_parser(
        "derive",
        help="derive a key file from a password or a master key",
        description="Derive a key and write it as a key file.",
    )
    kinds = derive.add_subparsers(dest="kind", metavar="KIND", required=True)
    password = kinds.add_parser(
        "password",
        help="scrypt key from a password",
        description="Derive a key from a password with scrypt. The salt it used (not secret) "
        "is printed on standard error: keep it to derive the same key again. Without "
        "--salt-hex the password is asked twice on the terminal, as the key is new.",
    )
    password.add_argument(
        "--salt-hex", metavar="HEX", help="the salt, in hex (default: a new random salt)"
    )
    password.add_argument(
        "--n",
        metavar="N",
        type=int,
        default=SCRYPT_DEFAULTS[0],
        help=f"scrypt cost, a power of two of at least {SCRYPT_MIN_N} "
        f"(default: {SCRYPT_DEFAULTS[0]})",
    )
    passphrase_options(password, wrapping_key=False)
    key_output(password)
    password.set_defaults(run=cmd_derive_password)

    subkey = kinds.add_parser(
        "subkey",
        help="HKDF-SHA256 subkey from a master key",
        description="Derive an independent subkey for CONTEXT from a master key file.",
    )
    subkey.add_argument(
        "--master-key-file", metavar="FILE", required=True, help="the master key file"
    )
    subkey.add_argument(
        "--context", metavar="C", required=True, help="what the subkey is for, e.g. email-index"
    )
    key_output(subkey)
    subkey.set_defaults(run=cmd_derive_subkey)
    return parser


def show_warning(message: Warning | str, *_: object, **__: object) -> None:
    # A warning (a ring file that others can read) is one line like any other.
    say(f"warning: {bare(message)}")


def main(argv: Iterable[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    with warnings.catch_warnings():
        warnings.simplefilter("default")
        warnings.showwarning = show_warning
        return dispatch(argv)


def dispatch(argv: Iterable[str] | None) -> int:
    try:
        parser = build_parser()
        args, extra = parser.parse_known_args(None if argv is None else list(argv))
        # argparse gives an optional positional nothing once an option comes
        # between it and the one before (`keyring add FILE -x ... KEY_ID`).
        if args.command == "keyring" and args.action == "add" and args.key_id is None:
            if len(extra) == 1 and not extra[0].startswith("-"):
                args.key_id, extra = extra[0], []
        if extra:
            parser.error(f"unrecognized arguments: {' '.join(map(shown, extra))}")
        status = int(args.run(args))
        # Flush here, where a reader that went away is still handled below.
        sys.stdout.flush()
        return status
    except CliError as error:
        say(str(error))
        return error.status
    except SystemExit as exit_:  # --help and --version
        return exit_.code if isinstance(exit_.code, int) else USAGE
    except KeyboardInterrupt:
        say("interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (`qv inspect | head`): stop quietly, and keep the
        # interpreter from complaining again when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED
    except OSError as error:
        # Reading or writing failed midway (a full disk, a vanished file).
        where = f"{error.filename}: " if error.filename else ""
        say(f"{where}{error.strerror or error}")
        return FAILED
    except Exception as error:
        # A fault of qv itself: its text may quote a value or a key, so only
        # the type is told, unless whoever runs qv asked for the traceback.
        if os.environ.get(DEBUG_VARIABLE):
            raise
        say(f"unexpected {type(error).__name__}; set {DEBUG_VARIABLE}=1 to see where it arose")
        return FAILED
