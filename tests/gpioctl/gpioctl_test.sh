#!/bin/sh
# gpioctl as a user runs it: output lines, JSON and exit statuses.
# usage: gpioctl_test.sh [EMULATOR] GPIOCTL
# With an emulator (the Windows build under Wine) only the checks that need
# no controller run; on Linux every command runs against --simulate.
set -u
if [ $# -eq 2 ]; then run="$1 $2"; simulate=""; else run="$1"; simulate="yes"; fi
failures=0

# expect STATUS PATTERN ARGS...: the exit status and a line matching PATTERN.
expect() {
  status=$1 pattern=$2
  shift 2
  out=$($run "$@" 2>&1)
  got=$?
  if [ "$got" -ne "$status" ] || ! printf '%s\n' "$out" | grep -Eq -- "$pattern"; then
    echo "FAIL: gpioctl $*: exit $got (want $status), output:"
    printf '%s\n' "$out" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}

expect 64 "PORT '256' is not a number from 0 to 255" --port COM1 input 256
expect 64 "VALUE '0x1G2' is not a number" --port COM1 output 1 0x1G2
expect 64 "bit-set needs BIT" --port COM1 bit-set 1
expect 64 "unexpected argument 7 after input PORT" --port COM1 input 1 7
expect 64 "unknown command frobnicate; one of scan, " --port COM1 frobnicate
expect 64 "unknown command frobnicate" --json frobnicate 1
expect 64 "unknown command bitset; did you mean bit-set\?" bitset 1 2
expect 64 "--port wants a port name" --port "" version
expect 64 "scan .*takes no --port" --port COM1 scan
expect 64 "PORT '010' has a leading 0" --port COM1 input 010
expect 64 "BIT '08' has a leading 0" --port COM1 bit-set 1 08
expect 0 "^  bit-reset PORT BIT" --help
expect 0 "^  64  usage error" --help
expect 0 "^  4   GPIO_RESULT_TIMEOUT" --help
expect 3 "^GPIO_RESULT_IO_ERROR: the port could not be opened, port gpiolink-absent, cause " \
  --port gpiolink-absent input 1
expect 3 '"name":"GPIO_RESULT_IO_ERROR"' --json --port gpiolink-absent version
expect 0 "" ports

if [ -n "$simulate" ]; then
  expect 0 "^such as ttyUSB0" --help
  expect 64 "N '010' has a leading 0" --simulate bench 010
  expect 64 "--trace needs --simulate" --trace version
  expect 0 "^GPIO_RESULT_OK: success, version GPIO-SIM" --simulate version
  expect 0 "^GPIO_RESULT_OK: success, port 1, value 0x00$" --simulate input 1
  expect 0 "^GPIO_RESULT_OK: success, port 2, value 0xA5$" --simulate output 2 0xa5
  expect 0 "level low" --simulate bit-test 0 7
  expect 0 '"result":0,"name":"GPIO_RESULT_OK",.*"port":3,"bit":4}$' --json --simulate bit-set 3 4
  expect 0 "^GPIO_RESULT_OK" --simulate bit-reset 3 4
  expect 2 "^GPIO_RESULT_DEVICE_FF" --simulate input 9
  expect 0 "^  99th percentile +[0-9.]+ ms$" --simulate bench 20
  expect 0 '^\{"operation":"bench",.*"exchanges":20,"per_second":[0-9.]+,"median_ms":[0-9.]+,"p99_ms":[0-9.]+\}$' \
    --simulate bench 20 --json
  expect 0 "^bit-test: GPIO_RESULT_BIT_LOW" --simulate demo
  expect 0 "^GPIO_RESULT_OK: success, port 0, value 0x00" --simulate input 0
  # Scan probes the system's ports, not the simulator's: it says so, and
  # names a port that outlives this run. (4: none answered; 3 where the
  # system's port list cannot be read.)
  out=$($run --simulate scan 2>&1)
  got=$?
  if [ "$got" -lt 3 ] || [ "$got" -gt 4 ] ||
      ! printf '%s\n' "$out" | grep -q "^GPIO_RESULT_.*not in the system's port list.*start gpio-sim"; then
    echo "FAIL: gpioctl --simulate scan: exit $got (want 3 or 4), output:"
    printf '%s\n' "$out" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
  # Ctrl-C stops a bench with the figures so far, and exit status 130.
  out=$(mktemp)
  $run --simulate bench 1000000 >"$out" 2>&1 &
  bench=$!
  sleep 1
  kill -INT "$bench"
  wait "$bench"
  got=$?
  if [ "$got" -ne 130 ] || ! grep -Eq "^  stopped +by Ctrl-C after [0-9]+ of 1000000$" "$out" ||
      ! grep -Eq "^  exchanges +[0-9]+$" "$out"; then
    echo "FAIL: gpioctl bench stopped by SIGINT: exit $got (want 130), output:"
    sed 's/^/    /' "$out"
    failures=$((failures + 1))
  fi
  rm -f "$out"
else
  expect 0 "^A name such as COM3, of up to 15 characters" --help
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures gpioctl checks failed"
  exit 1
fi
echo "gpioctl checks passed"
