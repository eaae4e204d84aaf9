#!/usr/bin/env bash
# The project's test command: installs what is missing, then configures,
# builds and runs every test for Linux and for Windows (under wine64).
# Fails if any test fails or if no test ran.
set -euo pipefail
cd "$(dirname "$0")"

packages=(g++-mingw-w64-x86-64 wine64 libcli11-dev python3-pytest pkg-config)
missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64)
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null || missing+=(wine64)
[ -f /usr/include/CLI/CLI.hpp ] || missing+=(libcli11-dev)
/usr/bin/python3 -c 'import pytest' 2>/dev/null || missing+=(python3-pytest)
command -v pkg-config >/dev/null || missing+=(pkg-config)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "== installing ${packages[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${packages[@]}"
  else
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${packages[*]}" >&2
    exit 1
  fi
fi

jobs=$(nproc 2>/dev/null || echo 2)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0
failed=0
for preset in linux windows; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  status=0
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log" || status=$?
  # "100% tests passed, 0 tests failed out of 58"
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  if [ -z "$summary" ]; then
    echo "== $preset: no test ran" >&2
    exit 1
  fi
  total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  if [ "$status" -ne 0 ] || [ "$bad" -ne 0 ]; then
    echo "tests: $passed passed, $failed failed"
    exit 1
  fi
done
echo "tests: $passed passed, $failed failed"
