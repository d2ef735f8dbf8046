# Thin wrapper: CMake is the build.
BUILD_DIR ?= build
CMAKE_FLAGS ?=

.PHONY: all deps configure build test run bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j2

run: build
	./$(BUILD_DIR)/bin/morvane

bench: build
	bench/compare $(BUILD_DIR) BENCHMARKS.md

clean:
	rm -rf $(BUILD_DIR)
