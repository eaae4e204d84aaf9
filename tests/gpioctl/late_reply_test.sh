#!/bin/sh
# A new gpioctl process for every call, against a controller whose replies
# come 150 ms late and one whose replies come damaged with the good frame
# 40 ms behind: a reply meant for one process must never reach the next
# as the answer to its request. Ports 0-3 hold 0xA0-0xA3; every call must
# give success with its own port's value or a failure.
#
# On a loaded machine the simulator itself can send a reply later than the
# library can catch, so it writes down when each piece of reply went out
# (--reply-times), and a call that went wrong counts as a fault only when
# no earlier request's reply went out late while that call or the one
# before it ran.
# usage: late_reply_test.sh GPIOCTL GPIO_SIM   (GPIOLINK_LATE_CALLS=200: the long run)
set -u
gpioctl=$1 sim=$2
. "$(dirname "$0")/../tools/tool_test_lib.sh"
calls=${GPIOLINK_LATE_CALLS:-24}

start late '^port:' "$sim" --delay 150 --reply-times "$work/late.times"
late_port=$(sed -n 's/^port: //p' "$work/late.out")
start damaged '^port:' "$sim" --magic-ports --reply-times "$work/damaged.times"
damaged_port=$(sed -n 's/^port: //p' "$work/damaged.out")

# Runs one program and writes its start and end in microseconds of the
# monotonic clock, on which gpio-sim writes its reply times, to the file
# given first; passes on the program's output and exit status. The times
# are read in the process that starts the program, on the clock itself:
# the real-time clock less an offset taken once would be wrong by as much
# as that clock is stepped while the test runs.
timed='import subprocess, sys, time
begun = time.monotonic_ns() // 1000
code = subprocess.run(sys.argv[2:], stderr=subprocess.DEVNULL).returncode
with open(sys.argv[1], "w") as span:
    span.write(f"{begun} {time.monotonic_ns() // 1000}\n")
sys.exit(code)'

# call MODE ALLOWED ARGUMENTS...: one gpioctl process; appends its start,
# its end and whether it went wrong (an exit status other than ALLOWED's,
# or with --json input N a success with another port's value) to
# $work/MODE.calls; its exit status in $code and its output in $line.
call() {
  mode=$1 allowed=$2
  shift 2
  line=$(python3 -c "$timed" "$work/span" "$gpioctl" --port "$port" "$@")
  code=$?
  read -r begun ended <"$work/span"
  wrong=0
  case " $allowed " in *" $code "*) ;; *) wrong=1 ;; esac
  case $line in *'"result":0,'*) case $line in *"\"value\":$((0xA0 + n))}"*) ;; *) wrong=1 ;; esac ;; esac
  echo "$begun $ended $wrong" >>"$work/$mode.calls"
}

# tally PORT MODE: four outputs, then `calls` processes, each one input; in
# the damaged mode every other process asks for magic port 251 (a damaged
# reply, then port 0's value 40 ms later) and the others read ports 1-3.
tally() {
  port=$1 mode=$2 successes=0 i=0
  for n in 0 1 2 3; do
    call "$mode" "0 4" output "$n" $((0xA0 + n))
  done
  while [ "$i" -lt "$calls" ]; do
    if [ "$mode" = damaged ] && [ $((i % 2)) -eq 0 ]; then
      call "$mode" 3 input 251
    else
      if [ "$mode" = damaged ]; then n=$((1 + i / 2 % 3)); else n=$((i % 4)); fi
      call "$mode" "0 4" --json input "$n"
      [ "$code" -ne 0 ] || successes=$((successes + 1))
    fi
    i=$((i + 1))
  done
  # One request a process: a piece's request number is its call's line,
  # from 0. A failed call fails no sooner than 100 ms after its process
  # began (a time-out) or than the first piece of its reply (a damaged
  # one), and its close hands the port on once the line has been silent
  # for 100 ms from the failure: a piece that goes out up to 70 ms after
  # the earliest failure arrives in time with 30 ms to spare; a later one
  # may not.
  verdict=$(awk '
    NR == FNR { begun[FNR - 1] = $1; ended[FNR - 1] = $2; wrong[FNR - 1] = $3; count = FNR; next }
    $1 >= count || $2 < begun[$1] - 1000 { mismatched++; next }
    !($1 in first) { first[$1] = $3 }
    $3 > (first[$1] < begun[$1] + 100000 ? first[$1] : begun[$1] + 100000) + 70000 { late[$1 " " $3] = 1 }
    END {
      for (i = 0; i < count; i++) {
        since = begun[i > 0 ? i - 1 : 0]; excused = 0
        for (piece in late) {
          split(piece, p, " ")
          if (p[1] < i && p[2] >= since && p[2] <= ended[i]) excused = 1
        }
        if (!excused) { judged++; faults += wrong[i] }
      }
      printf "%d %d %d\n", judged, faults, mismatched
    }' "$work/$mode.calls" "$work/$mode.times")
  set -- $verdict
  echo "late replies, $mode, a process a call: $((calls + 4)) calls (4 outputs), $successes successes, $1 judged, $2 faults"
  [ "$3" -eq 0 ] || fail "$mode: $3 reply pieces for requests no call made or received before their call began"
  [ "$2" -eq 0 ] || fail "$mode: $2 calls gave another port's value with success or an impossible result, with every reply in time"
  [ "$1" -gt 0 ] || fail "$mode: no call could be judged: every one met a reply that went out too late"
}

tally "$late_port" late
tally "$damaged_port" damaged
finish "late reply (gpioctl)"
