#!/usr/bin/env bash
# The kzp command as vendors and users run it: make, info and apply from the
# shell; passwords; hostile files; a signed updater. Usage: commands_test.sh KZP
set -euo pipefail

kzp=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
expect_code() {  # expected-code command...
    local want=$1; shift
    set +e; "$@" >out.txt 2>err.txt; local got=$?; set -e
    [ "$got" = "$want" ] || { cat out.txt err.txt >&2; fail "$* exited $got, expected $want"; }
}
# Same contents and the same last-write times (to 100 ns, as FILETIME keeps them).
same_tree() {
    python3 - "$1" "$2" <<'PY'
import os, sys, filecmp
a, b = sys.argv[1], sys.argv[2]
def files(root):
    out = {}
    for d, _, names in os.walk(root):
        for n in names:
            if n.endswith('.old'): continue
            p = os.path.join(d, n)
            out[os.path.relpath(p, root)] = p
    return out
fa, fb = files(a), files(b)
if fa.keys() != fb.keys(): sys.exit(f"names differ: {sorted(fa.keys() ^ fb.keys())}")
for k in fa:
    if not filecmp.cmp(fa[k], fb[k], shallow=False): sys.exit(f"{k}: contents differ")
    if os.stat(fa[k]).st_mtime_ns // 100 != os.stat(fb[k]).st_mtime_ns // 100: sys.exit(f"{k}: times differ")
PY
}

# A vendor's two releases.
mkdir -p old/bin old/doc new/bin new/doc new/plugins/extra
head -c 300000 /dev/urandom > old/bin/app.exe
{ head -c 120000 old/bin/app.exe; printf 'patched'; tail -c +120001 old/bin/app.exe; } > new/bin/app.exe
printf 'same\n' > old/doc/readme.txt; cp -p old/doc/readme.txt new/doc/readme.txt
printf 'obsolete' > old/bin/old.dll
head -c 5000 /dev/urandom > new/plugins/extra/plugin.dll
: > new/plugins/empty.cfg
touch -d '2024-05-06 07:08:09.1234567' new/bin/app.exe new/plugins/extra/plugin.dll

# The default image is the 32-bit updater of this tree; a plain stub works too.
stub="${KZP_STUB:-$repo/build/win32/kzpupdater.exe}"
if [ ! -f "$stub" ]; then
    printf 'MZ' > stub.exe
    stub=$work/stub.exe
fi
# Whether the image is a real program (signing and the 32-bit warnings need one).
real_image=false
if head -c 2 "$stub" | grep -q MZ && [ "$(stat -c %s "$stub")" -gt 1024 ]; then real_image=true; fi

cat > kzp.json <<'JSON'
{
  "title": "Demo", "oldVersion": "1.0", "newVersion": "1.1", "copyright": "(c) Vendor",
  "target": {"type": "folder", "base": "program-files", "path": "Vendor\\Demo"},
  "check": {"type": "program", "program": "demo.exe", "wait": "none"},
  "launch": "doc\\readme.txt"
}
JSON
expect_code 0 "$kzp" make old new -o update.exe --project kzp.json --stub "$stub"
grep -q "1 to update, 2 to add, 1 to delete, 1 unchanged" out.txt || fail "make summary: $(cat out.txt)"
[ $(( $(stat -c %s update.exe) % 8 )) = 0 ] || fail "the updater is not a multiple of 8 bytes"
# The real image is a 32-bit program: on 64-bit Windows it is given "Program
# Files (x86)" as the Program Files base, which make says once; a folder the
# 64-bit view names from the Windows drive draws no warning.
warnings=0
if $real_image; then
    warnings=1
    [ "$(grep -c '^kzp make: warning: the target folder starts at the Program Files folder' err.txt)" = 1 ] ||
        fail "no Program Files warning for a 32-bit image: $(cat err.txt)"
    expect_code 0 "$kzp" make old new -o drive.exe --project kzp.json --stub "$stub" \
        --target-folder windows-drive 'Program Files\Vendor\Demo'
fi
[ ! -s err.txt ] || fail "make wrote to standard error, which is not a terminal: $(cat err.txt)"

