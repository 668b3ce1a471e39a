# Releases: the kzp command built for speed (the developers' build above is
# a debug build with sanitizers), installed or packed into archives.
#
#   make install PREFIX=/opt/kzp   PREFIX/bin/kzp, the 32-bit updater image in
#                                  PREFIX/share/kzp (where the installed kzp
#                                  looks for it), PREFIX/share/man/man1/kzp.1
#   make dist                      dist/kzp-VERSION-linux-x86_64.tar.gz,
#                                  dist/kzp-VERSION-windows-x64.zip and
#                                  dist/SHA256SUMS; the same commit gives the
#                                  same bytes
#
# Release builds hold no path of the building machine (see CMakeLists.txt),
# so the updater image kzp falls back on in the tree is left out of them.

.PHONY: install dist updater-image release-native release-win64

PREFIX ?= /usr/local
RELEASE_OPTIONS := -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DKZP_TESTS=OFF -DKZP_TREE_UPDATER_IMAGE=
UPDATER_IMAGE := $(CURDIR)/$(BUILD)/win32/kzpupdater.exe

# Only the updater of the 32-bit build: the image that ships.
updater-image: deps
	@$(WIN32_CONFIGURE)
	@ninja -C $(BUILD)/win32 -j $(JOBS) --quiet kzpupdater

# The C++ runtime is linked in, so that the program runs on other
# distributions than the one it was built on.
release-native: deps updater-image
	@$(CMAKE) -S . -B $(BUILD)/release $(RELEASE_OPTIONS) \
	  -DCMAKE_EXE_LINKER_FLAGS="-static-libstdc++ -static-libgcc" \
	  -DKZP_UPDATER_IMAGE=$(UPDATER_IMAGE) >/dev/null
	@ninja -C $(BUILD)/release -j $(JOBS) --quiet kzp

release-win64: deps
	@$(CMAKE) -S . -B $(BUILD)/release-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake \
	  $(RELEASE_OPTIONS) >/dev/null
	@ninja -C $(BUILD)/release-win64 -j $(JOBS) --quiet kzp

install: release-native
	@cmake --install $(BUILD)/release --prefix $(PREFIX)
	@echo "installed: $(PREFIX)/bin/kzp ($$($(PREFIX)/bin/kzp --version))"

dist: release-native release-win64
	@bash scripts/dist.sh $(BUILD)
