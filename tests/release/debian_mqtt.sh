# Sourced by debian_test.sh once the packages are installed and gpio-sim
# (with --trace, its trace in $work/sim.out.err) serves $sim_port:
# gpiolink-mqtt used as its users use it.
#  - The unit passes `systemd-analyze verify` without a word (its program
#    and manual page found), and its exposure in `systemd-analyze security`
#    stays low: a hardening option lost shows there.
#  - The configuration in /etc is good as installed (--check-config).
#  - With only its broker line changed, to a mosquitto of the test's own on
#    a free port of 127.0.0.1, the installed gpio-mqtt runs as the unit's
#    ExecStart= line gives it, %I the simulator's port: as an unprivileged
#    user whose only group is dialout, with no capability and no new
#    privileges, on a port owned by root:dialout 0660 as udev makes a USB
#    adapter's. A bit set reaches the controller and the confirmed state
#    comes back, every retained topic is there, SIGTERM leaves "offline".
#  - `systemctl enable gpio-mqtt@ttyUSB0` links the instance; debian_test.sh
#    checks that the purge takes the link and the edited configuration.
# systemd need not run: verify, security --offline and enable work on files.

unit=/usr/lib/systemd/system/gpio-mqtt@.service
[ -f "$unit" ] || fail "no $unit"
check_unit gpio-mqtt

checked=$(gpio-mqtt --check-config 2>&1) || fail "gpio-mqtt --check-config of /etc/gpiolink/mqtt.toml: $checked"
echo "gpio-mqtt --check-config: $checked"

# A broker of the test's own, and the configuration pointed at it.
broker_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$broker_port" >"$work/broker.conf"
"$(command -v mosquitto || echo /usr/sbin/mosquitto)" -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
broker_pid=$!
at_exit 'kill "$broker_pid" 2>/dev/null || true'
for _ in $(seq 100); do
  mosquitto_pub -p "$broker_port" -t probe -n 2>/dev/null && break
  sleep 0.1
done
mosquitto_pub -p "$broker_port" -t probe -n || fail "the broker does not listen: $(cat "$work/broker.log")"
sed -i "s|^broker = .*|broker = \"mqtt://127.0.0.1:$broker_port\"|" /etc/gpiolink/mqtt.toml
grep -q "^broker = \"mqtt://127.0.0.1:$broker_port\"$" /etc/gpiolink/mqtt.toml ||
  fail "/etc/gpiolink/mqtt.toml has no broker line to change"

# The unit's command line for the simulator's port, run as the unit runs it.
command=$(unit_command gpio-mqtt) || exit 1
chgrp dialout "/dev/$sim_port" && chmod 0660 "/dev/$sim_port" || fail "cannot give /dev/$sim_port to dialout"
# shellcheck disable=SC2086
setpriv --reuid=nobody --regid=nogroup --groups=dialout --no-new-privs --inh-caps=-all --bounding-set=-all \
  env -u LD_LIBRARY_PATH $command 2>"$work/bridge.err" &
bridge_pid=$!
at_exit 'kill "$bridge_pid" 2>/dev/null || true'
base=gpiolink/$(echo "$sim_port" | tr / _)

# retained TOPIC PAYLOAD: waits (about 20 s at most) until the broker keeps
# PAYLOAD on TOPIC.
retained() {
  for _ in $(seq 40); do
    [ "$(mosquitto_sub -p "$broker_port" -t "$1" -C 1 -W 1 --retained-only 2>/dev/null)" = "$2" ] && return 0
    sleep 0.5
  done
  fail "no '$2' retained on $1; gpio-mqtt said: $(cat "$work/bridge.err")"
}
retained "$base/availability" online
# Everything a subscriber that joins late gets at once: availability,
# version, the signals, two ports and their 16 bits, and 16 discovery entities.
mosquitto_sub -p "$broker_port" -t "$base/#" -t 'homeassistant/#' -v -C 37 -W 10 --retained-only \
  >"$work/retained.txt" 2>&1 || fail "not 37 retained topics: $(cat "$work/retained.txt")"
for line in "$base/version GPIO-SIM 1.0" "$base/port/0 {\"value\":0,\"hex\":\"0x00\",\"bits\":\"00000000\"}" \
    "$base/port/1/bit/7 OFF" "$base/port/0/bit/3 OFF"; do
  grep -qxF "$line" "$work/retained.txt" || fail "no retained '$line': $(cat "$work/retained.txt")"
