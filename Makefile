# A thin wrapper over CMake. `make test` installs what is missing, builds and runs every test.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test clean demo

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

# Simulates a few minutes of recording in two sessions and converts it (Release build
# in its own directory); see scripts/demo.
DEMO_BUILD_DIR ?= build-release

demo: deps
	@cmake -S . -B $(DEMO_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DSENSCONV_TESTS=OFF -DSENSCONV_BENCHMARKS=OFF > /dev/null
	@cmake --build $(DEMO_BUILD_DIR) -j $(JOBS) --target sensconv snsrsim
	@scripts/demo $(DEMO_BUILD_DIR)
