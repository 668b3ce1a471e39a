#!/usr/bin/env bash
# The Windows builds under Wine: the console kzp.exe makes an updater from
# two folders, the 64-bit updater applies it (unsigned and signed with
# osslsigncode), and kzp.exe applies and inspects it too; kzp.exe release
# makes one updater per old release and kzp.exe identify tells them apart.
# Usage: wine_test.sh KZP.EXE KZPUPDATER.EXE
set -euo pipefail

kzp=$(realpath "$1")
updater=$(realpath "$2")
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$(mktemp -d)/prefix}
wine=/usr/lib/wine/wine64
work=$(mktemp -d /tmp/kzp-wine.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
win() { echo "Z:${1//\//\\}"; }  # a host path as Wine names it

mkdir -p old/bin new/bin new/data/sub
head -c 200000 /dev/urandom > old/bin/app.dat
{ head -c 90000 old/bin/app.dat; printf 'new text'; tail -c +90001 old/bin/app.dat; } > new/bin/app.dat
printf 'bye' > old/bin/gone.txt
head -c 3000 /dev/urandom > new/data/sub/added.bin
touch -d '2025-01-02 03:04:05' new/bin/app.dat new/data/sub/added.bin

same_tree() {
    diff -r --exclude='*.old' "$1" "$2" >/dev/null || return 1
    for f in bin/app.dat data/sub/added.bin; do
        [ "$(stat -c %Y "$1/$f")" = "$(stat -c %Y "$2/$f")" ] || return 1
    done
}

# kzp.exe makes the updater with the 64-bit image; the folder is given as
# a complete path, so the updater asks nothing with -F.
$wine "$kzp" make "$(win "$work/old")" "$(win "$work/new")" -o "$(win "$work/update.exe")" \
    --stub "$(win "$updater")" --title Demo --old-version 1.0 --new-version 1.1 \
    --target-folder none "$(win "$work/target")" -q > make.txt || { cat make.txt; fail "kzp.exe make"; }
[ $(( $(stat -c %s update.exe) % 8 )) = 0 ] || fail "not a multiple of 8 bytes"
$wine "$kzp" info "$(win "$work/update.exe")" > info.txt || { cat info.txt; fail "kzp.exe info"; }
grep -q "trailer         matches" info.txt || fail "info: $(cat info.txt)"

# A wineserver started by a console program has no display; GUI programs
# must start a fresh one inside the virtual display.
settle() { /usr/lib/wine/wineserver -w || true; }
# Three minutes for a run, stretched on a slow machine by the end-to-end
# player's factor for its waits.
run_limit=$(awk -v factor="${KZP_E2E_WAIT_FACTOR:-1}" \
    'BEGIN { if (factor + 0 <= 0) factor = 1; printf "%d", 180 * factor + 0.999 }')
run_updater() {  # file
    rm -rf target && cp -a old target
    settle
    set +e
    timeout "$run_limit" xvfb-run -a -s "-screen 0 1024x768x24" "$wine" "$1" -F >/dev/null 2>&1
    local code=$?
    set -e
    [ "$code" = 0 ] || fail "$1 exited $code"
    same_tree new target || { diff -r new target; ls -la --time-style=full-iso new/bin target/bin; fail "$1 did not make old into new"; }
}
run_updater update.exe

openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=kzp-test -days 2 -keyout key.pem -out cert.pem \
    >/dev/null 2>&1
osslsigncode sign -certs cert.pem -key key.pem -n Demo -in update.exe -out signed.exe >/dev/null
run_updater signed.exe
# kzp.exe applies the signed updater as well.
settle
rm -rf target && cp -a old target
$wine "$kzp" apply "$(win "$work/signed.exe")" --yes -q > apply.txt || { cat apply.txt; fail "kzp.exe apply"; }
grep -q "result 0, exit code 0" apply.txt || fail "kzp.exe apply: $(cat apply.txt)"
same_tree new target || fail "kzp.exe apply did not make old into new"
# A compact updater from kzp.exe, applied by kzp.exe and by the updater itself.
settle
$wine "$kzp" make "$(win "$work/old")" "$(win "$work/new")" -o "$(win "$work/compact.exe")" \
    --stub "$(win "$updater")" --title Demo --old-version 1.0 --new-version 1.1 --compact \
    --target-folder none "$(win "$work/target")" -q > make.txt || { cat make.txt; fail "kzp.exe make --compact"; }
rm -rf target && cp -a old target
$wine "$kzp" apply "$(win "$work/compact.exe")" --yes -q > apply.txt || { cat apply.txt; fail "kzp.exe apply, compact"; }
same_tree new target || fail "kzp.exe apply of a compact updater did not make old into new"
run_updater compact.exe
# A signed file whose package was damaged is refused (the updater's window
# would wait for a click there) and nothing changes.
cp signed.exe damaged.exe
printf '\x01' | dd of=damaged.exe bs=1 seek=$(( 98304 + 200 )) conv=notrunc status=none
rm -rf target && cp -a old target
set +e; $wine "$kzp" apply "$(win "$work/damaged.exe")" --yes -q > apply.txt; code=$?; set -e
[ "$code" = 255 ] && grep -q "result 0x10010" apply.txt || fail "damaged: $code $(cat apply.txt)"
diff -r old target >/dev/null || fail "a damaged updater changed the folder"
# kzp.exe release: one updater per old release (1.0, and a 1.0a whose
# gone.txt differs), each identified by its folder and applied to it.
cp -a old olda && printf ' for good' >> olda/bin/gone.txt
$wine "$kzp" release "$(win "$work/new")" --old "$(win "$work/old")=1.0" \
    --old "$(win "$work/olda")=1.0a" --title Demo --new-version 1.1 -o "$(win "$work/rel")" \
    --stub "$(win "$updater")" --jobs 2 > release.txt || { cat release.txt; fail "kzp.exe release"; }
[ -f rel/Demo-1.0-to-1.1.exe ] && [ -f rel/Demo-1.0a-to-1.1.exe ] && grep -q "new release as .zip" release.txt ||
    fail "release: $(ls rel) $(cat release.txt)"
for pair in old:1.0 olda:1.0a; do
    folder=${pair%%:*} version=${pair#*:}
    $wine "$kzp" identify "$(win "$work/$folder")" --release "$(win "$work/rel/release.json")" > identify.txt ||
        fail "identify $folder: $(cat identify.txt)"
    head -n 1 identify.txt | grep -q "^fits: Demo-$version-to-1.1.exe" || fail "identify $folder: $(cat identify.txt)"
    settle
    rm -rf target && cp -a "$folder" target
    $wine "$kzp" apply "$(win "$work/rel/Demo-$version-to-1.1.exe")" --target "$(win "$work/target")" --yes -q \
        > apply.txt || fail "apply Demo-$version-to-1.1.exe: $(cat apply.txt)"
    same_tree new target || fail "Demo-$version-to-1.1.exe did not make $folder into new"
done
cp -a old changed && printf 'y' >> changed/bin/app.dat
set +e; $wine "$kzp" identify "$(win "$work/changed")" "$(win "$work/rel/Demo-1.0-to-1.1.exe")" \
    "$(win "$work/rel/Demo-1.0a-to-1.1.exe")" > identify.txt; code=$?; set -e
[ "$code" = 6 ] && grep -q "nearest: Demo-1.0-to-1.1.exe" identify.txt && grep -q 'bin\\app.dat' identify.txt ||
    fail "identify, changed folder: $code $(cat identify.txt)"
# kzp.exe recover refuses a folder that Windows cannot name in full: it
# must not take the root of the drive for it.
long="$work/target/$(printf 'd%.0s' {1..120})/$(printf 'e%.0s' {1..120})"
mkdir -p "$long"
set +e; $wine "$kzp" recover "$(win "$work/update.exe")" --target "$(win "$long")" --dry-run > recover.txt 2>&1
code=$?; set -e
[ "$code" = 1 ] && grep -q "cannot be used" recover.txt || fail "recover, long folder: $code $(cat recover.txt)"
echo "kzp under Wine: all passed"
