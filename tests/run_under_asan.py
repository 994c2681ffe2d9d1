"""Runs pytest for `make asan-test`.

This process was started under AddressSanitizer with leak detection on, and
keeps the options it read at start-up. The processes the tests start
(compilers, child interpreters) inherit the preloaded runtime but run with
leak detection off: what they leave allocated at exit is not qv's, and qv's
own calls all happen in this process.
"""

import os
import sys

import pytest

os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
sys.exit(pytest.main(sys.argv[1:]))
