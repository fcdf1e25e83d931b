# Thin wrapper over CMake. Each target first installs the Debian packages its
# purpose needs and that are missing (scripts/install-deps PURPOSE).
BUILD ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
WINDOWS_BUILD ?= build-windows
WEB_BUILD ?= build-web
BENCH_RUNS ?= 3
BENCH_SECONDS ?= 10
BENCH_SOAK ?= 60
BENCH_OUT ?= out/bench
JOBS ?= $(shell nproc)
WERROR := $(if $(CI),ON,OFF)
CMAKE_FLAGS ?=

.PHONY: all deps deps-run deps-test deps-format deps-bench deps-windows deps-web configure \
	build run test test-asan bench bench-build format format-check clean web

all: build

deps: deps-run

deps-run deps-test deps-format deps-bench deps-windows deps-web:
	@scripts/install-deps $(@:deps-%=%)

# SDL3 is the system's where it has 3.4 or later; elsewhere scripts/build-sdl3
# builds it once from Debian 13's sources and prints where it put it. SDL is
# looked for afresh at each configure (-U), so that a new build of it (new
# patches, a new version) replaces the one an existing build tree found.
configure: deps-run
	cmake -S . -B $(BUILD) -DGLIMMER_WERROR=$(WERROR) -DGLIMMER_WEB_BUILD=$(CURDIR)/$(WEB_BUILD) \
	  -DCMAKE_PREFIX_PATH="$$(scripts/build-sdl3 linux)" -USDL3_DIR $(CMAKE_FLAGS) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/glimmerfeld

# --no-tests=error: a build configured before GoogleTest was installed has none.
# Includes the Windows build under Wine (label `windows`), so it is made first,
# and the browser tests (label `browser`) on the pages of `make web`.
test: deps-test build windows-package web
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j $(JOBS)

# Unit tests under AddressSanitizer and UBSan, then the end-to-end tests
# against the sanitized program. Leaks inside system libraries are suppressed
# (tests/lsan.supp). The ball's early path, and the first frame under a window
# manager, are sampled in real time, which the unoptimised sanitized tests
# themselves are too slow for, so those two are left out.
test-asan: deps-test
	cmake -S . -B $(ASAN_BUILD) -DGLIMMER_SANITIZE=ON -DGLIMMER_WERROR=$(WERROR) \
	  -DGLIMMER_WINDOWS_TESTS=OFF -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_PREFIX_PATH="$$(scripts/build-sdl3 linux)" -USDL3_DIR >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -L unit
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -L e2e \
	  -E 'BallDriftsDownTheDiagonal|TheFirstSightIsTheBallOnBlack'

# Micro-benchmarks, then the whole program and its turned-down alternatives
# under a private Xvfb, then the desktop's layers against the window under
# headless sway; the figures of docs/PERFORMANCE.md. Needs `build` for
# the program as the user gets it and for xprobe, and `windows` for the
# Windows build measured under Wine beside it.
bench-build: deps-bench
	cmake -S . -B $(BENCH_BUILD) -DGLIMMER_BUILD_BENCH=ON -DGLIMMER_BUILD_TESTS=OFF \
	  -DCMAKE_BUILD_TYPE=Release -DGLIMMER_WERROR=$(WERROR) \
	  -DCMAKE_PREFIX_PATH="$$(scripts/build-sdl3 linux)" -USDL3_DIR >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)

bench: build bench-build windows
	@mkdir -p $(BENCH_OUT)
	XPROBE=$(BUILD)/xprobe scripts/with-private-xvfb $(BENCH_BUILD)/micro_bench --benchmark_repetitions=3 \
	  --benchmark_min_time=0.2 \
	  --benchmark_report_aggregates_only=true \
	  --benchmark_out=$(BENCH_OUT)/micro.json --benchmark_out_format=json
	scripts/measure-program --build $(BUILD) --bench-build $(BENCH_BUILD) --runs $(BENCH_RUNS) \
	  --seconds $(BENCH_SECONDS) --soak $(BENCH_SOAK) --windows-build $(WINDOWS_BUILD) \
	  --json $(BENCH_OUT)/program.json
	scripts/measure-layers --build $(BUILD) --runs $(BENCH_RUNS) --seconds $(BENCH_SECONDS) \
	  --json $(BENCH_OUT)/layers.json

# The browser version: $(WEB_BUILD)/index.html, to open from disk, and
# $(WEB_BUILD)/site/, the folder to publish (page, manifest, service worker, icons).
web:
	WERROR=$(WERROR) JOBS=$(JOBS) scripts/build-web $(WEB_BUILD)

format: deps-format
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check: deps-format
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(BENCH_OUT) $(WINDOWS_BUILD) $(WEB_BUILD)

# Desktop integration and the Debian package.
.PHONY: package screenshot icons

# build/glimmerfeld_<version>_<arch>.deb
package: build
	cmake --build $(BUILD) --target package

# docs/screenshot.png, from the real program in a private X server.
screenshot: build
	scripts/screenshot.sh $(BUILD) docs/screenshot.png

# Redraws the committed icons under data/icons.
icons: build
	$(BUILD)/make_icon data/icons/hicolor

# Windows, cross-built here with mingw-w64 against a static SDL3 that
# scripts/build-sdl3 builds once from Debian 13's sources and caches
# (~/.cache/glimmerfeld). `make windows`: $(WINDOWS_BUILD)/glimmerfeld.exe and
# the cross-built tests; `make windows-package`: the installer and the ZIP.
.PHONY: windows windows-package

windows: deps-windows
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DSDL3_DIR=$$(scripts/build-sdl3 windows)/lib/cmake/SDL3 -DCMAKE_BUILD_TYPE=Release \
	  -DGLIMMER_WERROR=$(WERROR) >/dev/null
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

windows-package: windows
	cd $(WINDOWS_BUILD) && cpack -G "NSIS;ZIP" >/dev/null
	@ls -l $(WINDOWS_BUILD)/glimmerfeld-*-win64-setup.exe $(WINDOWS_BUILD)/glimmerfeld-*-win64.zip
