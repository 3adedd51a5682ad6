# `make demo` and `make test` work on a fresh machine: both run the bootstrap
# first, which installs whatever is missing.
VENV    := .venv
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest
PYTEST  := scripts/run-pytest $(PY) -m pytest
export CMAKE_GENERATOR := Ninja
export CMAKE_MAKE_PROGRAM := $(CURDIR)/$(VENV)/bin/ninja

.PHONY: all bootstrap wheel install demo test check-wheel stubtest cpp-test py-test bench asan-test clean

all: install

bootstrap:
	@scripts/bootstrap

# Builds the abi3 wheel (incrementally, in build/) and installs it into .venv.
wheel: bootstrap
	@rm -rf dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w dist .

install: wheel
	$(PY) -m pip install -q --no-deps --force-reinstall dist/*.whl

demo: install
	$(PY) examples/app.py

check-wheel: wheel
	@ls dist/*.whl | grep -q -- '-cp310-abi3-' || { echo "wheel is not tagged cp310-abi3"; exit 1; }
	$(VENV)/bin/abi3audit --strict --report dist/*.whl

stubtest: install
	MYPYPATH=stubs $(PY) -m mypy.stubtest --allowlist stubs/stubtest-allowlist.txt kavex_core kavex_shm

cpp-test: bootstrap
	$(CMAKE) -S . -B build/cpp -DKAVEX_PYTHON=OFF -DKAVEX_TESTS=ON >/dev/null
	$(CMAKE) --build build/cpp
	$(CTEST) --test-dir build/cpp --output-on-failure

py-test: install
	$(PYTEST) tests

test: check-wheel stubtest cpp-test py-test

bench: install
	@for b in bench/bench_*.py; do [ -e "$$b" ] || continue; echo "== $$b"; $(PY) $$b || exit 1; done

# AddressSanitizer + UBSan build of the extension (and of the C++ tests); the
# Python suite runs against it with the sanitizer runtimes preloaded.
ASAN_LIBS := $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)
asan-test: install
	$(CMAKE) -S . -B build/asan -DKAVEX_SANITIZE=ON -DKAVEX_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	$(CMAKE) --build build/asan
	$(CTEST) --test-dir build/asan --output-on-failure
	LD_PRELOAD="$(ASAN_LIBS)" PYTHONMALLOC=malloc KAVEX_SANITIZED=1 PYTHONPATH=build/asan \
	  ASAN_OPTIONS=detect_leaks=1:malloc_context_size=8:halt_on_error=1:detect_stack_use_after_return=0 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(PYTEST) -p no:cacheprovider tests

clean:
	rm -rf build dist
