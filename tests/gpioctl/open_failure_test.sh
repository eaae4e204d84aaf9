#!/bin/sh
# gpioctl says why a port could not be used, in the library's words
# (gpiolink_describe_open_failure): one check per cause of the shared table
# that this machine can produce, each against a real file, link or gpio-sim
# port. gpio-tap and gpio-sim --serial open the controller's port by the
# library's own rules, so they refuse the same ports, in the same words.
# usage: open_failure_test.sh GPIOCTL GPIO_SIM GPIO_TAP
set -u
gpioctl=$1 sim=$2 tap=$3
. "$(dirname "$0")/../tools/tool_test_lib.sh"

. "$(dirname "$0")/../open_failure/causes.sh"

# expect STATUS PATTERN ARGS...: gpioctl's exit status and a line matching PATTERN.
expect() {
  status=$1 pattern=$2
  shift 2
  out=$("$gpioctl" "$@" 2>&1)
  got=$?
  if [ "$got" -ne "$status" ] || ! printf '%s\n' "$out" | grep -Eq -- "$pattern"; then
    fail "gpioctl $(echo "$*" | cut -c1-80): exit $got (want $status)" "$out"
  fi
}

# tap_refuses PATTERN NAME: gpio-tap refuses the controller's port NAME,
# exit 1, with a line matching PATTERN (within a time limit: a tap that
# took the port would serve on).
tap_refuses() {
  out=$(timeout 20 "$tap" --port "$2" 2>&1)
  got=$?
  if [ "$got" -ne 1 ] || ! printf '%s\n' "$out" | grep -Eq -- "$1"; then
    fail "gpio-tap --port $(echo "$2" | cut -c1-80): exit $got (want 1 and /$1/)" "$out"
  fi
}

# both CAUSE PATH NAME [COMMAND...]: gpioctl (running COMMAND, version by
# default), gpio-tap and gpio-sim --serial refuse the port NAME with CAUSE
# for PATH.
both() {
  both_pattern=$(cause "$1" "$2") both_name=$3
  shift 3
  expect 3 "cause $both_pattern" --port "$both_name" "${@:-version}"
  tap_refuses "$both_pattern" "$both_name"
  out=$(timeout 20 "$sim" --serial "$both_name" 2>&1)
  got=$?
  if [ "$got" -ne 1 ] || ! printf '%s\n' "$out" | grep -Eq -- "$both_pattern"; then
    fail "gpio-sim --serial $(echo "$both_name" | cut -c1-80): exit $got (want 1 and /$both_pattern/)" "$out"
  fi
}

# Starts gpio-sim with a link at $work/NAME and more options; waits for it.
start_sim() {
  name=$1
  shift
  "$sim" --link "$work/$name" "$@" >"$work/$name.out" 2>&1 &
  pids="$pids $!"
  for _ in $(seq 100); do
    grep -q '^link: ' "$work/$name.out" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "gpio-sim did not start"
  exit 1
}

# No such device, with the ports discovery would try.
both no-such-device /dev/gpiolink-absent gpiolink-absent
both no-such-device "$work/absent" "$work/absent"
# Those ports, as gpioctl ports lists them, leave out the kernel's consoles.
consoles=" $(awk '{ printf "%s ", $1 }' /proc/consoles 2>/dev/null)"
for port in $("$gpioctl" ports); do
  case $consoles in *" $port "*) fail "gpioctl ports lists the console $port" ;; esac
done

# Not a serial device: a regular file, which stays empty, and a folder.
: >"$work/file"
both regular-file "$work/file" "$work/file" output 1 0xFF
[ -s "$work/file" ] && fail "the regular file was written" "$(od -c "$work/file" | head -3)"
both folder "$work" "$work"
# The cause holds the port's name, outside bytes: no tool prints a control
# character of it raw.
odd="$work/odd$(printf '\033')[2Jname"
: >"$odd"
out=$("$gpioctl" --port "$odd" version 2>&1; timeout 20 "$tap" --port "$odd" 2>&1; timeout 20 "$sim" --serial "$odd" 2>&1)
if printf '%s' "$out" | grep -q "$(printf '\033')"; then
  fail "a control character of the port's name reached the terminal raw" "$(printf '%s\n' "$out" | od -c | head -20)"
fi
both not-a-terminal /dev/null null
both pty-master /dev/ptmx ptmx

# The terminal of this session: script(1) runs each tool in a session of
# its own, whose terminal is a fresh pseudo-terminal.
for run in "3 '$gpioctl' --port /dev/tty version" "1 '$tap' --port /dev/tty"; do
  out=$(timeout 20 script -qec "${run#* }" /dev/null </dev/null 2>&1)
  got=$?
  if [ "$got" -ne "${run%% *}" ] || ! printf '%s\n' "$out" | grep -Eq -- "$(cause own-terminal /dev/tty)"; then
    fail "${run#* } in a session of its own: exit $got (want ${run%% *})" "$out"
  fi
done

# The consoles, where this user may open them (root), when they are the
# console devices and not, as in some containers, a pty put in their place.
while read -r console number; do
  if [ -r "$console" ] && [ -w "$console" ] && [ "$(stat -c %t:%T "$console")" = "$number" ]; then
    both console "$console" "$console"
  fi
done <<EOF
/dev/console 5:1
/dev/tty0 4:0
EOF

