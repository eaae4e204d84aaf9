"""gpio-mqtt behind the broker's own security (users from a password file
made with mosquitto_passwd, the ACL of docs/mqtt.md, TLS with a CA and
certificates made with openssl here), and behind a site broker bridged to a
central one as docs/mqtt.md shows."""
import json
import os
import pathlib
import re
import subprocess
import threading
import time

import paho.mqtt.client as mqtt
import pytest

from conftest import (PATIENCE, Bridge, Broker, Client, Requester, Simulator, bridge_config, retained_messages,
                      wait_until)

PASSWD = os.environ.get("MOSQUITTO_PASSWD", "mosquitto_passwd")
SOURCE = pathlib.Path(__file__).resolve().parents[2]
DOCS = SOURCE / "docs" / "mqtt.md"
# The ACL installed with the panel, which must be the one docs/mqtt.md shows.
SHIPPED_ACL = SOURCE / "panel" / "mosquitto" / "gpiolink.acl"
BASE = "gpiolink/bench"
OUTPUT = (0, "output", {"name": "Relays"})
# The bridges log in as their controllers' ids.
PASSWORDS = {"bench": "bench-secret", "line-b": "line-b-secret", "operator": "operator-secret",
             "viewer": "viewer-secret"}


def doc_section(heading):
    """The text of a section of docs/mqtt.md, to its next heading of the same level."""
    text = DOCS.read_text()
    start = text.index(heading)
    level = heading.split()[0]
    following = re.search(rf"^{level} ", text[start + len(heading):], re.M)
    return text[start:start + len(heading) + following.start()] if following else text[start:]


def text_blocks(section):
    return re.findall(r"^```text\n(.*?)^```", section, re.S | re.M)


def documented_acl():
    """The ACL of docs/mqtt.md's Security section, as written."""
    return next(b for b in text_blocks(doc_section("## Security")) if "\npattern " in b)


def connect_reason(port, user=None, password=None):
    """The broker's answer to a connect: 0, or the reason code of its refusal."""
    client = mqtt.Client(client_id=f"probe-{time.monotonic_ns()}", protocol=mqtt.MQTTv5)
    if user:
        client.username_pw_set(user, password)
    answers = []
    answered = threading.Event()
    client.on_connect = lambda c, u, flags, reason, props: (answers.append(reason.value), answered.set())
    client.connect("127.0.0.1", port)
    client.loop_start()
    try:
        assert answered.wait(PATIENCE), "the broker did not answer the connect"
        return answers[0]
    finally:
        client.disconnect()
        client.loop_stop()


def credentials(folder, user, password):
    path = folder / f"{user}-{password}.credentials"
    path.write_text(f'username = "{user}"\npassword = "{password}"\n')
    path.chmod(0o600)
    return path.name


def login(user):
    return {"user": user, "password": PASSWORDS[user]}


class Prober:
    """Publishes as a user and tells whether the broker let the message in,
    by a sign either way: a watcher that may read the topic gets it, or
    the broker logs that it denied it (log_type all)."""

    def __init__(self, broker, watchers):
        self.broker, self.watchers, self.clients = broker, watchers, {}

    def client(self, user):
        if user not in self.clients:
            self.clients[user] = Client(self.broker.port, topics=(), **login(user))
        return self.clients[user]

    def passes(self, user, topic, payload="probe"):
        client = self.client(user)
        marks = {name: watcher.mark() for name, watcher in self.watchers.items()}
        client.publish(topic, payload)
        denied = f"Denied PUBLISH from {client.client._client_id.decode()} "

        def outcome():
            if any(denied in line and f"'{topic}'" in line for line in self.broker.log.read_text().splitlines()):
                return "denied"
            for name, watcher in self.watchers.items():
                if payload in watcher.messages(topic, marks[name]):
                    return "passed"
            return None

        return wait_until(outcome, what=f"a sign of {user}'s publish to {topic}") == "passed"

    def close(self):
        for client in self.clients.values():
            client.close()


