import { beforeEach, describe, expect, test } from 'vitest';
import { CHANGES, Plant, REPLY_MS, signalOn } from '../src/plant.js';
import { parsePortInput, parseSignals, parseTopic, probeTopic } from '../src/topics.js';

let clock;
let plant;
const state = (value) => JSON.stringify({ value });
const signal = (name, slug, port, bit, extra = {}) => ({
  name, slug, port, bit, inverted: false, pulse_ms: 0, output: true, device_class: '', ...extra,
});
const TABLE = JSON.stringify({
  name: 'Boiler room',
  signals: [signal('Pump 1', 'pump-1', 0, 0, { inverted: true }), signal('Horn', 'horn', 0, 5, { pulse_ms: 500 }),
    signal('Door closed', 'door-closed', 1, 2, { output: false, device_class: 'door' })],
});

beforeEach(() => {
  clock = 1_000_000;
  plant = new Plant('gpiolink', { now: () => clock, wall: () => clock }, { owner: 'operator', token: 't' });
  plant.receive('gpiolink/a/signals', TABLE);
  plant.receive('gpiolink/a/port/0', state(0x00));
  plant.receive('gpiolink/a/port/1', state(0x00));
  plant.describe({ id: 'a', port: 0, bit: 0, writable: true, portName: 'Relays' });
  plant.describe({ id: 'a', port: 1, bit: 0, writable: false, portName: 'Switches' });
});

describe('signals', () => {
  test('the table names the controller and its bits; a bad signal is left out, a cleared table names nothing', () => {
    const a = plant.controllers.get('a');
    expect(parseTopic('gpiolink', 'gpiolink/a/signals')).toEqual({ id: 'a', kind: 'signals' });
    expect(a.name).toBe('Boiler room');
    expect(plant.signal(a, 0, 0)).toMatchObject({ name: 'Pump 1', inverted: true, pulseMs: 0 });
    expect(plant.signal(a, 0, 5)).toMatchObject({ name: 'Horn', pulseMs: 500, output: true });
    expect(plant.signal(a, 0, 1)).toBeNull();
    const odd = parseSignals(JSON.stringify({ signals: [signal('X', 'x', 0, 8), signal('Y', 'a/b', 0, 1), { name: 1 },
      signal('Z', 'z', 2, 3, { pulse_ms: -4 })] }));
    expect(odd).toEqual({ name: '', signals: [{ name: 'Z', slug: 'z', port: 2, bit: 3, inverted: false, pulseMs: 0, output: true }] });
    expect(parseSignals('[]')).toBeNull();
    plant.receive('gpiolink/a/signals', '');
    expect(a.name).toBe('');
    expect(plant.signal(a, 0, 0)).toBeNull();
  });

  test("a signal's state is its bit's, inverted where it is", () => {
    const pump = plant.signal(plant.controllers.get('a'), 0, 0);
    expect([signalOn(pump, 0x00), signalOn(pump, 0x01)]).toEqual([true, false]);
  });

  test('recent changes: each changed bit by its signal (inversion applied) or its number, newest first, the last ten', () => {
    clock += 1000;
    plant.receive('gpiolink/a/port/0', state(0x21)); // Pump 1's bit high: off; Horn on
    const a = plant.controllers.get('a');
    expect(a.changes).toEqual([{ text: 'Horn on', at: clock }, { text: 'Pump 1 off', at: clock }]);
    plant.receive('gpiolink/a/port/1', state(0x80));
    expect(a.changes[0].text).toBe('Port 1 bit 7 on');
    for (let n = 0; n < 12; ++n) plant.receive('gpiolink/a/port/1', state(n % 2 ? 0x80 : 0x00));
    expect(a.changes).toHaveLength(CHANGES);
    expect(a.changes[0].text).toBe('Port 1 bit 7 on');
  });
});

describe('commands beyond a bit', () => {
  test('a viewer: the probe refused, no command of any kind is made', () => {
    expect(probeTopic('gpiolink')).toBe('gpiolink/panel probe/request');
    plant.access(false, 'this user may not command');
    expect(plant.readOnlyReason).toBe('this user may not command');
    expect(plant.command('a', 0, 1)).toBeNull();
    expect(plant.writePort('a', 0, 5)).toBeNull();
    expect(plant.pulse('a', 0, 5)).toBeNull();
    plant.access(true);
    expect(plant.command('a', 0, 1)).not.toBeNull();
  });

  test('a pulse is PULSE on its signal set topic, for a pulse output only', () => {
    expect(plant.pulse('a', 0, 5)).toEqual({ topic: 'gpiolink/a/signal/horn/set', payload: 'PULSE' });
    expect(plant.pulse('a', 0, 0)).toBeNull();
    expect(plant.pulse('a', 1, 2)).toBeNull();
    plant.pulseRefused('a', 0, 5, 'the broker refused the command');
    expect(plant.controllers.get('a').message.text).toBe('Port 0 bit 5: the broker refused the command');
  });

  test('a port value as typed: decimal or 0x hex, 0 to 255', () => {
    expect(['0', '255', ' 0xA5 ', '0Xff', '0x0'].map(parsePortInput)).toEqual([0, 255, 0xa5, 0xff, 0]);
    expect(['256', '-1', '0x100', '', '1e2', '0b1', '12a', '0x'].map(parsePortInput)).toEqual(Array(8).fill(null));
  });

  test('a whole port written: an output request, pending until its reply, unknown without one', () => {
    const command = plant.writePortText('a', 0, '0xA5');
    expect(command).toMatchObject({ topic: 'gpiolink/a/request', responseTopic: 'replies/operator/a/panel-t', expiry: 5 });
    expect(JSON.parse(command.payload)).toEqual({ op: 'output', port: 0, value: 0xa5 });
    expect(plant.isPending('a', 0, null)).toBe(true);
    expect(plant.writePortText('a', 0, '1')).toBeNull(); // one at a time
    expect(plant.isPending('a', 0, 0)).toBe(false); // the bits stay free
    clock += REPLY_MS;
    plant.expire();
    expect(plant.isPending('a', 0, null)).toBe(false);
    expect(plant.controllers.get('a').message.text).toMatch(/^Port 0: no reply within 5 s: whether it was carried out is unknown/);
    plant.receive('replies/operator/a/panel-t', '{"result":0}', command.correlation);
    expect(plant.controllers.get('a').message).toBeNull();
    // A value that is not one is said, and nothing is sent; an input port takes none.
    expect(plant.writePortText('a', 0, '0x1FF')).toBeNull();
    expect(plant.controllers.get('a').message.text).toBe('Port 0: "0x1FF" is not a value: 0 to 255, or 0x00 to 0xFF');
    expect(plant.writePort('a', 1, 1)).toBeNull();
  });
});
