#!/usr/bin/env bash
# The demo: makes an update from examples/old and examples/new with `kzp
# make`, installs examples/old where an application lives (C:\Program
# Files\Sample Notes in the Wine prefix), applies the update there with the
# real updater (the 64-bit build, under Wine in a virtual desktop), prints
# the updater's log, checks that the folder now equals examples/new and saves
# a screenshot of the finished window. It does so twice: on a Japanese system
# (code page 932, the updater's own texts: demo/kzpupdater-ja.png) and on an
# English one (1252, the package's English block: demo/kzpupdater-en.png).
#
#   scripts/demo.sh [BUILD]      (after `make build BUILD=...`)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$(realpath -m -- "${1:-build}")
work=$build/demo

# Windows path of a host path under Wine: drive C: is the prefix's drive_c,
# drive Z: the host root.
winpath() {
  local path drive_c
  path=$(realpath -m -- "$1")
  drive_c=$(realpath -m -- "$WINEPREFIX/drive_c")
  case $path in
    "$drive_c"/*) printf 'C:%s' "${path#"$drive_c"}" | tr / '\\' ;;
    *) printf 'Z:%s' "$path" | tr / '\\' ;;
  esac
}

export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d"

if [ "${1:-}" = "--inside-display" ]; then
  # Runs inside the virtual display: the updater in a Wine virtual desktop
  # (so it gets a frame and a caption), played by the demo player.
  shift
  build=$1 updater=$2 signal=$3 shot=$4 locale=$5 close=$6
  LC_ALL=$locale /usr/lib/wine/wine64 explorer /desktop=kzp,800x600 \
    "$(winpath "$build/win64/tests/e2e/kzp_demo_player.exe")" \
    "$(winpath "$updater")" "$(winpath "$signal")" ${close:+"$close"} &
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

# The prefix with the fonts the updater's windows ask for.
bash "$root/scripts/wine-prefix.sh"
# Where a user would have the application and would have saved the update.
app="$WINEPREFIX/drive_c/Program Files/Sample Notes"
updater="$WINEPREFIX/drive_c/users/Public/Downloads/SampleNotes-1.1-update.exe"

rm -rf "$work"
mkdir -p "$work" "$(dirname "$updater")"
echo "== making the update: kzp make examples/old examples/new --compact"
"$build/native/kzp" make examples/old examples/new \
  --stub "$build/win64/kzpupdater.exe" -o "$updater" \
  --title "Sample Notes" --old-version 1.0 --new-version 1.1 --copyright "(c) kzp demo" \
  --target-folder program-files "Sample Notes" --compact

# One run of the updater on a fresh copy of examples/old: LANGUAGE names it,
# LOCALE sets the system's code page, CLOSE is the Close button's text in the
# language block that code page picks (empty: the updater's own).
run_updater() {
  local language=$1 locale=$2 close=${3:-}
  local signal=$work/signal-$language shot=$root/demo/kzpupdater-$language.png
  rm -rf "$app" && mkdir -p "$(dirname "$app")" "$signal" && cp -r examples/old "$app"
  echo "== applying it under Wine, $language texts (examples/old installed in C:\\Program Files\\Sample Notes)"
  xvfb-run -a -s "-screen 0 800x600x24" \
    bash "$root/scripts/demo.sh" --inside-display "$build" "$updater" "$signal" "$shot" "$locale" "$close" 2>/dev/null
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
  if diff -r examples/new "$app"; then
    echo "OK: C:\\Program Files\\Sample Notes now equals examples/new, byte for byte (no backups left)"
  else
    echo "the updated folder differs from examples/new"
    exit 1
  fi
  echo "== screenshot of the finished window: demo/kzpupdater-$language.png"
}

run_updater ja ja_JP.UTF-8
run_updater en en_US.UTF-8 '&Close'
