#!/usr/bin/env bash
# kzp make and kzp apply on real Windows programs, against xdelta3 on the same
# pairs in the same run. Pairs: esbuild.exe of @esbuild/win32-x64 0.28.1 ->
# 0.28.2 (A) and 0.27.4 -> 0.28.2 (B), fetched with npm pack.
#
# Usage: bench/kzp_esbuild.sh KZP STUB [WORK]
#   KZP   a release build of kzp (static, so that its memory is its own)
#   STUB  the 32-bit updater image the updaters are made with
set -euo pipefail

kzp=$(realpath "$1")
stub=$(realpath "$2")
here=$(cd "$(dirname "$0")/.." && pwd)
work=${3:-$here/build/kzp-bench/work}
mkdir -p "$work"
cd "$work"

command -v npm >/dev/null || { echo "npm is needed to fetch the esbuild packages"; exit 1; }
fetch() {  # version
    local v=$1
    if [ ! -f "esbuild-$v.exe" ]; then
        npm pack --silent "@esbuild/win32-x64@$v" >/dev/null
        mkdir -p "x-$v" && tar -xzf "esbuild-win32-x64-$v.tgz" -C "x-$v"
        cp "x-$v/package/esbuild.exe" "esbuild-$v.exe"
    fi
}
for v in 0.27.4 0.28.1 0.28.2; do fetch "$v"; done

# Runs a command and sets $w (wall seconds), $c (user + system seconds) and
# $k (peak resident KiB).
measure_once() {
    /usr/bin/time -f "%e %U %S %M" -o time.txt "$@" >/dev/null
    read -r w u s k < time.txt
    c=$(python3 -c "print(f'{$u + $s:.2f}')")
}
# Keeps the smaller times and the larger memory over runs in $secs $cpu $kib.
keep_best() {
    if [ -z "$secs" ] || python3 -c "import sys; sys.exit(0 if $w < $secs else 1)"; then secs=$w; fi
    if [ -z "$cpu" ] || python3 -c "import sys; sys.exit(0 if $c < $cpu else 1)"; then cpu=$c; fi
    [ "$k" -gt "$kib" ] && kib=$k || true
}
# Runs a command twice. The machine is shared, so the checks use the
# processor time; wall times are printed too.
measure() {
    secs= cpu= kib=0
    for _ in 1 2; do measure_once "$@"; keep_best; done
}
ratio() { python3 -c "print(f'{$1/$2:.3f}')"; }
size() { stat -c %s "$1"; }

export WINEPREFIX=${WINEPREFIX:-$here/build/kzp-bench/wineprefix}
export WINEDEBUG=-all
wine_ready=0
if [ -x /usr/lib/wine/wine64 ] && command -v x86_64-w64-mingw32-gcc-win32 >/dev/null; then
    mkdir -p "$WINEPREFIX"
    [ -f "$WINEPREFIX/system.reg" ] || /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w || true
    # Go programs load bcryptprimitives.dll from system32, which Wine 8 lacks.
    shim=$WINEPREFIX/drive_c/windows/system32/bcryptprimitives.dll
    if [ ! -f "$shim" ]; then
        x86_64-w64-mingw32-gcc-win32 -O2 -shared -o "$shim" "$here/bench/wine/bcryptprimitives.c" -ladvapi32
    fi
    wine_ready=1
fi

# A missed target is a figure to report, not a failure; a wrong result is.
failed=0
check() {  # label ok-expression
    if python3 -c "import sys; sys.exit(0 if $2 else 1)"; then echo "  ok    $1"; else echo "  MISSED $1"; fi
}
must() {  # label ok-expression
    if python3 -c "import sys; sys.exit(0 if $2 else 1)"; then echo "  ok    $1"; else echo "  FAILED $1"; failed=1; fi
}

