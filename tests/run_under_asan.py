"""Runs pytest for `make asan-test`.

This process was started under AddressSanitizer with leak detection on, and
keeps the options it read at start-up. The processes the tests start
(compilers, child interpreters) inherit the preloaded runtime but run with
leak detection off: what they leave allocated at exit is not qv's, and qv's
own calls all happen in this process.

The command-line tests are left out: they run qv in child interpreters, where
leaks go unchecked and every start costs seconds under the sanitizer, and the
native calls they make are the ones the rest of the suite makes in process.
"""

import os
import sys

import pytest

os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
COMMAND_LINE = [
    "--ignore=tests/test_cli.py",
    "--deselect=tests/test_readme.py::test_readme_command_line_session_runs_as_shown",
]
sys.exit(pytest.main(COMMAND_LINE + sys.argv[1:]))
