"""`qv keyring new|list|add|promote|disable|enable|destroy|remove`: key-ring files.

Registers its subcommands on the parser; uses the rings, secret sources and messages.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING

from qv._constants import TIME_FORMAT
from qv.cli.messages import OK, USAGE, CliError, bare, shown
from qv.cli.rings import open_ring, ring_lock, save_ring
from qv.cli.secret_sources import passphrase_options, ring_secret

if TYPE_CHECKING:
    from datetime import datetime

    from qv import KeyInfo, Keyring
    from qv.cli.messages import Commands


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
    # A ring of sealing keys alone lists as it always did; one holding an
    # index key shows every key's purpose.
    purposes = any(info.purpose != "sealing" for info in infos)
    if args.json:
        rows = []
        for info in infos:
            item: dict[str, object] = {
                "key_id": info.key_id,
                "status": info.status,
                "primary": info.primary,
                "created": utc_text(info.created),
                "check": info.check,
            }
            if purposes:
                item["purpose"] = info.purpose
            rows.append(item)
        out.write(json.dumps(rows, indent=2) + "\n")
        return OK
    head = ("KEY ID", "STATUS", "PRIMARY", "CREATED (UTC)", "CHECK")
    table: list[tuple[str, ...]] = [(*head, "PURPOSE") if purposes else head]
    for info in infos:
        primary = "primary" if info.primary else ""
        cells = (shown(info.key_id), info.status, primary, utc_text(info.created), info.check)
        table.append((*cells, info.purpose) if purposes else cells)
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    for row in table:
        out.write(
            "  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=True)).rstrip()
            + "\n"
        )
    return OK


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
    print(change_ring(args, lambda ring: ring.generate(args.key_id, purpose=args.purpose)))
    return OK


def cmd_keyring_change(args: argparse.Namespace) -> int:
    change_ring(args, lambda ring: getattr(ring, args.action)(args.key_id))
    return OK


def register(commands: Commands) -> None:
    """Add `qv keyring` and its actions."""
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
        "value, and each key's purpose when the ring holds an index key. Reads only the "
        "ring's readable part: no passphrase, no key.",
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
    add.add_argument(
        "--purpose",
        choices=("sealing", "indexing"),
        default="sealing",
        help="sealing (the default) seals and opens tokens; indexing only feeds blind indexes",
    )
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
