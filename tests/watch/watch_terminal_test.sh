#!/bin/sh
# gpioctl watch in a real terminal: tmux runs it against gpio-sim. A 'set'
# line on gpio-sim's stdin must change a port on the screen, with the bits
# that changed highlighted; keys must toggle an output bit (gpio-sim's
# trace shows the Output); a silent port must not hold the screen up; and
# q, like SIGTERM, must leave the terminal as it was, as must every other
# signal that ends the process, which then ends gpioctl itself.
# usage: watch_terminal_test.sh GPIOCTL GPIO_SIM
set -eu
gpioctl=$1 sim=$2
scratch=$(mktemp -d)
socket=$scratch/tmux.socket
sim_pid=""
cleanup() {
  tmux -S "$socket" kill-server 2>/dev/null || true
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

screen() { tmux -S "$socket" capture-pane -p -t watch "$@"; }
fail() {
  echo "FAIL: $*" >&2
  echo "--- screen:" >&2
  screen >&2 || true
  echo "--- gpio-sim's stderr:" >&2
  tail -20 "$scratch/sim.err" >&2
  exit 1
}

# Waits up to 10 s (a loaded machine) for the screen to match the pattern.
wait_screen() {
  tries=0
  until screen ${2:+"$2"} | grep -Eq -- "$1"; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || fail "the screen never showed /$1/"
    sleep 0.1
  done
}

# Waits up to 10 s for a file to match the pattern.
wait_file() {
  tries=0
  until grep -Eq -- "$2" "$1" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || fail "no /$2/ in $1"
    sleep 0.1
  done
}

# gpio-sim reads 'set' lines from a fifo this script holds open.
mkfifo "$scratch/sim.in"
"$sim" --magic-ports --trace <"$scratch/sim.in" >"$scratch/sim.out" 2>"$scratch/sim.err" &
sim_pid=$!
exec 3>"$scratch/sim.in"
wait_file "$scratch/sim.out" "^path: "
port=$(sed -n 's/^path: //p' "$scratch/sim.out")

# A session of its own keeps the tmux server up between the watches: a
# server that has just lost its last session may still be going away when
# the next one starts.
tmux -S "$socket" new-session -d -s keep "exec sleep 600"

# One pane: the terminal's settings before and after the watch, a line of
# its own before it, and the watch's exit status (no core dump on SIGQUIT).
start_watch() {
  tmux -S "$socket" new-session -d -s watch -x 100 -y 24 \
    "ulimit -c 0; stty -g >'$scratch/stty.before'; echo 'before the watch'; '$gpioctl' --port '$port' watch $*; \
     echo \"watch ended \$?\"; stty -g >'$scratch/stty.after'; exec sleep 600"
}

# check_restored HOW [STATUS]: the watch ended by HOW left the terminal as
# it was: no alternate screen, the cursor shown, the same settings, and the
# line before the watch still on the screen; it ended with STATUS (0).
check_restored() {
  wait_file "$scratch/stty.after" "."
  cmp -s "$scratch/stty.before" "$scratch/stty.after" || fail "$1 left other terminal settings behind"
  state=$(tmux -S "$socket" display-message -p -t watch '#{alternate_on} #{cursor_flag}')
  [ "$state" = "0 1" ] || fail "$1 left the alternate screen on or the cursor hidden ($state)"
  screen | head -1 | grep -q '^before the watch$' || fail "$1 did not restore the screen"
  screen | grep -q "^watch ended ${2:-0}$" || fail "$1 did not end the watch with status ${2:-0}"
  ! screen | grep -q "gpioctl watch:" || fail "$1 left the watch's screen behind"
  tmux -S "$socket" kill-session -t watch
  rm -f "$scratch/stty.before" "$scratch/stty.after"
}

# Port 240 is one of gpio-sim's magic ports: it never answers.
start_watch 0 1 240
wait_screen '^gpioctl watch: port .*version "GPIO-SIM 1.0", [0-9.]+ polls/s'
wait_screen '^ +1  0 0 0 0 0 0 0 0  0x00 '
wait_screen '^ +240  \. \. \. \. \. \. \. \.  -- .* [1-9][0-9]*  GPIO_RESULT_TIMEOUT$'

# An input changes from outside; the silent port does not hold it up.
echo "set 1 0x0F" >&3
wait_screen '^ +1  0 0 0 0 1 1 1 1  0x0F '
# The four bits that changed, and only they, are in reverse video.
highlighted=$(screen -e | grep -E '^ +1 ' | grep -o '\[7m[01]' | tr -d '\n')
[ "$highlighted" = "[7m1[7m1[7m1[7m1" ] || fail "port 1's changed bits are not the highlighted ones: $highlighted"

# Port 0, bit 3: an Output of the value read with that bit flipped.
tmux -S "$socket" send-keys -t watch 0 3
wait_file "$scratch/sim.err" "host->dev .* output port 0 value 0x08$"
wait_screen '^ +0  0 0 0 0 1 0 0 0  0x08 '
wait_screen 'output port 0 value 0x08 \(bit 3 toggled\): GPIO_RESULT_OK'

tmux -S "$socket" send-keys -t watch q
check_restored "q"

# SIGTERM ends it the same way. Any other signal that ends a process
# restores the terminal too, then ends gpioctl as it would have: the shell
# sees the signal's status, 128 + its number.
for signal in TERM:0 QUIT:131 USR1:138 USR2:140 ALRM:142 PIPE:141; do
  start_watch 0
  wait_screen '^ +0  0 0 0 0 1 0 0 0  0x08 '
  pane=$(tmux -S "$socket" display-message -p -t watch '#{pane_pid}')
  watch_pid=$(ps -o pid= --ppid "$pane" | tr -d ' ')
  [ -n "$watch_pid" ] || fail "no gpioctl process in the pane"
  kill -"${signal%:*}" "$watch_pid"
  check_restored "SIG${signal%:*}" "${signal#*:}"
done
# Without a terminal: one JSON object per change, and SIGINT ends it.
"$gpioctl" --port "$port" --json watch 1 2 </dev/null >"$scratch/lines.json" 2>&1 &
lines_pid=$!
wait_file "$scratch/lines.json" '^\{"ms":[0-9.]+,"port":2,"value":0,"bits":"00000000","changed":0\}$'
echo "set 2 0x3C" >&3
wait_file "$scratch/lines.json" '^\{"ms":[0-9.]+,"port":2,"value":60,"bits":"00111100","changed":60\}$'
kill -INT "$lines_pid"
wait "$lines_pid" || fail "the piped watch ended with status $? on SIGINT"
head -1 "$scratch/lines.json" | grep -q '^{"port":".*","version":"GPIO-SIM 1.0","watch":\[1,2\]}$' ||
  fail "the piped watch did not start with its JSON heading: $(head -1 "$scratch/lines.json")"
# --count ends it after so many lines; a bad port
# number is a usage error.
out=$("$gpioctl" --port "$port" watch 2 --count 1) || fail "watch --count 1 ended with status $?"
printf '%s\n' "$out" | grep -q '^[0-9.]* ms  port 2  0x3C  00111100  first read$' || fail "watch --count 1 printed: $out"
status=0
"$gpioctl" --port "$port" watch 256 >/dev/null 2>&1 || status=$?
[ "$status" -eq 64 ] || fail "watch 256 ended with status $status, not 64"
echo "gpioctl watch: set, toggle, silent port, q, fatal signals, JSON lines and --count as expected"
