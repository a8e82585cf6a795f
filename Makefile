# Thin wrapper around CMake.
#   make          the library, the programs and the Python module (no tests) in build/; installs the
#                 missing Debian packages it needs when run as root, names them otherwise
#   make test     installs missing Debian packages (as root), then builds and runs
#                 the whole suite in build/ (the Python tests with /usr/bin/python3 against
#                 build/python) and in an ASan+UBSan build in build-asan/,
#                 and replays the fuzz corpora through libFuzzer builds when clang is present
#   make bench    benchmarks (Google Benchmark) in build-bench/
#   make fuzz     libFuzzer targets with clang in build-fuzz/
#   make test-nocodec  the suite in build-nocodec/, built without the TIFF, JPEG and PNG drivers
#   make tour     builds and runs build/qorimg tour: every format and coding on a synthesised picture
#   make tsan     the threaded tests in a ThreadSanitizer build (clang) in build-tsan/; make test runs it
JOBS ?= 2
# What building the library and the programs needs, and what the tests add.
BUILD_DEPS := cmake g++ make pkg-config libjpeg-dev libpng-dev libtiff-dev zlib1g-dev libdeflate-dev \
              python3-pybind11 pybind11-dev python3-dev python3-numpy
TEST_DEPS := libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev \
             python3-pil python3-numpy imagemagick libtiff-tools python3-pytest python3-dask pngcheck \
             netpbm libvips-tools openimageio-tools
SAN_ENV := ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
CLANG := $(shell command -v clang++-14 || command -v clang++)
# The targets of a plain build: the library, the programs and the Python module
# (a target that only names what is missing when pybind11 or NumPy is absent).
PROGRAMS := qorimage tocrlf tolf $(if $(wildcard cli/CMakeLists.txt),qorimg) qorimage_python
# The Python the module is built for and tested with.
PYTHON := /usr/bin/python3

TSAN_ENV := TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

.PHONY: all build test test-nocodec deps build-deps asan tsan tour fuzz fuzz-replay bench clean

all: build

# Installs the missing packages of $(1) as root; otherwise names them and, when
# $(2) is "required", stops. Machines without dpkg are left to CMake's own checks.
define install_missing
	@command -v dpkg >/dev/null 2>&1 || exit 0; \
	missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	  else \
	    echo "missing Debian packages:$$missing"; \
	    echo "install them with: sudo apt-get install$$missing   (or run make as root)"; \
	    if [ "$(2)" = required ]; then exit 1; fi; \
	  fi; \
	fi
endef

build-deps:
	$(call install_missing,$(BUILD_DEPS),required)

deps: build-deps
	$(call install_missing,$(TEST_DEPS),optional)

# A fresh build/ is configured without the tests; make test switches them on.
build: build-deps
	@test -f build/CMakeCache.txt || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_TESTS=OFF -DPython3_EXECUTABLE=$(PYTHON)
	@cmake --build build -j$(JOBS) --target $(PROGRAMS)

asan:
	@test -f build-asan/CMakeCache.txt || cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON
	@cmake --build build-asan -j$(JOBS)

test: deps asan
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_TESTS=ON -DPython3_EXECUTABLE=$(PYTHON) >/dev/null
	@cmake --build build -j$(JOBS)
	cd build && ctest --output-on-failure -j$(JOBS)
	@if ls build/python/qorimage*.so >/dev/null 2>&1; then \
	  PYTHONPATH=$(CURDIR)/build/python $(PYTHON) -m pytest -q -p no:cacheprovider python/tests; \
	else echo "Python module not built (pybind11 or NumPy missing): Python tests skipped"; fi
	cd build-asan && $(SAN_ENV) ctest --output-on-failure -j$(JOBS)
	@if [ -n "$(CLANG)" ]; then $(MAKE) --no-print-directory fuzz-replay; else echo "clang not found: libFuzzer replay skipped"; fi
	@if [ -n "$(CLANG)" ]; then $(MAKE) --no-print-directory tsan; else echo "clang not found: ThreadSanitizer tests skipped"; fi

# The threaded tests: every format from four threads at once, the default
# manager made once, and qorimg's two-job batch, with ThreadSanitizer.
tsan:
	@test -n "$(CLANG)" || { echo "make tsan needs clang"; exit 1; }
	@CC=$$(dirname $(CLANG))/clang CXX=$(CLANG) cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_TSAN=ON >/dev/null
	@cmake --build build-tsan -j$(JOBS) --target test_threads test_qorimg
	cd build-tsan && $(TSAN_ENV) ctest --output-on-failure -j$(JOBS) -R '^Threads\.|^Qorimg\.Batch'

tour: build
	build/qorimg tour

test-nocodec:
	@cmake -S . -B build-nocodec -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQOR_WITH_TIFF=OFF -DQOR_WITH_JPEG=OFF -DQOR_WITH_PNG=OFF -DQOR_PYTHON=OFF >/dev/null
	@cmake --build build-nocodec -j$(JOBS)
	cd build-nocodec && ctest --output-on-failure -j$(JOBS)

fuzz:
	@test -n "$(CLANG)" || { echo "make fuzz needs clang"; exit 1; }
	@test -f build-fuzz/CMakeCache.txt || CC=$$(dirname $(CLANG))/clang CXX=$(CLANG) cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_FUZZ=ON
	@cmake --build build-fuzz -j$(JOBS)

fuzz-replay: fuzz
	@set -e; for t in build-fuzz/fuzz/fuzz_*; do \
	  n=$$(basename $$t); \
	  echo "replaying fuzz/corpus/$$n"; \
	  $(SAN_ENV) $$t -runs=0 fuzz/corpus/$$n >/dev/null 2>build-fuzz/$$n.log || { cat build-fuzz/$$n.log; exit 1; }; \
	done; echo "fuzz corpora replayed cleanly"

bench:
	@test -f build-bench/CMakeCache.txt || cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQOR_BENCH=ON -DQOR_TESTS=OFF
	@cmake --build build-bench -j$(JOBS)
	@for b in build-bench/bench/bench_*; do $$b; done

clean:
	rm -rf build build-asan build-tsan build-fuzz build-bench build-nocodec
