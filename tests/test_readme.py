"""Every Python example in README.md runs as written."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def examples():
    text = README.read_text(encoding="utf-8")
    params = []
    for match in FENCE.finditer(text):
        # Name each example after the section it stands in.
        headings = re.findall(r"^#+ (.+)$", text[: match.start()], re.MULTILINE)
        section = headings[-1] if headings else "top"
        line = text.count("\n", 0, match.start()) + 2
        params.append(pytest.param(match.group(1), line, id=f"{section}-line{line}"))
    return params


def test_readme_has_examples():
    assert len(examples()) >= 5


@pytest.mark.parametrize(("code", "line"), examples())
def test_readme_example_runs(code, line):
    # A fresh namespace per example: each one must stand alone when copied.
    compiled = compile("\n" * (line - 1) + code, str(README), "exec")
    exec(compiled, {"__name__": "readme_example"})
