#!/bin/sh
# Runs a Windows program under Wine against a simulated controller reached
# through gpio-tap, whose pty is mapped as COM8, and checks that the tap
# traced the session.
# usage: run_through_tap.sh GPIO_SIM GPIO_TAP WINE_RUN WINEPREFIX PROGRAM [ARGS...]
set -eu
sim=$1 tap=$2 run=$3 prefix=$4
shift 4
"$run" wineboot >/dev/null 2>&1 || true
link="$prefix/dosdevices/com8"
scratch=$(mktemp -d)
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "$link"
  rm -rf "$scratch"
}
# The program is bounded below ctest's 300 s, so that the cleanup runs.
trap cleanup EXIT INT TERM

# Waits until FILE has a line starting with PREFIX.
wait_for() {
  tries=0
  until grep -q "^$2" "$1" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
      echo "no \"$2\" in $1" >&2
      cat "$scratch"/*.err >&2
      exit 1
    fi
    sleep 0.05
  done
}

"$sim" >"$scratch/sim.out" 2>"$scratch/sim.err" &
pids="$pids $!"
wait_for "$scratch/sim.out" "path: "
device=$(sed -n 's/^path: //p' "$scratch/sim.out")
"$tap" "$device" --link "$link" >"$scratch/tap.out" 2>"$scratch/tap.err" &
pids="$pids $!"
wait_for "$scratch/tap.out" "link: "

status=0
WINEDEBUG=-all timeout -k 10 240 "$run" "$@" || status=$?
# The last reply is traced once relayed: give the tap a moment.
sleep 0.2
cat "$scratch/tap.out"
for meaning in 'ok version "GPIO-SIM 1.0"' 'ok level H' 'ok level L'; do
  if ! grep -q "dev->host  .*  $meaning\$" "$scratch/tap.out"; then
    echo "the tap did not trace a reply \"$meaning\"" >&2
    status=1
  fi
done
exit "$status"
