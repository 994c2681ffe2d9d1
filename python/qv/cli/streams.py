"""The generic data command: a whole input, or lines and JSON lines under --on-error.

Uses the outputs, the splicer, progress and messages; each command passes what differs.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO

from qv.cli.jsonl import Convert, convert_jsonl
from qv.cli.messages import FAILED, OK, SHOWN_FAILURES, USAGE, CliError, ValueFailed, say, shown
from qv.cli.outputs import open_input, open_output
from qv.cli.progress import Progress


def split_line(raw: bytes) -> tuple[bytes, bytes]:
    """A line and its ending (b"\\r\\n", b"\\n", or b"" for a last line without one)."""
    if raw.endswith(b"\r\n"):
        return raw[:-2], b"\r\n"
    if raw.endswith(b"\n"):
        return raw[:-1], b"\n"
    return raw, b""


class Tally:
    def __init__(self) -> None:
        self.changed = self.unchanged = self.failed = 0


def run_lines(
    source: IO[bytes],
    out: IO[bytes],
    line_convert: Callable[[bytes], tuple[bytes, int, int]],
    *,
    on_error: str,
    keep_ending: bool,
) -> Tally:
    """Convert `source` line by line under --on-error; failures are told on standard error."""
    tally = Tally()
    progress = Progress(sys.stderr)
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


@dataclass(frozen=True)
class Stream:
    """Where a data command reads and writes, and in what shape."""

    input: str | None
    output: str | None
    lines: bool
    fields: frozenset[str] | None  # --jsonl's, else None
    on_error: str


def check_stream_options(args: argparse.Namespace) -> Stream:
    """Refuse bad options before a passphrase is asked for."""
    if args.on_error is not None and not (args.lines or args.jsonl):
        raise CliError("--on-error applies to --lines and --jsonl only", USAGE)
    if args.passphrase_fd == 0 and args.input in (None, "-"):
        raise CliError("--passphrase-fd 0 reads standard input, which holds the data", USAGE)
    fields = field_names(args.jsonl) if args.jsonl else None
    return Stream(args.input, args.output, bool(args.lines), fields, args.on_error or "fail")


def stream_command(
    stream: Stream,
    convert: Convert,
    line_value: Callable[[bytes], str],
    whole: Callable[[IO[bytes], IO[bytes]], None] | None,
    *,
    keep_line_endings: bool = False,
) -> Tally | None:
    """Open input and output, then run the whole input or each line through `convert`.

    `whole` handles an input that is one value (None where every input is
    lines); `keep_line_endings` writes each line with the ending it came with
    instead of a newline. An output file replaces its target only if the run
    went through: under --on-error fail a failed line leaves no output, under
    skip and keep the output is written as asked (and the status is still 1).
    """
    with open_input(stream.input) as source:
        try:
            with open_output(stream.output) as out:
                fields = stream.fields
                if fields is not None:
                    tally = run_lines(
                        source,
                        out,
                        lambda b: convert_jsonl(b, fields, convert),
                        on_error=stream.on_error,
                        keep_ending=True,
                    )
                elif stream.lines:

                    def one(body: bytes) -> tuple[bytes, int, int]:
                        result, changed = convert(line_value(body))
                        return (result.encode("utf-8"), 1, 0) if changed else (body, 0, 1)

                    tally = run_lines(
                        source,
                        out,
                        one,
                        on_error=stream.on_error,
                        keep_ending=keep_line_endings,
                    )
                else:
                    assert whole is not None
                    whole(source, out)
                    return None
                if tally.failed and stream.on_error == "fail":
                    raise Abandoned(tally)
                return tally
        except Abandoned as stop:
            return stop.tally


class Abandoned(Exception):
    """Raised through an output's block so that a run stopped by a failure leaves no file."""

    def __init__(self, tally: Tally) -> None:
        super().__init__("abandoned")
        self.tally = tally


def failed_status(tally: Tally | None) -> int:
    return FAILED if tally is not None and tally.failed else OK