# The kernel's consoles of /proc/consoles ("ttyS0 -W- (EC p a) 4:64") but
# the virtual consoles, where this user may open them (root) and /dev holds
# the very device.
while read -r name number; do
  console=/dev/$name
  case $name in tty[0-9]*) continue ;; esac
  [ -c "$console" ] && [ -r "$console" ] && [ -w "$console" ] || continue
  [ "$(printf '%d:%d' $(stat -c '0x%t 0x%T' "$console"))" = "$number" ] || continue
  expect 3 "cause $(cause kernel-console "$console")" --port "$console" version
done <<EOF
$(awk '{ print $1, $NF }' /proc/consoles 2>/dev/null)
EOF

# Another session's controlling terminal: the simulator's pty, held by a
# process in a session of its own as a login shell holds its terminal. The
# message names that process.
start_sim held
path=$(sed -n 's/^path: //p' "$work/held.out")
start holder '^held ' "$(dirname "$0")/../open_failure/hold_terminal.sh" "$path"
holder=$(awk '{ print $2 }' "$work/holder.out")
pids="$pids $holder"
both session-terminal "$path" "$path"
printf '%s\n' "$out" | grep -Fq "(process $holder, " || fail "the holder $holder is not named" "$out"

# Name too long: the library's limit, and the system's limit for one part.
long=$(head -c 4100 /dev/zero | tr '\0' a)
both path-too-long "/$long" "/$long"
both part-too-long "$work/x" "$work/$(head -c 300 /dev/zero | tr '\0' a)"

# Busy: another gpioctl holds the port through its absolute path; this one
# asks through a by-id style link to it.
start_sim busy --trace
mkdir -p "$work/serial/by-id"
ln -s "$(sed -n 's/^path: //p' "$work/busy.out")" "$work/serial/by-id/usb-gpiolink_Test-if00-port0"
"$gpioctl" --port "$(sed -n 's/^path: //p' "$work/busy.out")" bench 500 >/dev/null &
holder=$!
pids="$pids $holder"
for _ in $(seq 200); do
  grep -q 'host->dev' "$work/busy.out" && break  # the holder has the port
  sleep 0.05
done
busy=""
for _ in $(seq 20); do
  out=$("$gpioctl" --port "$work/serial/by-id/usb-gpiolink_Test-if00-port0" version 2>&1)
  if printf '%s\n' "$out" | grep -Eq -- "$(cause busy "$work/serial/by-id/usb-gpiolink_Test-if00-port0")"; then
    busy=yes
    break
  fi
  sleep 0.05
done
[ -n "$busy" ] || fail "no busy cause while another gpioctl held the port" "$out"
tap_refuses "$(cause busy "$work/serial/by-id/usb-gpiolink_Test-if00-port0")" \
  "$work/serial/by-id/usb-gpiolink_Test-if00-port0"
kill "$holder" 2>/dev/null

# Permission denied: the simulator's pty given an owner, a group and a mode,
# then opened by a user with no rights on it. Root is never refused: run as
# nobody, in no group. Without root only this user's own pty can be shut,
# with mode 0000, which leaves out even its owner.
start_sim denied
path=$(sed -n 's/^path: //p' "$work/denied.out")
if [ "$(id -u)" = 0 ]; then
  as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
  # The checkout and the build may lie in a folder nobody cannot enter: run
  # copies of gpioctl and its library from a folder that nobody can read.
  mkdir -m 755 "$work/nobody"
  chmod 711 "$work"
  cp "$gpioctl" "$work/nobody/"
  cp -L "$(ldd "$gpioctl" | awk '/libgpiolink/ { print $3 }')" "$work/nobody/"
  chmod a+r "$work/nobody/"*
  as_nobody="$work/nobody/$(basename "$gpioctl")"
  as_user="env LD_LIBRARY_PATH=$work/nobody $as_user"
  # OWNER:GROUP MODE CAUSE; 65534 is nobody, who gets an owner's bits.
  shut="root:dialout 660 permission-denied
root:root 600 permission-root
root:root 660 permission-root
root:dialout 640 permission-no-group-to-join
65534:dialout 060 permission-no-group-to-join"
else
  as_user="" as_nobody=$gpioctl
  shut="$(id -u):$(id -g) 000 permission-no-group-to-join"
fi
while read -r owner mode name; do
  { chown "$owner" "$path" && chmod "$mode" "$path"; } || fail "cannot give $path to $owner with mode $mode"
  out=$(cd / && $as_user "$as_nobody" --port "$path" version 2>&1)
  printf '%s\n' "$out" | grep -Eq -- "$(cause "$name" "$path")" ||
    fail "no $name cause for a port of $owner with mode $mode" "$out"
done <<EOF
$shut
EOF

# A port that stops responding mid-session: the simulator answers slowly and
# is then unplugged; the demo's later steps say so, not "handle".
start_sim unplugged --delay 40
"$gpioctl" --port "$work/unplugged" demo >"$work/demo.out" 2>&1 &
demo=$!
for _ in $(seq 200); do
  [ -s "$work/demo.out" ] && break
  sleep 0.02
done
kill $(echo "$pids" | awk '{print $NF}')
wait "$demo"
grep -Eq "^[a-z-]+: GPIO_RESULT_BAD_HANDLE: the port stopped responding \(was the adapter unplugged\?\)(, |$)" "$work/demo.out" ||
  fail "no unplugged message after the port stopped" "$(cat "$work/demo.out")"

finish open-failure
