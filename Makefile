# Everything runs inside a local virtual environment, made on first use.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
# The package's build requirements, installed into the environment so that
# rebuilds reuse the compiled objects under build/.
BUILD_DEPS := "scikit-build-core>=0.10" "pybind11>=3,<4"

.PHONY: demo test test-quick build clean

demo: build
	$(PY) examples/demo.py

test: build
	$(PY) -m pytest

test-quick: build
	$(PY) -m pytest -m "not slow"

build: $(VENV)/.ready
	flock $(VENV)/.build.lock $(PY) -m pip install --quiet --no-build-isolation ".[test]"

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(BUILD_DEPS)
	touch $@

clean:
	rm -rf $(VENV) build dist
