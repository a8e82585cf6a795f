# Thin wrapper around CMake.
#   make          optimised build with debug info in build/
#   make test     installs missing Debian packages (as root), then runs the whole
#                 suite in build/ and in an ASan+UBSan build in build-asan/, and
#                 replays the fuzz corpora through libFuzzer builds when clang is present
#   make bench    benchmarks (Google Benchmark) in build-bench/
#   make fuzz     libFuzzer targets with clang in build-fuzz/
#   make test-nocodec  the suite in build-nocodec/, built without the TIFF, JPEG and PNG drivers
JOBS ?= 2
DEPS := cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
        libjpeg-dev libpng-dev libtiff-dev zlib1g-dev clang libclang-rt-14-dev \
        python3-pil python3-numpy imagemagick libtiff-tools
SAN_ENV := ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
CLANG := $(shell command -v clang++-14 || command -v clang++)

.PHONY: all build test test-nocodec deps asan fuzz fuzz-replay bench clean

all: build

build:
	@test -f build/CMakeCache.txt || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	@cmake --build build -j$(JOBS)

asan:
	@test -f build-asan/CMakeCache.txt || cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON
	@cmake --build build-asan -j$(JOBS)

deps:
	@missing=""; for p in $(DEPS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	  else echo "missing packages (install them as root):$$missing"; fi; \
	fi

test: deps build asan
	cd build && ctest --output-on-failure -j$(JOBS)
	cd build-asan && $(SAN_ENV) ctest --output-on-failure -j$(JOBS)
	@if [ -n "$(CLANG)" ]; then $(MAKE) --no-print-directory fuzz-replay; else echo "clang not found: libFuzzer replay skipped"; fi

test-nocodec:
	@cmake -S . -B build-nocodec -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQOR_WITH_TIFF=OFF -DQOR_WITH_JPEG=OFF -DQOR_WITH_PNG=OFF >/dev/null
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
	rm -rf build build-asan build-fuzz build-bench build-nocodec
