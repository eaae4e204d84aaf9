#!/bin/sh
# gpio-sim --serial on one end of a linked pair of pseudo-terminals (socat),
# as on one end of a null-modem cable: gpioctl drives it from the other
# end, its trace and `set` on standard input work as on its own pty, bytes
# that waited on the line before it started are no requests to it, and it
# holds the port as the library does.
# usage: serial_port_test.sh GPIOCTL GPIO_SIM
set -u
gpioctl=$1 sim=$2
command -v socat >/dev/null || { echo "socat is not installed (tools/install-deps.sh test)"; exit 1; }
. "$(dirname "$0")/../tools/tool_test_lib.sh"

start pair . sh -c "echo started; exec socat PTY,raw,echo=0,link='$work/host' PTY,raw,echo=0,link='$work/device'"
for _ in $(seq 100); do
  [ -e "$work/host" ] && [ -e "$work/device" ] && break
  sleep 0.05
done

# A request left on the line before the simulator was there (input port 0).
printf '\002\000\100\111\000\056\071\003' >"$work/host"

mkfifo "$work/stdin"
sleep 60 >"$work/stdin" &
pids="$pids $!"
# Started here rather than by start(): a command put in the background
# inside a function reads /dev/null, not the function's standard input.
"$sim" --serial "$work/device" --trace --json <"$work/stdin" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
pids="$pids $sim_pid"
for _ in $(seq 100); do
  [ -s "$work/sim.out" ] && break
  sleep 0.05
done
grep -qx "{\"serial\":\"$work/device\"}" "$work/sim.out" || fail "gpio-sim announced" "$(cat "$work/sim.out")"

run "$gpioctl" --port "$work/host" version
grep -q 'version GPIO-SIM 1.0' "$work/out" || fail "gpioctl version through the pair" "$(cat "$work/out" "$work/err")"
run "$gpioctl" --port "$work/host" output 2 0x5A
run "$gpioctl" --port "$work/host" input 2
grep -q 'value 0x5A' "$work/out" || fail "input 2 after output 2 0x5A" "$(cat "$work/out" "$work/err")"
echo "set 1 0x0F" >"$work/stdin"
for _ in $(seq 100); do
  grep -q 'port 1 reads 0x0F' "$work/sim.err" && break
  sleep 0.05
done
run "$gpioctl" --port "$work/host" input 1
grep -q 'value 0x0F' "$work/out" || fail "input 1 after 'set 1 0x0F' on standard input" "$(cat "$work/out" "$work/err")"

# The port is held as the library holds it: a second gpio-sim is refused.
refused 1 "cannot serve on $work/device: busy: $work/device is held by another process" \
  "$sim" --serial "$work/device"

kill -TERM "$sim_pid"
wait "$sim_pid" 2>/dev/null
# The stale request never reached the model: four requests, each traced.
requests=$(grep -c 'host->dev' "$work/sim.err")
[ "$requests" -eq 4 ] || fail "gpio-sim traced $requests requests (want the 4 sent while it served)" \
  "$(cat "$work/sim.err")"
grep -q '"event":"summary","requests":4,' "$work/sim.out" || fail "the summary on stop" "$(cat "$work/sim.out")"

# What it refuses.
refused 1 "cannot serve on $work/absent: no such device: $work/absent does not exist" "$sim" --serial "$work/absent"
refused 64 "with --serial there is none" "$sim" --serial "$work/device" --link "$work/link"
refused 64 "--group and --mode are for gpio-sim's own pseudo-terminal" "$sim" --serial "$work/device" --mode 660
refused 64 "wants an octal mode" "$sim" --mode 0999

# Its own terminal with a serial port's group and mode, for a service of
# that group; the system's group of the caller when dialout is not there.
group=$(getent group dialout >/dev/null && echo dialout || id -gn)
"$sim" --group "$group" --mode 0660 --link "$work/own" >"$work/own.out" 2>"$work/own.err" &
own_pid=$!
pids="$pids $own_pid"
for _ in $(seq 100); do
  [ -e "$work/own" ] && break
  sleep 0.05
done
[ "$(stat -L -c '%G %a' "$work/own")" = "$group 660" ] ||
  fail "gpio-sim --group $group --mode 0660" "$(stat -L -c '%G %a' "$work/own") $(cat "$work/own.err")"
kill -TERM "$own_pid"

finish serial-port