# The same inputs give the same updater, byte for byte; --json describes it
# and prints nothing else.
expect_code 0 "$kzp" make old new -o again.exe --project kzp.json --stub "$stub" --json
cmp update.exe again.exe || fail "the same inputs gave another updater"
python3 - out.txt again.exe "$warnings" <<'PY'
import hashlib, json, os, sys
j = json.load(open(sys.argv[1]))
assert len(j["warnings"]) == int(sys.argv[3]), j["warnings"]
data = open(sys.argv[2], 'rb').read()
assert j["updaterSize"] == len(data) and j["packageSize"] == len(data) - 0x18000, j
assert j["updaterMd5"] == hashlib.md5(data).hexdigest(), j["updaterMd5"]
assert j["packageMd5"] == data[-16:].hex() == hashlib.md5(data[0x18000:-16]).hexdigest(), j["packageMd5"]
footer = data[-36:-16]
assert footer[12:] == b"KZPRECV1" and j["recoverySize"] == 20 + int.from_bytes(footer[8:12], "little"), j
assert [(u["name"], u["oldSize"], u["newSize"]) for u in j["updates"]] == [("bin\\app.exe", 300000, 300007)], j
u = j["updates"][0]
assert u["copiedBytes"] + u["literalBytes"] == 300007 and u["literalBytes"] < 1000 and 0 < u["streamSize"] < 1000, u
assert sorted((a["name"], a["size"]) for a in j["adds"]) == [("plugins\\empty.cfg", 0), ("plugins\\extra\\plugin.dll", 5000)]
assert j["deletes"] == [{"name": "bin\\old.dll", "oldSize": 8}] and j["unchanged"] == 1, j
PY
# At a terminal, what is being worked on is shown on standard error.
if command -v script >/dev/null; then
    script -qec "$kzp make old new -o tty.exe --project kzp.json --stub $stub" /dev/null > tty.txt
    grep -q 'encoding bin.app.exe  300000 -> 300007 bytes' tty.txt || fail "no progress at a terminal: $(cat -v tty.txt)"
    cmp update.exe tty.exe || fail "the updater made at a terminal differs"
fi
# Installed: without --stub, kzp takes the image in share/kzp beside its bin folder.
mkdir -p installed/bin installed/share/kzp
cp "$kzp" installed/bin/kzp
printf 'MZinstalled image' > installed/share/kzp/kzpupdater.exe
expect_code 0 installed/bin/kzp make old new -o from-installed.exe -q
[ "$(head -c 17 from-installed.exe)" = "MZinstalled image" ] || fail "the installed image was not used"
[ "$("$kzp" --version)" = "kzp $(cat "$repo/VERSION")" ] || fail "kzp --version: $("$kzp" --version)"

expect_code 0 "$kzp" info update.exe --json
python3 - out.txt <<'PY'
import json, sys
j = json.load(open(sys.argv[1]))
assert j["title"] == "Demo" and j["oldVersion"] == "1.0" and j["newVersion"] == "1.1", j
assert j["target"] == {"type": "folder", "base": "program-files", "path": "Vendor\\Demo"}, j["target"]
assert j["check"]["program"] == "demo.exe" and j["launch"] == "doc\\readme.txt"
assert [l["codePage"] for l in j["languages"]] == [1252, 932]
assert [u["name"] for u in j["updates"]] == ["bin\\app.exe"]
assert j["updates"][0]["stream"]["wellFormed"] and j["updates"][0]["stream"]["newSize"] == 300007
assert sorted(a["name"] for a in j["adds"]) == ["plugins\\empty.cfg", "plugins\\extra\\plugin.dll"]
assert [d["name"] for d in j["deletes"]] == ["bin\\old.dll"]
assert j["trailer"]["matches"] and not j["problems"]
PY
expect_code 0 "$kzp" info update.exe
grep -q "trailer         matches" out.txt || fail "info text: $(cat out.txt)"

# A dry run changes nothing; the run makes old into new, times included.
cp -a old target
expect_code 0 "$kzp" apply update.exe --target target --dry-run
same_tree old target || fail "the dry run changed the folder"
expect_code 0 "$kzp" apply update.exe --target target --yes --keep-backups
grep -q "result 0, exit code 0" out.txt || fail "apply: $(cat out.txt)"
same_tree new target || fail "the applied folder differs from the new release"
[ -f target/bin/app.exe.1.0.old ] || fail "--keep-backups did not keep the backup"
# Applying again: the old files no longer match (MD5), exit 255, nothing changes.
expect_code 255 "$kzp" apply update.exe --target target --yes
grep -q "result 0x10009" out.txt || fail "second apply: $(cat out.txt)"
same_tree new target || fail "a refused run changed the folder"

