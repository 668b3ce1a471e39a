# The updater images, checked statically (the 32-bit one cannot run here),
# then the end-to-end scenarios: the 64-bit updater under Wine in a virtual display,
# played by tests/e2e's driver. The driver runs twice, because a Wine process
# takes its ANSI code page from the locale it is started in: every scenario
# with the Japanese code page (932), then the code-page scenarios again with
# the default one (1252). A crash never waits for a debugger.
# KZP_E2E_WAIT_FACTOR stretches every wait of the driver on a busy machine.

.PHONY: test-e2e
TEST_STEPS += test-e2e

E2E_DRIVER := $(BUILD)/win64/tests/e2e/kzp_e2e.exe
E2E_WINE := env WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d" $(CURDIR)/scripts/wine-run
E2E_DISPLAY := xvfb-run -a -s "-screen 0 1024x768x24"

test-e2e: native win32 win64 $(WINE_READY)
	@echo "== updater images: size, padding, imports, resources"
	@bash tests/e2e/check_image.sh $(BUILD)/win32/kzpupdater.exe i386
	@bash tests/e2e/check_image.sh $(BUILD)/win64/kzpupdater.exe x86-64
	@bash tests/e2e/no_window.sh $(BUILD)/native/kzp $(BUILD)/win64/kzpupdater.exe
	@echo "== end-to-end scenarios, the Windows 64-bit updater under Wine"
	@$(E2E_DISPLAY) sh -c '\
	  LC_ALL=ja_JP.UTF-8 $(E2E_WINE) $(E2E_DRIVER) --gtest_brief=1 && \
	  LC_ALL=C $(E2E_WINE) $(E2E_DRIVER) --gtest_brief=1 --gtest_filter="CodePageScenario.*"'
