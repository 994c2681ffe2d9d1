"""The JSON-lines splicer: replace named top-level string fields, keep every other byte.

Standard library only; uses the messages.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable
from json.encoder import encode_basestring
from typing import cast

from qv.cli.messages import ValueFailed, encodable

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
# Many values at once (None stays None): each one's replacement, None where the
# value must go through the one-value converter, which tells why it fails;
# and whether each changed (None: every one did).
Many = Callable[[list[str | None]], tuple[list[str | None], list[bool] | None]]


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


# The decoder's own scanner: one C call parses a value and says where it ends.
_SCAN: Callable[[str, int], tuple[object, int]] = _DECODER.scan_once  # type: ignore[attr-defined]
_TO_STRING_VALUE = re.compile(r'[ \t\n\r]*:[ \t\n\r]*"')

Span = tuple[int, int, str]  # where a named string value starts and ends, and the value


_ABSENT = object()
# Each field's name and its quoted form, as found in a line without escapes.
Named = tuple[tuple[str, str], ...]


def named(fields: frozenset[str]) -> Named:
    return tuple((name, f'"{name}"') for name in sorted(fields))


def plain_spans(text: str, fields: Named) -> list[Span] | None:
    """The named members' spans, found without walking the object in Python, or None.

    Exact only on a line it answers for: one that has no backslash (so every
    string is written as its value and a name can be found by its quoted
    form), parses whole as one object, and names each field it holds once at
    all, as a string. Anything else is None and goes to `members`, which also
    tells what is wrong with a line that fails.
    """
    if "\\" in text:
        return None
    try:
        parsed, end = _SCAN(text, 0)
    except (StopIteration, ValueError, RecursionError):
        return None
    if end != len(text) or type(parsed) is not dict:
        return None
    spans: list[Span] = []
    for name, quoted in fields:
        value = parsed.get(name, _ABSENT)
        if value is _ABSENT:
            continue
        if type(value) is not str or text.count(quoted) != 1:
            return None
        # The only place the name is written is where the object holds it.
        found = _TO_STRING_VALUE.match(text, text.find(quoted) + len(quoted))
        if found is None:
            return None
        start = found.end() - 1
        spans.append((start, start + len(value) + 2, value))
    if len(spans) > 1:
        spans.sort()
    return spans


def member_spans(text: str, fields: frozenset[str]) -> list[Span] | None:
    """The named members' spans by the walk; None if the line fails (`convert_jsonl` tells why)."""
    try:
        found = members(text)
    except ValueFailed:
        return None
    spans: list[Span] = []
    for name, start, end, value in found:
        if name in fields:
            if not isinstance(value, str) or not encodable(value):
                return None
            spans.append((start, end, value))
    return spans


def jsonl_batch(
    fields: frozenset[str], many: Many
) -> Callable[[list[str | None]], tuple[list[str | None], list[int], list[int]]]:
    """JSON lines a block at a time: the named values of every line go to `many` at once.

    A line that fails anywhere (not JSON, a value that is not a string or that
    `many` gives back None) comes out None, for `convert_jsonl` to do alone.
    """

    def batch(texts: list[str | None]) -> tuple[list[str | None], list[int], list[int]]:
        count = len(texts)
        outputs: list[str | None] = [None] * count
        changed, unchanged = [0] * count, [0] * count
        planned: list[tuple[int, list[Span]]] = []
        values: list[str | None] = []
        quoted = named(fields)
        for i, text in enumerate(texts):
            if text is None:
                continue
            spans = plain_spans(text, quoted)
            if spans is None:
                if not text.strip(WHITESPACE):
                    outputs[i] = text
                    continue
                spans = member_spans(text, fields)
                if spans is None:
                    continue
            if not spans:
                outputs[i] = text
                continue
            planned.append((i, spans))
            values += [value for _, _, value in spans]
        results, did_change = many(values)
        at = 0
        for i, spans in planned:
            text = texts[i]
            assert text is not None
            line_results = cast("list[str]", results[at : at + len(spans)])
            line_changed = None if did_change is None else did_change[at : at + len(spans)]
            at += len(spans)
            if None in line_results:
                continue
            pieces: list[str] = []
            last = same = 0
            for n, (start, end, _) in enumerate(spans):
                if line_changed is None or line_changed[n]:
                    pieces += [text[last:start], encode_basestring(line_results[n])]
                    last = end
                else:
                    same += 1
            outputs[i] = "".join(pieces) + text[last:] if pieces else text
            changed[i], unchanged[i] = len(spans) - same, same
        return outputs, changed, unchanged

    return batch


def splice_block(text: str, fields: frozenset[str], many: Many) -> tuple[str, int, int] | None:
    """A block of JSON lines converted whole: its output and changed and unchanged counts.

    The output is made of the block's own slices around the new values, so no
    line's output is made on its own. None if any line fails (not JSON, a
    value that is not a string or that `many` gives back None): the block
    then goes line by line, where each failure is told.
    """
    size, quoted = len(text), named(fields)
    starts: list[int] = []
    ends: list[int] = []
    values: list[str | None] = []
    at = 0
    while at < size:
        line_end = text.find("\n", at)
        if line_end < 0:
            line_end = size
        elif text[line_end - 1 : line_end] == "\r" and line_end > at:
            line_end -= 1  # the body of a line that ends with "\r\n"
        line = text[at:line_end]
        spans = plain_spans(line, quoted)
        if spans is None:
            if line.strip(WHITESPACE):
                spans = member_spans(line, fields)
                if spans is None:
                    return None
        for start, stop, value in spans or ():
            starts.append(at + start)
            ends.append(at + stop)
            values.append(value)
        at = text.find("\n", line_end) + 1 or size
    results, did_change = many(values)
    if None in results:
        return None
    pieces: list[str] = []
    last = changed = 0
    for k, result in enumerate(results):
        if did_change is None or did_change[k]:
            pieces.append(text[last : starts[k]])
            pieces.append(encode_basestring(cast("str", result)))
            last = ends[k]
            changed += 1
    pieces.append(text[last:])
    return "".join(pieces), changed, len(results) - changed
