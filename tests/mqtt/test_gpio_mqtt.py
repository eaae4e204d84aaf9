"""gpio-mqtt against a broker, gpio-sim and an MQTT 5 client of the test's
own, as a user's system runs them."""
import json
import os
import pathlib
import signal
import statistics
import subprocess
import threading
import time

import pytest
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

from conftest import (BRIDGE, PATIENCE, Bridge, Broker, Client, Requester, Simulator, bridge_config,
                      retained_messages, wait_until)

# The example configuration that is installed with gpio-mqtt.
EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "tools" / "gpio_mqtt" / "mqtt.toml"
OUTPUT, INPUT = (0, "output", {"name": "Relays"}), (1, "input", {"name": "Switches", "poll_interval_ms": 400})


def port_state(value):
    return json.dumps({"value": value, "hex": f"0x{value:02X}", "bits": f"{value:08b}"}, separators=(",", ":"))


def test_state_commands_and_a_clean_stop(setup_factory):
    s = setup_factory([OUTPUT, INPUT])
    w = s.watch
    # All state at once for a subscriber that joins late: availability,
    # version and signals, each port and its bits, the discovery entities.
    retained = s.retained(3 + 2 * 9 + 16)
    assert retained[s.topic("version")] == "GPIO-SIM 1.0"
    assert retained[s.topic("port/0")] == port_state(0)
    assert all(retained[s.topic(f"port/1/bit/{bit}")] == "OFF" for bit in range(8))
    switch = json.loads(retained["homeassistant/switch/gpiolink_bench/p0b3/config"])
    sensor = json.loads(retained["homeassistant/binary_sensor/gpiolink_bench/p1b7/config"])
    assert switch["command_topic"] == s.topic("port/0/bit/3/set") and "command_topic" not in sensor
    assert switch["state_topic"] == s.topic("port/0/bit/3") and sensor["name"] == "Switches bit 7"
    assert switch["availability_topic"] == sensor["availability_topic"] == s.topic("availability")
    assert switch["unique_id"] != sensor["unique_id"] and switch["device"] == sensor["device"]

    # An input changed on the wire reaches the retained topics within a poll
    # interval (400 ms; the slack is for a loaded machine, not for a poll:
    # the polls' own beat is checked below).
    previous = 0
    for value in (0xA5, 0x3C, 0x00):
        mark = w.mark()
        changed = time.monotonic()
        s.sim.set(1, value)
        w.wait_for(s.topic("port/1"), port_state(value), since=mark)
        arrived = next(t for t, topic, _, _, _ in w.log[mark:] if topic == s.topic("port/1"))
        assert arrived - changed < 0.4 + 0.8, f"0x{value:02X} took {arrived - changed:.3f} s"
        # The bits that changed, and only those.
        flipped = [bit for bit in range(8) if (previous ^ value) >> bit & 1]
        w.wait(lambda c: all(c.messages(s.topic(f"port/1/bit/{bit}"), mark) for bit in flipped), what="the bits")
        assert [bit for bit in range(8) if w.messages(s.topic(f"port/1/bit/{bit}"), mark)] == flipped
        previous = value
    polls = [float(line.split()[0]) for line in s.sim.trace_file.read_text().splitlines()
             if line.endswith("input port 1")]
    # Polls keep a fixed beat, so a late one does not move the next: the
    # median gap is the interval even on a loaded machine.
    gap = statistics.median([b - a for a, b in zip(polls, polls[1:])])
    assert 0.9 * 400 <= gap <= 1.25 * 400, f"port 1 polled every {gap:.0f} ms"

    # Commands: each gives the state the controller confirmed, and the
    # wire carries the operation.
    for suffix, payload, value, request in [
        ("port/0/bit/3/set", "ON", 0x08, "bit set port 0 bit 3"),
        ("port/0/set", "0xA5", 0xA5, "output port 0 value 0xA5"),
        ("port/0/set", '{"value":60}', 60, "output port 0 value 0x3C"),
        ("port/0/set", "165", 165, "output port 0 value 0xA5"),
        ("port/0/bit/0/set", "TOGGLE", 164, "bit reset port 0 bit 0"),
        ("port/0/bit/0/set", "TOGGLE", 165, "bit set port 0 bit 0"),
        ("port/0/bit/7/set", "OFF", 37, "bit reset port 0 bit 7"),
    ]:
        mark, wire = w.mark(), len(s.sim.requests())
        w.publish(s.topic(suffix), payload)
        w.wait_for(s.topic("port/0"), port_state(value), since=mark)
        assert request in s.sim.requests()[wire:], f"{suffix} {payload}: {s.sim.requests()[wire:]}"
        # Every bit is published again with the confirmed state.
        w.wait(lambda c: c.messages(s.topic("port/0/bit/7"), mark), what="the bits")
        assert [w.messages(s.topic(f"port/0/bit/{bit}"), mark) for bit in range(8)] == \
            [["ON" if value >> bit & 1 else "OFF"] for bit in range(8)]
    assert w.messages(s.topic("error")) == []

    # SIGTERM: offline, a clean disconnect (no Will needed), status 0.
    assert s.bridge.stop(signal.SIGTERM) == 0
    w.wait_for(s.topic("availability"), "offline")
    assert s.bridge.events("stopped")


