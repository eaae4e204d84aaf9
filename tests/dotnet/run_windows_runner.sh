#!/bin/sh
# Runs the C# binding's Windows test runner under Wine, inside
# run_with_serial_pairs.sh (whose pairs the tests' simulators serve), with
# gpio-sim.exe as the simulator and COM19 mapped to an empty regular file.
# Every test must run and pass: the runner's exit status says whether one
# failed, and its summary (ctest reads it) counts the skipped ones. Each
# test's result is printed (--output Detailed).
# usage: run_windows_runner.sh WINE_RUN WINEPREFIX RUNNER_EXE GPIO_SIM_EXE SOURCE_DIR [RUNNER_OPTIONS...]
set -eu
run=$1 prefix=$2 runner=$3 sim=$4 source=$5
shift 5
scratch=$(mktemp -d)
trap 'rm -f "$prefix/dosdevices/com19"; rm -rf "$scratch"' EXIT INT TERM
: >"$scratch/com19.file"
ln -sfn "$scratch/com19.file" "$prefix/dosdevices/com19"
windows() { printf 'Z:%s' "$(readlink -f "$1" | tr / '\\')"; }
# The runtime's W^X (code pages mapped twice, one view writable, one
# executable) is off: under Wine 8 freeing such code (a dynamic method's
# finalizer) can stop the runtime with an internal error.
export DOTNET_EnableWriteXorExecute=0
status=0
GPIOLINK_SIM=$(windows "$sim") GPIOLINK_SOURCE_DIR=$(windows "$source") GPIOLINK_TEST_FILE_PORT=COM19 \
  GPIOLINK_TEST_FILE=$(windows "$scratch/com19.file") \
  "$run" "$runner" --output Detailed --no-ansi --no-progress --results-directory "$(windows "$scratch")" "$@" \
  </dev/null >"$scratch/out" 2>&1 || status=$?
tr -d '\r' <"$scratch/out"
exit "$status"
