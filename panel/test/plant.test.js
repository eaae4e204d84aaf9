import { beforeEach, describe, expect, test } from 'vitest';
import { LATE_MS, Plant, RECENT_MS, REPLY_MS } from '../src/plant.js';

let clock; // the monotonic clock, ms
let wall; // the wall clock, ms since 1970
let plant;
const state = (value) => JSON.stringify({ value });
const port = (id, number) => plant.controllers.get(id).ports.get(number);

beforeEach(() => {
  clock = 1_000_000;
  wall = Date.UTC(2026, 11, 8, 9, 30);
  plant = new Plant('gpiolink', { now: () => clock, wall: () => wall }, { owner: 'operator', token: 't' });
  plant.receive('gpiolink/a/availability', 'online');
  plant.receive('gpiolink/a/version', 'GPIO-SIM 1.0');
  plant.receive('gpiolink/a/port/0', state(0x0f));
});

describe('controllers and ports', () => {
  test('a controller is found by any of its topics and listed by id', () => {
    plant.receive('gpiolink/c/port/1', state(1));
    plant.receive('gpiolink/b/availability', 'offline');
    expect(plant.sorted().map((c) => c.id)).toEqual(['a', 'b', 'c']);
    expect(plant.controllers.get('a')).toMatchObject({ version: 'GPIO-SIM 1.0', online: true });
    expect(plant.controllers.get('b').online).toBe(false);
    expect(plant.controllers.get('c').online).toBeNull();
    // A retained availability cleared, or one expired and so never sent:
    // neither online nor offline.
    plant.receive('gpiolink/a/availability', '');
    expect(plant.controllers.get('a').online).toBeNull();
  });

  test('a reset forgets every controller; the retained state sent again rebuilds those still there', () => {
    plant.receive('gpiolink/gone/port/0', state(1));
    plant.command('a', 0, 0);
    plant.reset();
    expect(plant.sorted()).toEqual([]);
    plant.receive('gpiolink/a/port/0', state(0x0f));
    expect(plant.sorted().map((c) => c.id)).toEqual(['a']);
    expect(port('a', 0).lastChange).toBeNull();
    // The command sent before still waits for its reply.
    expect(plant.isPending('a', 0, 0)).toBe(true);
  });

  test('the first state is no change; a later one marks its bits and time, which fade', () => {
    expect(port('a', 0).lastChange).toBeNull();
    clock += 100;
    plant.receive('gpiolink/a/port/0', state(0x1e));
    const p = port('a', 0);
    expect(p.lastChange).toBe(wall);
    expect([0, 1, 2, 3, 4, 5, 6, 7].filter((bit) => plant.recentlyChanged(p, bit))).toEqual([0, 4]);
    clock += RECENT_MS;
    expect(plant.recentlyChanged(p, 0)).toBe(false);
  });

  test('offline keeps the time the controller was last seen online', () => {
    const seen = clock;
    clock += 60_000;
    plant.receive('gpiolink/a/availability', 'offline');
    plant.receive('gpiolink/a/port/0', state(0x0f));
    expect(plant.controllers.get('a')).toMatchObject({ online: false, lastSeen: seen });
    plant.receive('gpiolink/a/availability', 'online');
    expect(plant.controllers.get('a').lastSeen).toBe(clock);
  });

  test('discovery names a port and says whether it takes commands', () => {
    plant.receive('homeassistant/binary_sensor/gpiolink_a/p1b0/config',
      JSON.stringify({ name: 'Switches bit 0', state_topic: 'gpiolink/a/port/1/bit/0' }));
    plant.receive('gpiolink/a/port/1', state(0));
    expect(port('a', 1)).toMatchObject({ name: 'Switches', writable: false });
    expect(plant.command('a', 1, 0)).toBeNull();
  });
});

