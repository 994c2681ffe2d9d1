"""Running the command line: parse, run one command, and turn every failure into a status.

Uses the parser and messages; the one place where exceptions end.
"""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Iterable

from qv.cli.messages import FAILED, USAGE, CliError, bare, say, shown
from qv.cli.parser import build_parser

# Set, it lets an unexpected exception raise with its traceback (which may show values).
DEBUG_VARIABLE = "QV_DEBUG"


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
