# Two commands for a new user: `make demo` and `make test`. Both install what is missing,
# build and run.
SHELL := /bin/bash
ROOT := $(abspath .)
VENV := $(ROOT)/.venv
PY := $(VENV)/bin/python
BUILD_DIR ?= $(ROOT)/build
ASAN_DIR ?= $(ROOT)/build-asan
JOBS ?= $(shell nproc)
DEBIAN_PACKAGES := cmake ninja-build g++ libcsv-dev libgtest-dev libbenchmark-dev \
	libeccodes-data python3-eccodes libeccodes-dev clang libclang-rt-14-dev

# Any CPython 3.12 on the machine: on PATH, or through pyenv.
PYTHON312 ?= $(shell command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'import sys; assert sys.version_info[:2]==(3,12)' 2>/dev/null && command -v python3.12 || \
	(v=$$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$$' | tail -n1); [ -n "$$v" ] && echo "$$(pyenv root)/versions/$$v/bin/python3.12"))

.PHONY: all deps venv build build-asan test test-cpp test-asan test-python demo bench fuzz clean

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

build: deps venv
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PY) -DQUORVEX_BENCH=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)

build-asan: deps venv
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_SANITIZE=ON -DQUORVEX_MODULE=OFF
	cmake --build $(ASAN_DIR) -j $(JOBS)

test-cpp: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-python: build
	PYTHONPATH=$(BUILD_DIR) $(PY) -m pytest -q tests/python

test: test-cpp test-asan test-python

demo: build
	PYTHONPATH=$(BUILD_DIR) $(PY) examples/demo.py

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