describe('commands', () => {
  const reply = (correlation, payload, id = 'a') => plant.receive(`replies/operator/${id}/panel-t`, JSON.stringify(payload),
    correlation);
  const ok = { result: 0, name: 'GPIO_RESULT_OK', port: 0, bit: 7, value: 0x8f };
  const message = () => plant.controllers.get('a').message?.text ?? null;

  test('a click is a request with its own correlation data and deadline; only its reply settles it', () => {
    const on = plant.command('a', 0, 7);
    expect(on).toEqual({ topic: 'gpiolink/a/request', payload: '{"op":"bit-set","port":0,"bit":7}',
      responseTopic: 'replies/operator/a/panel-t', correlation: 't-1', expiry: REPLY_MS / 1000 });
    expect(plant.command('a', 0, 7)).toBeNull(); // one at a time per bit
    const off = plant.command('a', 0, 0);
    expect(off).toMatchObject({ payload: '{"op":"bit-reset","port":0,"bit":0}', correlation: 't-2' });
    // The state the command asked for, set by whoever: the value shown is
    // the controller's, and the command still waits for its own reply.
    plant.receive('gpiolink/a/port/0', state(0x8f));
    expect(port('a', 0).value).toBe(0x8f);
    expect(plant.isPending('a', 0, 7)).toBe(true);
    // Someone else's reply, one without correlation data, one from
    // another controller's bridge, one that is no reply.
    reply('t-7', { result: 4, name: 'GPIO_RESULT_TIMEOUT' });
    reply(null, { result: 4, name: 'GPIO_RESULT_TIMEOUT' });
    reply(on.correlation, { result: 4, name: 'GPIO_RESULT_TIMEOUT' }, 'b');
    plant.receive('replies/operator/a/panel-t', 'not json', on.correlation);
    expect(plant.isPending('a', 0, 7)).toBe(true);
    expect(message()).toBeNull();
    reply(on.correlation, ok);
    expect(plant.isPending('a', 0, 7)).toBe(false);
    expect(plant.isPending('a', 0, 0)).toBe(true);
    expect(message()).toBeNull();
  });

  test("the bridge's errors are the controller's to show, never a click's failure; a new click clears them", () => {
    const mine = plant.command('a', 0, 5);
    // Another client's bad payload to the same bit, and its request like ours.
    for (const [topic, payload] of [['gpiolink/a/port/0/bit/5/set', 'MAYBE'], ['gpiolink/a/request', mine.payload]]) {
      plant.receive('gpiolink/a/error', JSON.stringify({ topic, payload, reason: 'not carried out: bad payload' }));
    }
    expect(plant.isPending('a', 0, 5)).toBe(true);
    expect(message()).toBeNull();
    expect(plant.controllers.get('a').error).toMatchObject({ text: 'not carried out: bad payload', at: wall });
    reply(mine.correlation, ok);
    expect(message()).toBeNull();
    expect(plant.controllers.get('a').error).not.toBeNull();
    plant.command('a', 0, 5);
    expect(plant.controllers.get('a').error).toBeNull();
  });

  test("a failed reply, the bridge's refusal and the broker's fail the command with the reason", () => {
    const cases = [
      [{ result: 4, name: 'GPIO_RESULT_TIMEOUT', port: 0, bit: 4 }, 'Port 0 bit 4: failed: the controller answered GPIO_RESULT_TIMEOUT'],
      [{ error: 'the command outlived its Message Expiry' }, 'Port 0 bit 4: failed: refused by the bridge: the command outlived its Message Expiry'],
    ];
    for (const [payload, text] of cases) {
      reply(plant.command('a', 0, 4).correlation, payload);
      expect(plant.isPending('a', 0, 4)).toBe(false);
      expect(message()).toBe(text);
    }
    plant.refused(plant.command('a', 0, 4).correlation, 'the broker refused the command: Not authorized');
    expect(message()).toBe('Port 0 bit 4: the broker refused the command: Not authorized');
    expect(port('a', 0).value).toBe(0x0f);
  });

  test('no reply in time: the outcome is unknown, the state shows as it comes, a late reply tells the outcome', () => {
    const first = plant.command('a', 0, 6);
    clock += REPLY_MS - 1;
    plant.expire();
    expect(plant.isPending('a', 0, 6)).toBe(true);
    clock += 1;
    plant.expire();
    expect(plant.isPending('a', 0, 6)).toBe(false);
    expect(message()).toMatch(/^Port 0 bit 6: no reply within 5 s: whether it was carried out is unknown/);
    expect(message()).not.toMatch(/fail/);
    // Carried out late (a broker that stalled): the state and then the reply.
    clock += 20_000;
    plant.receive('gpiolink/a/port/0', state(0x4f));
    expect(port('a', 0).value).toBe(0x4f);
    reply(first.correlation, ok);
    expect(message()).toBeNull();

    // A late failure says so; a late success of an older command leaves a
    // newer command's message alone.
    const second = plant.command('a', 0, 6);
    clock += REPLY_MS;
    plant.expire();
    reply(second.correlation, { result: 4, name: 'GPIO_RESULT_TIMEOUT' });
    expect(message()).toBe('Port 0 bit 6: failed: the controller answered GPIO_RESULT_TIMEOUT');
    const third = plant.command('a', 0, 3);
    const fourth = plant.command('a', 0, 2);
    clock += REPLY_MS;
    plant.expire();
    expect(message()).toMatch(/^Port 0 bit 2: .*unknown/);
    reply(third.correlation, ok);
    expect(message()).toMatch(/^Port 0 bit 2: .*unknown/);
    // A reply after LATE_MS finds its command forgotten.
    clock += LATE_MS;
    plant.expire();
    reply(fourth.correlation, { result: 4, name: 'GPIO_RESULT_TIMEOUT' });
    expect(message()).toMatch(/^Port 0 bit 2: .*unknown/);
    // A page asleep past LATE_MS: given up on and forgotten at once, the bit free again.
    plant.command('a', 0, 1);
    clock += LATE_MS;
    plant.expire();
    expect(plant.isPending('a', 0, 1)).toBe(false);
    expect(message()).toMatch(/^Port 0 bit 1: .*unknown/);
  });

  test('a step of the wall clock neither holds a command pending nor gives it up early', () => {
    plant.command('a', 0, 6);
    wall += 3_600_000;
    clock += REPLY_MS - 1;
    plant.expire();
    expect(plant.isPending('a', 0, 6)).toBe(true);
    wall -= 7_200_000;
    clock += 1;
    plant.expire();
    expect(plant.isPending('a', 0, 6)).toBe(false);
    expect(message()).toMatch(/^Port 0 bit 6: no reply within 5 s/);
    expect(plant.controllers.get('a').message.at).toBe(wall);
  });

  test('no command before the state is known', () => {
    plant.receive('gpiolink/a/port/3/bit/0', 'ON');
    expect(plant.command('a', 3, 0)).toBeNull();
    expect(plant.command('nobody', 0, 0)).toBeNull();
  });
});
