"""gpio-mqtt behind the broker's own security (users from a password file
made with mosquitto_passwd, an ACL file, TLS with a CA and certificates made
with openssl here), and behind a site broker bridged to a central one."""
import os
import subprocess
import threading
import time

import paho.mqtt.client as mqtt

from conftest import PATIENCE, Bridge, Broker, Client, Requester, Simulator, bridge_config, free_port, wait_until

PASSWD = os.environ.get("MOSQUITTO_PASSWD", "mosquitto_passwd")
BASE = "gpiolink/bench"
OUTPUT = (0, "output", {"name": "Relays"})
PASSWORDS = {"gpio-mqtt": "bridge-secret", "operator": "operator-secret", "viewer": "viewer-secret"}

# The ACL of docs/mqtt.md: the bridge writes its state and reads its
# commands; an operator reads everything and commands; a viewer only reads;
# each user reads the replies below replies/<user>/.
ACL = """\
user gpio-mqtt
topic write gpiolink/bench/#
topic read gpiolink/bench/port/+/set
topic read gpiolink/bench/port/+/bit/+/set
topic read gpiolink/bench/request
topic readwrite homeassistant/+/gpiolink_bench/#
topic write replies/#

user operator
topic read gpiolink/#
topic write gpiolink/+/port/+/set
topic write gpiolink/+/port/+/bit/+/set
topic write gpiolink/+/request

user viewer
topic read gpiolink/#
topic read homeassistant/#

pattern read replies/%u/#
"""


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


def test_access_control_lets_each_user_do_only_its_part(tmp_path):
    for user, password in PASSWORDS.items():
        subprocess.run([PASSWD, "-b", *(["-c"] if user == "gpio-mqtt" else []), str(tmp_path / "passwd"), user,
                        password], check=True, capture_output=True)
    (tmp_path / "acl").write_text(ACL)
    broker = Broker(tmp_path, settings="listener {port} 127.0.0.1\nallow_anonymous false\n"
                                       "password_file {folder}/passwd\nacl_file {folder}/acl\n")
    link = tmp_path / "controller"
    sim = Simulator(tmp_path, link)
    watchers = []
    try:
        not_authorized = 135
        assert connect_reason(broker.port) == not_authorized
        assert connect_reason(broker.port, "viewer", "guess") == not_authorized

        # The bridge with a wrong password says why it is refused, and tries again.
        refused = Bridge(tmp_path, bridge_config(broker.port, link, [OUTPUT],
                                                 credentials=credentials(tmp_path, "gpio-mqtt", "guess")),
                         name="refused")
        wait_until(lambda: refused.events("broker-refused"), what="the refusal")
        assert "refused the connection: Not authorized; trying again" in refused.events("broker-refused")[0]["message"]
        assert refused.stop() == 0 and not refused.events("broker-connected")

        bridge = Bridge(tmp_path, bridge_config(broker.port, link, [OUTPUT],
                                                credentials=credentials(tmp_path, "gpio-mqtt", "bridge-secret")))
        viewer = Client(broker.port, topics=("gpiolink/#", "homeassistant/#", "replies/#"), user="viewer",
                        password="viewer-secret")
        watchers.append(viewer)
        # The viewer reads all the state the bridge may publish.
        viewer.wait(lambda c: len([t for t in c.latest if t.startswith("homeassistant/switch/")]) == 8 and
                    c.latest.get(BASE + "/availability") == "online", what="the bridge's state")
        assert viewer.latest[BASE + "/port/0/bit/7"] == "OFF"

        # The viewer's command, request and forged state are refused by the
        # broker: the operator's command after them (in order, had they
        # passed) is the only one on the wire, and its state the confirmed one.
        mark, wire = viewer.mark(), len(sim.requests())
        viewer.publish(BASE + "/port/0/set", "0x0F")
        viewer.publish(BASE + "/request", '{"op":"output","port":0,"value":15}', ResponseTopic="replies/viewer/1",
                       CorrelationData=b"1")
        viewer.publish(BASE + "/port/0", '{"value":255,"hex":"0xFF","bits":"11111111"}', retain=True)
        operator = Requester(broker.port, BASE, reply_prefix="replies/operator", user="operator",
                             password="operator-secret")
        watchers.append(operator)
        operator.publish(BASE + "/port/0/bit/7/set", "ON")
        viewer.wait_for(BASE + "/port/0/bit/7", "ON", since=mark)
        assert sim.requests()[wire:] == ["bit set port 0 bit 7", "input port 0"]
        # (The state of the start may come twice: the controller and the
        # broker each answering first publishes it all.)
        states = viewer.messages(BASE + "/port/0", mark)
        assert states[-1] == '{"value":128,"hex":"0x80","bits":"10000000"}' and "0xFF" not in "".join(states)
        assert viewer.messages(BASE + "/error") == []

        # The operator's request is answered below replies/operator/, which
        # the viewer cannot read; a Response Topic the bridge may not write
        # is refused by the broker, and the bridge says so.
        assert operator.ask({"op": "input", "port": 0})["value"] == 0x80
        operator.publish(BASE + "/request", '{"op":"version"}', ResponseTopic="elsewhere/replies",
                         CorrelationData=b"2")
        wait_until(lambda: bridge.events("publish-refused"), what="the refused reply")
        assert "elsewhere/replies: Not authorized" in bridge.events("publish-refused")[0]["message"]
        assert not [t for t in viewer.latest if t.startswith("replies/")]
        assert len(bridge.events("publish-refused")) == 1
        assert bridge.stop() == 0
    finally:
        for watcher in watchers:
            watcher.close()
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
    ports = {"foreign": free_port(), "misnamed": free_port()}
    listeners = "".join(f"listener {port} 127.0.0.1\ncertfile {{folder}}/{name}.crt\nkeyfile {{folder}}/{name}.key\n"
                        for name, port in [("broker", "{port}"), *ports.items()])
    broker = Broker(tmp_path, settings=listeners + "allow_anonymous true\n")
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


def test_a_site_broker_bridged_to_a_central_one_carries_commands_and_state(tmp_path):
    central = Broker(tmp_path, name="central")
    # The site forwards gpiolink/# both ways and the replies out, over MQTT
    # 5 so that a request keeps its Response Topic and Correlation Data.
    site = Broker(tmp_path, name="site", settings=f"connection central\naddress 127.0.0.1:{central.port}\n"
                                                  "topic gpiolink/# both 1\ntopic replies/# out 1\n"
                                                  "bridge_protocol_version mqttv50\ncleansession true\n")
    link = tmp_path / "controller"
    sim = Simulator(tmp_path, link)
    bridge = Bridge(tmp_path, bridge_config(site.port, link, [OUTPUT]))
    watch = Client(central.port)
    requester = Requester(central.port, BASE, reply_prefix="replies/central")
    try:
        watch.wait_for(BASE + "/availability", "online")
        watch.wait_for(BASE + "/port/0/bit/7", "OFF")
        mark, wire = watch.mark(), len(sim.requests())
        watch.publish(BASE + "/port/0/set", "0xA5")
        watch.wait_for(BASE + "/port/0", '{"value":165,"hex":"0xA5","bits":"10100101"}', since=mark)
        assert sim.requests()[wire:] == ["output port 0 value 0xA5", "input port 0"]
        assert requester.ask({"op": "bit-reset", "port": 0, "bit": 0})["value"] == 0xA4
        watch.wait_for(BASE + "/port/0/bit/0", "OFF", since=mark)
        assert watch.messages(BASE + "/error") == []
    finally:
        requester.close()
        watch.close()
        bridge.stop()
        sim.stop()
        site.kill()
        central.kill()