for pair in "A 0.28.1" "B 0.27.4"; do
    set -- $pair
    name=$1 from=$2 to=0.28.2
    rm -rf "$name" && mkdir -p "$name/old" "$name/new"
    cp "esbuild-$from.exe" "$name/old/esbuild.exe"
    cp "esbuild-$to.exe" "$name/new/esbuild.exe"
    old=$name/old/esbuild.exe new=$name/new/esbuild.exe

    measure xdelta3 -e -9 -S none -f -s "$old" "$new" "$name/none.vcd"
    xd_time=$secs xd_cpu=$cpu xd_kib=$kib
    measure xdelta3 -e -9 -S lzma -f -s "$old" "$new" "$name/lzma.vcd"
    measure "$kzp" make "$name/old" "$name/new" -o "$name/update.exe" --stub "$stub" -q
    make_time=$secs make_cpu=$cpu make_kib=$kib
    package=$(( $(size "$name/update.exe") - 98304 ))
    zstd -19 --long=27 -q -f "$name/update.exe" -o "$name/update.exe.zst"

    measure xdelta3 -d -f -s "$old" "$name/none.vcd" "$name/xdelta-out.exe"
    xdd_time=$secs xdd_cpu=$cpu xdd_kib=$kib
    # Each run starts from the old folder again.
    secs= cpu= kib=0
    for _ in 1 2; do
        rm -rf "$name/target" && cp -a "$name/old" "$name/target"
        measure_once "$kzp" apply "$name/update.exe" --target "$name/target" --yes -q
        keep_best
    done
    apply_time=$secs apply_cpu=$cpu apply_kib=$kib
    cmp -s "$name/target/esbuild.exe" "$new" || { echo "pair $name: the applied file differs"; failed=1; }

    echo "== pair $name: esbuild.exe $from -> $to ($(size "$old") -> $(size "$new") bytes)"
    printf '  %-34s %10s bytes   xdelta3 -9 -S none %10s   ratio %s\n' "package (uncompressed)" \
        "$package" "$(size "$name/none.vcd")" "$(ratio "$package" "$(size "$name/none.vcd")")"
    printf '  %-34s %10s bytes   xdelta3 -9 -S lzma %10s   ratio %s\n' "updater, zstd -19 --long=27" \
        "$(size "$name/update.exe.zst")" "$(size "$name/lzma.vcd")" \
        "$(ratio "$(size "$name/update.exe.zst")" "$(size "$name/lzma.vcd")")"
    printf '  %-22s cpu %5s s wall %5s s %7s KiB | xdelta3 -e -9 cpu %5s s wall %5s s %7s KiB | ratio cpu %s wall %s\n' \
        "kzp make" "$make_cpu" "$make_time" "$make_kib" "$xd_cpu" "$xd_time" "$xd_kib" \
        "$(ratio "$make_cpu" "$xd_cpu")" "$(ratio "$make_time" "$xd_time")"
    printf '  %-22s cpu %5s s wall %5s s %7s KiB | xdelta3 -d    cpu %5s s wall %5s s %7s KiB | ratio cpu %s wall %s\n' \
        "kzp apply" "$apply_cpu" "$apply_time" "$apply_kib" "$xdd_cpu" "$xdd_time" "$xdd_kib" \
        "$(ratio "$apply_cpu" "$xdd_cpu")" "$(ratio "$apply_time" "$xdd_time")"
    check "package <= 0.9 x xdelta3 -S none" "$package <= 0.9 * $(size "$name/none.vcd")"
    check "zstd'd updater <= xdelta3 -S lzma" "$(size "$name/update.exe.zst") <= $(size "$name/lzma.vcd")"
    check "kzp make time <= xdelta3 -9 time (processor)" "$make_cpu <= $xd_cpu"
    if [ "$name" = A ]; then
        check "kzp apply time <= 0.5 x xdelta3 -d (processor)" "$apply_cpu <= 0.5 * $xdd_cpu"
        check "kzp apply peak memory < 4 MiB" "$apply_kib < 4096"
    fi
    if [ $wine_ready = 1 ]; then
        version=$(/usr/lib/wine/wine64 "$name/target/esbuild.exe" --version 2>/dev/null | tr -d '\r' || true)
        must "patched esbuild.exe --version under wine64 prints $to ($version)" "'$version' == '$to'"
    fi
done
exit $failed
