// mqtt.js itself, on connections to a scripted broker: each one answers the
// CONNECT, keeps every packet it gets and acknowledges no PUBLISH.
import { Duplex } from 'node:stream';
import mqtt from 'mqtt';
import mqttPacket from 'mqtt-packet';
import { expect, test } from 'vitest';
import { DROPPED, dropUnacknowledgedOnClose } from '../src/link.js';

function scriptedBroker() {
  const connections = [];
  const open = () => {
    const parser = mqttPacket.parser({ protocolVersion: 5 });
    const connection = { packets: [] };
    connection.stream = new Duplex({
      read() {},
      write(chunk, encoding, done) {
        parser.parse(chunk);
        done();
      },
    });
    parser.on('packet', (packet) => {
      connection.packets.push(packet);
      if (packet.cmd === 'connect') {
        connection.stream.push(mqttPacket.generate({ cmd: 'connack', reasonCode: 0, sessionPresent: false },
          { protocolVersion: 5 }));
      }
    });
    connections.push(connection);
    return connection.stream;
  };
  return { connections, open };
}

async function until(predicate, what) {
  for (let tries = 0; !predicate(); ++tries) {
    if (tries > 1000) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

const published = (connection) => connection.packets.filter((p) => p.cmd === 'publish').map((p) => p.payload.toString());

test('a command the broker had not acknowledged when the connection dropped is not sent after the reconnect', async () => {
  const broker = scriptedBroker();
  const link = new mqtt.MqttClient(broker.open, { protocolVersion: 5, reconnectPeriod: 20, keepalive: 0 });
  dropUnacknowledgedOnClose(link);
  try {
    await until(() => link.connected, 'the connect');
    let outcome = null;
    link.publish('gpiolink/a/request', 'first', { qos: 1 }, (error) => { outcome = error; });
    await until(() => published(broker.connections[0]).includes('first'), 'the first command');
    broker.connections[0].stream.destroy();
    await until(() => broker.connections.length === 2 && link.connected, 'the reconnect');
    // mqtt.js sends what it holds before anything new: the first command
    // on the new connection would be the old one.
    link.publish('gpiolink/a/request', 'second', { qos: 1 });
    await until(() => published(broker.connections[1]).length > 0, 'a command on the new connection');
    expect(published(broker.connections[1])[0]).toBe('second');
    expect(outcome?.message).toBe(DROPPED);
  } finally {
    link.end(true);
  }
}, 20_000);
