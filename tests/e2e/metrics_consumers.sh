#!/usr/bin/env bash
# The metrics file against the programs a fleet owner points at it: promtool's
# check, Debian's node exporter reading the suite's Logs folder through its
# textfile collector, and a prometheus server with the README's alert rules,
# which must see "backup service down" fire when the backup service cannot be
# started and clear when it can again. Runs inside scripts/wine-session.sh;
# every server listens on a free loopback port and is ended by its pid.
#   tests/e2e/metrics_consumers.sh BIN_FOLDER
set -euo pipefail

bin="$1"
root="$(cd "$(dirname "$0")/../.." && pwd)"
drive_c="$WINEPREFIX/drive_c"
suite="$drive_c/Solvane/Quarn SQL"
logs="$suite/Logs"
work="$(mktemp -d "$WINEPREFIX/metrics.XXXXXX")"
cd "$work"  # wine net would run a net.exe of the current folder

pids=()
keepalive=""
service_exe=""
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "$service_exe" ] && [ -f "$suite/$service_exe.fora" ]; then mv "$suite/$service_exe.fora" "$suite/$service_exe"; fi
  wine 'C:\Solvane\Quarn SQL\InstaladorQuarnSQL.exe' /uninstall /quiet >/dev/null 2>&1 || true
  kill "$keepalive" 2>/dev/null || true
  wait "$keepalive" 2>/dev/null || true
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() {  # wait_for SECONDS COMMAND...
  local end=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.5; done
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
metric() { grep -a "^$1 " "$logs/quarn_sql.prom" 2>/dev/null | awk '{print $2}'; }

echo "== the suite, installed silently; update checks against a closed port fail at once"
wine reg add 'HKLM\SOFTWARE\Solvane\Quarn SQL' /v UpdateServer /t REG_SZ /d "http://127.0.0.1:9" /f >/dev/null 2>&1
# The test tree's monitor ends a crash loop after 20 s of running, not 10 minutes.
wine reg add 'HKLM\SOFTWARE\Solvane\Quarn SQL' /v CrashLoopRecoverySeconds /t REG_DWORD /d 20 /f >/dev/null 2>&1
# An ordinary program keeps the prefix (and its services) alive meanwhile.
wine notepad >/dev/null 2>&1 &
keepalive=$!
mkdir -p "$drive_c/Instalador"
cp "$bin/InstaladorQuarnSQL.exe" "$drive_c/Instalador/"
wine 'C:\Instalador\InstaladorQuarnSQL.exe' /quiet >/dev/null 2>&1 || fail "the silent installation failed ($?)"
up() { [ "$(metric quarn_backup_service_up)" = 1 ]; }
wait_for 60 up || fail "no metrics file saying the backup service is up: $(cat "$logs/quarn_sql.prom" 2>&1)"
checked() { grep -aq '^quarn_update_last_check_result{program="QuarnSQLMonitor"}' "$logs/quarn_sql.prom"; }
wait_for 60 checked || fail "no update check result in the metrics file"
cat "$logs/quarn_sql.prom"

echo "== promtool check metrics"
promtool check metrics < "$logs/quarn_sql.prom" || fail "promtool found problems"
[ "$(head -c 3 "$logs/quarn_sql.prom" | od -An -tx1 | tr -d ' ')" != efbbbf ] || fail "a byte-order mark"
! grep -aq $'\r' "$logs/quarn_sql.prom" || fail "CR line ends"
[ "$(tail -c 1 "$logs/quarn_sql.prom" | od -An -tx1 | tr -d ' ')" = 0a ] || fail "no final newline"

echo "== node exporter, textfile collector on the Logs folder"
exporter_port="$(free_port)"
prometheus-node-exporter --web.listen-address="127.0.0.1:$exporter_port" --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$logs" >"$work/exporter.log" 2>&1 &
pids+=($!)
scrape() { curl -sf "http://127.0.0.1:$exporter_port/metrics" > "$work/scrape.txt"; }
wait_for 30 scrape || fail "node exporter did not answer: $(tail -5 "$work/exporter.log")"
grep -a '^quarn_\|^node_textfile_scrape_error' "$work/scrape.txt"
grep -aq '^node_textfile_scrape_error 0$' "$work/scrape.txt" || fail "node_textfile_scrape_error is not 0"
grep -aq '^quarn_backup_service_up 1$' "$work/scrape.txt" || fail "the exporter does not show quarn_backup_service_up 1"
grep -aq '^quarn_build_info{program="QuarnSQLServiceMonitor",version="1.0.0.134"} 1$' "$work/scrape.txt" ||
  fail "the exporter does not show the monitor's build"

echo "== prometheus with the README's alert rules, evaluated at once"
# The rules as the README gives them; only their waits are shortened here.
python3 - "$root/README.md" > "$work/rules.yml" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
section = text[text.index("## Watching a fleet"):]
rules = re.search(r"```yaml\n(.*?)```", section, re.S).group(1)
print(re.sub(r"for: \S+", "for: 0s", rules))
PY
promtool check rules "$work/rules.yml" >/dev/null || fail "promtool refuses the README's rules"
prometheus_port="$(free_port)"
cat > "$work/prometheus.yml" <<EOF
global: {scrape_interval: 1s, evaluation_interval: 1s}
rule_files: ["$work/rules.yml"]
scrape_configs:
  - job_name: quarn
    static_configs: [{targets: ["127.0.0.1:$exporter_port"]}]
EOF
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$prometheus_port" >"$work/prometheus.log" 2>&1 &
pids+=($!)
alerts() { curl -sf "http://127.0.0.1:$prometheus_port/api/v1/alerts"; }
firing() { alerts | grep -q '"alertname":"QuarnBackupServiceDown".*"state":"firing"'; }
ready() { curl -sf "http://127.0.0.1:$prometheus_port/-/ready" >/dev/null; }
wait_for 60 ready || fail "prometheus did not start: $(tail -5 "$work/prometheus.log")"
sleep 3
! firing || fail "the alert fires while the backup service runs: $(alerts)"

echo "== the backup service's program file taken away, the service stopped: the watchdog cannot start it"
service_exe="$(cd "$suite" && ls | grep -ix 'QuarnSQLService.exe')"  # the installer writes it in capitals
mv "$suite/$service_exe" "$suite/$service_exe.fora"
wine net stop QuarnSQLService >/dev/null 2>&1 || true
wait_for 60 firing || fail "no firing alert: $(alerts); metrics: $(cat "$logs/quarn_sql.prom")"
alerts; echo
loop() { [ "$(metric quarn_backup_service_crash_loop)" = 1 ]; }
wait_for 30 loop || fail "no crash loop in the metrics file"
grep -aq 'ReportEventW L"started 5 times within 10 minutes without staying up' "$QUARN_EVENT_LOG" ||
  fail "no crash-loop entry in the event log"

echo "== the program file back: the watchdog starts it, after the crash loop's wait; the alert clears once it has stayed up"
mv "$suite/$service_exe.fora" "$suite/$service_exe"
cleared() { ! alerts | grep -q '"alertname":"QuarnBackupServiceDown"'; }
wait_for 150 cleared || fail "the alert did not clear: $(alerts); metrics: $(cat "$logs/quarn_sql.prom")"
echo "cleared; quarn_watchdog_starts_total $(metric quarn_watchdog_starts_total)"
echo "PASS"
