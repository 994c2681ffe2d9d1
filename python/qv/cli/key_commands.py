"""`qv keygen` and `qv derive password|subkey`: new key files.

Registers its subcommands on the parser; uses the key files, secret sources and messages.
"""

from __future__ import annotations

import argparse
import string
from typing import TYPE_CHECKING

import qv
from qv._constants import (
    SCRYPT_DEFAULTS,
    SCRYPT_MAX_MEMORY,
    SCRYPT_MAX_N,
    SCRYPT_MIN_N,
)
from qv.cli.key_files import key_output, read_key_file, require_key_output, write_key
from qv.cli.messages import OK, USAGE, CliError, bare, encodable, say
from qv.cli.secret_sources import passphrase, passphrase_options

if TYPE_CHECKING:
    from qv.cli.messages import Commands


# The largest scrypt N under the memory cap at qv's r, which the command line
# does not change; OpenSSL counts some overhead beyond 128 * r * N, so the cap
# itself is out of reach.
LARGEST_N = SCRYPT_MAX_N
while 128 * SCRYPT_DEFAULTS[1] * LARGEST_N >= SCRYPT_MAX_MEMORY:
    LARGEST_N //= 2


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


def register(commands: Commands) -> None:
    """Add `qv keygen` and `qv derive`."""
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