# Matched in pieces (--memory 1: one MiB for a pair the exact matcher needs
# more for): the same summary, digests and unchanged files, the same result.
rm -rf target && cp -a old target
expect_code 0 "$kzp" make old new -o pieces.exe --project kzp.json --stub "$stub" --memory 1
grep -q "1 to update, 2 to add, 1 to delete, 1 unchanged" out.txt || fail "make --memory 1: $(cat out.txt)"
expect_code 0 "$kzp" apply pieces.exe --target target --yes
same_tree new target || fail "the updater matched in pieces did not apply"

# A run killed half way, as it leaves the folder: app.exe rebuilt in part
# beside its backup, the add cut short. recover brings the old release back
# (times included, no backup left) and the updater then runs again.
interrupt() {
    rm -rf target && cp -a old target
    mv target/bin/app.exe target/bin/app.exe.1.0.old
    head -c 70000 new/bin/app.exe > target/bin/app.exe
    mkdir -p target/plugins/extra && : > target/plugins/empty.cfg
    # The add's file has its whole size from the start, its first bytes written.
    { head -c 100 new/plugins/extra/plugin.dll; head -c 4900 /dev/zero; } > target/plugins/extra/plugin.dll
}
no_backups() { [ -z "$(find target -name '*.old')" ] || fail "backups left: $(find target -name '*.old')"; }
interrupt
expect_code 0 "$kzp" recover update.exe --target target --dry-run
grep -q "interrupted" out.txt && [ -f target/bin/app.exe.1.0.old ] || { cat out.txt; fail "the dry run changed the folder"; }
expect_code 5 "$kzp" recover update.exe --target target < /dev/null
[ -f target/bin/app.exe.1.0.old ] || fail "an unconfirmed recover changed the folder"
expect_code 0 "$kzp" recover update.exe --target target --yes
grep -q "old version again" out.txt || fail "recover: $(cat out.txt)"
same_tree old target && no_backups || fail "recover did not bring back the old release"
expect_code 0 "$kzp" recover update.exe --target target --yes
grep -q "nothing to recover" out.txt || fail "untouched folder: $(cat out.txt)"
expect_code 0 "$kzp" apply update.exe --target target --yes --keep-backups
expect_code 0 "$kzp" recover update.exe --target target --yes
grep -q "the update is complete" out.txt && [ -f target/bin/app.exe.1.0.old ] || fail "complete: $(cat out.txt)"
# A backup that an older update left (other contents) is reported and left
# alone; an entry whose old file and backup are both gone cannot be brought
# back: everything else is, and the exit code says so.
interrupt
printf 'from another release' > target/bin/old.dll.1.0.old
expect_code 0 "$kzp" recover update.exe --target target --yes
grep -q "old.dll.*another update" out.txt || fail "stale backup not reported: $(cat out.txt)"
[ "$(cat target/bin/old.dll.1.0.old)" = "from another release" ] || fail "the stale backup was touched"
rm target/bin/old.dll.1.0.old
interrupt
rm target/bin/app.exe.1.0.old
expect_code 4 "$kzp" recover update.exe --target target --yes
grep -q "app.exe.*CANNOT BE BROUGHT BACK" out.txt || fail "lost entry not named: $(cat out.txt)"
[ ! -e target/plugins/extra/plugin.dll ] || fail "the rest was not recovered"
# A file at an add's name in a folder with no other sign of a run may be the
# user's: it is kept and named (exit 6), never deleted.
rm -rf target && cp -a old target
mkdir -p target/plugins && : > target/plugins/empty.cfg
expect_code 6 "$kzp" recover update.exe --target target --yes
grep -q "empty.cfg.*KEPT" out.txt && [ -f target/plugins/empty.cfg ] || fail "kept file: $(cat out.txt)"

# Names as Windows compares them: a name whose case alone changed is one file,
# updated under its new name; two names of one tree that Windows would take
# for one file are refused, naming both.
mkdir -p case-old/Bin case-new/Bin
printf 'same bytes' > case-old/Bin/App.dll; cp -p case-old/Bin/App.dll case-new/Bin/app.dll
expect_code 0 "$kzp" make case-old case-new -o case.exe --stub "$stub" --target-ask
grep -q "1 to update, 0 to add, 0 to delete" out.txt || fail "case-only rename: $(cat out.txt)"
rm -rf target && cp -a case-old target
expect_code 0 "$kzp" apply case.exe --target target --yes
[ -f target/Bin/app.dll ] && [ ! -e target/Bin/App.dll ] && [ "$(cat target/Bin/app.dll)" = "same bytes" ] ||
    fail "the renamed file: $(ls target/Bin)"
