# make test-win32: the 32-bit updater that ships, run for real. This machine
# runs no 32-bit code, so an emulated x86-64 machine (qemu, software
# emulation) boots a Debian 12 guest with 32-bit Wine, built on demand from
# the package mirror and kept in the cache (KZP_GUEST_CACHE, default
# ~/.cache/kzp/win32-guest); see tests/win32/. It plays the end-to-end
# scenarios with build/win32/kzpupdater.exe and makes, signs and applies an
# updater with kzp.exe. Too slow for make test: run it before every release
# and after changes to ui/, app/win32/ or platform/win32/.
#
#   make test-win32    KZP_E2E_FILTER / KZP_E2E_FILTER_1252 narrow the scenarios;
#                      KZP_E2E_WAIT_FACTOR replaces the factor the guest measures
#                      for the driver's waits

.PHONY: test-win32 win32-guest

win32-guest:
	@bash scripts/install-deps.sh guest
	@bash tests/win32/guest.sh >/dev/null

test-win32: win32-guest win32 win64
	@echo "== the Windows 32-bit updater in an emulated machine"
	@bash tests/win32/run.sh $(BUILD)
