"""The generic data command: a whole input, or lines and JSON lines under --on-error.

Lines are read in blocks and each block's values go to the ring in one bulk
call; a line whose value the bulk call cannot take goes through the
value-by-value path, which tells why it failed exactly as when every line went
that way. Uses the outputs, the splicer, progress and messages; each command
passes what differs.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import IO, cast

from qv.cli.jsonl import Convert, Many, convert_jsonl, jsonl_batch, splice_block
from qv.cli.messages import FAILED, OK, SHOWN_FAILURES, USAGE, CliError, ValueFailed, say, shown
from qv.cli.outputs import open_input, open_output
from qv.cli.progress import Progress

# Input is read in blocks of whole lines of about this many bytes (more only
# for a longer line), so memory stays flat however long the input is. Tests
# make it small to put block edges everywhere.
BLOCK_BYTES = 1 << 18
# A block of fewer lines goes value by value, as every line once did: a
# terminal or a slow pipe delivers a few lines at a time, and for so few the
# bulk call would save microseconds (it pays from about two values on).
BULK_MIN = 16

# One block's lines at once: the text of each line's body (None where it does
# not decode) in; each line's output text (None where the line must go value
# by value) and its changed and unchanged value counts out.
Batch = Callable[[list[str | None]], tuple[list[str | None], list[int], list[int]]]


class Tally:
    def __init__(self) -> None:
        self.changed = self.unchanged = self.failed = 0


def read_blocks(source: IO[bytes]) -> Iterator[bytes]:
    """`source` in blocks that end at a line's end (the input's last may not), each at
    most BLOCK_BYTES unless one line is longer."""
    read = getattr(source, "read1", source.read)
    pieces: list[bytes] = []
    while data := read(BLOCK_BYTES):
        cut = data.rfind(b"\n") + 1
        if not cut:
            pieces.append(data)  # inside a long line: it grows until it ends
            continue
        pieces.append(data[:cut])
        yield b"".join(pieces)
        pieces = [data[cut:]] if cut < len(data) else []
    if pieces:
        yield b"".join(pieces)


class Block:
    """One block's lines: their text for the bulk paths, each line's bytes for the other."""

    def __init__(self, data: bytes, encoding: str) -> None:
        self.data, self.encoding = data, encoding
        self.terminated = data.endswith(b"\n")
        self.count = data.count(b"\n") + (not self.terminated)
        self.text = decoded(data, encoding)  # None if some line does not decode
        self.raws: list[bytes] | None = None
        self.crlf: list[bool] | None = None  # lines that ended with "\r\n"; None if none did

    def line(self, i: int) -> bytes:
        """Line `i` as read, without its "\\n"."""
        return self.lines_as_read()[i]

    def lines_as_read(self) -> list[bytes]:
        if self.raws is None:
            self.raws = self.data.split(b"\n")
        return self.raws

    def texts(self) -> list[str | None]:
        """Each line's body as text (None where it does not decode)."""
        if self.text is not None:
            texts = cast("list[str | None]", self.text.split("\n"))
        else:
            texts = [decoded(raw, self.encoding) for raw in self.lines_as_read()]
        del texts[self.count :]
        if b"\r" in self.data:
            self.crlf = [False] * self.count
            for i in range(self.count if self.terminated else self.count - 1):
                if self.line(i).endswith(b"\r"):
                    self.crlf[i] = True
                    text = texts[i]
                    texts[i] = None if text is None else text[:-1]
        return texts

    def body(self, i: int) -> tuple[bytes, bytes]:
        """Line `i` without its ending, and its ending (b"\\r\\n", b"\\n", or b"" for a
        last line without one)."""
        raw = self.line(i)
        if i == self.count - 1 and not self.terminated:
            return raw, b""
        if raw.endswith(b"\r"):
            return raw[:-1], b"\r\n"
        return raw, b"\n"

    def joined(self, outputs: list[str], keep_ending: bool) -> bytes:
        """The block's output from each line's, when every line went through the bulk path."""
        if keep_ending and self.crlf is not None:
            outputs = [o + "\r" if cr else o for o, cr in zip(outputs, self.crlf, strict=True)]
        text = "\n".join(outputs)
        if self.terminated or not keep_ending:
            text += "\n"
        return text.encode("utf-8")


def decoded(raw: bytes, encoding: str) -> str | None:
    try:
        return raw.decode(encoding)
    except UnicodeDecodeError:
        return None


@dataclass(frozen=True)
class Lines:
    """How a command converts lines: one at a time, and a block at a time."""

    convert: Callable[[bytes], tuple[bytes, int, int]]
    batch: Batch | None  # None: every line goes one at a time
    encoding: str  # the bodies' text for `batch`; a line that does not decode goes alone
    # The block's text in, its output and changed and unchanged counts out,
    # or None if some line must go through `batch`.
    block: Callable[[str], tuple[str, int, int] | None] | None = None


