"""What the gpio-modbus end-to-end scenarios start for themselves, all on
127.0.0.1: gpio-sim as the controller on a --link (with its trace), and
gpio-modbus with a generated configuration on a free TCP port; on the
other side three clients that owe nothing to each other: pymodbus,
libmodbus's own client (modbus_probe, built from modbus_probe.c) and
mbpoll. GPIO_MODBUS, GPIO_SIM, MODBUS_PROBE and MBPOLL name the programs.
gpio-sim, the bound of each scenario and the waits come from the gpio-mqtt
tests' harness (tests/mqtt/conftest.py), loaded here under its own name."""
import functools
import importlib.util
import json
import os
import pathlib
import signal
import socket
import subprocess
import time

import pytest

_spec = importlib.util.spec_from_file_location(
    "gpio_mqtt_harness", pathlib.Path(__file__).resolve().parents[1] / "mqtt" / "conftest.py")
harness = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(harness)
# The bound of every scenario (an autouse fixture) and its marker.
scenario_bound, pytest_configure = harness.scenario_bound, harness.pytest_configure
PATIENCE, Simulator, free_port, listening_sockets, wait_until = (
    harness.PATIENCE, harness.Simulator, harness.free_port, harness.listening_sockets, harness.wait_until)

SERVER = os.environ.get("GPIO_MODBUS", "gpio-modbus")
PROBE = os.environ.get("MODBUS_PROBE", "modbus_probe")
MBPOLL = os.environ.get("MBPOLL", "mbpoll")

# The bridge's own input registers (docs/modbus.md).
ANSWERING, FAILED_HIGH, FAILED_LOW, OLDEST_AGE, LATEST_AGE, VERSION = 1000, 1001, 1002, 1003, 1004, 1005


def server_config(link, ports, **settings):
    """The TOML of gpio-modbus without its listen key: ports as (number,
    direction, extra keys)."""
    lines = [f'serial_port = "{link}"'] + [f"{key} = {json.dumps(value)}" for key, value in settings.items()]
    for number, direction, extra in ports:
        lines += ["", "[[port]]", f"number = {number}", f'direction = "{direction}"']
        lines += [f"{key} = {json.dumps(value)}" for key, value in extra.items()]
    return "\n".join(lines) + "\n"


class Server(harness.Bridge):
    """gpio-modbus on a free port of 127.0.0.1, its JSON log in a file
    (events() and stop() as gpio-mqtt's, whose log is alike). The
    port is free when picked; when another process takes it first
    (scenarios run side by side), gpio-modbus cannot bind it, says
    cannot-start and exits 1: it starts again on a new one."""

    def __init__(self, folder, config_text, name="modbus"):
        self.config, self.log_file = folder / f"{name}.toml", folder / f"{name}.err"
        deadline = time.monotonic() + PATIENCE
        while True:
            self.port = free_port()
            self.config.write_text(f'listen = "127.0.0.1:{self.port}"\n' + config_text)
            self.log_out = open(self.log_file, "w")
            self.process = subprocess.Popen([SERVER, "--config", str(self.config), "--json"],
                                            stdout=subprocess.DEVNULL, stderr=self.log_out)
            while self.process.poll() is None and time.monotonic() < deadline:
                if self.port in listening_sockets(self.process.pid):
                    return
                time.sleep(0.02)
            self.stop(signal.SIGKILL)
            if not self.events("cannot-start") or time.monotonic() >= deadline:
                raise AssertionError(f"gpio-modbus did not listen on {self.port}: {self.log_file.read_text()}")


class Probe:
    """libmodbus's client in modbus_probe, one connection: ask("3 0 1")
    gives "ok 5", "exception 0x02", "timeout" or "closed"."""

    def __init__(self, port, timeout_ms=5000):
        self.process = subprocess.Popen([PROBE, "127.0.0.1", str(port)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        assert self.process.stdout.readline() == "connected\n"
        self.ask(f"timeout {timeout_ms}")

    def ask(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def values(self, line):
        """The values a request read; anything else fails."""
        answer = self.ask(line)
        assert answer.startswith("ok"), f"{line}: {answer}"
        return [int(value) for value in answer.split()[1:]]

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=PATIENCE)


def mbpoll(port, table, address, *values, count=1, unit=1, timeout="2"):
    """One mbpoll run (-1: once; -0: addresses from 0): the values it read
    or wrote as {address: text}, or its error text."""
    command = [MBPOLL, "-m", "tcp", "-p", str(port), "-a", str(unit), "-0", "-1", "-o", timeout, "-t", table,
               "-r", str(address)] + (["-c", str(count)] if not values else []) + ["127.0.0.1"]
    done = subprocess.run(command + [str(value) for value in values], capture_output=True, text=True,
                          timeout=PATIENCE)
    found = {}
    for line in done.stdout.splitlines():
        if line.startswith("[") and "]:" in line:
            number, text = line[1:].split("]:", 1)
            found[int(number)] = text.strip()
    return found if found and done.returncode == 0 else (done.stdout + done.stderr).strip()


def version_text(registers):
    """The version from its registers: two characters a register, the
    first in the high byte, padded with 0."""
    return b"".join(value.to_bytes(2, "big") for value in registers).rstrip(b"\0").decode()


class Setup:
    """gpio-sim and gpio-modbus serving it."""

    def __init__(self, folder, ports, sim_options=(), **settings):
        self.link = folder / "controller"
        self.sim = Simulator(folder, self.link, *sim_options)
        self.server = Server(folder, server_config(self.link, ports, **settings))
        self.port = self.server.port
        self.probes = []

    def probe(self, **options):
        self.probes.append(Probe(self.port, **options))
        return self.probes[-1]

    def wait_answering(self, probe, answering=1):
        wait_until(lambda: probe.ask(f"4 {ANSWERING} 1") == f"ok {answering}",
                   what=f"input register {ANSWERING} to read {answering}")

    def close(self):
        for probe in self.probes:
            probe.close()
        self.server.stop()
        self.sim.stop()


@pytest.fixture
def setup_factory(tmp_path):
    with harness.made_then_closed(functools.partial(Setup, tmp_path)) as make:
        yield make


def raw_client(port):
    """A plain TCP connection to gpio-modbus, for what no client library
    sends."""
    return socket.create_connection(("127.0.0.1", port), timeout=PATIENCE)


def closed_within(connection, seconds):
    """The bytes the server sent before it closed the connection, or None
    when it is still open after `seconds`."""
    connection.settimeout(seconds)
    received = b""
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            chunk = connection.recv(4096)
            if not chunk:
                return received
            received += chunk
    except socket.timeout:
        return None
    except ConnectionResetError:
        return received
    return None
