#!/usr/bin/env bash
# make test-win32 on the host: builds (or finds in the cache) the emulated
# machine, puts the programs under test and the guest's job on a disk of
# their own and boots the machine from its cached state; the exit code is
# the job's.
# Usage: run.sh BUILD_FOLDER   (KZP_E2E_FILTER: a GoogleTest filter for the
# Japanese pass; KZP_E2E_FILTER_1252 for the English one; KZP_E2E_WAIT_FACTOR
# the factor for the player's waits instead of the one the guest measures)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
start=$(date +%s)

guest=$(bash "$here/guest.sh")
echo "== the machine is ready ($(( $(date +%s) - start )) s)"

# The job's files at the same places as in the worktree.
files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
put() {  # source, path inside the worktree
    mkdir -p "$files/$(dirname "$2")"
    cp "$1" "$files/$2"
}
rel=${build#"$top"/}
for program in tests/e2e/kzp_e2e.exe tests/e2e/e2e_running_app.exe tests/e2e/e2e_follow_up.exe \
               kzpupdater.exe kzp.exe; do
    put "$build/win64/$program" "$rel/win64/$program"
done
put "$build/win32/kzpupdater.exe" "$rel/win32/kzpupdater.exe"
put "$top/tools/tests/wine_test.sh" tools/tests/wine_test.sh
put "$top/scripts/wine-prefix.sh" scripts/wine-prefix.sh
put "$here/job.sh" job.sh
[ -n "${KZP_E2E_FILTER:-}" ] && echo "$KZP_E2E_FILTER" > "$files/e2e-filter"
[ -n "${KZP_E2E_FILTER_1252:-}" ] && echo "$KZP_E2E_FILTER_1252" > "$files/e2e-filter-1252"
[ -n "${KZP_E2E_WAIT_FACTOR:-}" ] && echo "$KZP_E2E_WAIT_FACTOR" > "$files/e2e-wait-factor"

set +e
bash "$here/boot.sh" "$guest" "$files" "$top" snapshot
code=$?
set -e
echo "== make test-win32: $(( $(date +%s) - start )) s in all"
exit $code