def test_request_response_and_every_result_code(setup_factory):
    # Magic ports shape gpio-sim's replies: 240 silence, 241 a corrupted
    # reply, 243 status 0xFE, 244 status 0xFF, 245 status 0x01.
    magic = [(port, "output", {}) for port in (240, 243, 241, 244, 245)]
    s = setup_factory([OUTPUT, INPUT] + magic, sim_options=["--magic-ports"])
    r = Requester(s.broker.port, s.base)
    try:
        s.sim.set(1, 0x81)
        for request, reply in [
            ({"op": "version"}, {"result": 0, "name": "GPIO_RESULT_OK", "version": "GPIO-SIM 1.0"}),
            ({"op": "output", "port": 0, "value": 0x5A}, {"result": 0, "port": 0, "value": 0x5A}),
            ({"op": "bit-set", "port": 0, "bit": 0}, {"result": 0, "bit": 0, "value": 0x5B}),
            ({"op": "bit-reset", "port": 0, "bit": 1}, {"result": 0, "bit": 1, "value": 0x59}),
            ({"op": "bit-test", "port": 0, "bit": 3}, {"result": 7, "name": "GPIO_RESULT_BIT_HIGH", "level": "high"}),
            ({"op": "bit-test", "port": 0, "bit": 2}, {"result": 8, "name": "GPIO_RESULT_BIT_LOW", "level": "low"}),
            ({"op": "input", "port": 1}, {"result": 0, "name": "GPIO_RESULT_OK", "port": 1, "value": 0x81}),
            ({"op": "input", "port": 240}, {"result": 4, "name": "GPIO_RESULT_TIMEOUT", "port": 240}),
            ({"op": "version"}, {"result": 0}),
            ({"op": "input", "port": 241}, {"result": 3, "name": "GPIO_RESULT_IO_ERROR"}),
            ({"op": "input", "port": 243}, {"result": 5, "name": "GPIO_RESULT_DEVICE_FE"}),
            ({"op": "input", "port": 244}, {"result": 2, "name": "GPIO_RESULT_DEVICE_FF"}),
            ({"op": "input", "port": 245}, {"result": 6, "name": "GPIO_RESULT_UNEXPECTED"}),
        ]:
            got = r.ask(request)
            assert {key: got.get(key) for key in reply} == reply, f"{request}: {got}"
            assert ("value" in got) == (got["result"] == 0 and request["op"] not in ("version",) and
                                        request["op"] != "bit-test"), got
        # A failed request is an error too, with its result code.
        r.wait(lambda c: len(c.messages(s.topic("error"))) >= 5, what="five errors")
        errors = [json.loads(p) for p in r.messages(s.topic("error"))]
        assert {e["name"] for e in errors} == {"GPIO_RESULT_TIMEOUT", "GPIO_RESULT_IO_ERROR", "GPIO_RESULT_DEVICE_FE",
                                               "GPIO_RESULT_DEVICE_FF", "GPIO_RESULT_UNEXPECTED"}
        assert s.watch.latest[s.topic("availability")] == "online"

        # A controller that stops answering: the request times out, three
        # failures make it offline. A stopped gpio-sim that goes on answers
        # its backlog late, and the library can take such a reply for a
        # later request's (gpiolink.h): a new controller takes its place.
        s.sim.freeze()
        assert r.ask({"op": "input", "port": 0})["name"] == "GPIO_RESULT_TIMEOUT"
        s.watch.wait_for(s.topic("availability"), "offline")
        mark = s.watch.mark()
        s.sim.kill()
        s.sim.start()
        s.watch.wait_for(s.topic("availability"), "online", since=mark)
        assert s.watch.messages(s.topic("port/0"), mark) == [port_state(0)]
        assert r.ask({"op": "bit-set", "port": 0, "bit": 4})["value"] == 0x10
    finally:
        r.close()


