#!/bin/sh
# The conventions that gpioctl, gpio-sim, gpio-tap, gpio-mqtt and
# gpio-modbus (where they are built) share, checked the same way against each: --help and --version,
# exit 64 naming the offending word with a hint, options before or after the
# command, --port, one JSON style with the text trace on stderr, decimal
# port numbers and the same direction names. Then the three together on one
# wire: gpioctl through gpio-tap to gpio-sim.
# usage: conventions_test.sh GPIOCTL GPIO_SIM GPIO_TAP VERSION [SERVICE...]
set -u
gpioctl=$1 sim=$2 tap=$3 version=$4
shift 4
services=$*
. "$(dirname "$0")/tool_test_lib.sh"

# Each line of FILE is one compact JSON object, as the tools write them.
all_json() {
  python3 - "$1" <<'PY'
import json, re, sys
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
for line in lines:
    assert isinstance(json.loads(line), dict), line
    # Compact: no white space outside the strings.
    assert not re.search(r"\s", re.sub(r'"(?:[^"\\]|\\.)*"', '""', line)), line
sys.exit(0 if lines else 1)
PY
}

# stop PID: SIGINT, as a user stops a tool, and its exit status in $status.
stop() {
  kill -INT "$1"
  wait "$1"
  status=$?
}

for tool in "$gpioctl" "$sim" "$tap" $services; do
  name=$(basename "$tool")
  run "$tool" --help
  { [ "$status" -eq 0 ] && head -1 "$work/out" | grep -q "^Usage: $name " &&
    grep -q -- "^  --version " "$work/out"; } || fail "$name --help" "$(head -5 "$work/out")"
  wide=$(awk 'length($0) > 79' "$work/out")
  [ -z "$wide" ] || fail "$name --help has lines over 79 characters" "$wide"
  run "$tool" --version
  [ "$status" -eq 0 ] && [ "$(cat "$work/out")" = "$name $version" ] || fail "$name --version" "$(cat "$work/out")"
  run "$tool" --jsno
  { [ "$status" -eq 64 ] && grep -q "^$name: unknown option --jsno; did you mean --json?$" "$work/err" &&
    grep -q "^Run '$name --help' for usage.$" "$work/err"; } || fail "$name --jsno: exit $status" "$(cat "$work/err")"
  refused 64 "option --json takes no value" "$tool" --json=yes
done
refused 64 "unknown option --prot; did you mean --port?" "$gpioctl" --prot pts/1 version
refused 64 "unknown option -p; did you mean --port?" "$tap" -p ttyUSB0
for service in $services; do
  refused 64 "^$(basename "$service"): unknown option --prot; did you mean --port?$" "$service" --check-config --prot ttyUSB0
done
refused 64 "^gpio-sim: --delay wants milliseconds (0-60000), not 'soon'$" "$sim" --delay soon

# Numbers read alike everywhere: decimal or 0x hex, and a decimal number
# with a leading 0 refused, since other tools read 010 as octal (8).
refused 64 "^gpioctl: PORT '010' has a leading 0, which some tools read as octal" "$gpioctl" --port COM1 input 010
for option in --delay=010 --delay-max=010 --seed=010 --status=I=010; do
  refused 64 "^gpio-sim: ${option%%=*} wants a number without a leading 0, which some tools read as octal" "$sim" "$option"
done
refused 64 "^gpio-sim: --status wants CMD=0xNN" "$sim" --status I=0x1FF
# On gpio-sim's standard input: 010 refused, 10 and 0x0A the same port value.
printf 'release 010\nset 2 010 0x0F\nset 1 10\nset 2 0x0A\n' >"$work/numbers.in"
# (The redirection inside: a job started with & reads /dev/null.)
start numbers '^port: ' sh -c 'exec "$0" --link "$1" <"$2"' "$sim" "$work/numbers" "$work/numbers.in"
for _ in $(seq 100); do
  grep -q "port 2 reads" "$work/numbers.err" && break
  sleep 0.05
done
grep -q "input line 1: port '010' has a leading 0, which some tools read as octal" "$work/numbers.err" &&
  grep -q "input line 2: value '010' has a leading 0" "$work/numbers.err" &&
  grep -q "port 1 reads 0x0A (pins 0xFF driven)" "$work/numbers.err" &&
  grep -q "port 2 reads 0x0A (pins 0xFF driven)" "$work/numbers.err" ||
  fail "gpio-sim's standard input reads numbers unlike gpioctl" "$(cat "$work/numbers.err")"
for port in 1 2; do
  run "$gpioctl" --port "$work/numbers" input "$port"
  grep -q "value 0x0A" "$work/out" || fail "gpioctl input $port after 'set $port 10'" "$(cat "$work/out" "$work/err")"
done
kill "$last"
refused 1 "$work/absent" "$tap" --port "$work/absent"
refused 64 "the port is given twice" "$tap" "$work/absent" --port "$work/other"

# The three on one wire: gpio-sim, gpio-tap on its link, gpioctl on the
# tap's port; options after the command in gpioctl, before it in the others.
start sim '^\{"port":' "$sim" --json --trace --link "$work/controller"
all_json "$work/sim.out" || fail "gpio-sim --json: stdout is not JSON" "$(cat "$work/sim.out")"
sim_pid=$last
start tap '^\{"port":' "$tap" --json --capture "$work/capture" --port "$work/controller"
tap_pid=$last
tap_port=$(sed -n 's/^{"port":"\([^"]*\)".*/\1/p' "$work/tap.out")
run "$gpioctl" input 3 --trace --port "$tap_port" --json
{ [ "$status" -eq 64 ] && grep -q "trace needs --simulate" "$work/err"; } || fail "gpioctl --trace without --simulate"
run "$gpioctl" input 3 --port "$tap_port" --json
{ [ "$status" -eq 0 ] && all_json "$work/out" && grep -q '"port":3,' "$work/out"; } ||
  fail "gpioctl --json input 3: exit $status" "$(cat "$work/out" "$work/err")"
