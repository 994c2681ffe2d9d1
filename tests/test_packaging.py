"""What pip and a user's program see of the installed distribution."""

from __future__ import annotations

import importlib.metadata
import tomllib
from pathlib import Path

import qv
import qv._native as native

PYPROJECT = tomllib.loads(
    (Path(__file__).resolve().parent.parent / "pyproject.toml").read_text(encoding="utf-8")
)


def test_version_comes_from_the_project_metadata():
    assert qv.__version__ == PYPROJECT["project"]["version"]
    assert qv.__version__ == importlib.metadata.version("qv")
    assert not hasattr(native, "__version__")


def test_installed_metadata_matches_the_project():
    meta = importlib.metadata.metadata("qv")
    project = PYPROJECT["project"]
    assert meta["Summary"] == project["description"]
    assert meta["License-Expression"] == project["license"]
    assert set(meta.get_all("Classifier") or []) == set(project["classifiers"])
    # Nothing is needed at run time; the test tools are an extra.
    assert all("extra ==" in req for req in meta.get_all("Requires-Dist") or [])
