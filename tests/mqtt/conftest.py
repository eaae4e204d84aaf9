"""What the gpio-mqtt tests start for themselves, all on 127.0.0.1: a
mosquitto broker on a free port with a generated configuration (no
persistence unless asked), gpio-sim as the controller on a --link,
gpio-mqtt with a generated configuration, and an MQTT 5 client (paho) on
the other side. GPIO_MQTT and GPIO_SIM name the programs; MOSQUITTO the
broker. Every scenario has a bound of its own (`@pytest.mark.bound(S)`,
by default DEFAULT_BOUND seconds), well inside ctest's TIMEOUT, so that a
hang fails with its traceback and everything it started is stopped."""
import contextlib
import functools
import json
import os
import pathlib
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
# A whole scenario's bound; ctest's TIMEOUT (tests/mqtt/CMakeLists.txt) is 180 s.
DEFAULT_BOUND = 120


def pytest_configure(config):
    config.addinivalue_line("markers", "bound(seconds): the longest this scenario may take")


@pytest.fixture(autouse=True)
def scenario_bound(request):
    """Fails a scenario that outlives its bound, in its main thread, so that
    its fixtures and finally blocks still stop what it started."""
    marker = request.node.get_closest_marker("bound")
    seconds = marker.args[0] if marker else DEFAULT_BOUND

    def expired(number, frame):
        raise AssertionError(f"the scenario took longer than its bound of {seconds} s")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def wait_until(predicate, timeout=PATIENCE, what="the condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


def free_port():
    """A port that was free a moment ago. Another process may take it before
    it is used: Broker tries again with new ports when that happens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening_sockets(pid):
    """The TCP ports on 127.0.0.1 on which the process `pid` listens."""
    inodes = set()
    try:
        fds = list(pathlib.Path(f"/proc/{pid}/fd").iterdir())
        table = pathlib.Path(f"/proc/{pid}/net/tcp").read_text().splitlines()[1:]
    except OSError:  # not yet there, or gone
        return set()
    for fd in fds:
        try:
            target = os.readlink(fd)
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:["):-1])
    ports = set()
    for line in table:
        fields = line.split()
        address, port = fields[1].split(":")
        # 0A: LISTEN; 0100007F: 127.0.0.1 as the kernel writes it.
        if fields[3] == "0A" and address == "0100007F" and fields[9] in inodes:
            ports.add(int(port, 16))
    return ports


class Broker:
    """mosquitto on ports of its own; kill() and start() keep them.
    `settings` are more lines of its configuration, `{folder}` in them the
    test's folder, `{port}` `port` and `{port1}`, `{port2}`... `ports[1]`,
    `ports[2]`... (`extra_ports` of them); without a listener of their own,
    `port` listens anonymously. The ports are free ones: when another
    process takes one first (parallel scenarios pick theirs at the same
    time), the broker starts again on new ones. With `persistence` it keeps
    its retained messages in `folder` across kill() and start() (saved
    every second and at a clean stop)."""

    def __init__(self, folder, start=True, settings="", name="broker", extra_ports=0, persistence=False):
        self.folder, self.settings, self.name, self.extra_ports = folder, settings, name, extra_ports
        self.persistence = persistence
        self.conf = folder / f"{name}.conf"
        self.log = folder / f"{name}.log"
        self.process = None
        self._configure()
        if start:
            self.start(new_ports=True)

    def _configure(self):
        self.ports = [free_port() for _ in range(1 + self.extra_ports)]
        self.port = self.ports[0]
        if self.persistence:
            lines = ["persistence true", f"persistence_location {self.folder}/",
                     f"persistence_file {self.name}.db", "autosave_interval 1"]
        else:
            lines = ["persistence false"]
        if "listener" not in self.settings:
            lines = [f"listener {self.port} 127.0.0.1", "allow_anonymous true"] + lines
        # Started as root, mosquitto would become the user "mosquitto", who
        # cannot read the test's files (its password file, keys and ACL).
        if os.geteuid() == 0:
            lines.append("user root")
        text = self.settings.replace("{folder}", str(self.folder)).replace("{port}", str(self.port))
        for number, port in enumerate(self.ports[1:], 1):
            text = text.replace(f"{{port{number}}}", str(port))
        self.conf.write_text("\n".join(lines) + "\n" + text)

    def start(self, new_ports=False):
        """Starts the broker and waits until it listens on all its ports.
        A port taken by another process meanwhile: with `new_ports` new
        ones are tried, else (a restart, whose clients know the port) the
        same ones until PATIENCE has passed."""
        deadline = time.monotonic() + PATIENCE
        while True:
            with open(self.log, "a") as log:
                self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.conf)], stdout=log, stderr=log)
            wanted = set(self.ports)
            while self.process.poll() is None and time.monotonic() < deadline:
                if wanted <= listening_sockets(self.process.pid):
                    return
                time.sleep(0.02)
            if self.process.poll() is None:
                self.kill()
                raise AssertionError(f"the broker did not listen on {sorted(wanted)} within {PATIENCE} s")
            self.process.wait()
            if time.monotonic() >= deadline:
                raise AssertionError(f"the broker could not listen on {sorted(wanted)}: see {self.log}")
            # Most likely a port taken by another process (mosquitto says
            # "Address already in use"): new ports, or the same ones later.
            if new_ports:
                self._configure()
            else:
                time.sleep(0.2)

    def kill(self):
        self.process.kill()
        self.process.wait()

    def stop(self):
        """A clean stop: a broker with persistence saves its messages."""
        self.process.terminate()
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

    def freeze(self):
        """Stops gpio-sim, and returns once every thread of it has stopped.
        A stop signal wakes one thread, which then stops the others: on a
        loaded machine its serving thread can still answer a request after
        the signal was sent, until it is scheduled and stops too."""
        self.process.send_signal(signal.SIGSTOP)
        tasks = pathlib.Path(f"/proc/{self.process.pid}/task")

        def stopped(task):
            # The state follows the program's name in parentheses; a thread
            # that has ended answers nothing either.
            try:
                return (task / "stat").read_text().rsplit(")", 1)[1].split()[0] in ("T", "t")
            except FileNotFoundError:
                return True
        wait_until(lambda: all(stopped(task) for task in tasks.iterdir()), what="every thread of gpio-sim to stop")

    def thaw(self):
        self.process.send_signal(signal.SIGCONT)

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
        ready = threading.Event()
        if topics:
            self.client.on_subscribe = lambda *args: ready.set()
        else:  # a client that only publishes
            self.client.on_connect = lambda *args: ready.set()
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        if topics:
            self.client.subscribe([(topic, 1) for topic in topics])
        assert ready.wait(PATIENCE)

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

    def __init__(self, port, base, reply_prefix="replies/test", **login):
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


def retained_messages(port, topics=("gpiolink/#", "homeassistant/#"), properties=False, **login):
    """Every retained message the broker on `port` holds on `topics`, as a
    new subscriber gets them: {topic: payload}, or {topic: (payload,
    properties)}. Known to be all of them by a sign, not by waiting: after
    subscribing to `topics` the client subscribes to a marker of its own
    that it left retained; the broker sends the retained messages of each
    subscription in turn, so those of `topics` came before the marker."""
    fresh = Client(port, topics=topics, **login)
    marker = f"test/marker/{time.monotonic_ns()}"
    try:
        fresh.publish(marker, "marker", retain=True)
        done = threading.Event()
        fresh.client.on_subscribe = lambda *args: done.set()
        fresh.client.subscribe(marker, 1)
        assert done.wait(PATIENCE)
        fresh.wait(lambda c: c.messages(marker), what="the marker")
        fresh.publish(marker, "", retain=True)
        with fresh.condition:
            return {t: (p, props) if properties else p for _, t, p, props, r in fresh.log if r and t != marker}
    finally:
        fresh.close()


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
        if wanted is None:
            return retained_messages(self.broker.port)
        fresh = Client(self.broker.port)
        try:
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


@contextlib.contextmanager
def made_then_closed(make):
    """A factory that calls make(...) for each call, and closes everything
    it made when the block ends."""
    made = []

    def build(*args, **kwargs):
        made.append(make(*args, **kwargs))
        return made[-1]

    try:
        yield build
    finally:
        for each in made:
            each.close()


@pytest.fixture
def setup_factory(tmp_path):
    with made_then_closed(functools.partial(Setup, tmp_path)) as make:
        yield make
