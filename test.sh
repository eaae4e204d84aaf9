#!/usr/bin/env bash
# The project's test command: installs the missing Debian packages of the
# 'test' set (tools/deps/test.txt), then configures,
# builds and runs every test of four presets:
#   linux       the native build: unit, pty, end-to-end, valgrind, soak, tools
#   windows     the DLL cross-compiled with MinGW, its tests under wine64
#   linux-asan  the Linux suite under AddressSanitizer and UBSan
#   fuzz        the libFuzzer targets (clang), their seed corpora replayed
# and then fuzzes each target for GPIOLINK_FUZZ_SECONDS (default 30) from a
# scratch copy of its corpus; a crashing input is kept in build/fuzz/artifacts.
# Then ./release.sh builds the release into dist/, and each artefact is
# installed in an empty place and used (tests/release).
# Fails if any test fails or if no test ran; the last line counts them.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh test

jobs=$(nproc 2>/dev/null || echo 2)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0
failed=0

finish() {
  echo "tests: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] || exit 1
  exit "${1:-0}"
}

# Configures, builds and tests one preset, adding its counts.
run_preset() {
  local preset=$1 status=0 summary total bad
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log" || status=$?
  # "100% tests passed, 0 tests failed out of 58"
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  if [ -z "$summary" ]; then
    echo "== $preset: no test ran" >&2
    finish 1
  fi
  total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  if [ "$status" -ne 0 ] || [ "$bad" -ne 0 ]; then
    finish 1
  fi
}

for preset in linux windows linux-asan fuzz; do
  run_preset "$preset"
done

for target in fuzz_receiver fuzz_device_operation fuzz_command_payload; do
  echo "== fuzz: $target for ${GPIOLINK_FUZZ_SECONDS:-30} s"
  if tests/fuzz/run_fuzzer.sh "build/fuzz/tests/fuzz/$target" "tests/fuzz/corpus/$target" \
      "${GPIOLINK_FUZZ_SECONDS:-30}" "build/fuzz/artifacts/$target"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
done

# The release: ./release.sh builds every artefact into dist/, then each is
# installed in an empty place and used (tests/release). A test that cannot
# run here says why and exits with 77: it counts neither way.
release_test() {
  local name=$1 status=0
  shift
  echo "== release: $name"
  "$@" || status=$?
  case $status in
    0) passed=$((passed + 1)) ;;
    77) echo "== release: $name skipped" ;;
    *) failed=$((failed + 1)) ;;
  esac
}
release_test build ./release.sh
[ "$failed" -eq 0 ] || finish 1
sim=build/linux/tools/gpio_sim/gpio-sim
release_test windows_zip tests/release/windows_zip_test.sh dist
release_test debian_packages tests/release/debian_test.sh dist
release_test python_wheels tests/release/python_wheels_test.sh dist "$sim"
release_test panel_tarball tests/release/panel_test.sh dist build/linux
if ls dist/Gpiolink.*.nupkg >/dev/null 2>&1; then
  release_test nuget_package tests/release/nuget_test.sh dist "$sim"
else
  echo "== release: no NuGet package in dist/ (release.sh said why): its test is skipped"
fi
finish
