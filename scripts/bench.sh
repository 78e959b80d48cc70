#!/usr/bin/env bash
# `make bench`: every benchmark, then one table of the suite's figures
# (build/bench/figures.md). The Windows ones share one throwaway Wine session.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/bench"
mkdir -p "$out"
"$root/build/native/bench/bench_log_append" | tee "$out/log_append.txt"
"$root/build/native/bench/bench_fleet" | tee "$out/fleet.txt"
# The native fault-injection test counts the update steps it broke; every one must hold.
"$root/build/native/tests/native/quarn_native_tests" --gtest_filter='UpdateFaults.Every*' > "$out/fault_injection.log" || true
awk '/^fault injection.*all hold/ {
  print; n = $0; sub(/ points.*/, "", n); sub(/.*: /, "", n)
  if ($0 ~ /fails its probation/)
    printf "@figure\tupdate fault-injection points, a build failing its probation\t%s\t\tevery step of the update and of its rollback\n", n
  else
    printf "@figure\tupdate fault-injection points, all holding and converging\t%s\t\tevery step of a clean update and its probation, fault and power loss\n", n
}' \
  "$out/fault_injection.log" | tee "$out/fault_injection.txt"
"$root/scripts/wine-session.sh" sh -c '
  cd /tmp
  for b in watchdog update install; do
    wine "$0/build/win/tests/quarn_${b}_bench.exe" < /dev/null > "$1/$b.txt" 2>&1 || echo "($b benchmark failed)" >> "$1/$b.txt"
    grep -v "^@figure" "$1/$b.txt" || true
  done
  "$0/tests/e2e/signed_cases.sh" "$0/build/win/bin" > /dev/null
  wine "$0/build/win/tests/quarn_signing_bench.exe" < /dev/null > "$1/signing.txt" 2>&1 || echo "(signing benchmark failed)" >> "$1/signing.txt"
  grep -v "^@figure" "$1/signing.txt" || true' "$root" "$out"
# A session of its own: it installs the suite, which the benchmarks above must not find.
"$root/scripts/wine-session.sh" sh -c '"$0/bench/publish_to_running.sh" > "$1/publish.txt" 2>&1 || echo "(publish benchmark failed)" >> "$1/publish.txt"
  grep -v "^@figure" "$1/publish.txt" || true' "$root" "$out"
echo
python3 "$root/bench/report.py" "$out/figures.md" "$out"/log_append.txt "$out"/fleet.txt "$out"/fault_injection.txt "$out"/watchdog.txt "$out"/update.txt "$out"/install.txt "$out"/signing.txt "$out"/publish.txt
