#!/usr/bin/env bash
# Runs every fuzz target of build/fuzz for SECONDS each (default 300), from its
# seeds (tests/fuzz/seeds/<target>/, read only) and its growing corpus
# (build/fuzz/corpus/<target>/). Prints executions per second per target; fails
# on the first crash, leak or broken invariant, whose input is kept in
# build/fuzz/crashes/.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
bin=build/fuzz/tests/fuzz
list=build/fuzz/fuzz-targets.txt
mkdir -p build/fuzz/crashes build/fuzz/logs
status=0
printf '%-16s %8s %10s %8s\n' target seconds "exec/s" corpus
while read -r name; do
  [ -n "$name" ] || continue
  corpus=build/fuzz/corpus/$name
  seeds=tests/fuzz/seeds/$name
  mkdir -p "$corpus" "$seeds"
  log=build/fuzz/logs/$name.log
  "$bin/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 -max_len=65536 \
    -artifact_prefix="build/fuzz/crashes/$name-" "$corpus" "$seeds" >"$log" 2>&1
  rc=$?
  eps=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  printf '%-16s %8s %10s %8s\n' "$name" "$seconds" "${eps:-?}" "$(ls "$corpus" | wc -l)"
  if [ $rc -ne 0 ]; then
    echo "fuzz: $name failed (exit $rc); its log: $log" >&2
    grep -E 'ERROR|invariant|SUMMARY' "$log" | head -5 >&2
    status=1
  fi
done <"$list"
exit $status
