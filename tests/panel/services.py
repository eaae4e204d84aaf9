"""The plant of the panel's browser test, started here on 127.0.0.1 with
the helpers of the gpio-mqtt tests (tests/mqtt/conftest.py): mosquitto with
the configuration and the ACL of docs/panel.md as written (only its ports
and files put in), the TLS listener of docs/panel.md beside them (bound to
lo here) with a certificate made with openssl, users made with
mosquitto_passwd, and two gpio-sim controllers each bridged by its own
gpio-mqtt, which logs in with its controller's id as its user, as the ACL
wants. line-a is named "Boiler room" and names four of its bits as
signals: an inverted one, a pulse output, a plain output and an input. The
ACL gets one more user, "harness", that may write every controller's
topics: the test's stand-in for bridges it does not start.
Once the broker listens, every one of its listening sockets must be on the
loopback interface, as the shipped configuration promises.

Usage: services.py FOLDER PANEL_DIR DOCS_PANEL_MD SHIPPED_FOLDER
(SHIPPED_FOLDER: panel/mosquitto, the configuration and the ACL that are
installed with the panel, which must be those of docs/panel.md.)
Prints one JSON line once all is up, then reads commands from standard
input, one JSON object a line, and answers each with a JSON line:
  {"op": "set", "sim": 0, "port": 1, "value": 165}  a line to gpio-sim's input
  {"op": "requests", "sim": 0}                       the requests on its wire
  {"op": "kill-sim", "sim": 1} / {"op": "start-sim", "sim": 1}
  {"op": "restart-broker"}                           killed, then started again
  {"op": "freeze-broker"} / {"op": "thaw-broker"}    SIGSTOP, SIGCONT
  {"op": "stop"}                                     everything stopped
End of input stops everything too."""
import ipaddress
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "mqtt"))
from conftest import Bridge, Broker, Simulator, bridge_config, free_port, wait_until  # noqa: E402

PASSWD = os.environ.get("MOSQUITTO_PASSWD", "mosquitto_passwd")
CONTROLLERS = ("line-a", "line-b")
USERS = {"line-a": "line-a-secret", "line-b": "line-b-secret", "operator": "operator-secret",
         "viewer": "viewer-secret", "harness": "harness-secret"}
HARNESS = "\nuser harness\ntopic write gpiolink/#\ntopic write homeassistant/#\n"
# line-a's signals, as [[port.bit]] tables after their [[port]].
SIGNALS = {0: [{"bit": 0, "name": "Pump 1", "inverted": True}, {"bit": 1, "name": "Fan"},
               {"bit": 5, "name": "Horn", "pulse_ms": 400}],
           1: [{"bit": 2, "name": "Door closed", "device_class": "door"}]}
# A pulse is PULSE on <base>/signal/<name>/set: the operator writes it, the
# bridge reads it.
PORTS = [(0, "output", {"name": "Relays"}), (1, "input", {"name": "Switches", "poll_interval_ms": 50}),
         (2, "output", {"name": "Valves"}), (3, "input", {"name": "Sensors"})]


def named_config(text):
    """line-a's configuration: its name and its signals."""
    for port, bits in SIGNALS.items():
        tables = "".join("\n[[port.bit]]\n" + "".join(f"{key} = {json.dumps(value)}\n" for key, value in bit.items())
                         for bit in bits)
        head = f"[[port]]\nnumber = {port}\n"
        after = text.find("[[port]]", text.index(head) + 1)
        end = after if after >= 0 else len(text)
        text = text[:end].rstrip("\n") + "\n" + tables + "\n" + text[end:]
    return 'name = "Boiler room"\n' + text


def doc_blocks(page):
    """The text blocks of docs/panel.md: the broker's configuration (the one
    with a WebSockets listener), its TLS listener (the one with a
    certificate) and the ACL (the one with user lines)."""
    blocks = re.findall(r"^```text\n(.*?)^```", page.read_text(), re.S | re.M)
    conf = next(b for b in blocks if "protocol websockets" in b and "certfile" not in b)
    tls = next(b for b in blocks if "protocol websockets" in b and "certfile" in b)
    acl = next(b for b in blocks if b.startswith("user "))
    return conf, tls, acl


def put_in(text, replacements, what):
    for pattern, replacement in replacements:
        text, count = re.subn(pattern, replacement, text, flags=re.M)
        if count != 1:
            raise SystemExit(f"docs/panel.md: {what} has no line {pattern}")
    return text


