"""The `qv` argument parser: its top level, with each command group adding its own commands.

Uses every command module; argparse's usage errors become one "qv: " line.
"""

from __future__ import annotations

import argparse
from typing import NoReturn

import qv
from qv.cli import data_commands, inspect_command, key_commands, keyring_commands
from qv.cli.messages import USAGE, CliError


class Parser(argparse.ArgumentParser):
    """argparse, with usage errors as one "qv: " line and status 2."""

    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see {self.prog} --help)", USAGE)


def build_parser() -> Parser:
    parser = Parser(
        prog="qv",
        formatter_class=argparse.RawDescriptionHelpFormatter,
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
    # In this order in `qv --help`.
    for group in (keyring_commands, data_commands, inspect_command, key_commands):
        group.register(commands)
    return parser
