#!/bin/sh
# Runs the C# binding's Windows test runner under Wine, inside
# run_with_serial_pairs.sh (whose pairs the tests' simulators serve), with
# gpio-sim.exe as the simulator and COM19 mapped to an empty regular file.
# Every test must run and pass: the runner's exit status says whether one
# failed, and its summary (ctest reads it) counts the skipped ones. Each
# test's start and result are printed as they come (--output Detailed).
#
# The runner ends itself when a test runs for over a minute
# (EachTestBounded.cs); the whole run is bounded below ctest's limit too.
# On every exit, a time-out included, the runner and the simulators it
# started go with it: as soon as the runner ends, since a simulator left
# running would hold the runner's output open, and again on a signal.
# usage: run_windows_runner.sh WINE_RUN WINEPREFIX RUNNER_EXE GPIO_SIM_EXE SOURCE_DIR [RUNNER_OPTIONS...]
set -eu
run=$1 prefix=$2 runner=$3 sim=$4 source=$5
shift 5
bound=${GPIOLINK_RUNNER_SECONDS:-600}
scratch=$(mktemp -d)
windows() { printf 'Z:%s' "$(readlink -f "$1" | tr / '\\')"; }
runner_windows=$(windows "$runner")
sim_windows=$(windows "$sim")
# Wine starts the runner and its simulators outside this script's process
# tree: they are found by their command lines, the runner by its path and
# the simulators as this build's gpio-sim.exe serving one of the run's pairs.
stop_started() {
  for cmdline in /proc/[0-9]*/cmdline; do
    pid=${cmdline#/proc/}
    pid=${pid%/cmdline}
    command=$({ tr '\0' ' ' <"$cmdline"; } 2>/dev/null) || continue
    case "$command" in
      "$runner_windows "* | "$runner "*) kill -9 "$pid" 2>/dev/null || true ;;
      "$sim_windows --serial "*)
        port=${command#"$sim_windows --serial "}
        case ",${GPIOLINK_TEST_PAIRS:-}," in *":${port%% *},"*) kill -9 "$pid" 2>/dev/null || true ;; esac ;;
    esac
  done
}
cleanup() {
  stop_started
  rm -f "$prefix/dosdevices/com19"
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 143' INT TERM
: >"$scratch/com19.file"
ln -sfn "$scratch/com19.file" "$prefix/dosdevices/com19"
# The runtime's W^X (code pages mapped twice, one view writable, one
# executable) is off: under Wine 8 freeing such code (a dynamic method's
# finalizer) can stop the runtime with an internal error.
export DOTNET_EnableWriteXorExecute=0
# In the background, so that a signal to this script runs its trap at once
# rather than after the runner has ended.
{
  status=0
  GPIOLINK_SIM=$sim_windows GPIOLINK_SOURCE_DIR=$(windows "$source") GPIOLINK_TEST_FILE_PORT=COM19 \
    GPIOLINK_TEST_FILE=$(windows "$scratch/com19.file") \
    timeout -k 10 "$bound" "$run" "$runner" --output Detailed --no-ansi --no-progress \
    --results-directory "$(windows "$scratch")" "$@" </dev/null 2>&1 || status=$?
  echo "$status" >"$scratch/status"
  # A simulator that a runner which ended without its clean-up (killed by
  # its own bound, or crashed) left running holds this pipe open: the
  # output would never end.
  stop_started
} | sed -u 's/\r$//' &
wait $!
status=$(cat "$scratch/status")
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "the runner did not end within $bound s" >&2
fi
exit "$status"
