"""What every command shares: exit statuses, the two failures, one "qv: " line per message.

Standard library only; every other module of the command line uses this one.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

OK, FAILED, USAGE = 0, 1, 2

# After this many failures under --on-error skip|keep, only the count is reported.
SHOWN_FAILURES = 10


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


def encodable(text: str) -> bool:
    """Whether `text` is UTF-8 text: JSON's \\ud800 decodes to a lone surrogate, which is not."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


if TYPE_CHECKING:
    from argparse import ArgumentParser, _SubParsersAction

    # What each command group adds its own subcommands to.
    Commands = _SubParsersAction[ArgumentParser]
