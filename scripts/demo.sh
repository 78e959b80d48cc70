#!/usr/bin/env bash
# The monitor's life as a Windows service, shown in a throwaway Wine session
# (run through scripts/wine-session.sh by `make demo`).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
suite_unix="$WINEPREFIX/drive_c/Solvane/Quarn SQL"
suite='C:\Solvane\Quarn SQL'

# wine net/sc would run a net.exe or sc.exe of the current folder: use an empty one.
cd "$(mktemp -d)"

say() { printf '\n== %s\n' "$*"; }
state() { wine sc query "$1" 2>/dev/null | tr -d '\0\r' | grep -a 'STATE' | sed 's/^ *//' || echo "(no such service)"; }
show() {
  local f="$suite_unix/$1"
  printf -- '--- %s\n' "$1"
  if [ -f "$f" ]; then iconv -f CP1252 -t UTF-8 "$f" | sed 's/\r$//'; else echo "(absent)"; fi
}
wait_for() {  # wait_for SECONDS COMMAND...
  local end=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.3; done
}

mkdir -p "$suite_unix"
cp "$root/build/win/bin/QuarnSQLServiceMonitor.exe" "$root/build/win/bin/QuarnSQLService.exe" "$suite_unix/"
say "Suite folder $suite"
ls -l "$suite_unix"

say "Backup service QuarnSQLService: created and started"
wine sc create QuarnSQLService binPath= "\"$suite\\QuarnSQLService.exe\"" start= auto DisplayName= QuarnSQLService >/dev/null
wine net start QuarnSQLService >/dev/null 2>&1 || true
wait_for 20 sh -c "wine sc query QuarnSQLService 2>/dev/null | tr -d '\0' | grep -aq RUNNING"
state QuarnSQLService

say "QuarnSQLServiceMonitor.exe -install"
wine "$suite\\QuarnSQLServiceMonitor.exe" -install >/dev/null 2>&1 &
wait_for 30 test -s "$suite_unix/Logs/VersaoCompletaServiceMonitor.ini"
# "-install" goes on as a plain program after registering: end that copy so the
# service manager's copy is the only one.
wine taskkill /f /im QuarnSQLServiceMonitor.exe >/dev/null 2>&1 || true
state QuarnSQLServiceMonitor
show ErrorQuarn.ini

say "net start QuarnSQLServiceMonitor"
rm -f "$suite_unix/Logs/VersaoQuarnSQLServiceMonitor.ini"
wine net start QuarnSQLServiceMonitor >/dev/null 2>&1 || true
wait_for 20 sh -c "wine sc query QuarnSQLServiceMonitor 2>/dev/null | tr -d '\0' | grep -aq RUNNING"
state QuarnSQLServiceMonitor
say "Start-up files written by the service"
show Logs/VersaoQuarnSQLServiceMonitor.ini
show Logs/QuarnSQLServiceMonitorExecuting.ini
show Logs/VersaoCompletaServiceMonitor.ini
show Logs/QuarnSQLServiceExecuting.ini
ls -l "$suite_unix/Logs"

say "net stop QuarnSQLServiceMonitor"
printf '\r\nformatted log of this run\r\n' > "$suite_unix/Logs/FormataRichTextBoxServiceMonitor.INI"
wine net stop QuarnSQLServiceMonitor >/dev/null 2>&1 || true
wait_for 20 sh -c "wine sc query QuarnSQLServiceMonitor 2>/dev/null | tr -d '\0' | grep -aq STOPPED"
state QuarnSQLServiceMonitor
show Logs/FormataRichTextBoxServiceMonitor.INI
say "Event log of the services"
grep -a 'ReportEventW' "$QUARN_EVENT_LOG" | sed 's/^[0-9a-f]*://' || echo "(no entries: nothing failed)"

say "QuarnSQLServiceMonitor.exe -uninstall"
wine "$suite\\QuarnSQLServiceMonitor.exe" -uninstall >/dev/null 2>&1
state QuarnSQLServiceMonitor

wine net stop QuarnSQLService >/dev/null 2>&1 || true
say "Done. The Wine session and everything it started end now."
