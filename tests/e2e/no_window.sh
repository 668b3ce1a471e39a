#!/usr/bin/env bash
# Without a display the updater's window cannot come up. Nothing may be
# applied then, and the exit code must not claim success.
#   tests/e2e/no_window.sh <kzp tool> <64-bit updater image>
set -euo pipefail
kzp=$1
image=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/old" "$work/new" "$work/target"
printf 'version one\r\n' >"$work/old/a.txt"
printf 'version two\r\n' >"$work/new/a.txt"
cp "$work/old/a.txt" "$work/target/"
"$kzp" make "$work/old" "$work/new" -o "$work/update.exe" --stub "$image" \
  --target-folder none "Z:${work//\//\\}\\target" >/dev/null

here=$(cd "$(dirname "$0")/../.." && pwd)
status=0
(unset DISPLAY; timeout 120 "$here/scripts/wine-run" "$work/update.exe" -F) || status=$?
# The next runs use a display: let this wineserver go first.
/usr/lib/wine/wineserver -w || true
if [ "$status" -ne 255 ]; then
  echo "no window: exit code $status, expected 255" >&2
  exit 1
fi
if ! cmp -s "$work/old/a.txt" "$work/target/a.txt" || [ "$(ls "$work/target")" != "a.txt" ]; then
  echo "no window: the target folder changed" >&2
  exit 1
fi
echo "no window: exit code 255, folder unchanged"
