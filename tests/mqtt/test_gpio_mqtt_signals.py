"""Signals end to end: named bits with the plant's rules drive gpio-sim as
configured, through their topics, Home Assistant's discovery and the
outputs' start rules, across restarts of the controller and of the
bridge."""
import json
import re

from conftest import PATIENCE, Bridge, Broker, Client, Simulator, wait_until

CONFIG = """\
broker = "mqtt://127.0.0.1:{port}"
serial_port = "{link}"
id = "bench"
name = "Boiler room"
state_directory = "{state}"

[[port]]
number = 0
direction = "output"

[[port.bit]]
bit = 0
name = "Pump 1"
inverted = true
start = "restore"

[[port.bit]]
bit = 5
name = "Horn"
pulse_ms = {pulse}

[[port]]
number = 1
direction = "input"
poll_interval_ms = 100

[[port.bit]]
bit = 2
name = "Door closed"
device_class = "door"
"""

PULSE_MS = 300
TRACE_TIME = re.compile(r"^\s*([0-9.]+) ms")


def traced(sim, meaning):
    """The times, in ms, at which gpio-sim's trace shows the request `meaning`."""
    lines = sim.trace_file.read_text(errors="replace").splitlines()
    return [float(TRACE_TIME.match(line).group(1)) for line in lines
            if "host->dev" in line and line.endswith("  " + meaning)]


def test_named_signals_drive_the_controller_with_the_plants_rules(tmp_path):
    broker = Broker(tmp_path)
    link = tmp_path / "controller"
    sim = Simulator(tmp_path, link)
    (tmp_path / "state").mkdir()
    config = CONFIG.format(port=broker.port, link=link, state=tmp_path / "state", pulse=PULSE_MS)
    watch = Client(broker.port)
    bridge = Bridge(tmp_path, config)
    try:
        base = "gpiolink/bench"
        watch.wait_for(base + "/availability", "online")
        # Inverted: the pump's bit is low, so the pump is on.
        watch.wait_for(base + "/signal/pump-1", "ON")
        watch.wait_for(base + "/signal/door-closed", "OFF")
        door = json.loads(watch.wait(lambda c: c.latest.get(
            "homeassistant/binary_sensor/gpiolink_bench/signal-door-closed/config")))
        assert door["name"] == "Door closed" and door["device_class"] == "door"
        assert door["device"]["name"] == "Boiler room" and door["device"]["sw_version"] == "GPIO-SIM 1.0"
        horn = json.loads(watch.wait(lambda c: c.latest.get("homeassistant/button/gpiolink_bench/signal-horn/config")))
        assert horn["command_topic"] == base + "/signal/horn/set" and horn["payload_press"] == "PULSE"

        # The pump off is its bit set; the raw bit shows it as it is.
        watch.publish(base + "/signal/pump-1/set", "OFF")
        watch.wait_for(base + "/signal/pump-1", "OFF")
        assert watch.latest[base + "/port/0/bit/0"] == "ON"
        assert traced(sim, "bit set port 0 bit 0")

        # A switch on the door's pin shows as the signal.
        sim.set(1, 0x04)
        watch.wait_for(base + "/signal/door-closed", "ON")

        # The horn's pulse: on, then off after its time, both on the wire.
        watch.publish(base + "/signal/horn/set", "PULSE")
        wait_until(lambda: traced(sim, "bit reset port 0 bit 5"), what="the pulse's end on the wire")
        start, end = traced(sim, "bit set port 0 bit 5")[0], traced(sim, "bit reset port 0 bit 5")[0]
        print(f"pulse of {PULSE_MS} ms: {end - start:.1f} ms between its two writes")
        assert PULSE_MS <= end - start <= PULSE_MS + 3000
        watch.wait(lambda c: c.messages(base + "/signal/horn")[-2:] == ["ON", "OFF"], what="the horn on, then off")

        # A controller that comes back with its outputs reset gets the
        # pump's last confirmed state again (its start rule is restore).
        sim.kill()
        sim.start()
        wait_until(lambda: traced(sim, "output port 0 value 0x01"), what="the restored output after gpio-sim's restart")
        watch.wait_for(base + "/signal/pump-1", "OFF")

        # So does a bridge started again, from its state file.
        assert bridge.stop() == 0
        sim.kill()
        sim.start()
        bridge = Bridge(tmp_path, config, name="bridge-again")
        wait_until(lambda: traced(sim, "output port 0 value 0x01"), what="the restored output after the bridge's restart")
        assert json.loads((tmp_path / "state" / "bench.json").read_text()) == {"0": 1}
    finally:
        watch.close()
        bridge.stop()
        sim.stop()
        broker.kill()
