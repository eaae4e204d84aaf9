"""gpio-modbus against gpio-sim and three clients of its own kind: pymodbus,
libmodbus's client (modbus_probe) and mbpoll, as a plant's PLC or panel
would reach it. What the unit tests (modbus_map_test.cpp,
modbus_server_test.cpp) decide with a fake controller is checked here only
where a real controller on a serial line and real clients show more."""
import threading
import time

from conftest import (ANSWERING, FAILED_HIGH, LATEST_AGE, OLDEST_AGE, PATIENCE, VERSION, closed_within, mbpoll,
                      raw_client, version_text, wait_until)
from pymodbus.client import ModbusTcpClient

GATEWAY_TARGET_FAILED = 0x0B


def bits(value):
    return [value >> bit & 1 for bit in range(8)]


def trace(sim):
    """gpio-sim's trace so far as (direction, meaning) pairs."""
    lines = sim.trace_file.read_text(errors="replace").splitlines()
    return [(line.split()[2], line.split("  ")[-1]) for line in lines if len(line.split()) > 2]


def about(meaning, ports):
    return any(meaning == f"input port {port}" or f" port {port} " in meaning + " " for port in ports)


def check_written_then_read_back(sim, since, ports, expected):
    """At the moment the client has its reply: the requests on the wire for
    `ports` since `since` hold `expected` in a row (each write followed by
    the read of its port) and no other write; the last of them, the
    read-back, has already been answered by the controller."""
    entries = trace(sim)[since:]
    requests = [(index, meaning) for index, (direction, meaning) in enumerate(entries)
                if direction == "host->dev" and about(meaning, ports)]
    meanings = [meaning for _, meaning in requests]
    starts = [at for at in range(len(meanings)) if meanings[at:at + len(expected)] == expected]
    assert starts, f"expected {expected} on the wire, saw {meanings}"
    writes = [meaning for meaning in meanings if not meaning.startswith("input")]
    assert writes == [meaning for meaning in expected if not meaning.startswith("input")], meanings
    last = requests[starts[0] + len(expected) - 1][0]
    assert any(direction == "dev->host" for direction, _ in entries[last + 1:]), \
        f"answered before the read-back's reply: {entries[last:]}"


