#!/usr/bin/env bash
# clang-tidy (.clang-tidy) over our sources in both trees, from their
# compile_commands.json: every file of the native tree, and in the MinGW tree
# what only it builds (the Win32 adapters, programs and their tests; the
# portable core is the same code as in the native tree). Zero findings or it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
root=$PWD
tidy=$(command -v run-clang-tidy-14 || command -v run-clang-tidy)
status=0

"$tidy" -quiet -j"$jobs" -p build/native "$root/(common|monitor|installer|gui_monitor|aunzip32|standins|tools|tests|bench)/" \
  >build/tidy-native.log 2>&1 || status=1

# clang reads the MinGW tree as Windows code with the cross compiler's own C++
# headers (the ones beside its libstdc++), and the system headers beside them.
mingw=$(command -v x86_64-w64-mingw32-g++-posix || command -v x86_64-w64-mingw32-g++)
extra=(-extra-arg=--target=x86_64-w64-mingw32)
while read -r dir; do
  case "$dir" in
    */include/c++*|*/x86_64-w64-mingw32/include) extra+=("-extra-arg=-isystem$(realpath "$dir")") ;;
  esac
done < <("$mingw" -E -x c++ - -v </dev/null 2>&1 | sed -n '/<...> search starts/,/End of search/p' | grep '^ ')
"$tidy" -quiet -j"$jobs" -p build/win "${extra[@]}" \
  "$root/(common/win32|monitor/win32|installer/win32|installer/msi|gui_monitor|aunzip32|standins|tests/win|tests/e2e|bench/win)/" \
  >build/tidy-win.log 2>&1 || status=1

findings=$(grep -hE '(warning|error): ' build/tidy-native.log build/tidy-win.log | sort -u || true)
if [ -n "$findings" ]; then
  echo "$findings"
  echo "tidy: $(echo "$findings" | wc -l) findings (build/tidy-native.log, build/tidy-win.log)" >&2
  status=1
fi
[ $status -eq 0 ] && echo "tidy: no findings"
exit $status
