"""`qv inspect`: what a token says about itself, read without a key.

Registers its subcommand on the parser; uses the messages.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import qv
from qv.cli.messages import FAILED, OK, say, shown

if TYPE_CHECKING:
    from qv.cli.messages import Commands


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


def register(commands: Commands) -> None:
    """Add `qv inspect`."""
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
