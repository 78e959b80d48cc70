#!/usr/bin/env bash
# Publications for the signed-build cases of the end-to-end tier, made with
# quarn-publish (native tree) and then damaged the ways an attacker or a
# broken mirror would. One folder per case under $WINEPREFIX/casos-assinados,
# each holding the two archives the monitor fetches for the backup service.
# The trusted key is the one the test build of the monitor carries
# (test-key/ of the build tree): chave.pem signs, chave.hex is its public half. Every build's program file carries
# "QUARN-BUILD <version>" at its end, as the other end-to-end builds do.
#   tests/e2e/signed_cases.sh BIN_FOLDER
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
bin="$(cd "$1" && pwd)"
publish="${QUARN_PUBLISH:-$root/build/native/tools/quarn-publish/quarn-publish}"
[ -x "$publish" ] || cmake --build "$root/build/native" --target quarn-publish >/dev/null
out="$WINEPREFIX/casos-assinados"
rm -rf "$out"
mkdir -p "$out/src"
cd "$out"
cp "$bin/../test-key/chave.pem" "$bin/../test-key/chave.hex" .
"$publish" keygen outra.pem outra.hex >/dev/null

# build VERSION [FILLER_MB]: a program file of that build in src/VERSION/
build() {
  mkdir -p "src/$1"
  { cat "$bin/QuarnSQLService.exe"
    [ "${2:-0}" -gt 0 ] && head -c "$(( $2 * 1024 * 1024 ))" /dev/urandom
    printf '\r\nQUARN-BUILD %s\r\n' "$1"; } > "src/$1/QuarnSQLService.exe"
  printf '%s\r\n' "$1" > "src/$1/QuarnSQLService.build"
}
# case NAME VERSION [KEY] [FILLER_MB] [NUMBER]: a signed publication of build VERSION.
# Publication 10 unless told: newer than the 5 of "assinado", the first one
# a row installs, so that only "antiga" is older than what is installed.
case_() {
  build "$2" "${4:-0}"
  "$publish" publish --key "${3:-chave.pem}" --program QuarnSQLService --version "$2" --out "$1" \
    --number "${5:-10}" "src/$2/QuarnSQLService.exe" "src/$2/QuarnSQLService.build" >/dev/null
}

case_ base s1 chave.pem 0 1
case_ assinado s2 chave.pem 0 5
case_ antiga s-antiga chave.pem 0 3
case_ plantado s-plantado
# A build whose program stops with an error as soon as the service manager starts it.
mkdir -p src/s-nao-inicia
{ cat "$bin/../tests/QuarnDummyServiceRefusing.exe"; printf '\r\nQUARN-BUILD s-nao-inicia\r\n'; } > src/s-nao-inicia/QuarnSQLService.exe
printf 's-nao-inicia\r\n' > src/s-nao-inicia/QuarnSQLService.build
"$publish" publish --key chave.pem --program QuarnSQLService --version s-nao-inicia --out nao-inicia --number 10 \
  src/s-nao-inicia/QuarnSQLService.exe src/s-nao-inicia/QuarnSQLService.build >/dev/null
# Signed ten days ago, valid for one: expired nine days ago.
SOURCE_DATE_EPOCH=$(( $(date +%s) - 10 * 86400 )) case_ vencida s-vencida
SOURCE_DATE_EPOCH=$(( $(date +%s) - 10 * 86400 )) "$publish" resign --key chave.pem --program QuarnSQLService \
  --out vencida --valid-days 1 --allow-expired >/dev/null
case_ outra-chave s3 outra.pem
for c in alterado adicionado removido truncado vazio lixo sem-manifesto sem-chave; do case_ "$c" "s-$c"; done
case_ grande s-grande chave.pem 50
# The GUI monitor's signed build offered as the backup service's: a mix-up of
# the two. quarn-publish puts no other program's file in a build, so its
# program file is renamed to the service's below, after signing.
build s-outro-programa
cp "src/s-outro-programa/QuarnSQLService.exe" "src/s-outro-programa/QuarnSQLMonitor.exe"
"$publish" publish --key chave.pem --program QuarnSQLMonitor --version s-outro-programa --out outro-programa \
  --number 10 src/s-outro-programa/QuarnSQLMonitor.exe >/dev/null
mv outro-programa/QuarnSQLMonitor.zip outro-programa/QuarnSQLService.zip
rm outro-programa/VersaoQuarnSqlMonitor.zip
case_ registro-outro-programa s-outro-programa
mv registro-outro-programa/VersaoQuarnSQLService.zip outro-programa/
rm -rf registro-outro-programa
# Signed as s-outra-versao-assinada, offered as s-outra-versao.
case_ outra-versao s-outra-versao-assinada
case_ registro-outra-versao s-outra-versao
cp registro-outra-versao/VersaoQuarnSQLService.zip outra-versao/
rm -rf registro-outra-versao

# A staged rollout: 1 % of the fleet, widened to all, then held.
build s-gradual
"$publish" publish --key chave.pem --program QuarnSQLService --version s-gradual --out gradual --number 20 \
  --rollout 1 src/s-gradual/QuarnSQLService.exe src/s-gradual/QuarnSQLService.build >/dev/null
cp -r gradual ampliada
"$publish" rollout --key chave.pem --program QuarnSQLService --out ampliada --percent 100 >/dev/null
cp -r ampliada suspensa
"$publish" hold --key chave.pem --program QuarnSQLService --out suspensa >/dev/null

python3 - "$out" <<'PY'
import sys, zipfile
out = sys.argv[1]
def rewrite(case, change, archive="QuarnSQLService.zip"):
    path = f"{out}/{case}/{archive}"
    with zipfile.ZipFile(path) as z:
        entries = {n: z.read(n) for n in z.namelist()}
    change(entries)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries.items():
            z.writestr(name, data)
def flip_tag(e):  # same size, one byte of the build's name changed
    exe = bytearray(e["QuarnSQLService.exe"]); exe[-3] ^= 1; e["QuarnSQLService.exe"] = bytes(exe)
rewrite("alterado", flip_tag)
rewrite("adicionado", lambda e: e.__setitem__("extra.dll", b"not signed"))
rewrite("removido", lambda e: e.pop("QuarnSQLService.build"))
rewrite("truncado", lambda e: e.__setitem__("QuarnManifest.txt", e["QuarnManifest.txt"][:-60]))
rewrite("vazio", lambda e: e.__setitem__("QuarnManifest.txt", b""))
rewrite("lixo", lambda e: e.__setitem__("QuarnManifest.txt", bytes(range(256)) * 4))
rewrite("sem-manifesto", lambda e: e.pop("QuarnManifest.txt"))
rewrite("sem-chave", lambda e: e.pop("QuarnManifest.txt"))
rewrite("outro-programa", lambda e: e.__setitem__("QuarnSQLService.exe", e.pop("QuarnSQLMonitor.exe")))
# A version archive carrying more than its record: a journal of the GUI
# monitor's that names a file outside the suite, a program file, a stray file.
def plant(e):
    e["QuarnSQLMonitor.pendente"] = b"9\r\n1\r\n+..\\..\\windows\\win.ini\r\n.\r\n"
    e["QuarnSQLService.exe"] = b"planted"
    e["plantado.txt"] = b"planted"
    e["../../plantado.txt"] = b"planted"
rewrite("plantado", plant, "VersaoQuarnSQLService.zip")
PY
rm -rf src
ls "$out"
