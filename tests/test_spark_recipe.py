"""The Spark recipe of README.md runs as written: `make test-spark` (Java and pyspark)."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
SPARK_FENCE = re.compile(r"^```python spark\n(.*?)^```$", re.DOTALL | re.MULTILINE)

# Spark starts a JVM and Python workers: far too slow for the default suite,
# so these run only when `make test-spark` asks for them.
pytestmark = [
    pytest.mark.spark,
    pytest.mark.skipif(
        os.environ.get("QV_TEST_SPARK") != "1", reason="the Spark recipe runs under make test-spark"
    ),
]


def test_readme_has_one_spark_recipe():
    assert len(SPARK_FENCE.findall(README.read_text(encoding="utf-8"))) == 1


def test_spark_recipe_seals_a_parquet_column_that_qv_decrypt_opens(tmp_path):
    pytest.importorskip("pyspark")
    (code,) = SPARK_FENCE.findall(README.read_text(encoding="utf-8"))
    script = tmp_path / "spark_recipe.py"
    script.write_text(code, encoding="utf-8")
    # A process of its own: the JVM and its workers go away with it.
    done = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=900, cwd=tmp_path
    )
    assert done.returncode == 0, done.stderr[-4000:]
