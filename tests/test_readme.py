"""Every Python example in README.md runs as written."""

from __future__ import annotations

import os
import re
import subprocess
import sys
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


# The command-line transcript: "$ " starts a command, "> " continues it (a
# here-document), anything else is its expected output, where "..." stands for
# text that differs from run to run (tokens, times, check values).
CONSOLE = re.compile(r"^```console\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def transcript() -> list[tuple[str, list[str]]]:
    (block,) = CONSOLE.findall(README.read_text(encoding="utf-8"))
    steps: list[tuple[str, list[str]]] = []
    for line in block.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        elif line.startswith("> "):
            steps[-1] = (steps[-1][0] + "\n" + line[2:], steps[-1][1])
        else:
            steps[-1][1].append(line)
    return steps


def line_pattern(expected: str) -> re.Pattern[str]:
    return re.compile(".*".join(re.escape(part) for part in expected.split("...")))


def test_readme_command_line_session_runs_as_shown(tmp_path):
    steps = transcript()
    assert len(steps) >= 10
    # The console script of the environment under test comes first on PATH.
    env = {**os.environ, "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"}
    for command, expected in steps:
        proc = subprocess.run(
            ["bash", "-c", command],
            cwd=tmp_path,
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            timeout=120,
        )
        failed = any(re.match(r"qv: line \d+: ", line) for line in expected)
        assert proc.returncode == (1 if failed else 0), (command, proc.stdout)
        got = proc.stdout.splitlines()
        assert len(got) == len(expected), (command, got)
        for line, want in zip(got, expected, strict=True):
            assert line_pattern(want).fullmatch(line), (command, line, want)
