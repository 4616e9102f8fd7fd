# Two commands for a new user: `make demo` and `make test`. Both install what is missing,
# build and run.
SHELL := /bin/bash
ROOT := $(abspath .)
VENV := $(ROOT)/.venv
PY := $(VENV)/bin/python
BUILD_DIR ?= $(ROOT)/build
ASAN_DIR ?= $(ROOT)/build-asan
TSAN_DIR ?= $(ROOT)/build-tsan
JOBS ?= $(shell nproc)
DEBIAN_PACKAGES := cmake ninja-build g++ libcsv-dev libgtest-dev libbenchmark-dev \
	libeccodes-data python3-eccodes libeccodes-dev clang libclang-rt-14-dev clang-format

# Any CPython 3.12 on the machine: on PATH, through pyenv, or in pyenv's folder when pyenv
# itself is not on PATH.
PYTHON312 ?= $(shell command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'import sys; assert sys.version_info[:2]==(3,12)' 2>/dev/null && command -v python3.12 || \
	(v=$$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$$' | tail -n1); [ -n "$$v" ] && echo "$$(pyenv root)/versions/$$v/bin/python3.12") || \
	ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.12*/bin/python3.12 2>/dev/null | tail -n1)

# bench-decode: end-to-end decode rate against the cost of creating the value objects alone
.PHONY: bench-frame bench-write bench-decode bench-dask all deps venv build build-asan build-tsan test test-cpp test-asan test-tsan test-python demo bench bench-parse fuzz \
	format format-check lint clean

all: build

deps:
	@missing=""; for p in $(DEBIAN_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then echo "installing:$$missing"; apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	  else echo "missing Debian packages:$$missing (run as root or install them)"; exit 1; fi; \
	fi

$(VENV)/.done: requirements-dev.txt
	@[ -n "$(PYTHON312)" ] || { echo "no CPython 3.12 found"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.done

# WERROR=ON turns every compiler warning into an error (CI builds this way).
WERROR ?= OFF

build: deps venv
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PY) -DQUORVEX_BENCH=ON \
	  -DQUORVEX_WERROR=$(WERROR)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The core, its tests and the module under AddressSanitizer and UndefinedBehaviorSanitizer.
build-asan: deps venv
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_SANITIZE=ON -DPython_EXECUTABLE=$(PY) \
	  -DQUORVEX_WERROR=$(WERROR)
	cmake --build $(ASAN_DIR) -j $(JOBS)

# The threaded columnar decode under ThreadSanitizer (not part of `make test`: a build of
# its own).
build-tsan: deps
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_TSAN=ON -DQUORVEX_MODULE=OFF
	cmake --build $(TSAN_DIR) -j $(JOBS) --target quorvex_tests

test-tsan: build-tsan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_DIR)/quorvex_tests \
	  --gtest_filter='*ColumnarThreads*:*RowsThreads*:*TableChooser*:*TemplateCache*:*FuzzReplay*columnar*'

test-cpp: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The suites of _quorvex (suites of a package on top of it, which import it, are left out).
MODULE_TESTS = $(shell grep -L -E '^(import|from) quorvex|importorskip..quorvex|engine_support|"-m", "quorvex"|mypy' tests/python/test_*.py)
# The columnar engine's suites, hostile input included, run under the sanitizers too.
ENGINE_TESTS = $(wildcard tests/python/test_engine_*.py) tests/python/test_hostile_input.py tests/python/test_bufr_file.py
# The interpreter itself is not instrumented: the sanitizer runtimes are preloaded, and leak
# detection is left to the C++ tests (the interpreter keeps memory until exit on purpose).
ASAN_RUNTIMES = $$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)
test-asan: build-asan
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)
	LD_PRELOAD="$(ASAN_RUNTIMES)" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=$(ASAN_DIR) $(PY) -m pytest -q -p no:cacheprovider $(MODULE_TESTS)
	LD_PRELOAD="$(ASAN_RUNTIMES)" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=$(ASAN_DIR):python $(PY) -m pytest -q -p no:cacheprovider $(ENGINE_TESTS)

