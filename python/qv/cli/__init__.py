"""The `qv` command line: key rings, sealing, opening, inspecting and rotating tokens.

Standard library only. Secrets never come from the command line: a passphrase
is asked on the terminal or read from a file, a file descriptor or a named
environment variable, and keys are read from key files. Messages go to
standard error, one line each, starting with "qv: ". Exit status: 0 on
success, 1 when a value failed or a key ring could not be opened, 2 for a
usage error. An unexpected failure is reported by its type alone (its text
may quote a value); set QV_DEBUG=1 to let it raise with its traceback.

Layout: dispatch runs one command from the parser; each command group
(keyring_commands, data_commands, inspect_command, key_commands) adds its own
subcommands to the parser; they share messages, secret_sources, key_files,
rings, outputs, streams, jsonl and progress. The ring is used only through
the public qv.Keyring.
"""

from qv.cli.dispatch import DEBUG_VARIABLE, main
from qv.cli.jsonl import convert_jsonl
from qv.cli.messages import CliError, ValueFailed
from qv.cli.progress import Progress

__all__ = ["DEBUG_VARIABLE", "CliError", "Progress", "ValueFailed", "convert_jsonl", "main"]