printf 'other' > case-new/Bin/APP.DLL
expect_code 1 "$kzp" make case-old case-new -o case.exe --stub "$stub" --target-ask
grep -q "APP.DLL and Bin.app.dll\|Bin.APP.DLL and Bin.app.dll" err.txt || fail "collision: $(cat err.txt)"

# Compact ("compact": true in the project file, or --compact): format 130,
# read by info, the dry run, apply and recover like the original format; with
# --memory 1 its data comes from the matcher in pieces.
python3 - kzp.json > compact.json <<'PY'
import json, sys
j = json.load(open(sys.argv[1])); j["compact"] = True; print(json.dumps(j))
PY
expect_code 0 "$kzp" make old new --project compact.json -o compact.exe --stub "$stub" --json
expect_code 0 "$kzp" info compact.exe --json
python3 - out.txt <<'PY'
import json, sys
j = json.load(open(sys.argv[1]))
assert j["formatVersion"] == 130 and j["format"] == "compact", j["formatVersion"]
assert j["updates"][0]["compact"]["newSize"] == 300007 and j["updates"][0]["wellFormed"]
assert sorted(a["compact"]["newSize"] for a in j["adds"]) == [0, 5000], j["adds"]
assert j["trailer"]["matches"] and not j["problems"], j["problems"]
PY
rm -rf target && cp -a old target
expect_code 0 "$kzp" apply compact.exe --target target --dry-run
same_tree old target || fail "the compact dry run changed the folder"
expect_code 0 "$kzp" apply compact.exe --target target --yes
same_tree new target || fail "the compact update did not make the new release"
interrupt
expect_code 0 "$kzp" recover compact.exe --target target --yes
grep -q "old version again" out.txt || fail "compact recover: $(cat out.txt)"
same_tree old target && no_backups || fail "compact recover did not bring back the old release"
expect_code 0 "$kzp" make old new -o cpieces.exe --project kzp.json --stub "$stub" --memory 1 --compact
expect_code 0 "$kzp" apply cpieces.exe --target target --yes
same_tree new target || fail "the compact updater matched in pieces did not apply"

# Passwords from standard input: a wrong one, then the right one.
expect_code 0 "$kzp" make old new -o locked.exe --stub "$stub" --password 's3cret' --target-ask -q
rm -rf target && cp -a old target
printf 'wrong\ns3cret\n' > answers
set +e; "$kzp" apply locked.exe --target target --yes --password-stdin < answers > out.txt 2>&1; code=$?; set -e
[ "$code" = 0 ] || { cat out.txt; fail "password run exited $code"; }
grep -q "password does not match" out.txt || fail "no mismatch message"
same_tree new target || fail "the password run did not update"
rm -rf target && cp -a old target
printf 'wrong\n' > answers
set +e; "$kzp" apply locked.exe --target target --yes --password-stdin < answers > out.txt 2>&1; code=$?; set -e
[ "$code" = 255 ] && grep -q "result 1 (ResultCancelled)," out.txt || { cat out.txt; fail "a missing password must cancel"; }
same_tree old target || fail "a cancelled run changed the folder"

# Hostile files: a clear message and an exit code, never a crash.
: > empty.exe
head -c 200000 /dev/urandom > noise.exe
head -c 98400 update.exe > cut.exe
cp update.exe flipped.exe
printf '\xff' | dd of=flipped.exe bs=1 seek=$(( $(stat -c %s update.exe) - 40 )) conv=notrunc status=none
for f in empty.exe noise.exe cut.exe missing.exe; do
    expect_code 2 "$kzp" info "$f"
    [ -s err.txt ] || fail "info $f gave no message"
done
expect_code 3 "$kzp" info flipped.exe
for f in empty.exe noise.exe cut.exe flipped.exe; do
    rm -rf target && cp -a old target
    expect_code 255 "$kzp" apply "$f" --target target --yes
    same_tree old target || fail "apply $f changed the folder"
done
grep -q "result 0x10010" out.txt || fail "a damaged package must fail its trailer check"
expect_code 1 "$kzp" make old -o x.exe
expect_code 1 "$kzp" make old new -o x.exe --stub "$stub" --title "$(printf '\xe3\x81\x82')"

