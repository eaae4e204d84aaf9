"""What the gpio-mqtt tests start for themselves, all on 127.0.0.1: a
mosquitto broker on a free port with a generated configuration (no
persistence), gpio-sim as the controller on a --link, gpio-mqtt with a
generated configuration, and an MQTT 5 client (paho) on the other side.
GPIO_MQTT and GPIO_SIM name the programs; MOSQUITTO the broker."""
import json
import os
import signal
import socket
import subprocess
import threading
import time

import paho.mqtt.client as mqtt
import pytest
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

BRIDGE = os.environ.get("GPIO_MQTT", "gpio-mqtt")
SIM = os.environ.get("GPIO_SIM", "gpio-sim")
MOSQUITTO = os.environ.get("MOSQUITTO", "/usr/sbin/mosquitto")

# Generous bounds for what has no deadline of its own (a start, a
# reconnect): a loaded machine may take its time, a fault never comes.
PATIENCE = 20.0


def wait_until(predicate, timeout=PATIENCE, what="the condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Broker:
    """mosquitto on a port of its own; kill() and start() keep the port.
    `settings` are more lines of its configuration, `{folder}` and `{port}`
    in them the test's folder and `port`; without a listener of their own,
    `port` listens anonymously."""

    def __init__(self, folder, start=True, settings="", name="broker"):
        self.port = free_port()
        self.conf = folder / f"{name}.conf"
        lines = ["persistence false"]
        if "listener" not in settings:
            lines = [f"listener {self.port} 127.0.0.1", "allow_anonymous true"] + lines
        # Started as root, mosquitto would become the user "mosquitto", who
        # cannot read the test's files (its password file, keys and ACL).
        if os.geteuid() == 0:
            lines.append("user root")
        self.conf.write_text("\n".join(lines) + "\n" + settings.replace("{folder}", str(folder))
                             .replace("{port}", str(self.port)))
        self.log = folder / f"{name}.log"
        self.process = None
        if start:
            self.start()

    def start(self):
        with open(self.log, "a") as log:
            self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.conf)], stdout=log, stderr=log)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                return False

        wait_until(listening, what="the broker to listen")

    def kill(self):
        self.process.kill()
        self.process.wait()


class Simulator:
    """gpio-sim with its trace in a file and its standard input open for
    'set PORT VALUE' lines."""

    def __init__(self, folder, link, *options):
        self.folder, self.link, self.options = folder, link, options
        self.start()

    def start(self):
        self.trace_file = self.folder / f"sim-{time.monotonic_ns()}.err"
        self.trace_out = open(self.trace_file, "w")
        self.process = subprocess.Popen([SIM, "--trace", "--link", str(self.link), *self.options],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.trace_out,
                                        text=True)
        assert self.process.stdout.readline().startswith("port: ")
        wait_until(lambda: os.path.islink(self.link), what="gpio-sim's link")

    def set(self, port, value):
        self.process.stdin.write(f"set {port} {value}\n")
        self.process.stdin.flush()

    def requests(self):
        """The requests on the wire so far, as the trace reads them."""
        lines = self.trace_file.read_text(errors="replace").splitlines()
        return [line.split("  ")[-1] for line in lines if "host->dev" in line]

    def signal(self, number):
        self.process.send_signal(number)

    def kill(self):
        self.process.kill()
        self.process.wait()
        self.trace_out.close()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            self.process.wait()
        self.trace_out.close()


def bridge_config(broker_port, link, ports, scheme="mqtt", **settings):
    """The TOML of a bridge: ports as (number, direction, extra keys)."""
    lines = [f'broker = "{scheme}://127.0.0.1:{broker_port}"', f'serial_port = "{link}"', 'id = "bench"']
    lines += [f"{key} = {json.dumps(value)}" for key, value in settings.items()]
    for number, direction, extra in ports:
        lines += ["", "[[port]]", f"number = {number}", f'direction = "{direction}"']
        lines += [f"{key} = {json.dumps(value)}" for key, value in extra.items()]
    return "\n".join(lines) + "\n"


