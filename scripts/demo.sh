#!/usr/bin/env bash
# The suite's main job, shown in a throwaway Wine session (run through
# scripts/wine-session.sh by `make demo`): quarn-publish signs a newer build of
# the backup service and of the GUI monitor into the folder nginx serves; the
# installer, copied into drive C, installs the suite; the monitor's first check
# verifies and installs both programs. Then a build tampered with after signing
# is refused. Screenshots go to build/demo/.
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

publisher="$root/build/native/tools/quarn-publish/quarn-publish"
[ -x "$publisher" ] || cmake --build "$root/build/native" --target quarn-publish >/dev/null
[ -n "${QUARN_NGINX_URL:-}" ] || { echo "demo: nginx did not start (scripts/serve-nginx.sh)"; exit 1; }
keys="$WINEPREFIX/chaves"
mkdir -p "$keys"
build() {  # build VERSION PROGRAM: the program file and a file naming the build
  mkdir -p "$keys/$1"
  cp "$root/build/win/bin/$2.exe" "$keys/$1/"
  printf '%s\r\n' "$1" > "$keys/$1/$2.build"
}

say "quarn-publish: a signing key, and build 2.0 of both programs signed into the folder nginx serves at $QUARN_NGINX_URL"
"$publisher" keygen "$keys/privada.pem" "$keys/publica.hex" | sed 's/^/public key: /'
# A fleet that has seen no publication yet: the first is number 1.
for p in QuarnSQLService QuarnSQLMonitor; do
  build 2.0 "$p"
  "$publisher" publish --key "$keys/privada.pem" --program "$p" --version 2.0 --out "$QUARN_NGINX_ROOT" --number 1 \
    "$keys/2.0/$p.exe" "$keys/2.0/$p.build"
done
curl -s -o /dev/null -w 'nginx serves QuarnSQLService.zip: HTTP %{http_code}, %{size_download} bytes\n' \
  "$QUARN_NGINX_URL/CentralUpdate/QuarnSqlSolvane/QuarnSQLService.zip" || true
wine reg add 'HKLM\SOFTWARE\Solvane\Quarn SQL' /v UpdateServer /t REG_SZ /d "$QUARN_NGINX_URL" /f >/dev/null 2>&1
wine reg add 'HKLM\SOFTWARE\Solvane\Quarn SQL' /v UpdatePublicKeys /t REG_SZ /d "$(cat "$keys/publica.hex")" /f >/dev/null 2>&1
echo "registry: UpdateServer and UpdatePublicKeys set under HKLM\SOFTWARE\Solvane\Quarn SQL"

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

say "The metrics file a fleet's Prometheus reads (Logs\\quarn_sql.prom)"
grep -v '^#' "$suite_unix/Logs/quarn_sql.prom" || echo "(absent)"

say "The formatted log (FormataRichTextBoxServiceMonitor.INI)"
python3 "$root/scripts/show_log.py" "$suite_unix/Logs/FormataRichTextBoxServiceMonitor.INI"

say "The GUI monitor, started again to show the log"
wine 'C:\Solvane\Quarn SQL\QuarnSQLMonitor.exe' >/dev/null 2>&1 &
gui=$!
sleep 4
import -window root "$out/monitor-gui.png"
kill "$gui" 2>/dev/null || true

say "Build 2.1 of the backup service: signed, then its program file changed on the server"
build 2.1 QuarnSQLService
"$publisher" publish --key "$keys/privada.pem" --program QuarnSQLService --version 2.1 --out "$QUARN_NGINX_ROOT" \
  "$keys/2.1/QuarnSQLService.exe" "$keys/2.1/QuarnSQLService.build" >/dev/null
python3 - "$QUARN_NGINX_ROOT/QuarnSQLService.zip" <<'PY'
import sys, zipfile
path = sys.argv[1]
with zipfile.ZipFile(path) as z:
    entries = {n: z.read(n) for n in z.namelist()}
entries["QuarnSQLService.exe"] += b"payload added after signing"
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
    for n, d in entries.items():
        z.writestr(n, d)
print("QuarnSQLService.exe in the served archive: %d bytes, the manifest still lists the signed size" % len(entries["QuarnSQLService.exe"]))
PY
wine net stop QuarnSQLServiceMonitor >/dev/null 2>&1 || true
wine net start QuarnSQLServiceMonitor >/dev/null 2>&1 || true
refused() { grep -aq 'Update Sistema QuarnSQLService' "$suite_unix/Logs/FormataRichTextBoxServiceMonitor.INI" 2>/dev/null; }
wait_for 60 refused || echo "(no refusal reported in time)"
sleep 1
python3 "$root/scripts/show_log.py" "$suite_unix/Logs/FormataRichTextBoxServiceMonitor.INI" | tail -n 8
echo
record VersaoQuarnSQLService.ini
printf '%-28s %s\n' "QuarnSQLService.build" "$(cat "$suite_unix/QuarnSQLService.build" 2>/dev/null || echo absent)"
state QuarnSQLService
printf 'ErrorQuarn.ini (last line): '; tail -n 1 "$suite_unix/ErrorQuarn.ini" | iconv -f CP1252 -t UTF-8 2>/dev/null || true
echo
echo "quarn_sql.prom:"
grep -a '^quarn_update_last_check_result\|^quarn_build_info\|^quarn_backup_service_up' "$suite_unix/Logs/quarn_sql.prom" | sed 's/^/  /' || true

say "The GUI monitor, showing the refusal"
wine 'C:\Solvane\Quarn SQL\QuarnSQLMonitor.exe' >/dev/null 2>&1 &
sleep 4
import -window root "$out/monitor-gui-recusa.png"

say "Screenshots"
ls -l "$out" | tail -n +2
say "Done. The Wine session and everything it started end now."
