# Releases: the kzp command built for speed (the developers' build above is
# a debug build with sanitizers), installed or packed into archives.
#
#   make install PREFIX=/opt/kzp   PREFIX/bin/kzp, the 32-bit updater image in
#                                  PREFIX/share/kzp (where the installed kzp
#                                  looks for it), PREFIX/share/man/man1/kzp.1
#
# The updater image kzp falls back on in the tree is left out of release
# builds: it would not exist where they run.

.PHONY: install updater-image release-native

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

install: release-native
	@cmake --install $(BUILD)/release --prefix $(PREFIX)
	@echo "installed: $(PREFIX)/bin/kzp ($$($(PREFIX)/bin/kzp --version))"
