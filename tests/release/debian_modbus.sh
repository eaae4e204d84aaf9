# Sourced by debian_test.sh after debian_mqtt.sh, with gpio-sim (its trace
# in $work/sim.out.err) still serving $sim_port: gpiolink-modbus used as
# its users use it.
#  - The unit passes `systemd-analyze verify` without a word, and its
#    exposure in `systemd-analyze security` stays at 2.0 or below.
#  - The configuration in /etc is good as installed (--check-config).
#  - The installed gpio-modbus runs as the unit's ExecStart= line gives it,
#    %I the simulator's port, as an unprivileged user whose only group is
#    dialout and whose one capability is the unit's, CAP_NET_BIND_SERVICE:
#    on port 502 when it is free here (else on a free port, said so), with
#    only the configuration's listen line changed. mbpoll, a client of its
#    own, reads the bridge's state and writes a coil, which reaches the
#    controller and reads back; SIGTERM ends it with status 0.
#  - `systemctl enable gpio-modbus@ttyUSB0` links the instance; debian_test.sh
#    checks that the purge takes the link and the edited configuration.

modbus_unit=/usr/lib/systemd/system/gpio-modbus@.service
[ -f "$modbus_unit" ] || fail "no $modbus_unit"
check_unit gpio-modbus

checked=$(gpio-modbus --check-config 2>&1) || fail "gpio-modbus --check-config of /etc/gpiolink/modbus.toml: $checked"
echo "gpio-modbus --check-config: $checked"

# Port 502 when nothing holds it, as the unit serves it.
modbus_port=$(python3 -c '
import socket
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind(("127.0.0.1", 502))
except OSError:
    s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
[ "$modbus_port" = 502 ] || echo "gpio-modbus: port 502 is taken on this machine; serving on $modbus_port instead"
sed -i "s|^#listen = .*|listen = \"127.0.0.1:$modbus_port\"|" /etc/gpiolink/modbus.toml
grep -q "^listen = \"127.0.0.1:$modbus_port\"$" /etc/gpiolink/modbus.toml ||
  fail "/etc/gpiolink/modbus.toml has no listen line to change"

command=$(unit_command gpio-modbus) || exit 1
capability=$(sed -n 's/^AmbientCapabilities=//p' "$modbus_unit")
[ "$capability" = CAP_NET_BIND_SERVICE ] || fail "the unit's ambient capabilities are '$capability'"
# shellcheck disable=SC2086
setpriv --reuid=nobody --regid=nogroup --groups=dialout --no-new-privs --inh-caps=-all,+net_bind_service \
  --ambient-caps=-all,+net_bind_service --bounding-set=-all,+net_bind_service \
  env -u LD_LIBRARY_PATH $command 2>"$work/modbus.err" &
modbus_pid=$!
at_exit 'kill "$modbus_pid" 2>/dev/null || true'

# mbpoll_value TABLE REFERENCE: one value read with mbpoll (protocol
# addresses, from 0), or nothing.
mbpoll_value() {
  mbpoll -m tcp -p "$modbus_port" -0 -1 -t "$1" -r "$2" -c 1 127.0.0.1 2>/dev/null |
    sed -n "s/^\[$2\]:[[:space:]]*\(-\{0,1\}[0-9]*\).*/\1/p"
}
online=
for _ in $(seq 100); do
  online=$(mbpoll_value 3 1000)
  [ "$online" = 1 ] && break
  sleep 0.2
done
[ "$online" = 1 ] || fail "gpio-modbus does not serve the controller as online: $(cat "$work/modbus.err")"
before=$(mbpoll_value 4 0)
[ -n "$before" ] || fail "no holding register 0: $(cat "$work/modbus.err")"
# Coil 1 is port 0's bit 1.
mbpoll -m tcp -p "$modbus_port" -0 -t 0 -r 1 127.0.0.1 1 >"$work/mbpoll-write.txt" 2>&1 ||
  fail "mbpoll's coil write failed: $(cat "$work/mbpoll-write.txt") $(cat "$work/modbus.err")"
after=$(mbpoll_value 4 0)
[ "$after" = $((before | 2)) ] || fail "holding register 0 reads '$after' after coil 1 was set on $before"
grep -q "host->dev .* bit set port 0 bit 1$" "$work/sim.out.err" ||
  fail "gpio-sim saw no bit set of port 0 bit 1: $(tail -5 "$work/sim.out.err")"
kill -TERM "$modbus_pid"
modbus_status=0
wait "$modbus_pid" || modbus_status=$?
[ "$modbus_status" = 0 ] || fail "gpio-modbus stopped with $modbus_status: $(cat "$work/modbus.err")"
echo "gpio-modbus: the unit's command line served /dev/$sim_port on port $modbus_port as nobody in dialout;" \
  "mbpoll's coil write came back in holding register 0 ($before -> $after)"

modbus_enabled_link=/etc/systemd/system/multi-user.target.wants/gpio-modbus@ttyUSB0.service
at_exit 'rm -f "$modbus_enabled_link"'
systemctl enable gpio-modbus@ttyUSB0.service >"$work/modbus-enable.log" 2>&1 ||
  fail "systemctl enable gpio-modbus@ttyUSB0.service: $(cat "$work/modbus-enable.log")"
[ -L "$modbus_enabled_link" ] || fail "systemctl enable made no $modbus_enabled_link: $(cat "$work/modbus-enable.log")"
