# kzp: build and test from one tree.
#
#   make test    install what is missing, build all three builds, run every suite
#   make build   the native build, the Windows 32-bit and 64-bit builds
#   make clean

.PHONY: all deps build native win32 win64 test test-native test-win64 clean

BUILD   := build
JOBS    ?= $(shell nproc)
CMAKE   := cmake -G Ninja -Wno-dev
export WINEPREFIX ?= $(CURDIR)/$(BUILD)/wineprefix
export WINEDEBUG ?= -all

all: build

deps:
	@bash scripts/install-deps.sh

build: native win32 win64

native: deps
	@$(CMAKE) -S . -B $(BUILD)/native -DCMAKE_BUILD_TYPE=Debug -DKZP_SANITIZE=ON >/dev/null
	@ninja -C $(BUILD)/native -j $(JOBS) --quiet

win32: deps
	@$(CMAKE) -S . -B $(BUILD)/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw32.cmake \
	  -DCMAKE_BUILD_TYPE=MinSizeRel -DKZP_TESTS=OFF >/dev/null
	@ninja -C $(BUILD)/win32 -j $(JOBS) --quiet

win64: deps
	@$(CMAKE) -S . -B $(BUILD)/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake \
	  -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
	@ninja -C $(BUILD)/win64 -j $(JOBS) --quiet

$(WINEPREFIX)/system.reg:
	@mkdir -p $(WINEPREFIX)
	@/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
	@/usr/lib/wine/wineserver -w || true

test: build $(WINEPREFIX)/system.reg
	@echo "== native suites (AddressSanitizer, UndefinedBehaviorSanitizer)"
	@cd $(BUILD)/native && ctest --output-on-failure
	@echo "== Windows 64-bit suites under Wine"
	@cd $(BUILD)/win64 && ctest --output-on-failure

clean:
	rm -rf $(BUILD)