# A release of three old versions to a fourth: one updater per old release,
# the same files whether made one or four at a time, each applied to its own
# old folder and refused by the others, and identify naming each folder's.
mkdir -p r10/bin r11/bin r12/bin r20/bin
head -c 250000 /dev/urandom > r10/bin/app.exe
{ head -c 1000 r10/bin/app.exe; printf '1.1'; tail -c +1001 r10/bin/app.exe; } > r11/bin/app.exe
cp -p r11/bin/app.exe r12/bin/app.exe
{ head -c 200000 r11/bin/app.exe; printf '2.0'; tail -c +200001 r11/bin/app.exe; } > r20/bin/app.exe
printf 'legacy' > r10/bin/legacy.dll
printf 'plugin' > r12/bin/plugin.dll && cp -p r12/bin/plugin.dll r20/bin/plugin.dll
printf 'read me' > r10/readme.txt && cp -p r10/readme.txt r11/readme.txt
printf 'read me, 1.2' > r12/readme.txt
printf 'read me, 2.0' > r20/readme.txt
head -c 4000 /dev/urandom > r20/bin/data.bin
cat > release-project.json <<'JSON'
{"title": "Demo", "newVersion": "2.0", "new": "r20", "output": "out1",
 "old": [{"dir": "r10", "version": "1.0"}, {"dir": "r11", "version": "1.1"},
         {"dir": "r12", "version": "1.2"}]}
JSON
expect_code 0 "$kzp" release --project release-project.json --stub "$stub" --jobs 1
expect_code 0 "$kzp" release r20 --old r10=1.0 --old r11=1.1 --old r12=1.2 --title Demo \
    --new-version 2.0 -o out4 --stub "$stub" --jobs 4 --zip new.zip
diff -r out1 out4 || fail "1 and 4 jobs gave other files"
[ "$(ls out1)" = "$(printf 'Demo-1.0-to-2.0.exe\nDemo-1.1-to-2.0.exe\nDemo-1.2-to-2.0.exe\nrelease.json')" ] ||
    fail "release wrote: $(ls out1)"
grep -Eq '^Demo-1.0-to-2.0.exe +1.0 +[0-9]+ +[0-9.]+ % +2 updated, 2 added, 1 deleted$' out.txt &&
    grep -q '^new release as .zip' out.txt || fail "release table: $(cat out.txt)"
python3 - out1 new.zip r20 <<'PY'
import hashlib, json, os, sys, zipfile
out, archive, new = sys.argv[1:]
j = json.load(open(os.path.join(out, "release.json")))
assert j["newReleaseZipSize"] == os.path.getsize(archive), j["newReleaseZipSize"]
with zipfile.ZipFile(archive) as z:
    assert z.testzip() is None
    names = {n.replace("/", os.sep) for n in z.namelist()}
    want = {os.path.relpath(os.path.join(d, f), new) for d, _, fs in os.walk(new) for f in fs}
    assert names == want, (names, want)
    for n in z.namelist():
        assert z.read(n) == open(os.path.join(new, n), "rb").read(), n
assert [u["oldVersion"] for u in j["updaters"]] == ["1.0", "1.1", "1.2"]
for u in j["updaters"]:
    data = open(os.path.join(out, u["file"]), "rb").read()
    assert u["size"] == len(data) and u["md5"] == hashlib.md5(data).hexdigest(), u["file"]
    assert u["sha256"] == hashlib.sha256(data).hexdigest(), u["file"]
first = j["updaters"][0]["identifies"]
assert first["verify"] == "md5" and first["add"] == ["bin\\data.bin", "bin\\plugin.dll"], first
assert first["update"]["bin\\app.exe"] == hashlib.md5(open("r10/bin/app.exe", "rb").read()).hexdigest()
assert list(first["delete"]) == ["bin\\legacy.dll"], first
assert (j["updaters"][2]["updates"], j["updaters"][2]["adds"], j["updaters"][2]["deletes"]) == (2, 1, 0)
PY
for from in 1.0 1.1 1.2; do
    for folder in r10 r11 r12; do
        rm -rf target && cp -a "$folder" target
        if [ "$folder" = "r1${from#1.}" ]; then
            expect_code 0 "$kzp" apply "out1/Demo-$from-to-2.0.exe" --target target --yes
            same_tree r20 target || fail "Demo-$from-to-2.0.exe did not make $folder into 2.0"
        else
            expect_code 255 "$kzp" apply "out1/Demo-$from-to-2.0.exe" --target target --yes
            same_tree "$folder" target || fail "Demo-$from-to-2.0.exe changed $folder"
        fi
    done
