#!/bin/sh
# gpio-sim.exe on one end of a virtual null-modem pair under Wine, as a
# Windows developer runs it without hardware (docs/windows.md): it serves
# on COM6, and on COM5 gpioctl.exe and the DLL's own session tests drive
# it; `set` on its standard input changes what an input reads; Ctrl+C (the
# SIGINT that Wine turns into one) stops it with its summary. A second
# gpio-sim.exe on COM8, whose replies leave 150 ms after each request,
# serves the DLL's late-reply tests on COM7. Both write when each reply
# went out, on the clock of the tests under Wine, for the late-reply tests
# to judge by.
# Run by run_with_serial_pairs.sh, which maps the pairs COM5:COM6 and COM7:COM8.
# usage: serial_pair_session.sh WINE_RUN GPIO_SIM_EXE GPIOCTL_EXE E2E_TESTS_EXE
set -u
run=$1 sim=$2 gpioctl=$3 e2e=$4
. "$(dirname "$0")/../tools/tool_test_lib.sh"
[ "${GPIOLINK_TEST_PAIRS:-}" = "COM5:COM6,COM7:COM8" ] ||
  { echo "run through run_with_serial_pairs.sh with the pairs COM5:COM6,COM7:COM8"; exit 1; }
# windows FILE: FILE's name for a program under Wine.
windows() { printf 'Z:%s\n' "$(printf '%s' "$1" | tr / '\\')"; }

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
"$run" "$sim" --serial COM6 --magic-ports --trace --reply-times "$(windows "$work/controller.times")" <"$work/stdin" \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
pids="$pids $sim_pid"
"$run" "$sim" --serial COM8 --delay 150 --reply-times "$(windows "$work/late.times")" </dev/null \
  >"$work/late.out" 2>"$work/late.err" &
late_pid=$!
pids="$pids $late_pid"
for out in sim late; do
  for _ in $(seq 200); do
    grep -q '^serial: COM' "$work/$out.out" && break
    sleep 0.05
  done
  grep -q '^serial: COM' "$work/$out.out" ||
    { fail "gpio-sim.exe did not start" "$(cat "$work/$out.out" "$work/$out.err")"; exit 1; }
done
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

# The DLL's session tests, against the magic ports of gpio-sim.exe, and
# its late-reply tests; bounded below ctest's 300 s. (The files' names are
# no COMn.*: Windows opens that as the port.)
GPIOLINK_TEST_PORT=COM5 GPIOLINK_TEST_REPLY_TIMES=$(windows "$work/controller.times") GPIOLINK_TEST_LATE_PORT=COM7 \
  GPIOLINK_TEST_LATE_REPLY_TIMES=$(windows "$work/late.times") \
  timeout -k 10 200 "$run" "$e2e" --gtest_filter='WineSession.*:WineLateReplies.*' >"$work/e2e.out" 2>&1 </dev/null ||
  fail "win32_e2e_tests WineSession.* on COM5 and WineLateReplies.* on COM7" "$(tail -30 "$work/e2e.out")"
grep -E '^late replies|^\[  (PASSED|FAILED) ' "$work/e2e.out" | tr -d '\r'
# Every session test runs here: a skipped one is a fault of this script.
if grep -q '^\[  SKIPPED \]' "$work/e2e.out"; then
  fail "win32_e2e_tests WineSession.* skipped tests on COM5" "$(grep -E '^\[  SKIPPED \]' "$work/e2e.out")"
fi

kill -INT "$late_pid"
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
