import { describe, expect, test } from 'vitest';
import { hex, parseDiscovery, parseError, parsePortValue, parseTopic } from '../src/topics.js';

describe('parseTopic', () => {
  test('reads the state topics of a controller under a prefix of one or more levels', () => {
    expect(parseTopic('gpiolink', 'gpiolink/line-a/availability')).toEqual({ id: 'line-a', kind: 'availability' });
    expect(parseTopic('gpiolink', 'gpiolink/line-a/version')).toEqual({ id: 'line-a', kind: 'version' });
    expect(parseTopic('gpiolink', 'gpiolink/line-a/error')).toEqual({ id: 'line-a', kind: 'error' });
    expect(parseTopic('site/gpio', 'site/gpio/ttyUSB0/port/255')).toEqual({ id: 'ttyUSB0', kind: 'port', port: 255 });
  });

  test('leaves out commands, requests, bits, other prefixes and bad port numbers', () => {
    for (const topic of ['gpiolink/a/port/0/set', 'gpiolink/a/port/0/bit/3', 'gpiolink/a/request',
      'gpiolinkx/a/version', 'other/a/version', 'gpiolink//version', 'gpiolink/a/port/256',
      'gpiolink/a/port/01', 'gpiolink/a/port/x', 'gpiolink/a']) {
      expect(parseTopic('gpiolink', topic), topic).toBeNull();
    }
  });
});

test('parsePortValue takes the value of the state JSON and nothing out of range', () => {
  expect(parsePortValue('{"value":165,"hex":"0xA5","bits":"10100101"}')).toBe(165);
  expect(parsePortValue('{"value":0}')).toBe(0);
  for (const payload of ['{"value":256}', '{"value":-1}', '{"value":1.5}', '{"value":"1"}', '165', 'null', '{']) {
    expect(parsePortValue(payload), payload).toBeNull();
  }
});

test('parseError needs a reason and keeps the topic it answers', () => {
  expect(parseError('{"topic":"gpiolink/a/port/1/bit/0/set","payload":"ON","reason":"port 1 is an input port",'
    + '"result":4,"name":"GPIO_RESULT_TIMEOUT"}'))
    .toEqual({ topic: 'gpiolink/a/port/1/bit/0/set', payload: 'ON', reason: 'port 1 is an input port', name: 'GPIO_RESULT_TIMEOUT' });
  expect(parseError('{"topic":"x"}')).toBeNull();
  expect(parseError('not json')).toBeNull();
});

describe('parseDiscovery', () => {
  const entity = (component, extra) => [`homeassistant/${component}/gpiolink_a/p2b5/config`, JSON.stringify({
    name: 'Relays bit 5', state_topic: 'gpiolink/a/port/2/bit/5', ...extra })];

  test('a switch with a command topic is an output bit; a binary sensor an input bit', () => {
    expect(parseDiscovery('gpiolink', ...entity('switch', { command_topic: 'gpiolink/a/port/2/bit/5/set' })))
      .toEqual({ id: 'a', port: 2, bit: 5, writable: true, portName: 'Relays' });
    expect(parseDiscovery('gpiolink', ...entity('binary_sensor'))).toMatchObject({ writable: false, portName: 'Relays' });
  });

  test('ignores other components, other prefixes and broken payloads', () => {
    expect(parseDiscovery('gpiolink', ...entity('light'))).toBeNull();
    expect(parseDiscovery('elsewhere', ...entity('switch'))).toBeNull();
    expect(parseDiscovery('gpiolink', 'homeassistant/switch/x/y/config', '{')).toBeNull();
  });
});

test('hex gives two upper-case digits', () => {
  expect(hex(0)).toBe('0x00');
  expect(hex(165)).toBe('0xA5');
});
