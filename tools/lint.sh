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
# be). The Win32 files take theirs from the windows preset's
# compile_commands.json (build/windows, configured if need be), compiled by
# clang for MinGW's target, where MinGW is installed. Every file is checked
# on its own, as many at once as there are cores.
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

# The Win32 files, with the flags of the windows preset's build, for clang:
# the MinGW compiler becomes clang with MinGW's target and C++ headers, and
# GCC's own options that clang does not know are left out.
mingw_cxx=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ 2>/dev/null | head -1 || true)
if [ -n "$mingw_cxx" ]; then
  if [ ! -f build/windows/compile_commands.json ]; then
    cmake --preset windows -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  fi
  mkdir -p "$scratch/windows"
  python3 - build/windows/compile_commands.json "$source_dir" "$mingw_cxx" >"$scratch/windows/compile_commands.json" <<'PY'
import json, os, shlex, sys
database, root, cxx = sys.argv[1], sys.argv[2], sys.argv[3]
gcc_only = {"-fno-keep-inline-dllexport", "-static-libgcc", "-static-libstdc++"}
entries = []
for entry in json.load(open(database)):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if not path.endswith("_win32.cpp") or path.split(os.sep)[0] not in ("src", "tools"):
        continue
    words = shlex.split(entry["command"])
    words = ["clang++", "--target=x86_64-w64-mingw32", "-isystem", cxx, "-isystem", cxx + "/x86_64-w64-mingw32"] + \
        [word for word in words[1:] if word not in gcc_only]
    entries.append({"directory": entry["directory"], "file": entry["file"], "command": shlex.join(words)})
json.dump(entries, sys.stdout, indent=1)
PY
  python3 -c 'import json, sys; print("\n".join(e["file"] for e in json.load(open(sys.argv[1]))))' \
    "$scratch/windows/compile_commands.json" >"$scratch/win32"
  grep '/src/' "$scratch/win32" | xargs -r -P "$jobs" -n 1 clang-tidy -p "$scratch/windows" --quiet >>"$log" 2>&1 || failed=1
  grep '/tools/' "$scratch/win32" |
    xargs -r -P "$jobs" -n 1 clang-tidy -p "$scratch/windows" --quiet --checks=-clang-analyzer-* >>"$log" 2>&1 || failed=1
fi

cppcheck --error-exitcode=1 --quiet --enable=warning,style,performance,portability --inline-suppr --std=c++17 \
  -j "$jobs" -I include -I src -I tools/common src tools >>"$log" 2>&1 || failed=1

if [ "$failed" -ne 0 ]; then
  grep -v '^[0-9]* warnings\? generated\.$' "$log" || true
  echo "lint: findings above"
  exit 1
fi
echo "lint clean"
