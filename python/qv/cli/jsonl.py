"""The JSON-lines splicer: replace named top-level string fields, keep every other byte.

Standard library only; uses the messages.
"""

from __future__ import annotations

import json
from collections.abc import Callable

from qv.cli.messages import ValueFailed

# JSON's whitespace, which may also surround a token on its line.
WHITESPACE = " \t\n\r"


_DECODER = json.JSONDecoder()


def skip_space(text: str, at: int) -> int:
    while at < len(text) and text[at] in WHITESPACE:
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
    if not text.strip(WHITESPACE):
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