done
for folder in r10 r11 r12; do
    version="1.${folder#r1}"
    expect_code 0 "$kzp" identify "$folder" --release out1/release.json
    head -n 1 out.txt | grep -q "^fits: Demo-$version-to-2.0.exe (old version $version)" ||
        fail "identify $folder: $(cat out.txt)"
    expect_code 0 "$kzp" identify "$folder" out1/Demo-1.2-to-2.0.exe out1/Demo-1.1-to-2.0.exe \
        out1/Demo-1.0-to-2.0.exe
    head -n 1 out.txt | grep -q "^fits: Demo-$version-to-2.0.exe" || fail "identify $folder by updaters: $(cat out.txt)"
done
cp -a r11 changed && printf 'x' >> changed/bin/app.exe
expect_code 6 "$kzp" identify changed --release out1/release.json
grep -q '^nearest: Demo-1.1-to-2.0.exe (old version 1.1), 1 of 4 files differs:$' out.txt &&
    grep -q '^  bin\\app.exe  other contents (MD5)$' out.txt || fail "identify changed: $(cat out.txt)"
# A compact release: the same updaters in the compact format, made two at a
# time, each applying to its own folder and named by identify.
expect_code 0 "$kzp" release --project release-project.json --stub "$stub" --jobs 2 --compact -o outc
expect_code 0 "$kzp" info outc/Demo-1.1-to-2.0.exe --json
python3 -c 'import json,sys; assert json.load(open(sys.argv[1]))["formatVersion"] == 130' out.txt ||
    fail "the compact release wrote another format"
rm -rf target && cp -a r11 target
expect_code 0 "$kzp" apply outc/Demo-1.1-to-2.0.exe --target target --yes
same_tree r20 target || fail "the compact Demo-1.1-to-2.0.exe did not make r11 into 2.0"
expect_code 0 "$kzp" identify r12 --release outc/release.json
head -n 1 out.txt | grep -q "^fits: Demo-1.2-to-2.0.exe" || fail "identify in a compact release: $(cat out.txt)"
expect_code 2 "$kzp" identify missing --release out1/release.json
expect_code 2 "$kzp" identify r10 --release new.zip
expect_code 1 "$kzp" identify r10
# Refused before anything is made, with the tool's exit codes.
release() { "$kzp" release r20 --title Demo --new-version 2.0 --stub "$stub" "$@"; }
expect_code 1 release --old r10=1.0 --old r11=1.0 -o bad
grep -q 'the version "1.0" is given twice' err.txt || fail "duplicate: $(cat err.txt)"
expect_code 1 release --old r10=2.0 -o bad
expect_code 1 release --old r10 -o bad
expect_code 1 release --old r10=1.0 --old r11=1.1 -o bad --name-pattern 'Demo.exe'
expect_code 2 release --old missing=1.0 -o bad
expect_code 2 release --old r10=1.0 -o release-project.json/out
[ ! -e bad ] || fail "a refused release left its folder"
# An updater no smaller than the .zip of the new release is pointed out.
mkdir -p tiny1 tiny2 && printf 'a' > tiny1/a.txt && printf 'b' > tiny2/a.txt
expect_code 0 "$kzp" release tiny2 --old tiny1=1 --new-version 2 -o tiny --stub "$stub"
grep -q 'NOT SMALLER' out.txt && grep -q 'warning: update-1-to-2.exe .* is not smaller' err.txt ||
    fail "no warning for a large updater: $(cat out.txt err.txt)"

# Signed: the certificate table goes after the package; the file still
# verifies and applies.
if command -v osslsigncode >/dev/null && $real_image; then
    openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=kzp-test -days 2 \
        -keyout key.pem -out cert.pem >/dev/null 2>&1
    osslsigncode sign -certs cert.pem -key key.pem -n Demo -in update.exe -out signed.exe >/dev/null
    [ "$(stat -c %s signed.exe)" -gt "$(stat -c %s update.exe)" ] || fail "signing added nothing"
    expect_code 0 "$kzp" info signed.exe --json
    python3 -c "import json,sys; j=json.load(open('out.txt')); assert j['signed'] and j['trailer']['matches'], j['trailer']"
    rm -rf target && cp -a old target
    expect_code 0 "$kzp" apply signed.exe --target target --yes
    same_tree new target || fail "the signed updater did not apply"
    set +e; osslsigncode verify -CAfile cert.pem -in signed.exe >/dev/null 2>&1; v=$?; set -e
    [ "$v" = 0 ] || fail "the signature does not verify"
else
    echo "note: no PE updater image at $stub; the signed case was not run"
fi
echo "kzp commands: all passed"
