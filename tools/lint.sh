#!/usr/bin/env bash
# Static checks of the library: clang-tidy (with .clang-tidy) and cppcheck.
# The Win32 files are checked against the MinGW headers.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
posix_sources=$(ls src/*/*.cpp | grep -v _win32)
win32_sources=$(ls src/*/*_win32.cpp)
clang-tidy -p build/linux --quiet $posix_sources
mingw_cxx=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++ 2>/dev/null | head -1 || true)
if [ -n "$mingw_cxx" ]; then
  for source in $win32_sources; do
    clang-tidy --quiet "$source" -- --target=x86_64-w64-mingw32 -std=c++17 -Iinclude -Isrc -DGPIOLINK_BUILD \
      -isystem "$mingw_cxx" -isystem "$mingw_cxx/x86_64-w64-mingw32"
  done
fi
cppcheck --error-exitcode=1 --quiet --enable=warning,style,performance,portability --inline-suppr --std=c++17 \
  -I include -I src src
echo "lint clean"