def test_every_function_over_pymodbus_and_each_write_read_back_on_the_wire(setup_factory):
    # Ports 0 and 1 outputs, never read but after a write (no check); 2 an
    # input and 3 both ways, polled; 243 answers status 0xFE, 240 never.
    ports = [(0, "output", {}), (1, "output", {}), (2, "input", {"poll_interval_ms": 100}),
             (3, "both", {"poll_interval_ms": 100}), (243, "output", {}), (240, "output", {})]
    s = setup_factory(ports, sim_options=["--magic-ports", "--version-text", "GPIO-TEST 2.5"], check_interval_ms=0)
    c = ModbusTcpClient("127.0.0.1", port=s.port, timeout=5, retries=0)
    assert c.connect()
    try:
        # The bridge's block: answering, the failed read of port 240 at the
        # start, 240 never read, a fresh latest poll, the version text.
        block = c.read_input_registers(ANSWERING, 21, slave=1).registers
        assert block[0] == 1 and (block[1] << 16 | block[2]) >= 1, block
        assert block[OLDEST_AGE - ANSWERING] == 65535 and block[LATEST_AGE - ANSWERING] < 1000, block
        assert version_text(block[VERSION - ANSWERING:]) == "GPIO-TEST 2.5"
        assert block[VERSION - ANSWERING + 6] == 0x3500  # "5" and the padding

        # Pins moved on the wire show in all the tables of their ports.
        s.sim.set(2, 0xA5)
        s.sim.set(3, 0x3C)
        wait_until(lambda: c.read_input_registers(2, 2, slave=1).registers == [0xA5, 0x3C], what="the polls")
        assert c.read_discrete_inputs(16, 16, slave=1).bits == [bool(b) for b in bits(0xA5) + bits(0x3C)]
        assert c.read_coils(24, 8, slave=1).bits == [bool(b) for b in bits(0x3C)]
        assert c.read_holding_registers(3, 1, slave=1).registers == [0x3C]

        # Each write: the operation on the wire, the port read back, and
        # only then the reply; the value then served is the read-back's
        # (ports 0 and 1 are read by nothing else).
        for write, wire, state in [
            (lambda: c.write_coil(3, True, slave=1), ["bit set port 0 bit 3", "input port 0"], [0x08, 0]),
            (lambda: c.write_coil(3, False, slave=1), ["bit reset port 0 bit 3", "input port 0"], [0, 0]),
            (lambda: c.write_coils(0, [1, 0, 1, 0, 1, 0, 1, 0], slave=1),
             ["output port 0 value 0x55", "input port 0"], [0x55, 0]),
            (lambda: c.write_coils(4, [0, 1], slave=1),
             ["input port 0", "output port 0 value 0x65", "input port 0"], [0x65, 0]),
            (lambda: c.write_coils(6, [1, 1, 1, 1], slave=1),
             ["input port 0", "output port 0 value 0xE5", "input port 0",
              "input port 1", "output port 1 value 0x03", "input port 1"], [0xE5, 0x03]),
            (lambda: c.write_coils(9, [0], slave=1), ["bit reset port 1 bit 1", "input port 1"], [0xE5, 0x01]),
            (lambda: c.write_register(1, 0x5A, slave=1), ["output port 1 value 0x5A", "input port 1"], [0xE5, 0x5A]),
            (lambda: c.write_registers(0, [0x12, 0x34], slave=1),
             ["output port 0 value 0x12", "input port 0", "output port 1 value 0x34", "input port 1"], [0x12, 0x34]),
        ]:
            since = len(trace(s.sim))
            reply = write()
            assert not reply.isError(), f"{wire}: {reply}"
            check_written_then_read_back(s.sim, since, [0, 1], wire)
            assert c.read_holding_registers(0, 2, slave=1).registers == state, wire
        # A both-way port whose pins are driven from outside: written, read
        # back successfully, and it reads what its pins hold.
        since = len(trace(s.sim))
        assert not c.write_register(3, 0x0F, slave=1).isError()
        check_written_then_read_back(s.sim, since, [3], ["output port 3 value 0x0F", "input port 3"])
        assert c.read_holding_registers(3, 1, slave=1).registers == [0x3C]

        # Refused before the wire: an input written, addresses outside the
        # map, a register with its high byte set.
        since = len(trace(s.sim))
        for request, code in [
            (lambda: c.read_coils(16, 1, slave=1), 0x02),
            (lambda: c.read_holding_registers(2, 1, slave=1), 0x02),
            (lambda: c.write_coil(16, True, slave=1), 0x02),
            (lambda: c.write_register(2, 1, slave=1), 0x02),
            (lambda: c.read_input_registers(4, 1, slave=1), 0x02),
            (lambda: c.read_holding_registers(0, 5, slave=1), 0x02),
            (lambda: c.write_registers(ANSWERING, [1], slave=1), 0x02),
            (lambda: c.write_register(0, 0x100, slave=1), 0x03),
        ]:
            reply = request()
            assert reply.isError() and reply.exception_code == code, reply
        assert [m for d, m in trace(s.sim)[since:] if d == "host->dev" and not m.startswith("input port")] == []

        # The controller's error status is 0x04, its silence 0x0B; a port
        # never read is 0x0B; the controller stays online throughout.
        failed = c.read_input_registers(FAILED_HIGH, 2, slave=1).registers
        assert c.write_register(243, 1, slave=1).exception_code == 0x04
        assert c.write_coil(240 * 8, True, slave=1).exception_code == GATEWAY_TARGET_FAILED
        assert c.read_holding_registers(240, 1, slave=1).exception_code == GATEWAY_TARGET_FAILED
        assert "bit set port 240 bit 0 (magic port 240)" in [m for _, m in trace(s.sim)]
        block = c.read_input_registers(ANSWERING, 3, slave=1).registers
        assert block[0] == 1 and (block[1] << 16 | block[2]) >= (failed[0] << 16 | failed[1]) + 2, (failed, block)
        assert not c.read_input_registers(2, 1, slave=1).isError()
        assert len(s.server.events("write-failed")) == 2
    finally:
        c.close()