class Bridge:
    """gpio-mqtt with its JSON log in a file."""

    def __init__(self, folder, config_text, *options, name="bridge"):
        self.config = folder / f"{name}.toml"
        self.config.write_text(config_text)
        self.log_file = folder / f"{name}.err"
        self.log_out = open(self.log_file, "w")
        self.process = subprocess.Popen([BRIDGE, "--config", str(self.config), "--json", *options],
                                        stdout=subprocess.DEVNULL, stderr=self.log_out)

    def events(self, name):
        lines = self.log_file.read_text(errors="replace").splitlines()
        return [json.loads(line) for line in lines if json.loads(line)["event"] == name]

    def stop(self, number=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(number)
            try:
                self.process.wait(timeout=PATIENCE)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log_out.close()
        return self.process.returncode


class Client:
    """An MQTT 5 client that keeps every message it gets: `latest` holds
    the last payload of each topic, `log` all of them with their time."""

    def __init__(self, port, topics=("gpiolink/#", "homeassistant/#"), user=None, password=None, ca_file=None):
        self.condition = threading.Condition()
        self.latest, self.log = {}, []
        self.client = mqtt.Client(client_id=f"test-{time.monotonic_ns()}", protocol=mqtt.MQTTv5)
        self.client.on_message = self._received
        if user:
            self.client.username_pw_set(user, password)
        if ca_file:
            self.client.tls_set(ca_certs=str(ca_file))
        subscribed = threading.Event()
        self.client.on_subscribe = lambda *args: subscribed.set()
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        self.client.subscribe([(topic, 1) for topic in topics])
        assert subscribed.wait(PATIENCE)

    def _received(self, client, userdata, message):
        with self.condition:
            payload = message.payload.decode("utf-8", errors="replace")
            self.latest[message.topic] = payload
            self.log.append((time.monotonic(), message.topic, payload, message.properties, message.retain))
            self.condition.notify_all()

    def wait(self, predicate, timeout=PATIENCE, what="a message"):
        """Waits until predicate(self) holds; returns its value."""
        deadline = time.monotonic() + timeout
        with self.condition:
            while True:
                value = predicate(self)
                if value:
                    return value
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"timed out after {timeout} s waiting for {what}; "
                                         f"latest: {str(self.latest)[:1500]}")
                self.condition.wait(left)

    def wait_for(self, topic, payload, timeout=PATIENCE, since=0):
        """Waits for `payload` on `topic` in a message at or after index `since`."""
        return self.wait(lambda c: any(t == topic and p == payload for _, t, p, _, _ in c.log[since:]), timeout,
                         f"{payload!r} on {topic}")

    def messages(self, topic, since=0):
        with self.condition:
            return [p for _, t, p, _, _ in self.log[since:] if t == topic]

    def mark(self):
        with self.condition:
            return len(self.log)

    def publish(self, topic, payload, retain=False, **properties):
        props = Properties(PacketTypes.PUBLISH)
        for name, value in properties.items():
            setattr(props, name, value)
        self.client.publish(topic, payload, qos=1, retain=retain,
                            properties=props if properties else None).wait_for_publish(PATIENCE)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Requester(Client):
    """Sends requests with a Response Topic and a Correlation Data of their
    own, and matches the replies to them."""

    def __init__(self, port, base, reply_prefix="test/replies", **login):
        self.reply_topic = f"{reply_prefix}/{time.monotonic_ns()}"
        super().__init__(port, topics=(self.reply_topic, base + "/error"), **login)
        self.base, self.count = base, 0

    def send(self, payload, **properties):
        self.count += 1
        correlation = f"request-{self.count}".encode()
        self.publish(self.base + "/request", payload, ResponseTopic=self.reply_topic, CorrelationData=correlation,
                     **properties)
        return correlation

    def reply(self, correlation, timeout=PATIENCE):
        def found(client):
            for _, topic, payload, props, _ in client.log:
                if topic == self.reply_topic and getattr(props, "CorrelationData", None) == correlation:
                    return json.loads(payload)
            return None
        return self.wait(found, timeout, f"the reply to {correlation!r}")

    def ask(self, request, **properties):
        return self.reply(self.send(json.dumps(request), **properties))


class Setup:
    """A broker, gpio-sim and gpio-mqtt, with a client watching."""

    def __init__(self, folder, ports, sim_options=(), **settings):
        self.folder = folder
        self.broker = Broker(folder)
        self.link = folder / "controller"
        self.sim = Simulator(folder, self.link, *sim_options)
        self.base = "gpiolink/bench"
        self.watch = Client(self.broker.port)
        self.bridge = Bridge(folder, bridge_config(self.broker.port, self.link, ports, **settings))
        self.watch.wait_for(self.base + "/availability", "online")

    def topic(self, suffix):
        return f"{self.base}/{suffix}"

    def retained(self, wanted, timeout=PATIENCE):
        """The retained messages a new subscriber gets, once it has `wanted`
        of them (or all the broker has, when `wanted` is None)."""
        fresh = Client(self.broker.port)
        try:
            if wanted is None:
                time.sleep(1.0)
            else:
                fresh.wait(lambda c: len({t for _, t, _, _, r in c.log if r}) >= wanted, timeout,
                           f"{wanted} retained topics")
            with fresh.condition:
                return {t: p for _, t, p, _, r in fresh.log if r}
        finally:
            fresh.close()

    def close(self):
        self.watch.close()
        self.bridge.stop()
        self.sim.stop()
        self.broker.kill()


@pytest.fixture
def setup_factory(tmp_path):
    made = []

    def make(ports, sim_options=(), **settings):
        made.append(Setup(tmp_path, ports, sim_options, **settings))
        return made[-1]

    yield make
    for each in made:
        each.close()
