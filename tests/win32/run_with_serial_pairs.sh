#!/bin/sh
# Runs a command with virtual null-modem pairs mapped as Wine COM ports:
# socat links two pseudo-terminals, and the pair's two ends become COMn
# (the host's end, for the program under test) and COMn+1 (the device's
# end, for gpio-sim.exe --serial). The pairs are passed to the command as
# GPIOLINK_TEST_PAIRS="COM5:COM6,COM7:COM8,...".
# usage: run_with_serial_pairs.sh WINE_RUN WINEPREFIX FIRST COUNT COMMAND [ARGS...]
set -eu
run=$1 prefix=$2 first=$3 count=$4
shift 4
# Boot the prefix first: dosdevices exists only after that.
"$run" wineboot >/dev/null 2>&1 || true
dosdevices="$prefix/dosdevices"
scratch=$(mktemp -d)
pids="" links="" pairs="" devices=""
# Wine starts a Windows program's children outside this script's process
# tree: a gpio-sim.exe of this build (bin/ beside WINE_RUN) that the command
# left serving a pair's device end, a command killed at its time-out, is
# found by its command line, with the Unix or the Windows path.
sim_unix=$(readlink -f "$(dirname "$run")")/bin/gpio-sim.exe
sim_windows=Z:$(printf '%s' "$sim_unix" | tr / '\\')
stop_simulators() {
  for cmdline in /proc/[0-9]*/cmdline; do
    pid=${cmdline#/proc/}
    pid=${pid%/cmdline}
    command=$({ tr '\0' ' ' <"$cmdline"; } 2>/dev/null) || continue
    for end in $devices; do
      case "$command" in
        "$sim_unix --serial COM$end "* | "$sim_windows --serial COM$end "*) kill -9 "$pid" 2>/dev/null || true ;;
      esac
    done
  done
}
cleanup() {
  stop_simulators
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  for link in $links; do rm -f "$dosdevices/$link"; done
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 143' INT TERM

# socat stands in for a cable, which delays nothing: on a loaded machine a
# relay at the default priority was seen to hold a reply back for over 70 ms,
# longer than the silence by which the library tells a late reply from the
# next one. It runs at a higher priority where this user may raise one.
relay=""
if [ "$(nice -n -10 nice 2>/dev/null)" -lt "$(nice)" ]; then
  relay="nice -n -10"
fi
host=$first
while [ "$host" -lt $((first + 2 * count)) ]; do
  device=$((host + 1))
  $relay socat PTY,raw,echo=0,link="$scratch/com$host" PTY,raw,echo=0,link="$scratch/com$device" \
    2>"$scratch/socat$host.err" &
  pids="$pids $!"
  for _ in $(seq 100); do
    [ -e "$scratch/com$host" ] && [ -e "$scratch/com$device" ] && break
    sleep 0.05
  done
  for end in "$host" "$device"; do
    [ -e "$scratch/com$end" ] || { echo "socat made no pair for COM$host" >&2; cat "$scratch/socat$host.err" >&2; exit 1; }
    ln -sfn "$(readlink "$scratch/com$end")" "$dosdevices/com$end"
    links="$links com$end"
  done
  pairs="$pairs${pairs:+,}COM$host:COM$device"
  devices="$devices $device"
  host=$((device + 1))
done

# In the background, so that a signal to this script runs its trap (which
# passes the signal on) at once rather than after the command has ended.
GPIOLINK_TEST_PAIRS=$pairs WINEDEBUG=-all "$@" &
command=$!
trap 'kill "$command" 2>/dev/null; wait "$command"; exit 143' INT TERM
status=0
wait "$command" || status=$?
exit "$status"
