#!/usr/bin/env bash
# The suite's main job, shown in a throwaway Wine session (run through
# scripts/wine-session.sh by `make demo`): a local update server publishes a
# newer build of the backup service and of the GUI monitor; the installer,
# copied into drive C, installs the suite; the monitor's first check updates
# both programs. Screenshots go to build/demo/.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/demo"
mkdir -p "$out"
drive_c="$WINEPREFIX/drive_c"
suite_unix="$drive_c/Solvane/Quarn SQL"
publish="$QUARN_UPDATE_ROOT/CentralUpdate/QuarnSqlSolvane"

cd "$(mktemp -d)"  # wine net/sc would run a net.exe or sc.exe of the current folder
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
state() { printf '%-24s ' "$1"; wine sc query "$1" 2>/dev/null | tr -d '\0\r' | grep -a 'STATE' | sed 's/^ *//' || echo "(no such service)"; }
record() { printf '%-28s ' "$1"; if [ -f "$suite_unix/Logs/$1" ]; then tr -d '\r' < "$suite_unix/Logs/$1"; else echo "(absent)"; fi; }
wait_for() {  # wait_for SECONDS COMMAND...
  local end=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.5; done
}

say "Update server on $QUARN_UPDATE_URL publishes build 2.0 of the backup service and of the GUI monitor"
mkdir -p "$publish"
python3 - "$root/build/win/bin" "$publish" <<'PY'
import sys, zipfile
bin_dir, out = sys.argv[1], sys.argv[2]
def pack(name, entries):
    with zipfile.ZipFile(f"{out}/{name}", "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in entries:
            z.writestr(arcname, data)
pack("VersaoQuarnSQLService.zip", [("VersaoQuarnSQLService.ini", "2.0\r\n")])
pack("VersaoQuarnSqlMonitor.zip", [("VersaoQuarnSqlMonitor.ini", "2.0\r\n")])
pack("QuarnSQLService.zip", [("QuarnSQLService.exe", open(f"{bin_dir}/QuarnSQLService.exe", "rb").read()),
                             ("QuarnSQLService.build", "2.0")])
pack("QuarnSQLMonitor.zip", [("QuarnSQLMonitor.exe", open(f"{bin_dir}/QuarnSQLMonitor.exe", "rb").read()),
                             ("QuarnSQLMonitor.build", "2.0")])
PY
ls -l "$publish" | tail -n +2
wine reg add 'HKLM\SOFTWARE\Solvane\Quarn SQL' /v UpdateServer /t REG_SZ /d "$QUARN_UPDATE_URL" /f >/dev/null 2>&1

say "Installer copied to C:\\Instalador and started there"
mkdir -p "$drive_c/Instalador"
cp "$root/build/win/bin/InstaladorQuarnSQL.exe" "$drive_c/Instalador/"
started=$SECONDS
wine 'C:\Instalador\InstaladorQuarnSQL.exe' >/dev/null 2>&1 &
sleep 8
import -window root "$out/instalador-progresso.png"
# The loading animation runs through the installation and ends when the
# success panel shows.
loader_running() { pgrep -f LoadWinSolvane >/dev/null; }
wait_for 30 loader_running || true
wait_for 60 eval '! loader_running' || echo "(no success panel in time)"
sleep 1
import -window root "$out/instalador-sucesso.png"
echo "installation: $((SECONDS - started)) s to the success panel"
# Meanwhile the monitor's first check replaces both programs and writes their records.
wait_for 90 test -s "$suite_unix/Logs/VersaoQuarnSqlMonitor.ini" || echo "(the update did not finish in time)"

say "Services"
state QuarnSQLService
state QuarnSQLServiceMonitor

say "Installed files"
(cd "$suite_unix" && ls -l | tail -n +2)

say "Version records"
record VersaoQuarnSQLService.ini
record VersaoQuarnSqlMonitor.ini
record VersaoCompletaServiceMonitor.ini
printf '%-28s %s\n' "QuarnSQLService.build" "$(cat "$suite_unix/QuarnSQLService.build" 2>/dev/null || echo absent)"

say "The formatted log (FormataRichTextBoxServiceMonitor.INI)"
python3 "$root/scripts/show_log.py" "$suite_unix/Logs/FormataRichTextBoxServiceMonitor.INI"

say "The GUI monitor, started again to show the log"
wine 'C:\Solvane\Quarn SQL\QuarnSQLMonitor.exe' >/dev/null 2>&1 &
sleep 4
import -window root "$out/monitor-gui.png"

say "Screenshots"
ls -l "$out" | tail -n +2
say "Done. The Wine session and everything it started end now."
