"""The plant of the panel's browser test, started here on 127.0.0.1 with
the helpers of the gpio-mqtt tests (tests/mqtt/conftest.py): mosquitto with
the configuration and the ACL of docs/panel.md as written (only its ports,
files and bind addresses put in), users made with mosquitto_passwd, and two
gpio-sim controllers each bridged by its own gpio-mqtt.

Usage: services.py FOLDER PANEL_DIR DOCS_PANEL_MD SHIPPED_FOLDER
(SHIPPED_FOLDER: panel/mosquitto, the configuration and the ACL that are
installed with the panel, which must be those of docs/panel.md.)
Prints one JSON line once all is up, then reads commands from standard
input, one JSON object a line, and answers each with a JSON line:
  {"op": "set", "sim": 0, "port": 1, "value": 165}  a line to gpio-sim's input
  {"op": "requests", "sim": 0}                       the requests on its wire
  {"op": "kill-sim", "sim": 1} / {"op": "start-sim", "sim": 1}
  {"op": "restart-broker"}                           killed, then started again
  {"op": "stop"}                                     everything stopped
End of input stops everything too."""
import json
import os
import pathlib
import re
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "mqtt"))
from conftest import Bridge, Broker, Simulator, bridge_config, free_port, wait_until  # noqa: E402

PASSWD = os.environ.get("MOSQUITTO_PASSWD", "mosquitto_passwd")
USERS = {"gpio-mqtt": "bridge-secret", "operator": "operator-secret", "viewer": "viewer-secret"}
CONTROLLERS = ("line-a", "line-b")
PORTS = [(0, "output", {"name": "Relays"}), (1, "input", {"name": "Switches", "poll_interval_ms": 50}),
         (2, "output", {"name": "Valves"}), (3, "input", {"name": "Sensors"})]


def doc_blocks(page):
    """The text blocks of docs/panel.md: the broker's configuration (the one
    with a WebSockets listener) and the ACL (the one with user lines)."""
    blocks = re.findall(r"^```text\n(.*?)^```", page.read_text(), re.S | re.M)
    conf = next(b for b in blocks if "protocol websockets" in b)
    acl = next(b for b in blocks if b.startswith("user "))
    return conf, acl


def broker_settings(conf, folder, panel, ws_port):
    """The documented configuration with this test's ports, files and the
    loopback address; nothing else changed."""
    replacements = [(r"^listener 1883$", "listener {port} 127.0.0.1"),
                    (r"^listener 9001$", f"listener {ws_port} 127.0.0.1"),
                    (r" /usr/share/gpiolink/panel$", f" {panel}"),
                    (r" /etc/mosquitto/passwd$", f" {folder}/passwd"),
                    (r" /etc/mosquitto/gpiolink\.acl$", f" {folder}/acl")]
    for pattern, replacement in replacements:
        conf, count = re.subn(pattern, replacement, conf, flags=re.M)
        if count != 1:
            raise SystemExit(f"docs/panel.md: the broker's configuration has no line {pattern}")
    return conf


def main(folder, panel, doc, shipped):
    folder = pathlib.Path(folder)
    conf, acl = doc_blocks(pathlib.Path(doc))
    for name, text in (("gpiolink-panel.conf", conf), ("gpiolink.acl", acl)):
        if (pathlib.Path(shipped) / name).read_text() != text:
            raise SystemExit(f"{shipped}/{name} is not the one docs/panel.md shows")
    for user, password in USERS.items():
        subprocess.run([PASSWD, "-b", *(["-c"] if user == "gpio-mqtt" else []), str(folder / "passwd"), user,
                        password], check=True, capture_output=True)
    (folder / "acl").write_text(acl)
    (folder / "bridge.credentials").write_text('username = "gpio-mqtt"\npassword = "bridge-secret"\n')
    (folder / "bridge.credentials").chmod(0o600)
    ws_port = free_port()
    broker = Broker(folder, settings=broker_settings(conf, folder, panel, ws_port))
    sims, bridges = [], []
    try:
        for id in CONTROLLERS:
            sims.append(Simulator(folder, folder / id))
            text = bridge_config(broker.port, folder / id, PORTS, credentials="bridge.credentials")
            bridges.append(Bridge(folder, text.replace('id = "bench"', f'id = "{id}"'), name=id))
        for bridge in bridges:
            wait_until(lambda: bridge.events("controller-online") and bridge.events("broker-connected"),
                       what="the bridges")
        print(json.dumps({"ready": True, "url": f"http://127.0.0.1:{ws_port}/", "broker": f"ws://127.0.0.1:{ws_port}/",
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