def broker_settings(conf, tls, folder, panel, ws_port, wss_port):
    """The documented configuration with this test's ports and files, its
    listeners' addresses as they are; the TLS listener, meant for the
    network, bound to lo here."""
    # The shipped listeners must say loopback before a broker is started
    # with them: the test never listens beyond this machine.
    for line in re.findall(r"^listener .*$", conf, re.M):
        if line.split()[2:] not in (["127.0.0.1"], ["lo"]):
            raise SystemExit(f"gpiolink-panel.conf: '{line}' is not on this machine only")
    conf = put_in(conf, [(r"^listener 1883 ", "listener {port} "), (r"^listener 9001 ", f"listener {ws_port} "),
                         (r" /usr/share/gpiolink/panel$", f" {panel}"), (r" /etc/mosquitto/passwd$", f" {folder}/passwd"),
                         (r" /etc/mosquitto/gpiolink\.acl$", f" {folder}/acl")], "the broker's configuration")
    tls = put_in(tls, [(r"^listener 9443$", f"listener {wss_port} lo"),
                       (r" /etc/mosquitto/certs/broker\.crt$", f" {folder}/broker.crt"),
                       (r" /etc/mosquitto/certs/broker\.key$", f" {folder}/broker.key")], "the TLS listener")
    return conf + tls


def listening_addresses(ports):
    """The addresses the sockets listening on `ports` are bound to."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        for line in pathlib.Path(table).read_text().splitlines()[1:]:
            local, state = line.split()[1], line.split()[3]
            address, port = local.split(":")
            if state != "0A" or int(port, 16) not in ports:
                continue
            # Words of 4 bytes, each in the host's order (little-endian here).
            raw = b"".join(bytes.fromhex(address[i:i + 8])[::-1] for i in range(0, len(address), 8))
            found.append((int(port, 16), ipaddress.ip_address(raw)))
    return found


def loopback(address):
    mapped = getattr(address, "ipv4_mapped", None)
    return (mapped or address).is_loopback


def main(folder, panel, doc, shipped):
    folder = pathlib.Path(folder)
    conf, tls, acl = doc_blocks(pathlib.Path(doc))
    for name, text in (("gpiolink-panel.conf", conf), ("gpiolink.acl", acl)):
        if (pathlib.Path(shipped) / name).read_text() != text:
            raise SystemExit(f"{shipped}/{name} is not the one docs/panel.md shows")
    for user, password in USERS.items():
        subprocess.run([PASSWD, "-b", *(["-c"] if user == CONTROLLERS[0] else []), str(folder / "passwd"), user,
                        password], check=True, capture_output=True)
    (folder / "acl").write_text(acl + HARNESS)
    for id in CONTROLLERS:
        (folder / f"{id}.credentials").write_text(f'username = "{id}"\npassword = "{USERS[id]}"\n')
        (folder / f"{id}.credentials").chmod(0o600)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", "broker.key", "-out", "broker.crt", "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], cwd=folder, check=True, capture_output=True)
    ws_port, wss_port = free_port(), free_port()
    broker = Broker(folder, settings=broker_settings(conf, tls, folder, panel, ws_port, wss_port))
    ports = {broker.port, ws_port, wss_port}

    def all_listening():
        found = listening_addresses(ports)
        return found if {port for port, _ in found} == ports else None

    bound = wait_until(all_listening, what="the broker's three listeners")
    beyond = [f"{address}:{port}" for port, address in bound if not loopback(address)]
    if beyond:
        broker.kill()
        raise SystemExit(f"the broker listens beyond this machine: {', '.join(beyond)}")
    sims, bridges = [], []
    try:
        for id in CONTROLLERS:
            sims.append(Simulator(folder, folder / id))
            text = bridge_config(broker.port, folder / id, PORTS, credentials=f"{id}.credentials")
            text = text.replace('id = "bench"', f'id = "{id}"')
            bridges.append(Bridge(folder, named_config(text) if id == "line-a" else text, name=id))
        for bridge in bridges:
            wait_until(lambda: bridge.events("controller-online") and bridge.events("broker-connected"),
                       what="the bridges")
        print(json.dumps({"ready": True, "url": f"http://127.0.0.1:{ws_port}/", "broker": f"ws://127.0.0.1:{ws_port}/",
                          "tls_broker": f"wss://127.0.0.1:{wss_port}/",
                          "users": USERS, "controllers": CONTROLLERS, "folder": str(folder)}), flush=True)
        for line in sys.stdin:
            command = json.loads(line)
            op, answer = command["op"], {"ok": True}
            if op == "set":
                sims[command["sim"]].set(command["port"], command["value"])
            elif op == "requests":
                answer["requests"] = sims[command["sim"]].requests()
            elif op == "kill-sim":
                sims[command["sim"]].kill()
            elif op == "start-sim":
                sims[command["sim"]].start()
            elif op in ("freeze-broker", "thaw-broker"):
                broker.process.send_signal(signal.SIGSTOP if op == "freeze-broker" else signal.SIGCONT)
            elif op == "restart-broker":
                broker.kill()
                time.sleep(1.0)
                broker.start()
            elif op == "stop":
                break
            else:
                answer = {"ok": False, "error": f"no op {op}"}
            print(json.dumps(answer), flush=True)
    finally:
        for bridge in bridges:
            bridge.stop()
        for sim in sims:
            if sim.process.poll() is None:
                sim.stop()
        broker.kill()


if __name__ == "__main__":
    main(*sys.argv[1:])