run "$gpioctl" --port "$tap_port" input 3
grep -q "^GPIO_RESULT_OK: success, port 3, value 0x00$" "$work/out" || fail "gpioctl input 3" "$(cat "$work/out")"
stop "$tap_pid"
[ "$status" -eq 0 ] || fail "gpio-tap stopped with status $status"
stop "$sim_pid"
all_json "$work/tap.out" || fail "gpio-tap --json: stdout is not JSON" "$(cat "$work/tap.out")"
grep -q '"dir":"host->dev","event":"request",.*"meaning":"input port 3"' "$work/tap.out" ||
  fail "gpio-tap: no request from host->dev for input port 3" "$(cat "$work/tap.out")"
grep -q '"dir":"dev->host","event":"reply"' "$work/tap.out" || fail "gpio-tap: no reply from dev->host"
grep -q '^{"event":"summary","requests":2,"replies":2,"bad_crc":0,' "$work/tap.out" ||
  fail "gpio-tap: no summary of 2 requests and 2 replies" "$(tail -1 "$work/tap.out")"
all_json "$work/sim.out" || fail "gpio-sim --json: stdout is not JSON at exit" "$(cat "$work/sim.out")"
grep -q '"requests":2,' "$work/sim.out" || fail "gpio-sim: no summary of 2 requests" "$(cat "$work/sim.out")"
grep -Eq "^ +[0-9.]+ ms  host->dev  .*  input port 3$" "$work/sim.err" ||
  fail "gpio-sim: no text trace of input port 3 on stderr" "$(cat "$work/sim.err")"
grep -Eq "^ +[0-9.]+ ms  dev->host  .*  ok value 0x00$" "$work/sim.err" ||
  fail "gpio-sim: no text trace of the reply on stderr" "$(cat "$work/sim.err")"
[ -e "$work/controller" ] && fail "gpio-sim left its link behind"

# gpioctl's own trace: text on stderr while stdout carries JSON.
run "$gpioctl" bit-test 2 7 --simulate --json --trace
{ [ "$status" -eq 0 ] && all_json "$work/out" &&
  grep -Eq "^ +[0-9.]+ ms  host->dev  .*  bit test port 2 bit 7$" "$work/err"; } ||
  fail "gpioctl --simulate --json --trace" "$(cat "$work/out" "$work/err")"

# gpio-tap's replay, options before or after: the same trace.
run "$tap" --replay "$work/capture"
cp "$work/out" "$work/replay-1"
run "$tap" --replay "$work/capture" --json
cp "$work/out" "$work/replay-json"
run "$tap" --json --replay "$work/capture"
cmp -s "$work/out" "$work/replay-json" || fail "gpio-tap --json --replay differs from --replay --json"
grep -Eq "^ +[0-9.]+ ms  host->dev  .*  input port 3$" "$work/replay-1" ||
  fail "gpio-tap --replay: no input port 3" "$(cat "$work/replay-1")"

# Output that cannot be written is an error: each tool says so on stderr
# and exits 1, for a command that prints one line as for the help.
full_output() {
  name=$(basename "$1")
  "$@" >/dev/full 2>"$work/err"
  status=$?
  shift
  { [ "$status" -eq 1 ] && grep -q "^$name: cannot write to standard output" "$work/err"; } ||
    fail "$name $* >/dev/full: exit $status" "$(cat "$work/err")"
}
for command in "--help" "--simulate input 1" "--simulate --json version" "--simulate bench 5"; do
  # shellcheck disable=SC2086
  full_output "$gpioctl" $command
done
full_output "$tap" --replay "$work/capture"
full_output "$tap" --help
full_output "$sim" --version
for service in $services; do
  full_output "$service" --help
done
# A reader that has gone is no failure: with SIGPIPE ignored, as some
# shells and services run a program, a tool ends quietly with its status;
# with SIGPIPE as it comes, the signal ends it quietly.
for ignored in True False; do
  python3 - "$ignored" "$gpioctl" --help >"$work/pipe.out" 2>&1 <<'PY'
import os, subprocess, sys
read, write = os.pipe()
os.close(read)  # the reader is gone before the tool writes
ran = subprocess.run(sys.argv[2:], stdout=write, stderr=subprocess.PIPE, restore_signals=sys.argv[1] != "True")
print(ran.returncode, ran.stderr.decode(errors="replace"))
PY
  case "$ignored $(cat "$work/pipe.out")" in
    "True 0 " | "False -13 ") ;;
    *) fail "gpioctl --help to a pipe without a reader (SIGPIPE ignored: $ignored)" "$(cat "$work/pipe.out")" ;;
  esac
done
# gpio-sim serves on after its port lines are lost, and says so when stopped.
"$sim" --link "$work/unheard" >/dev/full 2>"$work/unheard.err" &
unheard=$!
pids="$pids $unheard"
for _ in $(seq 200); do
  [ -L "$work/unheard" ] && break
  sleep 0.05
done
stop "$unheard"
{ [ "$status" -eq 1 ] && grep -q "^gpio-sim: cannot write to standard output" "$work/unheard.err"; } ||
  fail "gpio-sim >/dev/full stopped with status $status" "$(cat "$work/unheard.err")"

finish convention
