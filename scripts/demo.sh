#!/usr/bin/env bash
# The demo: makes an update from examples/old and examples/new with `kzp
# make`, applies it with the real updater (the 64-bit build, under Wine in a
# virtual desktop) to a copy of examples/old, prints the updater's log,
# checks that the copy now equals examples/new and saves a screenshot of the
# finished window as demo/kzpupdater.png.
#
#   scripts/demo.sh [BUILD]      (after `make build BUILD=...`)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$(realpath -m -- "${1:-build}")
work=$build/demo
signal=$work/signal
shot=$root/demo/kzpupdater.png

# Windows path of a host path under Wine (drive Z: is the host root).
winpath() { printf 'Z:%s' "$(realpath -m -- "$1" | tr / '\\')"; }

export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d"

if [ "${1:-}" = "--inside-display" ]; then
  # Runs inside the virtual display: the updater in a Wine virtual desktop
  # (so it gets a frame and a caption), played by the demo player.
  shift
  build=$1 work=$2 signal=$3 shot=$4
  LC_ALL=ja_JP.UTF-8 /usr/lib/wine/wine64 explorer /desktop=kzp,800x600 \
    "$(winpath "$build/win64/tests/e2e/kzp_demo_player.exe")" \
    "$(winpath "$work/kzpupdate.exe")" "$(winpath "$signal")" &
  player=$!
  for _ in $(seq 1 600); do
    [ -s "$signal/window.txt" ] || [ -s "$signal/failure.txt" ] && break
    sleep 0.2
  done
  if [ -s "$signal/window.txt" ]; then
    read -r x y w h < "$signal/window.txt"
    sleep 1  # let the last lines be drawn
    mkdir -p "$(dirname "$shot")"
    import -window root -crop "${w}x${h}+${x}+${y}" +repage "$shot"
    touch "$signal/shot-done"
  fi
  # The player writes exit.txt once the updater has ended; the virtual
  # desktop then closes by itself. Whatever hangs is ended after two minutes.
  for _ in $(seq 1 600); do
    [ -s "$signal/exit.txt" ] || [ -s "$signal/failure.txt" ] && break
    sleep 0.2
  done
  for _ in $(seq 1 100); do
    kill -0 "$player" 2>/dev/null || break
    sleep 0.2
  done
  timeout 20 /usr/lib/wine/wineserver -w 2>/dev/null || /usr/lib/wine/wineserver -k 2>/dev/null || true
  exit 0
fi

rm -rf "$work"
mkdir -p "$signal"
cp -r examples/old "$work/app"

echo "== making the update: kzp make examples/old examples/new"
"$build/native/kzp" make examples/old examples/new \
  --stub "$build/win64/kzpupdater.exe" -o "$work/kzpupdate.exe" \
  --title "Sample Notes" --old-version 1.0 --new-version 1.1 --copyright "(c) kzp demo" \
  --target-folder none "$(winpath "$work/app")"

echo "== applying it with the updater under Wine (a copy of examples/old in $work/app)"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver -w || true
fi
xvfb-run -a -s "-screen 0 800x600x24" \
  bash "$root/scripts/demo.sh" --inside-display "$build" "$work" "$signal" "$shot" 2>/dev/null

if [ -s "$signal/failure.txt" ]; then
  echo "the demo run failed:"
  cat "$signal/failure.txt"
  exit 1
fi
echo "== the updater's log"
sed 's/^/  /' "$signal/log.txt"
echo "== exit code of the updater: $(cat "$signal/exit.txt" 2>/dev/null || echo none)"
[ "$(cat "$signal/exit.txt" 2>/dev/null)" = "0" ] || { echo "the updater did not succeed"; exit 1; }

echo "== checking the folder against examples/new"
if diff -r examples/new "$work/app"; then
  echo "OK: $work/app now equals examples/new, byte for byte (no backups left)"
else
  echo "the updated folder differs from examples/new"
  exit 1
fi
echo "== screenshot of the finished window: demo/kzpupdater.png"