def test_access_control_lets_each_user_do_only_its_part(tmp_path):
    # The ACL shown in docs/mqtt.md is the one installed with the panel.
    acl = documented_acl()
    assert SHIPPED_ACL.read_text() == acl, f"{SHIPPED_ACL} is not the ACL docs/mqtt.md shows"
    for user, password in PASSWORDS.items():
        subprocess.run([PASSWD, "-b", *(["-c"] if user == "bench" else []), str(tmp_path / "passwd"), user,
                        password], check=True, capture_output=True)
    (tmp_path / "acl").write_text(acl)
    broker = Broker(tmp_path, settings="listener {port} 127.0.0.1\nallow_anonymous false\n"
                                       "password_file {folder}/passwd\nacl_file {folder}/acl\nlog_type all\n")
    sims = {name: Simulator(tmp_path, tmp_path / name) for name in ("bench", "line-b")}
    closing = []
    try:
        not_authorized = 135
        assert connect_reason(broker.port) == not_authorized
        assert connect_reason(broker.port, "viewer", "guess") == not_authorized

        # The bridge with a wrong password says why it is refused, and tries again.
        refused = Bridge(tmp_path, bridge_config(broker.port, tmp_path / "bench", [OUTPUT],
                                                 credentials=credentials(tmp_path, "bench", "guess")),
                         name="refused")
        wait_until(lambda: refused.events("broker-refused"), what="the refusal")
        assert "refused the connection: Not authorized; trying again" in refused.events("broker-refused")[0]["message"]
        assert refused.stop() == 0 and not refused.events("broker-connected")

        # Two bridges, each logged in as its controller's id; no check
        # reads, so that the wire carries only what the commands ask.
        bridges = {}
        for name in sims:
            text = bridge_config(broker.port, tmp_path / name, [OUTPUT, (1, "input", {"poll_interval_ms": 60000})],
                                 credentials=credentials(tmp_path, name, PASSWORDS[name]), check_interval_ms=0)
            bridges[name] = Bridge(tmp_path, text.replace('id = "bench"', f'id = "{name}"'), name=f"bridge-{name}")
            closing.append(bridges[name].stop)
        bridge = bridges["bench"]
        viewer = Client(broker.port, topics=("gpiolink/#", "homeassistant/#", "replies/#"), **login("viewer"))
        closing.append(viewer.close)
        operator = Requester(broker.port, BASE, reply_prefix="replies/operator/bench", **login("operator"))
        closing.append(operator.close)
        operator_replies = Client(broker.port, topics=("replies/#",), **login("operator"))
        closing.append(operator_replies.close)
        # The viewer reads all the state the bridges may publish.
        viewer.wait(lambda c: len([t for t in c.latest if t.startswith("homeassistant/switch/gpiolink_")]) == 16 and
                    c.latest.get(BASE + "/availability") == c.latest.get("gpiolink/line-b/availability") == "online",
                    what="both bridges' state")
        assert viewer.latest[BASE + "/port/0/bit/7"] == "OFF"

        # The viewer's command, request and forged state are refused by the
        # broker: the operator's command after them (in order, had they
        # passed) is the only one on the wire, and its state the confirmed one.
        mark, wire = viewer.mark(), len(sims["bench"].requests())
        viewer.publish(BASE + "/port/0/set", "0x0F")
        viewer.publish(BASE + "/request", '{"op":"output","port":0,"value":15}',
                       ResponseTopic="replies/viewer/bench/1", CorrelationData=b"1")
        viewer.publish(BASE + "/port/0", '{"value":255,"hex":"0xFF","bits":"11111111"}', retain=True)
        operator.publish(BASE + "/port/0/bit/7/set", "ON")
        viewer.wait_for(BASE + "/port/0/bit/7", "ON", since=mark)
        assert sims["bench"].requests()[wire:] == ["bit set port 0 bit 7", "input port 0"]
        states = viewer.messages(BASE + "/port/0", mark)
        assert states[-1] == '{"value":128,"hex":"0x80","bits":"10000000"}' and "0xFF" not in "".join(states)
        assert viewer.messages(BASE + "/error") == []

        # What each user may write, each answer known by a sign: a bridge's
        # user writes its own controller's topics and replies only; a person
        # cannot pass for a controller named as they are, in its state, its
        # discovery entities or its replies.
        prober = Prober(broker, {"viewer": viewer, "operator": operator_replies})
        closing.append(prober.close)
        for user, topic, allowed in [
            ("bench", BASE + "/port/0/bit/6", True),
            ("bench", "homeassistant/switch/gpiolink_bench/p0b6/config", True),
            ("bench", "replies/operator/bench/7", True),
            ("bench", "gpiolink/line-b/port/0", False),
            ("bench", "gpiolink/line-b/availability", False),
            ("bench", "homeassistant/switch/gpiolink_line-b/p0b0/config", False),
            ("bench", "replies/operator/line-b/7", False),
            ("bench", "gpiolink/other/port/0", False),
            ("operator", "gpiolink/other/signal/horn/set", True),
            ("operator", "gpiolink/line-b/port/0", False),
            ("operator", "gpiolink/operator/port/0", False),
            ("operator", "gpiolink/operator/availability", False),
            ("operator", "homeassistant/switch/gpiolink_operator/p0b0/config", False),
            ("operator", "replies/viewer/operator/7", False),
            ("operator", "replies/viewer/bench/7", False),
            ("viewer", "gpiolink/other/signal/horn/set", False),
            ("viewer", "gpiolink/viewer/port/0", False),
            ("viewer", "homeassistant/binary_sensor/gpiolink_viewer/p1b0/config", False),
            ("viewer", "replies/operator/viewer/7", False),
            ("viewer", "replies/operator/bench/7", False),
        ]:
            assert prober.passes(user, topic) == allowed, f"{user} writing {topic}"
        # Each user reads its own replies only: of two replies in a row the
        # viewer gets the second, its own, and not the first.
        mark = viewer.mark()
        prober.client("bench").publish("replies/operator/bench/8", "for the operator")
        prober.client("bench").publish("replies/viewer/bench/8", "for the viewer")
        viewer.wait_for("replies/viewer/bench/8", "for the viewer", since=mark)
        assert viewer.messages("replies/operator/bench/8") == []
        assert operator_replies.messages("replies/operator/bench/8") == ["for the operator"]
        operator_replies.wait_for("replies/operator/bench/7", "probe")
        assert viewer.messages("replies/operator/bench/7") == []

        # A request whose Response Topic points at another controller's
        # state (or anywhere outside replies/) is refused by the bridge
        # before it is carried out: nothing on the wire, nothing published
        # there, an error for each, in order.
        elsewhere = ["gpiolink/line-b/port/1", "gpiolink/line-b/version", "gpiolink/line-b/availability",
                     "gpiolink/line-b/error", "homeassistant/binary_sensor/gpiolink_line-b/p1b0/config",
                     "gpiolink/FAKE/port/3", "replies/+/bench/x"]
        mark, wire = viewer.mark(), len(sims["bench"].requests())
        for topic in elsewhere:
            operator.publish(BASE + "/request", '{"op":"input","port":0}', ResponseTopic=topic,
                             CorrelationData=b"elsewhere")
        viewer.wait(lambda c: len(c.messages(BASE + "/error", mark)) == len(elsewhere), what="an error for each")
        errors = [json.loads(e) for e in viewer.messages(BASE + "/error", mark)]
        assert all(e["topic"] == BASE + "/request" and "Response Topic" in e["reason"] for e in errors), errors
        assert operator.ask({"op": "input", "port": 0})["value"] == 0x80
        assert sims["bench"].requests()[wire:] == ["input port 0"]
        assert not [(t, p) for _, t, p, _, _ in viewer.log[mark:] if t in elsewhere or '"result"' in p], \
            viewer.log[mark:]
        assert not bridge.events("publish-refused")

        # A Response Topic below replies/ that does not name this
        # controller: the request is carried out, the broker refuses the
        # reply, and the bridge says so once.
        operator.publish(BASE + "/request", '{"op":"version"}', ResponseTopic="replies/operator/x",
                         CorrelationData=b"2")
        wait_until(lambda: bridge.events("publish-refused"), what="the refused reply")
        assert "replies/operator/x: Not authorized" in bridge.events("publish-refused")[0]["message"]
        assert len(bridge.events("publish-refused")) == 1
        assert [bridges[name].stop() for name in bridges] == [0, 0]
    finally:
        for close in reversed(closing):
            close()
        for sim in sims.values():
            sim.stop()
        broker.kill()