def test_a_controller_that_stops_answering_then_is_killed_over_libmodbus(setup_factory):
    s = setup_factory([(0, "output", {}), (1, "input", {"poll_interval_ms": 500})], max_poll_age_ms=700)
    p = s.probe()
    s.wait_answering(p)
    s.sim.set(1, 0x81)
    wait_until(lambda: p.ask("4 1 1") == "ok 129", what="the poll of port 1")
    assert p.values("2 8 8") == bits(0x81) and p.values("1 0 8") == [0] * 8

    # Stopped, gpio-sim answers nothing: the value read last is served while
    # it is younger than max_poll_age_ms, then 0x0B while the controller
    # still counts as answering, then 0x0B with register 1000 at 0 once
    # three polls failed.
    stopped = time.monotonic()
    s.sim.freeze()
    samples = []
    while time.monotonic() - stopped < PATIENCE:
        asked = time.monotonic()
        samples.append((asked - stopped, p.ask("4 1 1"), p.ask(f"4 {ANSWERING} 1")))
        if samples[-1][2] == "ok 0":
            break
        time.sleep(0.02)
    assert samples[-1][2] == "ok 0", samples[-5:]
    assert set(read for _, read, _ in samples) <= {"ok 129", "exception 0x0B"}, samples
    # No value older than 0.7 s: the last poll came before the stop.
    assert all(at <= 0.7 for at, read, _ in samples if read == "ok 129"), samples
    assert any(read == "exception 0x0B" and answering == "ok 1" for _, read, answering in samples), samples
    # Offline: reads and writes 0x0B, at once; the count of failures shows.
    for line in ("4 1 1", "3 0 1", "1 0 1", "5 0 1 1", "6 0 1 7"):
        asked = time.monotonic()
        assert p.ask(line) == "exception 0x0B", line
        assert time.monotonic() - asked < 2.0, line
    assert sum(v << 16 * (1 - i) for i, v in enumerate(p.values(f"4 {FAILED_HIGH} 2"))) >= 3
    assert s.server.events("controller-offline")

    # Killed, and a new one in its place: found again on the same
    # connection, its state served and written.
    s.sim.kill()
    assert p.ask("4 1 1") == "exception 0x0B" and p.ask(f"4 {ANSWERING} 1") == "ok 0"
    s.sim.start()
    s.wait_answering(p)
    wait_until(lambda: p.ask("4 1 1") == "ok 0", what="the new controller's port 1")
    assert p.ask("6 0 0 90") == "ok" and p.values("3 0 1") == [90]
    assert "output port 0 value 0x5A" in s.sim.requests()
    assert len(s.server.events("controller-online")) >= 2

    # Killed while answering: the port's device gone, 0x0B at once.
    s.sim.kill()
    wait_until(lambda: p.ask("3 0 1") == "exception 0x0B", timeout=5, what="0x0B after the kill")
    s.wait_answering(p, 0)
    assert p.ask("6 0 0 1") == "exception 0x0B"


