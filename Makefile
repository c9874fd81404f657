# Two entry points for a fresh machine: `make demo` and `make test`.
SHELL := /bin/bash
VENV ?= .venv
# A CPython >= 3.12: $(PYTHON) when given, else the first one found on PATH or under pyenv.
PYTHON ?= $(shell for c in python3.12 python3.13 $$HOME/.pyenv/versions/3.12*/bin/python3 $$HOME/.pyenv/versions/3.13*/bin/python3 python3; do \
	  p=$$(command -v $$c 2>/dev/null) || continue; \
	  $$p -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null && { echo $$p; break; }; done)
PY := $(VENV)/bin/python
# The second supported interpreter, tested too when the machine has it.
PYTHON_ALT ?= $(shell for c in python3.13 $$HOME/.pyenv/versions/3.13*/bin/python3; do \
	  p=$$(command -v $$c 2>/dev/null) || continue; \
	  [ "$$($$p -c 'import sys; print(sys.version_info[:2] == (3, 13))' 2>/dev/null)" = True ] && { echo $$p; break; }; done)
VENV_ALT := .venv-alt
PY_ALT := $(VENV_ALT)/bin/python
TEST_DEPS := "scikit-build-core>=0.10" cmake ninja pytest hypothesis protobuf numpy orjson mypy pyright grpcio-tools atheris
CPP_BUILD := build/cpp
ASAN_BUILD := build/asan

.PHONY: all venv install demo test test-python test-python-alt test-cpp bench test-asan format clean

all: install

$(PY):
	@test -n "$(PYTHON)" || { echo "no CPython >= 3.12 found; set PYTHON=..." >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(TEST_DEPS)

venv: $(PY)

install: $(PY)
	$(PY) -m pip install -q --no-build-isolation .

demo: install
	$(PY) examples/addressbook.py

test: install test-cpp test-python test-python-alt

test-python: install
	$(PY) -m pytest -q tests

# The same suite on the other supported CPython (3.13), in its own venv.
test-python-alt:
	@if [ -z "$(PYTHON_ALT)" ] || [ "$(PYTHON_ALT)" = "$(PYTHON)" ]; then \
	  echo "no second CPython (3.13) found: skipping"; \
	else \
	  set -e; [ -x $(PY_ALT) ] || { $(PYTHON_ALT) -m venv $(VENV_ALT); \
	    $(PY_ALT) -m pip install -q --upgrade pip; $(PY_ALT) -m pip install -q $(TEST_DEPS); }; \
	  $(PY_ALT) -m pip install -q --no-build-isolation .; \
	  $(PY_ALT) -m pytest -q tests; \
	fi

# GoogleTest comes from Debian's libgtest-dev; install it when missing.
$(CPP_BUILD)/build.ninja: $(PY)
	@test -f /usr/include/gtest/gtest.h || { apt-get update -qq && apt-get install -y -qq libgtest-dev; }
	PATH=$(VENV)/bin:$$PATH cmake -S . -B $(CPP_BUILD) -G Ninja -DTORVEX_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=Debug

test-cpp: $(CPP_BUILD)/build.ninja
	PATH=$(VENV)/bin:$$PATH cmake --build $(CPP_BUILD) --target torvex_cpp_tests
	cd $(CPP_BUILD) && PATH=$(abspath $(VENV))/bin:$$PATH ctest --output-on-failure

bench: install
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

# The Python suite against an AddressSanitizer build of the extension (leaks off: CPython keeps
# much of its memory until exit).
test-asan: $(PY)
	PATH=$(VENV)/bin:$$PATH cmake -S . -B $(ASAN_BUILD) -G Ninja -DTORVEX_ASAN=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	PATH=$(VENV)/bin:$$PATH cmake --build $(ASAN_BUILD) --target _torvex_ext
	TORVEX_SANITIZED=1 ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD=$$(gcc -print-file-name=libasan.so) \
	  PYTHONPATH=$(ASAN_BUILD):python PYTHONMALLOC=malloc $(PY) -m pytest -q -x tests

format:
	clang-format -i src/*.h src/*.cpp tests/cpp/*.cpp

clean:
	rm -rf build $(VENV) $(VENV_ALT)
