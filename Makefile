# Thin wrapper over CMake. `make run` and `make test` also install whatever
# Debian packages are missing.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
WERROR := $(if $(CI),ON,OFF)
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test test-asan bench format format-check clean

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DGLIMMER_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/glimmerfeld

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Unit tests under AddressSanitizer and UBSan, then the end-to-end tests
# against the sanitized program. Leaks inside system libraries are suppressed
# (tests/lsan.supp). The ring's early path is sampled in real time, which the
# unoptimised sanitized test itself is too slow for, so that one is left out.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DGLIMMER_SANITIZE=ON -DGLIMMER_WERROR=$(WERROR) \
	  -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -L unit
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -L e2e -E BallDriftsDownTheDiagonal

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

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
