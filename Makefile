# Everything runs inside a local virtual environment, made on first use.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
# The package's build requirements, installed into the environment so that
# rebuilds reuse the compiled objects under build/.
BUILD_DEPS := "scikit-build-core>=0.10" "pybind11>=3,<4"

.PHONY: demo test test-quick build clean fuzz fuzz-smoke asan-test simd-check lint format sdist-check bench bench-keyring

demo: build
	$(PY) examples/demo.py

test: build
	$(PY) -m pytest

test-quick: build
	$(PY) -m pytest -m "not slow"

# Times qv against its peers and writes bench/RESULTS.md; BENCH_ARGS=--quick
# finishes in under a minute.
bench: $(VENV)/.ready
	flock $(VENV)/.build.lock $(PY) -m pip install --quiet --no-build-isolation ".[bench]"
	$(PY) bench/bench.py $(BENCH_ARGS)

# A key ring's cost per call over the bare functions, and of saving and loading.
bench-keyring: build
	$(PY) bench/keyring_bench.py

# The command line over files of 100 000 values: lines per second by command.
.PHONY: bench-cli
bench-cli: build
	$(PY) bench/cli_bench.py

# libFuzzer targets over the C++ core (fuzz/*.cpp), FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

fuzz-smoke:
	FUZZ_SECONDS=20 fuzz/run.sh

# The whole suite against an ASan+UBSan build of the extension, in its own
# environment and build directory so that .venv and build/ stay untouched.
# libstdc++ is preloaded with ASan's runtime because its __cxa_throw
# interceptor must find the real one at start-up and python does not link it.
# Leak stacks are unwound fully (fast_unwind_on_malloc=0): the frame-pointer
# unwinder stops inside the interpreter, short of the frames that
# tests/lsan.supp names. PYTHONMALLOC=malloc puts every Python object on the
# heap that LeakSanitizer scans, so objects held by the interpreter's own
# arenas are not taken for leaks.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
asan-test: $(ASAN_VENV)/.ready
	flock $(ASAN_VENV)/.build.lock $(ASAN_PY) -m pip install --quiet --no-build-isolation \
	  --config-settings=build-dir=build/asan \
	  --config-settings=cmake.build-type=RelWithDebInfo \
	  --config-settings=cmake.define.QV_SANITIZE=ON ".[test]"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_PY) tests/run_under_asan.py -p no:cacheprovider

$(ASAN_VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet --upgrade pip
	$(ASAN_PY) -m pip install --quiet $(BUILD_DEPS)
	touch $@

# The codec tests on the AVX2 and scalar paths: valgrind's processor has no
# AVX-512, so where this machine's takes the VBMI blocks, these paths run here.
simd-check: build
	command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind; }
	valgrind --tool=none -q $(PY) -m pytest -q -p no:cacheprovider tests/test_fast_paths.py

build: $(VENV)/.ready
	flock $(VENV)/.build.lock $(PY) -m pip install --quiet --no-build-isolation ".[test]"

# Style and types: ruff over the Python, clang-format over the C++, the stub
# against the built module, and strict mypy over code that uses every function.
CXX_SOURCES = $(shell find $(wildcard src fuzz tests/native) -path fuzz/build -prune \
  -o \( -name '*.cpp' -o -name '*.h' \) -print | sort)
lint: build
	$(PY) -m pip install --quiet --group lint
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)
	$(PY) -m mypy.stubtest qv._native
	$(PY) -m mypy --strict examples/demo.py examples/keyring_demo.py tests/typecheck_api.py \
	  python/qv/keyring.py python/qv/cli.py

# Rewrite the Python and C++ sources in the house style that `make lint` checks.
format: build
	$(PY) -m pip install --quiet --group lint
	$(VENV)/bin/ruff check --select I --fix .
	$(VENV)/bin/ruff format .
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

# Build the sdist, install it into a fresh virtual environment outside the
# tree (pip builds the wheel from it, as a user's pip would), import it and
# run the demo against that installation.
sdist-check: $(VENV)/.ready
	$(PY) -m pip install --quiet --group dist
	tmp=$$(mktemp -d) && trap 'rm -rf "$$tmp"' EXIT && \
	  $(PY) -m build --sdist --outdir "$$tmp/dist" . && \
	  $(PYTHON) -m venv "$$tmp/venv" && \
	  "$$tmp/venv/bin/python" -m pip install --quiet "$$tmp"/dist/qv-*.tar.gz && \
	  cd "$$tmp" && "$$tmp/venv/bin/python" -c "$$SDIST_IMPORT_CHECK" && \
	  "$$tmp/venv/bin/python" "$(CURDIR)/examples/demo.py"

define SDIST_IMPORT_CHECK
import importlib.resources, qv, qv._native
pkg = importlib.resources.files("qv")
assert (pkg / "py.typed").is_file() and (pkg / "_native.pyi").is_file(), "typing files missing"
print("installed qv", qv.__version__, "at", qv.__file__)
endef
export SDIST_IMPORT_CHECK

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(BUILD_DEPS)
	touch $@

clean:
	rm -rf $(VENV) build dist
