#!/usr/bin/env bash
# Static checks of the library and the tools: clang-tidy (with .clang-tidy)
# and cppcheck over the project's own sources in src/ and tools/ (not the
# tests, not third-party headers). Prints nothing but "lint clean" when all
# is clean; else the findings, and exits 1.
#
#   tools/lint.sh [BUILD_DIR]
#
# BUILD_DIR is a build of the linux preset, whose compile_commands.json
# gives each POSIX file's flags (default build/linux, configured if need
# be). The Win32 files are checked against the MinGW headers, where they
# are installed.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
cd "$source_dir"
build_dir=${1:-build/linux}
if [ ! -f "$build_dir/compile_commands.json" ]; then
  cmake --preset linux >/dev/null
fi
jobs=$(nproc)
log=$(mktemp)
scratch=$(mktemp -d)
trap 'rm -rf "$log" "$scratch"' EXIT
failed=0

# clang-tidy prints "N warnings generated." for the warnings it kept quiet
# (those in system headers): only its findings are shown.
tidy() {
  if ! "$@" >>"$log" 2>&1; then
    failed=1
  fi
}

# The POSIX files, as the build compiles them.
python3 - "$build_dir/compile_commands.json" "$source_dir" >"$scratch/posix" <<'PY'
import json, os, sys
root, seen = sys.argv[2], set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if path.split(os.sep)[0] in ("src", "tools") and path not in seen:
        seen.add(path)
        print(path)
PY
# The library gets every check of .clang-tidy. The tools get them all but
# the path-sensitive analyzer (clang-analyzer-*), which takes some 15 s a
# file of the tools (their std::function, strings and JSON) against 4 s
# for the library's, and would make the run take the quarter of an hour.
grep '^src/' "$scratch/posix" | xargs -r -P "$jobs" -n 4 clang-tidy -p "$build_dir" --quiet >>"$log" 2>&1 || failed=1
grep '^tools/' "$scratch/posix" |
  xargs -r -P "$jobs" -n 4 clang-tidy -p "$build_dir" --quiet --checks=-clang-analyzer-* >>"$log" 2>&1 || failed=1

# The Win32 files. The tools' headers need nlohmann-json's, which MinGW's
# root does not hold: its folder alone comes along, not the rest of the
# build machine's headers.
mingw_cxx=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ 2>/dev/null | head -1 || true)
if [ -n "$mingw_cxx" ]; then
  mkdir -p "$scratch/json"
  ln -s /usr/include/nlohmann "$scratch/json/nlohmann"
  for source in $(ls src/*/*_win32.cpp tools/*/*_win32.cpp); do
    checks=
    case $source in tools/*) checks=--checks=-clang-analyzer-* ;; esac
    tidy clang-tidy --quiet $checks "$source" -- --target=x86_64-w64-mingw32 -std=c++17 -Iinclude -Isrc -Itools/common \
      -Itools/gpio_sim -isystem "$scratch/json" -DGPIOLINK_BUILD -DGPIOLINK_STATIC \
      -isystem "$mingw_cxx" -isystem "$mingw_cxx/x86_64-w64-mingw32"
  done
fi

cppcheck --error-exitcode=1 --quiet --enable=warning,style,performance,portability --inline-suppr --std=c++17 \
  -j "$jobs" -I include -I src -I tools/common src tools >>"$log" 2>&1 || failed=1

if [ "$failed" -ne 0 ]; then
  grep -v '^[0-9]* warnings\? generated\.$' "$log" || true
  echo "lint: findings above"
  exit 1
fi
echo "lint clean"
