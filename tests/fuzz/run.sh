#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a given time each.
#   tests/fuzz/run.sh <fuzz build folder> <seconds per target>
# Each target starts from its seeds (tests/fuzz/corpus/<name>, which also
# hold the inputs of past findings) and a working corpus in the build folder
# that grows from run to run. A finding stops the script with the input left
# in <build>/fuzz-findings/<name>/.
set -euo pipefail
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
status=0
printf '%-16s %12s %10s %s\n' target executions "per s" result
for exe in "$build"/tests/fuzz/fuzz_*; do
  [ -x "$exe" ] || continue
  name=${exe##*/fuzz_}
  seeds=$here/corpus/$name
  work=$build/fuzz-corpus/$name
  findings=$build/fuzz-findings/$name
  log=$build/fuzz-logs/$name.log
  mkdir -p "$work" "$findings" "$(dirname "$log")" "$seeds"
  # Sizes: a large block size may take a 16 MB work buffer; nothing needs
  # more than that, so a far larger allocation is a finding.
  if "$exe" "$work" "$seeds" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=1024 -malloc_limit_mb=256 -max_len=8192 -print_final_stats=1 \
       -artifact_prefix="$findings/" >"$log" 2>&1; then
    result=ok
  else
    result="FINDING (see $log and $findings)"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-16s %12s %10s %s\n' "$name" "${runs:-?}" "${rate:-?}" "$result"
done
exit $status