def test_mbpoll_and_ten_clients_polling_at_once(setup_factory):
    polled = {1: 0.1, 2: 0.1, 3: 0.2}
    ports = [(0, "output", {})] + [(n, "input", {"poll_interval_ms": int(t * 1000)}) for n, t in polled.items()]
    s = setup_factory(ports, check_interval_ms=0, idle_timeout_ms=1500)
    p = s.probe()
    s.wait_answering(p)
    s.sim.set(1, 0x96)
    wait_until(lambda: p.ask("4 1 1") == "ok 150", what="the poll of port 1")

    # mbpoll: each table, the version, a write of each kind with the
    # operation on the wire, an exception, another unit unanswered.
    assert mbpoll(s.port, "3", 1, count=3) == {1: "150", 2: "0", 3: "0"}
    assert mbpoll(s.port, "1", 8, count=8) == {8 + b: str(v) for b, v in enumerate(bits(0x96))}
    assert mbpoll(s.port, "0", 0, count=8) == {b: "0" for b in range(8)}
    version = mbpoll(s.port, "3", VERSION, count=16)
    assert version_text([int(version[VERSION + i]) for i in range(16)]) == "GPIO-SIM 1.0"
    for values, table, address, request, value in [
        ((1,), "0", 2, "bit set port 0 bit 2", 0x04),
        ((1, 0, 1, 1), "0", 4, "output port 0 value 0xD4", 0xD4),
        ((0x5A,), "4", 0, "output port 0 value 0x5A", 0x5A),
    ]:
        assert "Written" in mbpoll(s.port, table, address, *values)
        assert request in s.sim.requests()
        assert mbpoll(s.port, "4", 0) == {0: str(value)}
    assert "Illegal data address" in mbpoll(s.port, "4", 1)
    assert "timed out" in mbpoll(s.port, "4", 0, unit=2, timeout="0.5")
    assert mbpoll(s.port, "4", 0, unit=255) == {0: "90"}

    # Ten clients polling at once, while one client says nothing and two
    # send what is no Modbus request.
    silent = raw_client(s.port)
    connected, silent_name = time.monotonic(), "127.0.0.1:%d" % silent.getsockname()[1]
    clients = [s.probe() for _ in range(10)]
    since, begun = len(s.sim.requests()), time.monotonic()
    answers, failures = [0] * len(clients), []

    def poll(index):
        while time.monotonic() - begun < 3.0:
            for line, wanted in (("4 1 3", "ok 150 0 0"), ("2 8 8", "ok " + " ".join(map(str, bits(0x96))))):
                answer = clients[index].ask(line)
                if answer != wanted:
                    failures.append((index, line, answer))
                answers[index] += 1
            time.sleep(0.02)

    threads = [threading.Thread(target=poll, args=(index,)) for index in range(len(clients))]
    for thread in threads:
        thread.start()
    malformed = []
    for garbage in (bytes([0, 1, 0, 7, 0, 6, 1, 3, 0, 0, 0, 1]),     # protocol id 7
                    bytes([0, 1, 0, 0, 0x01, 0x00, 1, 16, 0, 0])):   # a length past the limit
        connection = raw_client(s.port)
        connection.sendall(garbage)
        malformed.append(closed_within(connection, PATIENCE))
        connection.close()
    idle = closed_within(silent, PATIENCE)
    idle_after = time.monotonic() - connected
    for thread in threads:
        thread.join(PATIENCE)
    ended = time.monotonic()
    assert failures == [] and min(answers) >= 20, (failures[:5], answers)
    assert malformed == [b"", b""] and idle == b"", (malformed, idle)
    assert 1.45 <= idle_after, idle_after
    dropped = [event["message"] for event in s.server.events("client-dropped")]
    assert sum("malformed" in message for message in dropped) == 2, dropped
    assert f"{silent_name} sent no request for 1500 ms (idle_timeout_ms): closed" in dropped, dropped

    # The serial line carried the polls alone, each port on its interval,
    # however many clients read.
    wire = s.sim.requests()[since:]
    assert set(wire) <= {f"input port {n}" for n in polled}, set(wire)
    for port, interval in polled.items():
        assert wire.count(f"input port {port}") <= (ended - begun) / interval + 2, (port, len(wire))
