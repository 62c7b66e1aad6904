# A thin wrapper over CMake. `make test` installs what is missing, builds and runs every test.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test clean demo fuzz fuzz-smoke fuzz-build

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)

# Fuzzing: every target in fuzz/ runs for FUZZ_SECONDS, one after the other.
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60

fuzz-build: deps
	@fuzz/install-deps
	@cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DSENSCONV_FUZZ=ON -DSENSCONV_TESTS=OFF -DSENSCONV_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	@cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target sensconv_fuzzers

fuzz: fuzz-build
	@fuzz/runFuzzers $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS)

fuzz-smoke:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=30

# Simulates a few minutes of recording in two sessions and converts it (Release build,
# optimised with a profile of its own work, in its own directory); see scripts/demo and
# scripts/build-release.
DEMO_BUILD_DIR ?= build-release

demo: deps
	@scripts/build-release $(DEMO_BUILD_DIR) $(JOBS)
	@scripts/demo $(DEMO_BUILD_DIR)