# One of each kind; the reader's unit tests (command_payload_test.cpp) take
# every form.
BAD_PAYLOADS = [
    # topic below the base, payload, a word of the reason
    ("port/0/set", "256", "not a number from 0 to 255"),
    ("port/0/set", '{"value":300}', "not a number from 0 to 255"),
    ("port/0/set", '{"value":7,"force":true}', "unknown key"),
    ("port/0/set", '{"value":', "not valid JSON"),
    ("port/0/set", '{"value":1e999}', "not valid JSON"),
    ("port/0/set", b"\xff\xfe1", "not valid UTF-8"),
    ("port/0/set", "1" * 1025, "over the limit of 1024"),
    ("port/3/set", "1", "is an input port"),
    ("port/9/set", "1", "not a configured port"),
    ("port/0/bit/8/set", "ON", "not one of 0-7"),
    ("port/0/bit/3/set", "on", "not ON, OFF or TOGGLE"),
    ("request", '{"op":"frobnicate","port":0}', "unknown op"),
    ("request", '{"op":"output","port":0,"value":256}', "not a number from 0 to 255"),
    ("request", '{"op":"output","port":3,"value":1}', "is an input port"),
    ("request", '{"op":"input","port":7}', "not a configured port"),
    ("request", '{"op":"bit-set","port":0,"bit":9}', "not one of 0-7"),
    ("request", '{"op":"version","port":0}', 'takes no "port"'),
    ("request", "{\"op\":\"input\",\"port\":0,\"x\":\"\u202e\"}", "unknown key"),
]


def test_bad_payloads_are_refused_before_the_wire(setup_factory):
    s = setup_factory([OUTPUT, (3, "input", {"poll_interval_ms": 60000})])
    r = Requester(s.broker.port, s.base)
    try:
        wire = len(s.sim.requests())
        for suffix, payload, reason in BAD_PAYLOADS:
            mark = r.mark()
            if suffix == "request":
                got = r.reply(r.send(payload))
                assert reason in got["error"], f"{payload!r}: {got}"
            else:
                r.publish(s.topic(suffix), payload)
            error = json.loads(r.wait(lambda c: c.messages(s.topic("error"), mark), what=f"an error for {payload!r}")[0])
            assert error["topic"] == s.topic(suffix) and reason in error["reason"], f"{payload!r}: {error}"
            assert "result" not in error and "\u202e" not in error["payload"] and len(error["payload"]) <= 300
        # A request without a Response Topic has nowhere to reply to.
        mark = r.mark()
        r.publish(s.topic("request"), '{"op":"version"}')
        r.wait(lambda c: c.messages(s.topic("error"), mark), what="an error for a request without a response topic")
        # Nothing reached the controller but the one poll of port 3; the
        # bridge still works.
        assert [line for line in s.sim.requests()[wire:] if line != "input port 3"] == []
        assert r.ask({"op": "input", "port": 0})["result"] == 0
        assert s.watch.latest[s.topic("availability")] == "online"
    finally:
        r.close()


