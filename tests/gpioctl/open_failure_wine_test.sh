#!/bin/sh
# gpioctl.exe says why a port could not be used, in the DLL's words
# (gpiolink_describe_open_failure), under Wine: the Windows rows of the
# shared table (causes.txt), each against a real COM port:
# one that does not exist (with the ports the system lists), a name too
# long, a name that reaches out of the device namespace, a COM port that
# leads to a regular file, and the same port held by another program.
# usage: open_failure_wine_test.sh WINE_RUN WINEPREFIX GPIOCTL_EXE
set -u
run=$1 prefix=$2 gpioctl=$3
. "$(dirname "$0")/../tools/tool_test_lib.sh"
. "$(dirname "$0")/../open_failure/causes.sh"
"$run" wineboot >/dev/null 2>&1 || true
export WINEDEBUG=-all

# refuses CAUSE PORT: gpioctl.exe version on PORT exits 3 naming CAUSE.
refuses() {
  out=$("$run" "$gpioctl" --port "$2" version 2>&1 </dev/null | tr -d '\r')
  got=$?
  printf '%s\n' "$out" | grep -Eq -- "cause $(cause "$1" "$2")" || fail "gpioctl.exe --port $2: want $1" "$out"
}

refuses win-no-such-device COM99
refuses win-name-too-long COM1234567890123
refuses win-not-a-port-name '..\COM1'

# COM19 leads to a regular file, which stays empty.
: >"$work/com19.file"
ln -sfn "$work/com19.file" "$prefix/dosdevices/com19"
pids_links="$prefix/dosdevices/com19"
trap 'rm -f "$pids_links"; cleanup' EXIT
refuses win-not-a-character-device COM19
[ -s "$work/com19.file" ] && fail "the regular file was written"

# Held by another program: cmd.exe keeps COM19 open while find reads its
# standard input, which stays open until this test closes it. The device
# path: COM10 and above are no plain DOS device names to cmd.exe.
mkfifo "$work/hold"
"$run" cmd /c 'find "x" >\\.\COM19' <"$work/hold" >/dev/null 2>&1 &
pids="$pids $!"
exec 9>"$work/hold"
busy=""
for _ in $(seq 100); do
  out=$("$run" "$gpioctl" --port COM19 version 2>&1 </dev/null | tr -d '\r')
  if printf '%s\n' "$out" | grep -Eq -- "cause $(cause busy COM19)"; then
    busy=yes
    break
  fi
  sleep 0.1
done
[ -n "$busy" ] || fail "no busy cause while cmd.exe held COM19" "$out"
exec 9>&-
finish wine-open-failure
