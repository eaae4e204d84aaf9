#!/bin/sh
# A new gpioctl process for every call, against a controller whose replies
# come 150 ms late and one whose replies come damaged with the good frame
# 40 ms behind: a reply meant for one process must never reach the next
# as the answer to its request. Ports 0-3 hold 0xA0-0xA3; every call must
# give success with its own port's value or a failure.
# usage: late_reply_test.sh GPIOCTL GPIO_SIM   (GPIOLINK_LATE_CALLS=200: the long run)
set -u
gpioctl=$1 sim=$2
. "$(dirname "$0")/../tools/tool_test_lib.sh"
calls=${GPIOLINK_LATE_CALLS:-24}

start late '^port:' "$sim" --delay 150
late_port=$(sed -n 's/^port: //p' "$work/late.out")
start damaged '^port:' "$sim" --magic-ports
damaged_port=$(sed -n 's/^port: //p' "$work/damaged.out")

# tally PORT MODE: `calls` processes, each one input; in the damaged mode
# every other process asks for magic port 251 (a damaged reply, then port
# 0's value 40 ms later) and the others read ports 1-3.
tally() {
  port=$1 mode=$2 successes=0 wrong=0 others=0 i=0
  for n in 0 1 2 3; do
    "$gpioctl" --port "$port" output "$n" $((0xA0 + n)) >/dev/null 2>&1
  done
  while [ "$i" -lt "$calls" ]; do
    if [ "$mode" = damaged ]; then
      if [ $((i % 2)) -eq 0 ]; then
        "$gpioctl" --port "$port" input 251 >/dev/null 2>&1
        [ $? -eq 3 ] || others=$((others + 1))
        i=$((i + 1))
        continue
      fi
      n=$((1 + i / 2 % 3))
    else
      n=$((i % 4))
    fi
    line=$("$gpioctl" --port "$port" --json input "$n" 2>/dev/null)
    case $line in
      *'"result":0,'*)
        successes=$((successes + 1))
        case $line in *"\"value\":$((0xA0 + n))}"*) ;; *) wrong=$((wrong + 1)) ;; esac ;;
      *'"result":4,'*) ;;
      *) others=$((others + 1)) ;;
    esac
    i=$((i + 1))
  done
  echo "late replies, $mode, a process a call: $calls calls, $successes successes, $wrong wrong values with success"
  [ "$wrong" -eq 0 ] || fail "$mode: $wrong of $calls calls gave another port's value with success"
  [ "$others" -eq 0 ] || fail "$mode: $others calls gave a result other than success, a time-out or a damaged reply"
}

tally "$late_port" late
tally "$damaged_port" damaged
finish "late reply (gpioctl)"
