import { beforeEach, describe, expect, test } from 'vitest';
import { CONFIRM_MS, Plant, RECENT_MS } from '../src/plant.js';

let clock;
let plant;
const state = (value) => JSON.stringify({ value });
const port = (id, number) => plant.controllers.get(id).ports.get(number);

beforeEach(() => {
  clock = 1_000_000;
  plant = new Plant('gpiolink', () => clock);
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
  });

  test('the first state is no change; a later one marks its bits and time, which fade', () => {
    expect(port('a', 0).lastChange).toBeNull();
    clock += 100;
    plant.receive('gpiolink/a/port/0', state(0x1e));
    const p = port('a', 0);
    expect(p.lastChange).toBe(clock);
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
  test('a click asks for the other state of the bit and stays pending until it is confirmed', () => {
    const on = plant.command('a', 0, 7);
    expect(on).toMatchObject({ topic: 'gpiolink/a/port/0/bit/7/set', payload: 'ON' });
    expect(plant.command('a', 0, 7)).toBeNull(); // one at a time per bit
    expect(plant.command('a', 0, 0)).toMatchObject({ payload: 'OFF' });
    // Another bit's change is no confirmation; the value shown is the controller's.
    plant.receive('gpiolink/a/port/0', state(0x0e));
    expect(port('a', 0).value).toBe(0x0e);
    expect([...port('a', 0).pending.keys()]).toEqual([7]);
    plant.receive('gpiolink/a/port/0', state(0x8e));
    expect(port('a', 0).pending.size).toBe(0);
  });

  test('no command before the state is known', () => {
    plant.receive('gpiolink/a/port/3/bit/0', 'ON');
    expect(plant.command('a', 3, 0)).toBeNull();
    expect(plant.command('nobody', 0, 0)).toBeNull();
  });

  test('an error for its topic fails the command with the reason; others are shown as they come', () => {
    plant.command('a', 0, 6);
    plant.command('a', 0, 5);
    plant.receive('gpiolink/a/error', JSON.stringify({ topic: 'gpiolink/a/port/0/bit/5/set', payload: 'ON',
      reason: 'no answer from the controller', result: 4, name: 'GPIO_RESULT_TIMEOUT' }));
    expect([...port('a', 0).pending.keys()]).toEqual([6]);
    expect(plant.controllers.get('a').message.text).toBe('Port 0 bit 5: no answer from the controller');
    plant.receive('gpiolink/a/error', JSON.stringify({ topic: 'gpiolink/a/port/9/set', reason: 'port 9 is not bridged' }));
    expect(plant.controllers.get('a').message.text).toBe('port 9 is not bridged');
  });

  test("the broker's refusal and a missing confirmation fail a command; the value stays", () => {
    plant.command('a', 0, 4);
    plant.refused('a', 0, 4, 'the broker refused the command: Not authorized');
    expect(plant.controllers.get('a').message.text).toMatch(/Port 0 bit 4: .*Not authorized/);
    plant.command('a', 0, 4);
    clock += CONFIRM_MS - 1;
    plant.expire();
    expect(port('a', 0).pending.has(4)).toBe(true);
    clock += 1;
    plant.expire();
    expect(port('a', 0).pending.has(4)).toBe(false);
    expect(plant.controllers.get('a').message.text).toMatch(/no confirmation .* within 5 s/);
    expect(port('a', 0).value).toBe(0x0f);
  });
});
