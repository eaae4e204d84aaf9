# Shared by the release tests (sourced): sets source_dir (the project's
# root) and version (the CMake project's, which every artefact carries);
# failing, an empty work folder, clean-up at exit, a gpio-sim started in
# the background, and a gpioctl driving it.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(gpiolink VERSION \([0-9][0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")

# empty_work NAME: build/release-tests/NAME, emptied; printed.
empty_work() {
  work=$source_dir/build/release-tests/$1
  rm -rf "$work"
  mkdir -p "$work"
  echo "$work"
}

# at_exit COMMAND: runs COMMAND when the test exits, before those added earlier.
at_exit() {
  exit_commands="$1; ${exit_commands:-}"
  # shellcheck disable=SC2064
  trap "$exit_commands" EXIT
}

# start_sim PROGRAM OUT [ARGS...]: starts gpio-sim with its stdout in OUT,
# sets sim_pid and sim_port (pts/N) once it has printed its port, and stops
# it when the test exits.
start_sim() {
  program=$1 out=$2
  shift 2
  : >"$out"
  "$program" "$@" >"$out" 2>"$out.err" &
  sim_pid=$!
  at_exit 'kill "$sim_pid" 2>/dev/null || true'
  sim_port=
  for _ in $(seq 100); do
    sim_port=$(sed -n 's/^port: //p' "$out")
    [ -n "$sim_port" ] && return 0
    sleep 0.1
  done
  fail "$program printed no port: $(cat "$out" "$out.err")"
}

# drive_sim GPIOCTL...: runs the command GPIOCTL... (a gpioctl and its
# --port) with version, output 2 0x5A and input 2, and fails unless the
# input reads 0x5A back.
drive_sim() {
  for command in version "output 2 0x5A" "input 2"; do
    # shellcheck disable=SC2086
    output=$("$@" $command 2>&1 </dev/null) || fail "$* $command exited with $?: $output"
    echo "gpioctl $command: $output"
  done
  case $output in
    *"value 0x5A"*) ;;
    *) fail "$* input 2 did not read back 0x5A" ;;
  esac
}

# check_unit PROGRAM: the installed template unit PROGRAM@.service, as
# instance PROGRAM@ttyUSB0: `systemd-analyze verify` says nothing of it,
# and its exposure in `systemd-analyze security` stays at 2.0 or below (a
# hardening option lost shows there). systemd need not run: both work on
# the files.
check_unit() {
  verified=$(systemd-analyze verify "$1@ttyUSB0.service" 2>&1) || fail "systemd-analyze verify: $verified"
  [ -z "$verified" ] || fail "systemd-analyze verify has something to say: $verified"
  systemd-analyze security --offline=yes "$1@ttyUSB0.service" >"$work/$1-security.txt" 2>&1 ||
    fail "systemd-analyze security: $(cat "$work/$1-security.txt")"
  exposure=$(sed -n "s/.*Overall exposure level for $1@ttyUSB0.service: \([0-9.]*\) .*/\1/p" "$work/$1-security.txt")
  [ -n "$exposure" ] || fail "systemd-analyze security gave no exposure level: $(cat "$work/$1-security.txt")"
  awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' ||
    fail "the unit's exposure is $exposure, over 2.0: $(grep '✗' "$work/$1-security.txt")"
  echo "$1@.service: systemd-analyze verify is silent, exposure $exposure"
}

# unit_command PROGRAM: the ExecStart= line of the installed unit
# PROGRAM@.service with %I the simulator's port, checked to run
# /usr/bin/PROGRAM.
unit_command() {
  command=$(sed -n 's/^ExecStart=//p' "/usr/lib/systemd/system/$1@.service" | sed "s|%I|$sim_port|g")
  case $command in
    "/usr/bin/$1 "*) echo "$command" ;;
    *) fail "the unit's ExecStart= is not /usr/bin/$1: $command" ;;
  esac
}
