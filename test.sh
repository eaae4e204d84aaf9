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
# Fails if any test fails or if no test ran; the last lines are the time
# each phase took and the counts: "tests: N passed, N failed, N skipped". A test that this machine cannot
# run is skipped, and counts as such; under CI=true a skipped test that must
# run on the project's machines fails (tools/test_tally.sh): the Win32
# end-to-end fixtures (ctest label must-run) and the release tests.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh test
. tools/test_tally.sh

jobs=$(nproc 2>/dev/null || echo 2)
junit=$(mktemp)
trap 'rm -f "$junit"' EXIT

# The time of each phase, printed at the end: "name seconds" a line.
phases=
phase_started=0
phase() {
  phases+="$(printf '%-28s %5d s' "$1" $((SECONDS - phase_started)))"$'\n'
  phase_started=$SECONDS
}
phase "packages"

finish() {
  echo "== time of each phase (${SECONDS} s in all)"
  printf '%s' "$phases"
  tally_line
  [ "$tally_failed" -eq 0 ] || exit 1
  exit "${1:-0}"
}

# Configures, builds and tests one preset, adding its counts.
run_preset() {
  local preset=$1 status=0 failed_before=$tally_failed must_run
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  phase "$preset: build"
  echo "== $preset: test"
  rm -f "$junit"
  ctest --preset "$preset" -j "$jobs" --output-junit "$junit" || status=$?
  phase "$preset: test"
  must_run=$(ctest --preset "$preset" -N -L '^must-run$' | ctest_names)
  if ! tally_ctest "$junit" "$must_run"; then
    echo "== $preset: no test ran" >&2
    finish 1
  fi
  if [ "$status" -ne 0 ] || [ "$tally_failed" -ne "$failed_before" ]; then
    finish 1
  fi
}

for preset in linux windows linux-asan fuzz; do
  run_preset "$preset"
done

for target in fuzz_receiver fuzz_device_operation fuzz_command_payload fuzz_modbus_request; do
  echo "== fuzz: $target for ${GPIOLINK_FUZZ_SECONDS:-30} s"
  status=0
  tests/fuzz/run_fuzzer.sh "build/fuzz/tests/fuzz/$target" "tests/fuzz/corpus/$target" \
    "${GPIOLINK_FUZZ_SECONDS:-30}" "build/fuzz/artifacts/$target" || status=$?
  tally_result "fuzz $target" "$status" yes
  phase "fuzz: $target"
done

# The release: ./release.sh builds every artefact into dist/, then each is
# installed in an empty place and used (tests/release). A test that cannot
# run here says why and exits with 77: it counts as skipped. Every release
# test must run on the project's machines, but the Debian packages' test
# leaves a machine alone that has another copy of the packages installed.
debian_packages=$(sed -n 's/^Package: //p' packaging/debian/control)
release_test() {
  local name=$1 status=0 must=yes
  shift
  echo "== release: $name"
  "$@" || status=$?
  phase "release: $name"
  if [ "$status" -eq 77 ]; then
    echo "== release: $name skipped"
    # shellcheck disable=SC2086
    if [ "$name" = debian_packages ] &&
      dpkg-query -W -f='${db:Status-Status}\n' $debian_packages 2>/dev/null | grep -qx installed; then
      must=no
    fi
  fi
  tally_result "release $name" "$status" "$must"
}
release_test build ./release.sh
[ "$tally_failed" -eq 0 ] || finish 1
sim=build/linux/tools/gpio_sim/gpio-sim
release_test windows_zip tests/release/windows_zip_test.sh dist
release_test debian_packages tests/release/debian_test.sh dist
release_test python_wheels tests/release/python_wheels_test.sh dist "$sim"
release_test panel_tarball tests/release/panel_test.sh dist build/linux
if ls dist/Gpiolink.*.nupkg >/dev/null 2>&1; then
  release_test nuget_package tests/release/nuget_test.sh dist "$sim"
else
  echo "== release: no NuGet package in dist/ (release.sh said why): its test is skipped"
  tally_result "release nuget_package" 77 yes
fi
finish