def test_old_commands_are_refused_and_a_reload_applies(setup_factory):
    s = setup_factory([OUTPUT, INPUT], max_command_age=60)
    r = Requester(s.broker.port, s.base)
    try:
        # With the controller silent each exchange takes at least 100 ms, so
        # a command behind 20 others waits at least 2 s: longer than its
        # Message Expiry of 1 s, shorter than max_command_age.
        s.sim.freeze()
        waiting = [r.send(json.dumps({"op": "input", "port": 0})) for _ in range(20)]
        expiring = r.send(json.dumps({"op": "input", "port": 0}), MessageExpiryInterval=1)
        assert all(r.reply(c, timeout=60)["name"] == "GPIO_RESULT_TIMEOUT" for c in waiting)
        assert "Message Expiry" in r.reply(expiring, timeout=60)["error"]

        # SIGHUP: max_command_age of 0.5 s, port 1 gone.
        s.bridge.config.write_text(s.bridge.config.read_text().replace("max_command_age = 60",
                                                                       "max_command_age = 0.5")
                                   .split("\n[[port]]\nnumber = 1")[0])
        mark = s.watch.mark()
        s.bridge.process.send_signal(signal.SIGHUP)
        wait_until(lambda: s.bridge.events("reloaded"), what="the reload")
        late = [r.send(json.dumps({"op": "input", "port": 0})) for _ in range(10)]
        replies = [r.reply(c, timeout=60) for c in late]
        assert "max_command_age" in replies[-1].get("error", ""), replies
        assert all("error" in got or got["name"] == "GPIO_RESULT_TIMEOUT" for got in replies)
        s.sim.thaw()
        s.watch.wait_for(s.topic("availability"), "online", since=mark)

        # An entity of this node left by an earlier configuration (port 9)
        # is cleared as soon as the bridge sees it.
        stale = "homeassistant/switch/gpiolink_bench/p9b0/config"
        s.watch.publish(stale, '{"name":"gone"}', retain=True)
        s.watch.wait_for(stale, "")

        # The entities and the state of port 1 are cleared from the broker.
        retained = s.retained(None)
        assert not [t for t in retained if "p1b" in t or "/port/1" in t], retained
        assert len([t for t in retained if t.startswith("homeassistant/switch/")]) == 8
    finally:
        r.close()


def test_broker_restart_brings_back_every_retained_topic(setup_factory):
    s = setup_factory([OUTPUT, INPUT])
    mark = s.watch.mark()
    s.watch.publish(s.topic("port/0/set"), "0x5A")
    s.watch.wait_for(s.topic("port/0"), port_state(0x5A), since=mark)
    # The port's bits follow its value; bit 7 comes last.
    s.watch.wait_for(s.topic("port/0/bit/7"), "OFF", since=mark)
    before = s.retained(3 + 2 * 9 + 16)
    s.watch.close()

    s.broker.kill()  # no persistence: every retained message is gone
    time.sleep(1.0)
    s.broker.start()
    wait_until(lambda: len(s.bridge.events("broker-connected")) >= 2, timeout=60, what="the reconnect")
    assert "trying again in 1 s" in s.bridge.events("broker-unreachable")[0]["message"]
    # Availability comes last: once it is back, so is all the state (a
    # subscriber that comes sooner gets part of it live, not retained).
    s.watch = Client(s.broker.port)
    s.watch.wait_for(s.topic("availability"), "online")
    assert s.retained(len(before)) == before
    s.watch.publish(s.topic("port/0/set"), "0x11")
    s.watch.wait_for(s.topic("port/0"), port_state(0x11))


def test_bridge_started_before_its_broker_connects_when_it_comes(tmp_path):
    broker = Broker(tmp_path, start=False)
    sim = Simulator(tmp_path, tmp_path / "controller")
    bridge = Bridge(tmp_path, bridge_config(broker.port, tmp_path / "controller", [OUTPUT]))
    try:
        # Tries at 1, 2 and 4 s after the start: the delay doubles (to 30 s).
        wait_until(lambda: len(bridge.events("broker-unreachable")) >= 3, what="three tries")
        broker.start()
        watch = Client(broker.port)
        watch.wait_for("gpiolink/bench/availability", "online")
        watch.close()
        delays = [int(e["message"].split("trying again in ")[1].split()[0]) for e in bridge.events("broker-unreachable")]
        assert delays == [1, 2, 4, 8, 16, 30, 30][:len(delays)], delays
    finally:
        assert bridge.stop() == 0
        sim.stop()
        broker.kill()