def openssl(folder, *arguments):
    subprocess.run(["openssl", *arguments], cwd=folder, check=True, capture_output=True)


def authority(folder, name):
    """A CA: NAME.key and the self-signed NAME.crt."""
    openssl(folder, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", f"{name}.key", "-out", f"{name}.crt", "-days", "2", "-subj", f"/CN={name}")


def server_certificate(folder, name, ca, names):
    """NAME.key and NAME.crt, signed by the CA `ca` for `names` (subjectAltName)."""
    openssl(folder, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", f"/CN={name}")
    (folder / f"{name}.ext").write_text(f"subjectAltName={names}\n")
    openssl(folder, "x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.crt", "-CAkey", f"{ca}.key",
            "-CAcreateserial", "-out", f"{name}.crt", "-days", "2", "-extfile", f"{name}.ext")


def test_tls_connects_only_to_a_broker_whose_certificate_verifies(tmp_path):
    authority(tmp_path, "ca")
    authority(tmp_path, "other-ca")
    server_certificate(tmp_path, "broker", "ca", "IP:127.0.0.1,DNS:localhost")
    server_certificate(tmp_path, "foreign", "other-ca", "IP:127.0.0.1,DNS:localhost")
    server_certificate(tmp_path, "misnamed", "ca", "DNS:broker.example")
    listeners = "".join(f"listener {port} 127.0.0.1\ncertfile {{folder}}/{name}.crt\nkeyfile {{folder}}/{name}.key\n"
                        for name, port in [("broker", "{port}"), ("foreign", "{port1}"), ("misnamed", "{port2}")])
    broker = Broker(tmp_path, settings=listeners + "allow_anonymous true\n", extra_ports=2)
    ports = {"foreign": broker.ports[1], "misnamed": broker.ports[2]}
    link = tmp_path / "controller"
    sim = Simulator(tmp_path, link)
    watch = None
    try:
        # Each broker whose certificate does not verify is refused with the
        # check that failed; without a ca_file the system's CAs are used,
        # which do not know this CA.
        for port, ca_file, why in [(ports["foreign"], {"ca_file": "ca.crt"}, "certificate verify failed"),
                                   (ports["misnamed"], {"ca_file": "ca.crt"}, "host name verification failed"),
                                   (broker.port, {}, "certificate verify failed")]:
            refused = Bridge(tmp_path, bridge_config(port, link, [OUTPUT], scheme="mqtts", **ca_file), name="refused")
            wait_until(lambda: refused.events("broker-unreachable"), what="the refusal")
            assert why in refused.events("broker-unreachable")[0]["message"], refused.events("broker-unreachable")
            assert refused.stop() == 0 and not refused.events("broker-connected")

        bridge = Bridge(tmp_path, bridge_config(broker.port, link, [OUTPUT], scheme="mqtts", ca_file="ca.crt"))
        watch = Client(broker.port, ca_file=tmp_path / "ca.crt")
        watch.wait_for(BASE + "/availability", "online")
        watch.publish(BASE + "/port/0/bit/2/set", "ON")
        watch.wait_for(BASE + "/port/0", '{"value":4,"hex":"0x04","bits":"00000100"}')
        assert "bit set port 0 bit 2" in sim.requests()
        # None of the refused bridges got as far as leaving its "offline".
        assert "offline" not in watch.messages(BASE + "/availability")
        assert bridge.stop() == 0
    finally:
        if watch:
            watch.close()
        sim.stop()
        broker.kill()


def documented_site_bridge(central_port):
    """The site broker's bridge of docs/mqtt.md, as written, but for the
    central broker's address and its TLS and login, which this test's
    central broker does without; a link that broke is tried again after 1 s."""
    block = next(b for b in text_blocks(doc_section("## Two brokers")) if b.startswith("connection "))
    lines = [line for line in block.splitlines()
             if not line.split()[0] in ("address", "bridge_cafile", "remote_username", "remote_password")]
    assert len(lines) == len(block.splitlines()) - 4, block
    return "\n".join(lines + [f"address 127.0.0.1:{central_port}", "restart_timeout 1"]) + "\n"


@pytest.mark.bound(150)
def test_a_site_broker_bridged_to_a_central_one_carries_commands_and_state(tmp_path):
    # The central broker keeps its messages across a restart.
    central = Broker(tmp_path, name="central", persistence=True)
    setter = Client(central.port, topics=())
    # A retained command, published centrally before the site is bridged:
    # the central broker hands it over again each time the link comes up.
    retained_command = BASE + "/port/0/bit/0/set"
    setter.publish(retained_command, "ON", retain=True)
    setter.close()
    site = Broker(tmp_path, name="site", settings=documented_site_bridge(central.port))
    # Once the link is up the site holds the central broker's retained
    # command; then one more is left on the site itself. The bridge,
    # started after them, never carries out either.
    wait_until(lambda: retained_command in retained_messages(site.port), what="the link to the central broker")
    local = Client(site.port, topics=())
    local.publish(BASE + "/port/0/bit/2/set", "ON", retain=True)
    local.close()
    link = tmp_path / "controller"
    sim = Simulator(tmp_path, link)
    bridge = Bridge(tmp_path, bridge_config(site.port, link, [OUTPUT], check_interval_ms=0))
    watch = Client(central.port)
    requester = Requester(central.port, BASE, reply_prefix="replies/central")
    # Errors seen at the site, whose link to the bridge stays up while
    # the central broker restarts.
    errors = Client(site.port, topics=(BASE + "/error",))
    try:
        watch.wait_for(BASE + "/availability", "online")
        watch.wait_for(BASE + "/port/0/bit/7", "OFF")
        mark, wire = watch.mark(), len(sim.requests())
        watch.publish(BASE + "/port/0/set", "0xA4")
        watch.wait_for(BASE + "/port/0", '{"value":164,"hex":"0xA4","bits":"10100100"}', since=mark)
        assert sim.requests()[wire:] == ["output port 0 value 0xA4", "input port 0"]
        assert requester.ask({"op": "bit-set", "port": 0, "bit": 1})["value"] == 0xA6
        watch.wait_for(BASE + "/port/0/bit/1", "ON", since=mark)
        assert watch.messages(BASE + "/error") == []
        watch.close()
        requester.close()

        # Each time the link comes back, the central broker hands the
        # retained command over again, retained: the bridge refuses it
        # each time, and says so.
        def refusals():
            return [e for e in map(json.loads, errors.messages(BASE + "/error"))
                    if e["topic"] == retained_command and "retained" in e["reason"]]

        for restart in (1, 2):
            central.stop()
            central.start()
            errors.wait(lambda c: len(refusals()) >= restart, what=f"the refusal after restart {restart}")
        assert [line for line in sim.requests() if line.startswith("bit ")] == ["bit set port 0 bit 1"]
        assert bridge.stop() == 0
    finally:
        errors.close()
        watch.close()
        requester.close()
        bridge.stop()
        sim.stop()
        site.kill()
        central.kill()
