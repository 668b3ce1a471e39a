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

# One factor for every wait of the end-to-end player: how much slower than on
# an idle host this machine runs Wine now. A busy host slows the emulated
# processors, and all of Wine with them. The calibration is the first two
# starts of Wine's command interpreter after the machine has booted (the
# first brings up the Wine server), timed against REFERENCE seconds. That
# figure was measured by booting this machine with the calibration alone at
# the host's highest scheduling priority (nice -19, standing in for an idle
# host; the 2-core host was shared with other jobs at a load of 2 to 5): 44
# to 76 s over six trials, median 52.5; at ordinary priority on the same host
# 57 to 70 s. The factor is never below 1; one given to make test-win32 (the
# file e2e-wait-factor) is taken as it is.
REFERENCE=55
if [ -s e2e-wait-factor ]; then
    KZP_E2E_WAIT_FACTOR=$(cat e2e-wait-factor)
    echo "== wait factor given: $KZP_E2E_WAIT_FACTOR"
else
    begin=$(date +%s.%N)
    for _ in 1 2; do "$wine" cmd /c exit > /dev/null 2>&1; done
    end=$(date +%s.%N)
    # The scenarios start a server of their own inside the virtual display.
    wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
    took=$(awk -v b="$begin" -v e="$end" 'BEGIN { printf "%.1f", e - b }')
    KZP_E2E_WAIT_FACTOR=$(awk -v took="$took" -v reference="$REFERENCE" 'BEGIN {
        factor = took / reference
        if (factor < 1) factor = 1
        printf "%.1f", int(factor * 10 + 0.999) / 10 }')
    echo "== calibration: two starts of Wine took $took s ($REFERENCE s on an idle host):" \
        "wait factor $KZP_E2E_WAIT_FACTOR"
fi
export KZP_E2E_WAIT_FACTOR

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