# PYTEST_ARGS="-m 'not slow'" leaves out the wheel test (a wheel build and a fresh venv).
PYTEST_ARGS ?=
test-python: build
	PYTHONPATH=$(BUILD_DIR):python JOBS=$(JOBS) $(PY) -m pytest -q tests/python $(PYTEST_ARGS)

test: test-cpp test-asan test-python

# The library's demo, then the `quorvex` command on the same files: ls, a short dump, a
# conversion to Parquet read back with pyarrow.
DEMO_PARQUET := $(BUILD_DIR)/demo/examples.parquet
QUORVEX_CLI := PYTHONPATH=$(BUILD_DIR):python $(PY) -m quorvex
demo: build
	PYTHONPATH=$(BUILD_DIR):python $(PY) examples/demo.py
	@echo; echo '$$ python examples/read_dataframe.py'
	PYTHONPATH=$(BUILD_DIR):python $(PY) examples/read_dataframe.py
	@echo; echo '$$ quorvex ls examples/*.bufr'
	$(QUORVEX_CLI) ls examples/*.bufr
	@echo; echo '$$ quorvex dump examples/synop_wigos.bufr --message 0 | head -n 40'
	$(QUORVEX_CLI) dump examples/synop_wigos.bufr --message 0 | head -n 40
	@echo; echo '$$ quorvex convert examples/*.bufr -o $(DEMO_PARQUET)'
	@mkdir -p $(dir $(DEMO_PARQUET))
	$(QUORVEX_CLI) convert examples/*.bufr -o $(DEMO_PARQUET)
	$(PY) -c "import pyarrow.parquet as pq; t = pq.read_table('$(DEMO_PARQUET)'); \
	  print(t.num_rows, 'rows;', ', '.join(f'{f.name}: {f.type}' for f in t.schema)); \
	  print(t.filter(t['source'].to_numpy() == 1).slice(0, 8).to_pandas().to_string())"

# Framing throughput: parse_all_bytes over the corpus's synop benchmark file.
bench-decode: build
	PYTHONPATH=$(BUILD_DIR):python $(PY) bench/decode_throughput.py

bench-parse: build
	PYTHONPATH=$(BUILD_DIR):python $(PY) bench/parse_bench.py

# The benchmark files to a partitioned Parquet dataset: one machine without Dask, then a
# LocalCluster of 1 and of 2 workers (quorvex.dask). DASK_BENCH_ARGS adds options, e.g.
# DASK_BENCH_ARGS="--files synop temp --blocksize 4MiB".
DASK_BENCH_ARGS ?=
bench-dask: build
	PYTHONPATH=$(BUILD_DIR):python $(PY) bench/dask_bench.py --corpus $(BENCH_CORPUS) --out $(BENCH_OUT)/dask $(DASK_BENCH_ARGS)

# C++ layout (.clang-format).
FORMAT_FILES = $(wildcard src/*/*.cpp src/*/*.hpp tests/cpp/*/*.cpp tests/cpp/*/*.hpp bench/*.cpp fuzz/*.cpp fuzz/*.hpp)
format: deps
	clang-format -i $(FORMAT_FILES)
format-check: deps
	clang-format --dry-run --Werror $(FORMAT_FILES)

# Python lint and import order (ruff, configured in pyproject.toml).
LINT_DIRS = python tests/python bench tools examples
lint: venv
	$(VENV)/bin/ruff check $(LINT_DIRS)

# Side-by-side benchmark (bench/compare/run.py): this module and its columnar engine against
# ecCodes (C and Python bindings) and pybufrkit on the benchmark files, the core decode alone
# (quorvex_bench) and the engine's memory (bench/engine_memory.py); writes bench/RESULTS.md
# with the engine's targets checked. BENCH_ARGS adds options of run.py, e.g.
# BENCH_ARGS="--files synop --max-messages 500" for a short run.
BENCH_OUT ?= $(ROOT)/bench/out
# The corpus as the tests find it: $QUORVEX_CORPUS, else shared/corpus beside the checkout,
# else /work/shared/corpus.
CORPUS_DIR ?= $(or $(QUORVEX_CORPUS),$(firstword $(wildcard $(abspath $(ROOT)/../shared/corpus) /work/shared/corpus)),$(abspath $(ROOT)/../shared/corpus))
BENCH_CORPUS ?= $(CORPUS_DIR)/bench
BENCH_ARGS ?=
PYBUFRKIT_SECONDS ?= 60
PYBUFRKIT_VENV := $(BENCH_OUT)/pybufrkit-venv
ECCODES_PYTHON ?= /usr/bin/python3

$(PYBUFRKIT_VENV)/.done: | deps
	@[ -n "$(PYTHON312)" ] || { echo "no CPython 3.12 found"; exit 1; }
	$(PYTHON312) -m venv $(PYBUFRKIT_VENV)
	$(PYBUFRKIT_VENV)/bin/pip install -q pybufrkit==0.2.25 'bitstring>=4,<5'
	touch $@

$(BENCH_OUT)/eccodes_bench: bench/compare/eccodes_bench.c | deps
	mkdir -p $(BENCH_OUT)
	$(CC) -O2 -Wall -o $@ $< $$(pkg-config --cflags --libs eccodes 2>/dev/null || echo -leccodes)

bench: build $(PYBUFRKIT_VENV)/.done $(BENCH_OUT)/eccodes_bench
	$(PY) bench/compare/run.py --build-dir $(BUILD_DIR) --corpus $(BENCH_CORPUS) --out $(BENCH_OUT)/compare \
	  --quorvex-python $(PY) --eccodes-python $(ECCODES_PYTHON) --pybufrkit-python $(PYBUFRKIT_VENV)/bin/python \
	  --eccodes-bench $(BENCH_OUT)/eccodes_bench --pybufrkit-seconds $(PYBUFRKIT_SECONDS) \
	  --results $(ROOT)/bench/RESULTS.md --command "make bench$(if $(BENCH_ARGS), BENCH_ARGS='$(BENCH_ARGS)')" $(BENCH_ARGS)
	$(MAKE) bench-frame
	$(MAKE) bench-write

# Writing BUFR from tables beside ecCodes (Python and C); writes bench/WRITE.md.
$(BENCH_OUT)/eccodes_encode: bench/compare/eccodes_encode.c | deps
	mkdir -p $(BENCH_OUT)
	$(CC) -O2 -Wall -o $@ $< $$(pkg-config --cflags --libs eccodes 2>/dev/null || echo -leccodes) -lm
bench-write: build $(BENCH_OUT)/eccodes_encode
	PYTHONPATH=$(BUILD_DIR):python $(PY) bench/write_bench.py --corpus $(BENCH_CORPUS) \
	  --eccodes-python $(ECCODES_PYTHON) --eccodes-encode $(BENCH_OUT)/eccodes_encode --results $(ROOT)/bench/WRITE.md

# read_dataframe beside pdbufr's read_bufr on the same files and columns; writes bench/FRAMES.md.
FRAME_CORPUS ?= $(CORPUS_DIR)
bench-frame: build
	PYTHONPATH=$(BUILD_DIR):python $(PY) bench/frame_bench.py --corpus $(FRAME_CORPUS) --results $(ROOT)/bench/FRAMES.md

# libFuzzer targets (fuzz/*_fuzz.cpp) under AddressSanitizer and UndefinedBehaviorSanitizer,
# seeded from the shared corpus, each run for FUZZ_SECONDS in turn. Not part of `make test`.
FUZZ_DIR ?= $(ROOT)/build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= $(patsubst fuzz/%_fuzz.cpp,%,$(wildcard fuzz/*_fuzz.cpp))

fuzz: deps
	CC=gcc CXX=g++ cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUORVEX_SANITIZE=ON -DQUORVEX_FUZZ=ON -DQUORVEX_MODULE=OFF -DQUORVEX_TESTS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	fuzz/seed.sh $(FUZZ_DIR)/seeds
	fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR)
