# Everything runs inside a local virtual environment, made on first use.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
# The package's build requirements, installed into the environment so that
# rebuilds reuse the compiled objects under build/.
BUILD_DEPS := "scikit-build-core>=0.10" "pybind11>=3,<4"

.PHONY: demo test test-quick test-pythons test-spark test-postgres build clean fuzz fuzz-smoke asan-test \
  simd-check lint typecheck format sdist-check wheels wheel-check bench bench-ring bench-keyring bench-cli \
  bench-db bench-blind bench-floor

demo: build
	$(PY) examples/demo.py

test: build
	$(PY) -m pytest

test-quick: build
	$(PY) -m pytest -m "not slow"

# The Spark column recipe of README.md, in local mode with two workers. It
# needs a Java runtime (Debian's headless one) and pyspark, installed here
# so that a fresh machine runs it; the default suite skips it.
test-spark: build
	command -v java >/dev/null || { apt-get update -qq && apt-get install -y -qq default-jre-headless; }
	$(PY) -m pip install --quiet --group spark
	QV_TEST_SPARK=1 $(PY) -m pytest -q -p no:cacheprovider -m spark tests/test_spark_recipe.py

# The database column tests (which run on SQLite in `make test`) again on a
# throwaway PostgreSQL cluster: Debian's server, installed if missing, started
# as the postgres user with only a Unix socket in a temporary folder, and
# removed on every exit (tools/with-postgres.sh).
DB_TESTS := tests/test_db_sqlalchemy.py tests/test_db_django.py tests/test_db_blind_sqlalchemy.py \
  tests/test_db_blind_django.py
test-postgres: build
	tools/with-postgres.sh $(PY) -m pytest -q -p no:cacheprovider $(DB_TESTS)

# The whole suite, stubtest and strict mypy under every CPython from 3.11 on
# that this machine has (pyenv's or on PATH), each in its own .venv-3.X;
# fails if fewer than MIN_PYTHONS (3) releases were tested.
test-pythons:
	tools/test-pythons.sh

# Times qv against its peers and writes bench/RESULTS.md; BENCH_ARGS=--quick
# finishes in under a minute.
bench: $(VENV)/.ready
	flock $(VENV)/.build.lock $(PY) -m pip install --quiet --no-build-isolation ".[bench]"
	$(PY) bench/bench.py $(BENCH_ARGS)

# Only the key ring section of bench/RESULTS.md: Keyring.encrypt/decrypt
# against Fernet and the bare AEAD call at 16 B, 64 B and 1 KiB, in seconds
# (BENCH_ARGS=--quick: a few).
bench-ring: $(VENV)/.ready
	flock $(VENV)/.build.lock $(PY) -m pip install --quiet --no-build-isolation ".[bench]"
	$(PY) bench/bench.py --ring $(BENCH_ARGS)

# A key ring's cost per call over the bare functions, and of saving and loading.
bench-keyring: build
	$(PY) bench/keyring_bench.py

# The bulk calls and qv.arrow at 64 B against their C++ floor
# (bench/bulk_floor.cpp), wall clock and callgrind instruction counts; writes
# its section of bench/RESULTS.md.
bench-floor: $(VENV)/.ready
	flock $(VENV)/.build.lock $(PY) -m pip install --quiet --no-build-isolation ".[bench]"
	$(PY) bench/bulk_floor.py --callgrind --write

# The command line over files of 10^6 values from start to end: lines per
# second by command, written into bench/RESULTS.md (BENCH_CLI_ARGS="--lines
# 100000 --no-write" for a quick look).
bench-cli: build
	$(PY) bench/cli_bench.py $(BENCH_CLI_ARGS)

# Sealed database columns next to plain Text and a Fernet-based field, and a
# rotation of 100 000 rows, on a throwaway PostgreSQL; splices its section
# into bench/RESULTS.md. Not run by CI.
bench-db: build
	flock $(VENV)/.build.lock $(PY) -m pip install --quiet --no-build-isolation ".[bench]"
	tools/with-postgres.sh $(PY) bench/db_bench.py $(BENCH_ARGS)

