#!/bin/sh
# A controller on another machine, reached with socat: gpio-sim's port is
# served on 127.0.0.1 over TCP by one socat, and a second socat gives a pty
# link in a temporary folder, which gpioctl opens by its path. Every
# operation runs through the bridge, and the exchange time over the bridge
# is measured beside the direct pty.
# usage: socat_bridge_test.sh GPIOCTL GPIO_SIM [EXCHANGES]
set -u
gpioctl=$1 sim=$2 exchanges=${3:-50}
command -v socat >/dev/null || { echo "socat is not installed (tools/install-deps.sh test)"; exit 1; }
. "$(dirname "$0")/../tools/tool_test_lib.sh"

# Waits up to 5 s for a path to exist.
await() {
  for _ in $(seq 100); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  echo "FAIL: $1 did not appear"
  exit 1
}

# The machine with the controller: gpio-sim, served on TCP.
"$sim" --pace --link "$work/controller" >/dev/null &
pids="$pids $!"
await "$work/controller"
tcp=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# nodelay: replies go out in small pieces, which the kernel would otherwise
# hold back for the peer's delayed acknowledgement (about 40 ms).
# The line options of the recipe in docs/remote.md, which a pty accepts too.
socat TCP-LISTEN:"$tcp",bind=127.0.0.1,reuseaddr,nodelay FILE:"$work/controller",rawer,b38400,cstopb=0,crtscts=0,clocal=1 &
pids="$pids $!"
# The client: a local pty link to the remote port.
for _ in $(seq 50); do
  socat PTY,link="$work/bridge",rawer TCP:127.0.0.1:"$tcp",nodelay 2>/dev/null &
  client=$!
  sleep 0.1
  if kill -0 "$client" 2>/dev/null; then break; fi  # connected (else the server was not listening yet)
done
pids="$pids $client"
await "$work/bridge"

out=$("$gpioctl" --port "$work/bridge" demo 2>&1)
echo "$out"
for line in "^version: GPIO_RESULT_OK: success, version GPIO-SIM" "^output: GPIO_RESULT_OK" \
    "^input: GPIO_RESULT_OK: success, port 1, value 0xA5" "^bit-set: GPIO_RESULT_OK" \
    "^bit-test: GPIO_RESULT_BIT_HIGH" "^bit-reset: GPIO_RESULT_OK" "^bit-test: GPIO_RESULT_BIT_LOW"; do
  printf '%s\n' "$out" | grep -q -- "$line" || { echo "FAIL: no line $line"; failures=$((failures + 1)); }
done

# The median in ms of a bench run through a port, or "failed".
median() {
  "$gpioctl" --port "$1" bench "$exchanges" | sed -n 's/^  median *\([0-9.]*\) ms$/\1/p' | grep . || echo failed
}
# The direct pty: a controller of its own, as socat holds the first one.
"$sim" --pace --link "$work/direct" >/dev/null &
pids="$pids $!"
await "$work/direct"
bridge=$(median "$work/bridge")
direct=$(median "$work/direct")
echo "exchange median over $exchanges Input exchanges: bridge $bridge ms, direct pty $direct ms"
[ "$bridge" != failed ] || { echo "FAIL: bench through the bridge"; failures=$((failures + 1)); }
[ "$direct" != failed ] || { echo "FAIL: bench through the direct pty"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
  echo "$failures bridge checks failed"
  exit 1
fi
echo "bridge checks passed"
