#!/bin/sh
# gpio-sim.exe on one end of a virtual null-modem pair under Wine, as a
# Windows developer runs it without hardware (docs/windows.md): it serves
# on COM6, and on COM5 gpioctl.exe and the DLL's own session tests drive
# it; `set` on its standard input changes what an input reads; Ctrl+C (the
# SIGINT that Wine turns into one) stops it with its summary.
# Run by run_with_serial_pairs.sh, which maps the pair COM5:COM6.
# usage: serial_pair_session.sh WINE_RUN GPIO_SIM_EXE GPIOCTL_EXE E2E_TESTS_EXE
set -u
run=$1 sim=$2 gpioctl=$3 e2e=$4
. "$(dirname "$0")/../tools/tool_test_lib.sh"
[ "${GPIOLINK_TEST_PAIRS:-}" = "COM5:COM6" ] || { echo "run through run_with_serial_pairs.sh with the pair COM5:COM6"; exit 1; }

# stdin LINE: gpio-sim.exe takes LINE on its standard input; waits until it
# has said so on stderr with PATTERN.
stdin() {
  echo "$1" >"$work/stdin"
  for _ in $(seq 100); do
    grep -q "$2" "$work/sim.err" && return
    sleep 0.05
  done
  fail "gpio-sim.exe did not take '$1'" "$(tail -3 "$work/sim.err")"
}

mkfifo "$work/stdin"
sleep 300 >"$work/stdin" &
pids="$pids $!"
"$run" "$sim" --serial COM6 --magic-ports --trace <"$work/stdin" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
pids="$pids $sim_pid"
for _ in $(seq 200); do
  grep -q '^serial: COM6' "$work/sim.out" && break
  sleep 0.05
done
grep -q '^serial: COM6' "$work/sim.out" || { fail "gpio-sim.exe did not start" "$(cat "$work/sim.out" "$work/sim.err")"; exit 1; }
cat "$work/sim.out"

# gpioctl COMMAND... on COM5: its output, shown, and in $out.
gpioctl() {
  out=$("$run" "$gpioctl" --port COM5 "$@" 2>&1 </dev/null | tr -d '\r')
  echo "gpioctl.exe --port COM5 $*: $out"
}
gpioctl version
case $out in *"version GPIO-SIM 1.0"*) ;; *) fail "version" "$out" ;; esac
gpioctl output 2 0x5A
gpioctl input 2
case $out in *"value 0x5A"*) ;; *) fail "input 2 after output 2 0x5A" "$out" ;; esac
stdin "set 1 0x0F" 'port 1 reads 0x0F'
gpioctl input 1
case $out in *"value 0x0F"*) ;; *) fail "input 1 after 'set 1 0x0F' on gpio-sim.exe's standard input" "$out" ;; esac
# Port 1 reads its latch again for the tests below.
stdin "release 1" 'port 1 reads its latch'

# The DLL's session tests, against the magic ports of gpio-sim.exe.
GPIOLINK_TEST_PORT=COM5 "$run" "$e2e" --gtest_filter='WineSession.*' >"$work/e2e.out" 2>&1 </dev/null ||
  fail "win32_e2e_tests WineSession.* on COM5" "$(tail -30 "$work/e2e.out")"
grep -E '^\[  (PASSED|FAILED) ' "$work/e2e.out"
# Every session test runs here: a skipped one is a fault of this script.
if grep -q '^\[  SKIPPED \]' "$work/e2e.out"; then
  fail "win32_e2e_tests WineSession.* skipped tests on COM5" "$(grep -E '^\[  SKIPPED \]' "$work/e2e.out")"
fi

kill -INT "$sim_pid"
for _ in $(seq 100); do
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
grep -q '^gpio-sim: [0-9]* requests' "$work/sim.err" || fail "no summary after Ctrl+C" "$(tail -5 "$work/sim.err")"
tail -1 "$work/sim.err"

# What it refuses: no pseudo-terminals on Windows, and a port that is not there.
refused 64 "no pseudo-terminals: give --serial PORT" "$run" "$sim"
refused 1 "cannot serve on COM99: no such device: COM99 does not exist; the system lists" "$run" "$sim" --serial COM99
finish gpio-sim.exe-serial
