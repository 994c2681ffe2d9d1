"""What pip and a user's program see of the installed distribution."""

from __future__ import annotations

import importlib.metadata
import sys
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
    # Repaired wheels bundle OpenSSL's libcrypto, whose licence must travel with it.
    assert set(meta.get_all("License-File") or []) == {"LICENSE", "LICENSES/OpenSSL-Apache-2.0.txt"}
    assert set(meta.get_all("Classifier") or []) == set(project["classifiers"])
    # Nothing is needed at run time; the test tools are an extra.
    assert all("extra ==" in req for req in meta.get_all("Requires-Dist") or [])


def test_every_release_from_3_11_on_may_install_it():
    # An upper bound here is what once stopped `pip install .` under 3.12.
    assert PYPROJECT["project"]["requires-python"] == ">=3.11"
    assert importlib.metadata.metadata("qv")["Requires-Python"] == ">=3.11"


def test_running_release_is_a_declared_one():
    release = f"{sys.version_info.major}.{sys.version_info.minor}"
    assert f"Programming Language :: Python :: {release}" in PYPROJECT["project"]["classifiers"]
