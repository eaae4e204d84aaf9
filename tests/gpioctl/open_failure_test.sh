#!/bin/sh
# gpioctl says why a port could not be used: one check per cause that this
# machine can produce, each against a real file, link or gpio-sim port.
# usage: open_failure_test.sh GPIOCTL GPIO_SIM
set -u
gpioctl=$1 sim=$2
. "$(dirname "$0")/../tools/tool_test_lib.sh"

# cause NAME PATH: the message the shared table expects for cause NAME of
# a failed open of PATH, as an extended regular expression.
causes=$(dirname "$0")/../open_failure/causes.txt
cause() {
  pattern=$(awk -F '\t' -v name="$1" '$1 == name { print $2 }' "$causes")
  [ -n "$pattern" ] || { echo "no cause $1 in $causes"; exit 1; }
  escaped=$(printf '%s' "$2" | sed 's/[][\.*^$+?(){}|]/\\&/g')
  case $pattern in
    *"{path}"*) pattern="${pattern%%"{path}"*}$escaped${pattern#*"{path}"}" ;;
  esac
  printf 'cause %s' "$pattern"
}

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
expect 3 "$(cause no-such-device /dev/gpiolink-absent)" --port gpiolink-absent version
expect 3 "$(cause no-such-device "$work/absent")" --port "$work/absent" version
# Those ports, as gpioctl ports lists them, leave out the kernel's consoles.
consoles=" $(awk '{ printf "%s ", $1 }' /proc/consoles 2>/dev/null)"
for port in $("$gpioctl" ports); do
  case $consoles in *" $port "*) fail "gpioctl ports lists the console $port" ;; esac
done

# Not a serial device: a regular file, which stays empty, and a folder.
: >"$work/file"
expect 3 "$(cause regular-file "$work/file")" --port "$work/file" output 1 0xFF
[ -s "$work/file" ] && fail "the regular file was written" "$(od -c "$work/file" | head -3)"
expect 3 "$(cause folder "$work")" --port "$work" version
expect 3 "$(cause not-a-terminal /dev/null)" --port null version
expect 3 "$(cause pty-master /dev/ptmx)" --port ptmx version

# The consoles, where this user may open them (root), when they are the
# console devices and not, as in some containers, a pty put in their place.
while read -r console number; do
  if [ -r "$console" ] && [ -w "$console" ] && [ "$(stat -c %t:%T "$console")" = "$number" ]; then
    expect 3 "$(cause console "$console")" --port "$console" version
  fi
done <<EOF
/dev/console 5:1
/dev/tty0 4:0
EOF

# Another session's controlling terminal: the simulator's pty, held by a
# process in a session of its own as a login shell holds its terminal. The
# message names that process.
start_sim held
path=$(sed -n 's/^path: //p' "$work/held.out")
start holder '^held ' "$(dirname "$0")/../open_failure/hold_terminal.sh" "$path"
holder=$(awk '{ print $2 }' "$work/holder.out")
pids="$pids $holder"
expect 3 "$(cause session-terminal "$path")" --port "$path" version
printf '%s\n' "$out" | grep -Fq "(process $holder, " || fail "the holder $holder is not named" "$out"

# Name too long: the library's limit, and the system's limit for one part.
long=$(head -c 4100 /dev/zero | tr '\0' a)
expect 3 "$(cause path-too-long "/$long")" --port "/$long" version
expect 3 "$(cause part-too-long "$work/x")" --port "$work/$(head -c 300 /dev/zero | tr '\0' a)" version

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