# Blind indexes: compute_many per value, and a blind search over 100 000 rows
# next to a plain indexed equality query, on a throwaway PostgreSQL; splices
# its section into bench/RESULTS.md. Not run by CI.
bench-blind: build
	tools/with-postgres.sh $(PY) bench/blind_bench.py $(BENCH_ARGS)

# libFuzzer targets over the C++ core (fuzz/*.cpp), FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

fuzz-smoke:
	FUZZ_SECONDS=20 fuzz/run.sh

# The suite (less the command-line tests, see tests/run_under_asan.py) against
# an ASan+UBSan build of the extension, in its own environment and build
# directory so that .venv and build/ stay untouched.
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

# Style and types: ruff over the Python, clang-format over the C++, then the
# type checks below.
CXX_SOURCES = $(shell find $(wildcard include src examples/cpp fuzz tests/native) -path fuzz/build -prune \
  -o \( -name '*.cpp' -o -name '*.h' \) -print | sort)
lint: typecheck
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)

# The stub against the built module, and strict mypy over code that uses every
# function; test-pythons runs these under each release.
typecheck: build
	$(PY) -m pip install --quiet --group lint
	$(PY) -m mypy.stubtest --allowlist tests/stubtest_allowlist.txt qv._native qv._bulk qv._arrow qv._blind qv._ring
	$(PY) -m mypy --strict examples/demo.py examples/keyring_demo.py tests/typecheck_api.py \
	  python/qv/keyring python/qv/_rows.py python/qv/_files.py python/qv/_constants.py python/qv/cli \
	  python/qv/_sealed.py python/qv/sqlalchemy.py python/qv/django python/qv/blind.py

# Rewrite the Python and C++ sources in the house style that `make lint` checks.
format: build
	$(PY) -m pip install --quiet --group lint
	$(VENV)/bin/ruff check --select I --fix .
	$(VENV)/bin/ruff format .
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

# Build the sdist, install it into a fresh virtual environment outside the
# tree (pip builds the wheel from it, as a user's pip would), import it and
# run the demo against that installation: under the oldest and the newest
# CPython release that tools/pythons.sh finds, which must differ.
sdist-check: $(VENV)/.ready
	$(PY) -m pip install --quiet --group dist
	set -e; tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; \
	  exes=$$(tools/pythons.sh | sed -n '1p;$$p' | cut -d' ' -f2 | uniq); \
	  [ $$(echo "$$exes" | wc -l) -ge 2 ] || { echo "sdist-check needs two CPython releases" >&2; exit 1; }; \
	  $(PY) -m build --sdist --outdir "$$tmp/dist" .; \
	  for exe in $$exes; do \
	    echo "=== sdist under $$exe"; rm -rf "$$tmp/venv"; \
	    "$$exe" -m venv "$$tmp/venv"; \
	    "$$tmp/venv/bin/python" -m pip install --quiet "$$tmp"/dist/qv-*.tar.gz; \
	    (cd "$$tmp" && "$$tmp/venv/bin/python" -c "$$SDIST_IMPORT_CHECK" && \
	      "$$tmp/venv/bin/python" "$(CURDIR)/examples/demo.py"); \
	  done

# Repaired manylinux wheels, one per CPython release found, in dist/wheels:
# libcrypto travels inside, so they install with no compiler or OpenSSL
# headers. wheel-check installs each into a fresh venv of its release, runs the
# demo and checks in /proc/self/maps that the wheel's own libcrypto is in use.
wheels:
	tools/wheels.sh

wheel-check: wheels
	tools/wheel-check.sh

define SDIST_IMPORT_CHECK
import importlib.resources, sys, qv, qv._native, qv._bulk, qv._blind, qv._ring
pkg = importlib.resources.files("qv")
assert all((pkg / f).is_file() for f in ("py.typed", "_native.pyi", "_bulk.pyi", "_blind.pyi", "_ring.pyi")), "typing files missing"
print("installed qv", qv.__version__, "at", qv.__file__, "under", sys.version.split()[0])
endef
export SDIST_IMPORT_CHECK

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(BUILD_DEPS)
	touch $@

clean:
	rm -rf $(VENV) .venv-3.* build dist