def test_controller_restart_goes_offline_and_back_online(setup_factory):
    s = setup_factory([OUTPUT, INPUT])
    s.watch.publish(s.topic("port/0/bit/1/set"), "ON")
    s.watch.wait_for(s.topic("port/0"), port_state(2))
    s.sim.kill()  # its link stays behind, pointing at a pty that is gone
    s.watch.wait_for(s.topic("availability"), "offline")
    mark = s.watch.mark()
    s.sim.start()  # a new controller: its latch starts at 0
    s.sim.set(1, 0x42)
    s.watch.wait_for(s.topic("availability"), "online", since=mark)
    assert s.watch.messages(s.topic("version"), mark) == ["GPIO-SIM 1.0"]
    assert s.watch.messages(s.topic("port/0"), mark) == [port_state(0)]
    s.watch.wait_for(s.topic("port/1"), port_state(0x42), since=mark)


def test_will_says_offline_when_the_bridge_is_killed(setup_factory):
    s = setup_factory([OUTPUT])
    mark = s.watch.mark()
    s.bridge.process.kill()
    s.watch.wait_for(s.topic("availability"), "offline", since=mark)
    assert s.retained(None)[s.topic("availability")] == "offline"


@pytest.mark.parametrize("text, line, reason", [
    ('broker = "http://x"\n', 1, "wants mqtt://HOST[:PORT]"),
    ('broker = "mqtt://h"\nserial_port = "x"\nprefix = "a/#"\n[[port]]\nnumber = 1\ndirection = "input"\n', 3,
     "cannot be part of a topic"),
    ('broker = "mqtt://h"\nserial_port = "x"\n[[port]]\nnumber = 1\ndirection = "in"\n', 5, "direction wants"),
    ('broker = "mqtt://h"\nserial_port = "x"\nbrokr = 1\n', 3, "unknown key 'brokr'"),
    ('broker = "mqtt://h"\nserial_port = [\n', 2, ""),
])
def test_a_bad_configuration_is_refused_with_its_line(tmp_path, text, line, reason):
    config = tmp_path / "mqtt.toml"
    config.write_text(text)
    run = subprocess.run([BRIDGE, "--config", str(config)], capture_output=True, text=True, timeout=PATIENCE)
    assert run.returncode == 78, run.stderr
    assert run.stderr.startswith(f"gpio-mqtt: error: {config}:{line}: ") and reason in run.stderr, run.stderr


def test_the_example_configuration_serves_the_port_of_the_command_line(tmp_path):
    """The example configuration is good as it stands; run as the systemd
    unit runs it, with --port naming the port, it bridges that port below
    an id made of the port's name, and keeps that port across a reload."""
    check = subprocess.run([BRIDGE, "--check-config", "--config", str(EXAMPLE), "--json"], capture_output=True,
                           text=True, timeout=PATIENCE)
    assert check.returncode == 0, check.stderr
    assert json.loads(check.stdout) == {
        "config": str(EXAMPLE), "serial_port": "/dev/ttyUSB0", "base": "gpiolink/ttyUSB0",
        "broker": "mqtt://127.0.0.1:1883",
        "ports": [{"number": 0, "direction": "output", "name": "Relays", "start": "keep", "signals": []},
                  {"number": 1, "direction": "input", "name": "Switches", "signals": []}]}

    broker = Broker(tmp_path)
    sim = Simulator(tmp_path, tmp_path / "controller")
    watch = bridge = None
    try:
        # The unit's --port %I: a name below /dev, here gpio-sim's pts/N.
        port = os.path.relpath(os.path.realpath(sim.link), "/dev")
        base = "gpiolink/" + port.replace("/", "_")
        text = EXAMPLE.read_text()
        assert 'broker = "mqtt://127.0.0.1:1883"' in text
        watch = Client(broker.port)
        bridge = Bridge(tmp_path, text.replace("127.0.0.1:1883", f"127.0.0.1:{broker.port}"), "--port", port)
        watch.wait_for(base + "/availability", "online")
        mark = watch.mark()
        watch.publish(base + "/port/0/bit/3/set", "ON")
        watch.wait_for(base + "/port/0", port_state(0x08), since=mark)
        assert "bit set port 0 bit 3" in sim.requests()
        # A reload reads the file again, whose serial_port is still
        # /dev/ttyUSB0: the port of the command line stays.
        bridge.process.send_signal(signal.SIGHUP)
        wait_until(lambda: bridge.events("reloaded") or bridge.events("reload-refused"), what="the reload")
        assert bridge.events("reloaded") and not bridge.events("controller-offline")
        mark = watch.mark()
        watch.publish(base + "/port/0/bit/3/set", "OFF")
        watch.wait_for(base + "/port/0", port_state(0), since=mark)
        assert bridge.stop() == 0
    finally:
        if watch:
            watch.close()
        if bridge:
            bridge.stop()
        sim.stop()
        broker.kill()


