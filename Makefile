# Thin wrapper: CMake is the build.
SHELL := /bin/bash
BUILD_DIR ?= build
CMAKE_FLAGS ?=

.PHONY: all deps configure build test run install package bench bench-startup sanitize fuzz fuzz-build format format-check clean windows test-windows

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j2

# Only the window and what it needs: the tests are built by `make test`.
run: configure
	cmake --build $(BUILD_DIR) --target morvane
	./$(BUILD_DIR)/bin/morvane

# The programs, desktop entry, icons, metainfo and manual pages under PREFIX; DESTDIR stages.
PREFIX ?= /usr/local
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# A Debian package in $(BUILD_DIR)/, its dependencies from dpkg-shlibdeps.
package: build
	cd $(BUILD_DIR) && cpack -G DEB

# ripgrep is a peer in the tables, not a need of the build: installed here only.
bench: build
	@command -v rg >/dev/null 2>&1 || { s=""; [ "$$(id -u)" -ne 0 ] && s=sudo; \
		DEBIAN_FRONTEND=noninteractive $$s apt-get install -y --no-install-recommends ripgrep \
		|| echo "ripgrep could not be installed: its rows are left out"; }
	bench/compare $(BUILD_DIR) BENCHMARKS.md
	bench/replay-every-bar $(BUILD_DIR) BENCHMARKS.md
	bench/market $(BUILD_DIR) BENCHMARKS.md

# The window's start-up against a hostile notice server, under Xvfb (installed here).
bench-startup: deps
	bench/startup

# The whole test suite again, under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DMORVANE_SANITIZE=ON -DMORVANE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-sanitize
	cd build-sanitize && ctest --output-on-failure -j2

# libFuzzer: each target for FUZZ_SECONDS, from the committed seeds; findings land in
# build-fuzz/artifacts/ and new inputs in build-fuzz/corpus/.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = listfile notice check decode formula http bars eval replay

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_FUZZ=ON
	cmake --build build-fuzz

fuzz: fuzz-build
	@mkdir -p build-fuzz/artifacts
	@for t in $(FUZZ_TARGETS); do \
		mkdir -p build-fuzz/corpus/$$t; \
		echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
		./build-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -timeout=20 \
			-rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/$$t- \
			build-fuzz/corpus/$$t fuzz/corpus/$$t 2>&1 | grep -E '^(#|stat::|==|INFO: seed)|ERROR|SUMMARY|Done' | tail -n 12; \
		test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

# Windows: morvane.exe and morvane-check.exe cross-built against a static Qt (built once into
# ~/.cache/morvane by scripts/build-qt-windows), then build-windows/morvane-<version>-win64.zip.
WIN_BUILD_DIR ?= build-windows

windows:
	WIN_BUILD_DIR=$(WIN_BUILD_DIR) scripts/build-windows

# The suites under Wine, morvane.exe's window on Xvfb, morvane-check.exe against the Linux build.
test-windows: windows build
	WIN_BUILD_DIR=$(WIN_BUILD_DIR) BUILD_DIR=$(BUILD_DIR) scripts/test-windows

# Every C++ file git knows, against .clang-format.
FORMAT_FILES = $$(git ls-files '*.cpp' '*.h')

format:
	clang-format -i $(FORMAT_FILES)

format-check: deps
	clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf $(BUILD_DIR) build-sanitize build-fuzz $(WIN_BUILD_DIR)