def run_lines(
    source: IO[bytes], out: IO[bytes], lines: Lines, *, on_error: str, keep_ending: bool
) -> Tally:
    """Convert `source` line by line under --on-error; failures are told on standard error."""
    tally = Tally()
    progress = Progress(sys.stderr)
    number = 0  # lines done

    def failed(error: ValueFailed) -> bool:
        """Tells of the failure of line `number`; whether to stop."""
        tally.failed += 1
        if on_error == "fail":
            progress.finish()
            say(f"line {number}: {error}")
            return True
        if tally.failed <= SHOWN_FAILURES:
            progress.finish()
            say(f"line {number}: {error} ({'skipped' if on_error == 'skip' else 'kept'})")
        return False

    try:
        for data in read_blocks(source):
            block = Block(data, lines.encoding)
            bulk = lines.batch is not None and block.count >= BULK_MIN
            # The whole block at once, when every line in it goes through.
            if bulk and lines.block is not None and block.text is not None:
                done = lines.block(block.text)
                if done is not None:
                    out.write(done[0].encode("utf-8"))
                    tally.changed += done[1]
                    tally.unchanged += done[2]
                    number += block.count
                    progress.update(number)
                    continue
            # Else line by line, with the values of the lines that can go
            # through taken in one call, and the rest one value at a time.
            if bulk:
                assert lines.batch is not None
                outputs, changed, unchanged = lines.batch(block.texts())
            else:
                outputs = [None] * block.count
                changed = unchanged = [0] * block.count
            if None not in outputs:
                out.write(block.joined(cast("list[str]", outputs), keep_ending))
                tally.changed += sum(changed)
                tally.unchanged += sum(unchanged)
                number += block.count
                progress.update(number)
                continue
            written: list[bytes] = []
            stop = False
            for i, output in enumerate(outputs):
                number += 1
                body, ending = block.body(i)
                if not keep_ending:
                    ending = b"\n"
                if output is not None:
                    tally.changed += changed[i]
                    tally.unchanged += unchanged[i]
                    written.append(output.encode("utf-8") + ending)
                    continue
                try:
                    result, did_change, same = lines.convert(body)
                except ValueFailed as error:
                    if stop := failed(error):
                        break
                    if on_error == "keep":
                        written.append(body + ending)
                else:
                    tally.changed += did_change
                    tally.unchanged += same
                    written.append(result + ending)
            out.write(b"".join(written))
            if stop:
                break
            progress.update(number)
    finally:
        progress.finish()
        out.flush()
    if tally.failed > SHOWN_FAILURES:
        say(f"{tally.failed} lines failed; the first {SHOWN_FAILURES} are shown above")
    return tally


def lines_batch(many: Many) -> Batch:
    """--lines a block at a time: a line that did not change (rotate) keeps its body."""

    def batch(texts: list[str | None]) -> tuple[list[str | None], list[int], list[int]]:
        results, changed = many(texts)
        if changed is None:
            ones = [1] * len(texts)
            return results, ones, [0] * len(texts)
        outputs = [r if c else t for r, c, t in zip(results, changed, texts, strict=True)]
        return outputs, [int(c) for c in changed], [int(not c) for c in changed]

    return batch


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
    many: Many | None = None,
    encoding: str = "utf-8",
    keep_line_endings: bool = False,
) -> Tally | None:
    """Open input and output, then run the whole input or each line through `convert`.

    `whole` handles an input that is one value (None where every input is
    lines); `many` converts many values at once, as `convert` would one by one,
    giving None for a value that `convert` must tell about, and `encoding` is
    what a line's bytes must decode from to go to `many`. `keep_line_endings`
    writes each line with the ending it came with instead of a newline. An
    output file replaces its target only if the run went through: under
    --on-error fail a failed line leaves no output, under skip and keep the
    output is written as asked (and the status is still 1).
    """
    with open_input(stream.input) as source:
        try:
            with open_output(stream.output) as out:
                fields = stream.fields
                if fields is not None:
                    lines = Lines(
                        lambda b: convert_jsonl(b, fields, convert),
                        None if many is None else jsonl_batch(fields, many),
                        "utf-8",
                        None if many is None else lambda text: splice_block(text, fields, many),
                    )
                    keep_ending = True
                elif stream.lines:

                    def one(body: bytes) -> tuple[bytes, int, int]:
                        result, changed = convert(line_value(body))
                        return (result.encode("utf-8"), 1, 0) if changed else (body, 0, 1)

                    lines = Lines(one, None if many is None else lines_batch(many), encoding)
                    keep_ending = keep_line_endings
                else:
                    assert whole is not None
                    whole(source, out)
                    return None
                tally = run_lines(
                    source, out, lines, on_error=stream.on_error, keep_ending=keep_ending
                )
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