@pytest.mark.bound(120)
def test_availability_is_the_holders_alone_and_dies_with_it(tmp_path):
    """online is said by the bridge that holds the controller, and by no
    other; put back when another client overwrites it; and, with a
    lifetime, gone from a broker that kept it for a bridge that died."""
    broker = Broker(tmp_path, persistence=True)
    link = tmp_path / "controller"
    sim = Simulator(tmp_path, link)
    config = bridge_config(broker.port, link, [OUTPUT], online_lifetime=3)
    watch = Client(broker.port)
    first = Bridge(tmp_path, config, name="first")
    second = None
    availability = "gpiolink/bench/availability"
    try:
        watch.wait_for(availability, "online")
        # The retained online lives 3 s at most, and is renewed while the
        # bridge holds the controller: over twice its lifetime it stays.
        payload, properties = retained_messages(broker.port, properties=True)[availability]
        assert payload == "online" and 0 < properties.MessageExpiryInterval <= 3, properties
        renewed = watch.mark()
        watch.wait(lambda c: len(c.messages(availability, renewed)) >= 7, timeout=PATIENCE,
                   what="online renewed every second")
        assert set(watch.messages(availability, renewed)) == {"online"}
        assert retained_messages(broker.port)[availability] == "online"

        # A second bridge on the same port and id finds it held, says why
        # and exits with 1, before it ever connects to the broker.
        mark = watch.mark()
        second = Bridge(tmp_path, config, name="second")
        assert second.process.wait(timeout=PATIENCE) == 1
        held = second.events("port-held")
        assert held and "held by another process" in held[0]["message"], second.log_file.read_text()
        assert not second.events("broker-connected")
        # The first one goes on: a command after it is carried out, and
        # nothing but the first's renewals came on availability meanwhile.
        watch.publish("gpiolink/bench/port/0/bit/5/set", "ON")
        watch.wait_for("gpiolink/bench/port/0", port_state(0x20), since=mark)
        assert set(watch.messages(availability, mark)) <= {"online"}
        assert "bit set port 0 bit 5" in sim.requests()

        # Another client's offline over the holder's state is put right at
        # once, retained.
        mark = watch.mark()
        watch.publish(availability, "offline", retain=True)
        watch.wait(lambda c: c.messages(availability, mark)[:2] == ["offline", "online"], timeout=2.5,
                   what="online put back")
        assert first.events("availability-overwritten")
        assert retained_messages(broker.port)[availability] == "online"

        # The broker dies (its last save at most 1 s old, so holding
        # online), then the bridge while the broker is away: no Will can
        # say offline. The broker comes back with what it saved, and online
        # expires with its lifetime.
        broker.kill()
        first.process.kill()
        first.process.wait()
        died = time.monotonic()
        broker.start()
        wait_until(lambda: availability not in retained_messages(broker.port), timeout=PATIENCE,
                   what="the dead bridge's online to expire")
        gone = time.monotonic() - died
        print(f"the dead bridge's online gone {gone:.1f} s after it died (lifetime 3 s)")
        assert gone <= 3 + 2, f"online outlived its bridge by {gone:.1f} s"
    finally:
        watch.close()
        first.stop()
        if second:
            second.stop()
        sim.stop()
        broker.kill()


