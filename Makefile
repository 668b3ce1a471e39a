# kzp: build and test from one tree.
#
#   make test    install what is missing, build all three builds, run every suite
#   make build   the native build and the Windows 32-bit and 64-bit builds
#   make install PREFIX=/opt/kzp, make dist   releases (mk/release.mk)
#   make clean
#
# Suites and jobs beyond the unit suites live in mk/*.mk; each adds its test
# step to TEST_STEPS.

.PHONY: all deps build native win32 win64 test test-unit clean

BUILD   := build
JOBS    ?= $(shell nproc)
CMAKE   := cmake -G Ninja -Wno-dev
export WINEPREFIX ?= $(CURDIR)/$(BUILD)/wineprefix
export WINEDEBUG ?= -all
WINE_READY := $(WINEPREFIX)/kzp-prefix.stamp

TEST_STEPS :=

all: build

deps:
	@bash scripts/install-deps.sh

build: native win32 win64

native: deps
	@$(CMAKE) -S . -B $(BUILD)/native -DCMAKE_BUILD_TYPE=Debug -DKZP_SANITIZE=ON >/dev/null
	@ninja -C $(BUILD)/native -j $(JOBS) --quiet

WIN32_CONFIGURE = $(CMAKE) -S . -B $(BUILD)/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw32.cmake \
	  -DCMAKE_BUILD_TYPE=MinSizeRel -DKZP_TESTS=OFF >/dev/null

win32: deps
	@$(WIN32_CONFIGURE)
	@ninja -C $(BUILD)/win32 -j $(JOBS) --quiet

win64: deps
	@$(CMAKE) -S . -B $(BUILD)/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake \
	  -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
	@ninja -C $(BUILD)/win64 -j $(JOBS) --quiet

# A Wine prefix for the whole run (its first start takes a while), with the
# fonts the updater's windows ask for; made again when the recipe changes.
$(WINE_READY): scripts/wine-prefix.sh
	@bash scripts/wine-prefix.sh

test-unit: build $(WINE_READY)
	@echo "== unit suite, native (AddressSanitizer, UndefinedBehaviorSanitizer)"
	@cd $(BUILD)/native && ctest --output-on-failure
	@echo "== unit suite, Windows 64-bit under Wine"
	@cd $(BUILD)/win64 && ctest --output-on-failure

-include $(sort $(wildcard mk/*.mk))

test: test-unit $(TEST_STEPS)
	@echo "== all suites passed"

clean:
	rm -rf $(BUILD)