done
[ "$(grep -c '^homeassistant/.*/config ' "$work/retained.txt")" = 16 ] ||
  fail "not 16 discovery entities: $(cat "$work/retained.txt")"

mosquitto_pub -p "$broker_port" -q 1 -t "$base/port/0/bit/3/set" -m ON || fail "mosquitto_pub of the set failed"
retained "$base/port/0" '{"value":8,"hex":"0x08","bits":"00001000"}'
retained "$base/port/0/bit/3" ON
grep -q "host->dev .* bit set port 0 bit 3$" "$work/sim.out.err" ||
  fail "gpio-sim saw no bit set: $(cat "$work/sim.out.err")"
kill -TERM "$bridge_pid"
bridge_status=0
wait "$bridge_pid" || bridge_status=$?
[ "$bridge_status" = 0 ] || fail "gpio-mqtt stopped with $bridge_status: $(cat "$work/bridge.err")"
retained "$base/availability" offline
echo "gpio-mqtt: the unit's command line bridged /dev/$sim_port as nobody in dialout; a set came back confirmed"

# The web panel: mosquitto serves the installed page with the installed
# configuration and ACL, only its ports, address and password file put in.
panel_conf=/usr/share/gpiolink/mosquitto/gpiolink-panel.conf
for file in /usr/share/gpiolink/panel/index.html /usr/share/gpiolink/panel/THIRD-PARTY-LICENSES.txt "$panel_conf" \
    /usr/share/gpiolink/mosquitto/gpiolink.acl; do
  [ -s "$file" ] || fail "gpiolink-mqtt has no $file"
done
# Two free ports, both held until both are known.
ports=$(python3 -c 'import socket; s = [socket.socket() for _ in "ab"]; [x.bind(("127.0.0.1", 0)) for x in s]; print(*[x.getsockname()[1] for x in s])')
ws_port=${ports% *} mqtt_port=${ports#* }
sed -e "s|^listener 1883 127.0.0.1\$|listener $mqtt_port 127.0.0.1|" -e "s|^listener 9001 lo\$|listener $ws_port lo|" \
  -e "s|/etc/mosquitto/passwd\$|$work/passwd|" -e "s|/etc/mosquitto/gpiolink.acl\$|/usr/share/gpiolink/mosquitto/gpiolink.acl|" \
  "$panel_conf" >"$work/panel-broker.conf"
grep -qx "listener $mqtt_port 127.0.0.1" "$work/panel-broker.conf" && grep -qx "listener $ws_port lo" "$work/panel-broker.conf" ||
  fail "the installed panel configuration's listeners are not the loopback ones this test knows: $(grep '^listener' "$panel_conf")"
printf 'persistence false\nuser root\n' >>"$work/panel-broker.conf"
mosquitto_passwd -c -b "$work/passwd" viewer viewer-secret
"$(command -v mosquitto || echo /usr/sbin/mosquitto)" -c "$work/panel-broker.conf" >"$work/panel-broker.log" 2>&1 &
panel_broker_pid=$!
at_exit 'kill "$panel_broker_pid" 2>/dev/null || true'
python3 - "http://127.0.0.1:$ws_port/" /usr/share/gpiolink/panel/index.html <<'PY' ||
import sys, time, urllib.request
for _ in range(100):
    try:
        page = urllib.request.urlopen(sys.argv[1], timeout=5).read()
        break
    except OSError:
        time.sleep(0.1)
else:
    sys.exit("nothing served at " + sys.argv[1])
sys.exit(0 if page == open(sys.argv[2], "rb").read() else "the page served is not the installed index.html")
PY
  fail "mosquitto with $panel_conf does not serve the panel: $(cat "$work/panel-broker.log")"
kill "$panel_broker_pid"
echo "gpiolink-mqtt's panel: served by mosquitto with the installed configuration and ACL"

enabled_link=/etc/systemd/system/multi-user.target.wants/gpio-mqtt@ttyUSB0.service
at_exit 'rm -f "$enabled_link"'
systemctl enable gpio-mqtt@ttyUSB0.service >"$work/enable.log" 2>&1 ||
  fail "systemctl enable gpio-mqtt@ttyUSB0.service: $(cat "$work/enable.log")"
[ -L "$enabled_link" ] || fail "systemctl enable made no $enabled_link: $(cat "$work/enable.log")"
