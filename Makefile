# Entry points. Everything real happens in CMake; this file only names the
# build trees and makes sure the Debian packages are there first.
#
#   make test    release (kvnrt) and debug (kvnrtd, ASan+UBSan) builds, whole suite
#   make demo    builds and runs the demo
#   make fuzz    libFuzzer targets (clang), FUZZ_SECONDS each with `make fuzz-run`
#   make tsan    debug build under ThreadSanitizer, tests labelled "threaded"
#   make bench   release build of the benchmarks, then runs them

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_GEN := -G Ninja
BUILD := build
FUZZ_SECONDS ?= 60

.PHONY: all setup release debug test test-release test-debug demo fuzz fuzz-run tsan bench format clean

all: release

setup:
	@scripts/setup-deps

release: setup
	cmake -S . -B $(BUILD)/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release -j $(JOBS)

debug: setup
	cmake -S . -B $(BUILD)/debug $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKVN_SANITIZE=ON
	cmake --build $(BUILD)/debug -j $(JOBS)

test-release: release
	ctest --test-dir $(BUILD)/release --output-on-failure -j $(JOBS) --timeout 600

test-debug: debug
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	ctest --test-dir $(BUILD)/debug --output-on-failure -j $(JOBS) --timeout 600

test: test-release test-debug

demo: release
	scripts/demo $(BUILD)/release

fuzz: setup
	cmake -S . -B $(BUILD)/fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKVN_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(BUILD)/fuzz -j $(JOBS)

# Runs every fuzz target for FUZZ_SECONDS from its seed corpus; new inputs go
# to build/fuzz/corpus/<name>, not into the repository.
fuzz-run: fuzz
	scripts/fuzz-run $(BUILD)/fuzz $(FUZZ_SECONDS)

tsan: setup
	cmake -S . -B $(BUILD)/tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKVN_TSAN=ON
	cmake --build $(BUILD)/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	ctest --test-dir $(BUILD)/tsan --output-on-failure -j $(JOBS) -L threaded --timeout 600

bench: setup
	cmake -S . -B $(BUILD)/bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DKVN_BENCH=ON -DKVN_TESTS=OFF
	cmake --build $(BUILD)/bench -j $(JOBS)
	@for b in $(BUILD)/bench/bench/bench_*; do echo "== $$b"; $$b || exit 1; done

format:
	git ls-files '*.cpp' '*.h' 'include/tavo/*' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
