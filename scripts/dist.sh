#!/usr/bin/env bash
# Packs the release builds into dist/ (make dist): the Linux archive holds the
# installed layout (bin/kzp, share/kzp/kzpupdater.exe, the manual page) with
# README.md and LICENSE; the Windows archive holds kzp.exe beside
# kzpupdater.exe, where it finds the image. SHA256SUMS lists both.
#
# The archives depend only on the commit: every entry carries the commit's
# time, entries are sorted, owners and modes are fixed, and gzip leaves out
# its own time stamp.
#
#   scripts/dist.sh BUILD        (after the release builds of mk/release.mk)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build}
version=$(cat VERSION)
# The commit's time; a tree without git history uses a fixed one.
epoch=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)

stage=$build/dist-stage
rm -rf "$stage" dist
mkdir -p "$stage" dist

linux=kzp-$version-linux-x86_64
cmake --install "$build/release" --prefix "$root/$stage/$linux" >/dev/null
cp README.md LICENSE "$stage/$linux/"
chmod -R u=rwX,go=rX "$stage/$linux"
tar --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --format=gnu \
  -C "$stage" -cf - "$linux" | gzip -9 -n > "dist/$linux.tar.gz"

windows=kzp-$version-windows-x64
mkdir -p "$stage/$windows"
cp "$build/release-win64/kzp.exe" "$build/win32/kzpupdater.exe" README.md LICENSE "$stage/$windows/"
python3 - "$stage" "$windows" "dist/$windows.zip" "$epoch" <<'PY'
import os, sys, time, zipfile
stage, folder, archive, epoch = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip times start in 1980
with zipfile.ZipFile(archive, "w") as z:
    for name in sorted(os.listdir(os.path.join(stage, folder))):
        info = zipfile.ZipInfo(f"{folder}/{name}", date_time=stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3  # Unix, so that the modes below are read
        info.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
        with open(os.path.join(stage, folder, name), "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
PY

(cd dist && sha256sum "$linux.tar.gz" "$windows.zip" > SHA256SUMS)
rm -rf "$stage"
echo "== dist/"
(cd dist && ls -l --time-style=+ . | tail -n +2 && cat SHA256SUMS)
