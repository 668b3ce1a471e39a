#!/usr/bin/env bash
# Makes the Wine prefix ($WINEPREFIX) in which the tests and the demo show the
# updater's windows, or brings an existing one up to date: started once, and
# given the fonts a Windows system would have for the faces the updater asks
# for. Quick when the prefix is already up to date (a stamp in the prefix,
# newer than this script, says so).
#
#   WINEPREFIX=... scripts/wine-prefix.sh      (WINE names another wine64)
set -euo pipefail
wine=${WINE:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver
prefix=${WINEPREFIX:?WINEPREFIX names the prefix}
stamp=$prefix/kzp-prefix.stamp

if [ -f "$stamp" ] && [ "$stamp" -nt "$0" ]; then
  exit 0
fi

if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  "$wine" wineboot --init >/dev/null 2>&1 || true
  "$wineserver" -w || true
fi

# The dialog templates and the built-in texts ask for "ＭＳ Ｐゴシック", a
# proportional face. Wine has no such font and falls back on a monospaced one
# (IPA Gothic), in which Japanese texts come out wider than on Windows. Wine's
# replacement list gives the missing faces the IPA fonts that match them
# (fonts-ipafont-gothic): the proportional one for the P faces, the
# monospaced one for the others; under their Japanese and their English
# names, as Windows knows them. The names are passed as UTF-8, so Wine reads
# its arguments in a UTF-8 locale.
replace() {
  LC_ALL=C.UTF-8 "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' \
    /v "$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1
}
replace 'ＭＳ Ｐゴシック' IPAPGothic
replace 'MS PGothic' IPAPGothic
replace 'ＭＳ ゴシック' IPAGothic
replace 'MS Gothic' IPAGothic

# Wine draws the caption buttons with its Marlett font (package fonts-wine).
# This Wine does not load the fonts of its own data folder, so the font goes
# where Windows keeps fonts; without it the buttons show the letters 0 1 r.
mkdir -p "$prefix/drive_c/windows/Fonts"
cp -n /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true

"$wineserver" -w || true
touch "$stamp"