@pytest.mark.bound(120)
def test_a_flood_of_requests_leaves_polls_memory_reloads_and_order_intact(setup_factory):
    """100 requests a second for 10 s, 1 MB payloads among them, at a
    controller that takes 15 ms an exchange: more than it can carry out.
    Input changes are still published within their poll interval, the
    bridge stays small, a reload is applied, and every request is answered
    as promised."""
    poll = 100
    s = setup_factory([OUTPUT, (1, "input", {"poll_interval_ms": poll})], sim_options=["--delay", "15"])
    r = Requester(s.broker.port, s.base)
    r.client.max_inflight_messages_set(0)
    big = b"x" * (1 << 20)
    rate, seconds = 100, 10
    changes, rss, stop = [], [], threading.Event()

    def sample_memory():
        status = pathlib.Path(f"/proc/{s.bridge.process.pid}/status")
        while not stop.wait(0.05):
            rss.append(int(next(line for line in status.read_text().splitlines()
                                if line.startswith("VmRSS:")).split()[1]))

    sampler = threading.Thread(target=sample_memory)
    sampler.start()
    try:
        start = time.monotonic()
        sent = 0
        props = Properties(PacketTypes.PUBLISH)
        props.ResponseTopic = r.reply_topic
        for n in range(rate * seconds):
            # On a fixed beat, so that a late send does not slow the rest.
            delay = start + n / rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            props.CorrelationData = str(n).encode()
            r.client.publish(s.topic("request"), '{"op":"input","port":0}', qos=1, properties=props)
            sent += 1
            if n % 50 == 25:
                # Dropped by the broker, or refused by the bridge unread.
                huge = Properties(PacketTypes.PUBLISH)
                huge.ResponseTopic, huge.CorrelationData = r.reply_topic, b"huge"
                r.client.publish(s.topic("request" if n % 100 == 25 else "port/0/set"), big, qos=1,
                                 properties=huge if n % 100 == 25 else None)
            if n % 150 == 75:
                # An input change, timed from the set to its message.
                mark = s.watch.mark()
                value = (n // 150 * 37 + 1) & 0xFF
                changed = time.monotonic()
                s.sim.set(1, value)
                changes.append((value, changed, mark))
            if n == rate * seconds // 2:
                s.bridge.process.send_signal(signal.SIGHUP)
        flood = time.monotonic() - start
        wait_until(lambda: s.bridge.events("reloaded"), what="the reload during the flood")

        # Every request answered, once.
        def replies(client):
            found = {}
            for _, topic, payload, properties, _ in client.log:
                if topic == r.reply_topic and properties.CorrelationData.isdigit():
                    found.setdefault(int(properties.CorrelationData), []).append(json.loads(payload))
            return found

        answered = r.wait(lambda c: (lambda found: found if len(found) == sent else None)(replies(c)),
                          timeout=60, what=f"replies to all {sent} requests")
        stop.set()
        sampler.join()
        assert all(len(each) == 1 for each in answered.values())
        # In the order of sending, but for refusals of a full queue, which
        # come at once.
        with r.condition:
            order = [int(props.CorrelationData) for _, topic, _, props, _ in r.log
                     if topic == r.reply_topic and props.CorrelationData.isdigit()]
        full = {n for n, (reply,) in answered.items() if "too many commands waiting" in reply.get("error", "")}
        taken = [n for n in order if n not in full]
        assert taken == sorted(taken), "replies out of order"
        # Each one carried out, or refused for its age or a full queue.
        assert all(reply.get("name") == "GPIO_RESULT_OK" or "max_command_age" in reply.get("error", "") or
                   n in full for n, (reply,) in answered.items()), answered
        # Each input change published within the poll interval, plus the
        # exchange in progress and the poll's own (15 ms each) and a slack.
        latencies = []
        for value, changed, mark in changes:
            s.watch.wait_for(s.topic("port/1"), port_state(value), since=mark)
            arrived = next(t for t, topic, p, _, _ in s.watch.log[mark:]
                           if topic == s.topic("port/1") and p == port_state(value))
            latencies.append(1000 * (arrived - changed))
        refused_old = sum("max_command_age" in reply.get("error", "") for (reply,) in answered.values())
        print(f"flood of {sent} requests in {flood:.1f} s ({refused_old} refused for their age, {len(full)} for a "
              f"full queue); input changes published after "
              f"{', '.join(f'{ms:.0f}' for ms in latencies)} ms (poll {poll} ms); most RSS {max(rss) / 1024:.1f} MB")
        assert statistics.median(latencies) <= poll + 50, latencies
        assert max(latencies) <= poll + 500, latencies
        if os.environ.get("GPIO_MQTT_SANITIZED", "0") != "1":
            assert max(rss) < 20 * 1024, f"RSS reached {max(rss)} kB"
        assert s.watch.latest[s.topic("availability")] == "online"
    finally:
        stop.set()
        sampler.join()
        r.close()
