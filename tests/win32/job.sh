#!/usr/bin/env bash
# make test-win32, inside the emulated machine: the 32-bit updater image
# (build/win32/kzpupdater.exe) under 32-bit Wine, played by the end-to-end
# driver (the 64-bit build in build/win64), every scenario with the Japanese
# code page (932), then the code-page scenarios with the English one (1252);
# then kzp.exe makes an updater with the 32-bit image, which applies it
# unsigned and signed with osslsigncode. The folder is the worktree's, mounted
# at the same path as on the host, so the driver's built-in paths hold.
# The files e2e-filter and e2e-filter-1252 (GoogleTest filters) narrow the
# scenarios of each pass.
set -u
cd "$(dirname "$0")"
# The console is a terminal, on which Wine's console would draw: the output
# goes through a pipe.
exec > >(cat) 2>&1
export KZP_E2E_UPDATER=$PWD/build/win32/kzpupdater.exe
export WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d"
filter=$(cat e2e-filter 2>/dev/null || echo '*')
filter1252=$(cat e2e-filter-1252 2>/dev/null || echo 'CodePageScenario.*')
wine=/usr/lib/wine/wine64
failed=()
seconds() { date +%s; }

echo "== guest: $(uname -m), $(wine --version), $(nproc) CPU"
# The machine's prefix, with the fonts of the host's test prefix (the disk
# is a snapshot: this lasts for this run).
bash scripts/wine-prefix.sh
echo "== end-to-end scenarios, the Windows 32-bit updater under Wine (code page 932)"
start=$(seconds)
xvfb-run -a -s "-screen 0 1024x768x24" env LC_ALL=ja_JP.UTF-8 \
    "$wine" build/win64/tests/e2e/kzp_e2e.exe --gtest_brief=1 --gtest_filter="$filter" ||
    failed+=("scenarios, code page 932")
wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
echo "   ($(( $(seconds) - start )) s)"

echo "== the code-page scenarios again (code page 1252)"
start=$(seconds)
xvfb-run -a -s "-screen 0 1024x768x24" env LC_ALL=en_US.UTF-8 \
    "$wine" build/win64/tests/e2e/kzp_e2e.exe --gtest_brief=1 \
    --gtest_filter="$filter1252" ||
    failed+=("scenarios, code page 1252")
wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
echo "   ($(( $(seconds) - start )) s)"

echo "== kzp.exe make with the 32-bit image, unsigned and signed with osslsigncode"
start=$(seconds)
LC_ALL=en_US.UTF-8 bash tools/tests/wine_test.sh build/win64/kzp.exe "$KZP_E2E_UPDATER" ||
    failed+=("kzp make and osslsigncode")
echo "   ($(( $(seconds) - start )) s)"

if [ ${#failed[@]} -ne 0 ]; then
    printf 'FAILED: %s\n' "${failed[@]}"
    exit 1
fi
echo "== the 32-bit updater passed"
