#!/usr/bin/env bash
# Builds the Windows programs with the commands of the README's "Build on
# Windows" section, as a contributor on Windows would run them: tests off, and
# a PATH of nothing but the build's own tools, so that no Wine is there to lean
# on. MSYS2's plain compiler names are MinGW's, so here the cross toolchain file
# stands in for them; everything else is the README's text, read from it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=build/recipe

commands=$(awk '/^## Build on Windows/ {on = 1; next} /^## / {on = 0} on && /^    cmake / {sub(/^    /, ""); print}' \
  "$root/README.md")
[ "$(grep -c '^cmake -S' <<<"$commands")" = 1 ] && [ "$(grep -c '^cmake --build' <<<"$commands")" = 1 ] || {
  echo "windows-recipe: the README's Windows section must hold one configure and one build command" >&2
  exit 1
}

tools="$root/$build.path"
rm -rf "$tools" "$root/$build"
mkdir -p "$tools"
for t in cmake ninja make sh bash env; do
  p=$(command -v "$t" || true)
  [ -n "$p" ] && ln -s "$p" "$tools/$t"
done
for p in /usr/bin/x86_64-w64-mingw32-*; do ln -s "$p" "$tools/"; done

cd "$root"
while read -r line; do
  line=${line//build\/win/$build}
  case $line in
    "cmake -S"*) line="$line --toolchain cmake/mingw-w64-x86_64.cmake" ;;
  esac
  echo "+ $line"
  env -i HOME="$HOME" PATH="$tools" bash -c "$line"
done <<<"$commands"

if ! grep -q '^WINE_EXECUTABLE:FILEPATH=WINE_EXECUTABLE-NOTFOUND$' "$build/CMakeCache.txt"; then
  echo "windows-recipe: the build found Wine; the check proves nothing" >&2
  exit 1
fi
for f in InstaladorQuarnSQL.exe QuarnSQLServiceMonitor.exe QuarnSQLService.exe AUNZIP32.DLL; do
  [ -f "$build/bin/$f" ] || { echo "windows-recipe: $build/bin/$f was not built" >&2; exit 1; }
done
echo "windows-recipe: the README's Windows recipe builds without Wine"

# A build to ship refuses, before building anything, without the maker's key;
# the release preset alone refuses it too, and a build tree's test key.
refuses() {  # refuses WHAT TEXT COMMAND...: the command fails and says TEXT
  local what=$1 text=$2 out
  shift 2
  if out=$("$@" 2>&1) || ! grep -q "$text" <<<"$out"; then
    echo "windows-recipe: $what did not refuse: $out" >&2
    exit 1
  fi
}
for target in release msi; do
  refuses "make $target without a key" "needs QUARN_UPDATE_PUBLIC_KEY_FILE" \
    make -s -C "$root" "$target" QUARN_UPDATE_PUBLIC_KEY_FILE=
done
refuses "the release preset without a key" QUARN_UPDATE_PUBLIC_KEY_FILE cmake --preset release -B "$root/build/release-refused"
refuses "the release preset with a test key" "test key" cmake --preset release -B "$root/build/release-refused" \
  -DQUARN_UPDATE_PUBLIC_KEY_FILE="$root/build/win/test-key/chave.hex"
rm -rf "$root/build/release-refused"
echo "windows-recipe: make release and make msi refuse without the maker's key"
