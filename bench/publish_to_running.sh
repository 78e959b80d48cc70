#!/usr/bin/env bash
# Inside a Wine session (scripts/bench.sh): the time from `quarn-publish
# publish` into the folder nginx serves to the backup service running the new
# build. The monitor's check is brought forward by restarting it (it would
# otherwise come with its three-hourly timer). Prints an "@figure" row.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
publish="${QUARN_PUBLISH:-$root/build/native/tools/quarn-publish/quarn-publish}"
suite="$WINEPREFIX/drive_c/Solvane/Quarn SQL"
work="$(mktemp -d)"
cd "$work"  # wine net/sc would run a net.exe or sc.exe of the current folder
[ -n "${QUARN_NGINX_URL:-}" ] || { echo "no nginx in this session"; exit 1; }

"$publish" keygen chave.pem chave.hex >/dev/null
wine reg add 'HKLM\SOFTWARE\Solvane\Quarn SQL' /v UpdateServer /t REG_SZ /d "$QUARN_NGINX_URL" /f >/dev/null 2>&1
wine reg add 'HKLM\SOFTWARE\Solvane\Quarn SQL' /v UpdatePublicKeys /t REG_SZ /d "$(cat chave.hex)" /f >/dev/null 2>&1
# Each build's probation as short as the test tree allows: a check waits while one runs.
wine reg add 'HKLM\SOFTWARE\Solvane\Quarn SQL' /v UpdateProbationSeconds /t REG_DWORD /d 2 /f >/dev/null 2>&1
build() {
  mkdir -p "$1"
  cp "$root/build/win/bin/QuarnSQLService.exe" "$1/"
  printf '%s\r\n' "$1" > "$1/QuarnSQLService.build"
}
installed() { [ "$( (tr -d '\r\n' < "$suite/QuarnSQLService.build") 2>/dev/null)" = "$1" ]; }
# The update is done once its probation passed and its journal went.
settled() { [ ! -e "$suite/Temp/QuarnSQLService.pendente" ]; }
wait_for() { local end=$((SECONDS + $1)); shift; until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.05; done; }

build b1
build b2
"$publish" publish --key chave.pem --program QuarnSQLService --version b1 --out "$QUARN_NGINX_ROOT" --number 1 b1/* >/dev/null
mkdir -p "$WINEPREFIX/drive_c/Instalador"
cp "$root/build/win/bin/InstaladorQuarnSQL.exe" "$WINEPREFIX/drive_c/Instalador/"
wine 'C:\Instalador\InstaladorQuarnSQL.exe' >/dev/null 2>&1 &  # stays at its success panel: the prefix stays up
wait_for 120 installed b1 || { echo "the signed first build was not installed"; exit 1; }
wait_for 60 settled || { echo "the first build's update did not settle"; exit 1; }

runs=()
for v in b2 b1 b2; do
  t0=$(date +%s%N)
  "$publish" publish --key chave.pem --program QuarnSQLService --version "$v" --out "$QUARN_NGINX_ROOT" "$v"/* >/dev/null
  wine net stop QuarnSQLServiceMonitor >/dev/null 2>&1 || true
  rm -f "$suite/Logs/FormataRichTextBoxServiceMonitor.INI"
  wine net start QuarnSQLServiceMonitor >/dev/null 2>&1 || true
  wait_for 120 installed "$v" || { echo "build $v did not arrive"; exit 1; }
  wait_for 30 grep -aqs 'Startado Service' "$suite/Logs/FormataRichTextBoxServiceMonitor.INI"
  wait_for 30 sh -c 'wine sc query QuarnSQLService 2>/dev/null | tr -d "\0\r" | grep -aq RUNNING'
  ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  echo "published $v -> running in $ms ms (served by nginx)"
  runs+=("$ms")
  wait_for 60 settled || { echo "build $v did not settle"; exit 1; }
done
best=$(printf '%s\n' "${runs[@]}" | sort -n | head -1)
printf '@figure\tpublish to running, served by nginx (monitor restarted to check)\t%s.%02d s\t\t\n' \
  $((best / 1000)) $(((best % 1000) / 10))

# A check when nothing changed: the version archive is asked for only if it
# changed, so nginx answers 304 with no body. Counted from its access log.
log="$WINEPREFIX/nginx/access.log"
before=$(wc -l < "$log")
wine net stop QuarnSQLServiceMonitor >/dev/null 2>&1 || true
rm -f "$suite/Logs/FormataRichTextBoxServiceMonitor.INI"
wine net start QuarnSQLServiceMonitor >/dev/null 2>&1 || true
wait_for 60 grep -aqs 'VersaoQuarnSqlMonitor.Local' "$suite/Logs/FormataRichTextBoxServiceMonitor.INI" ||
  { echo "the check did not end"; exit 1; }
read -r requests bytes codes < <(tail -n +"$((before + 1))" "$log" | grep 'VersaoQuarnSQLService.zip' |
  awk '{n++; b+=$10; c=c $9 " "} END {print n+0, b+0, c}')
whole=$(stat -c %s "$QUARN_NGINX_ROOT/VersaoQuarnSQLService.zip")
echo "unchanged check of the published version archive: $requests requests ($codes), $bytes body bytes; whole it is $whole bytes"
printf '@figure\tserver body bytes of a check of an unchanged version archive (%s)\t%s B\twhole: %s B\t\n' \
  "${codes% }" "$bytes" "$whole"
