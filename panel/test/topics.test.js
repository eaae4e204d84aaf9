import { describe, expect, test } from 'vitest';
import {
  hex, parseDiscovery, parseError, parsePortValue, parseReply, parseReplyTopic, parseTopic, replyPlace, replySubscription, replyTopic,
} from '../src/topics.js';

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

test("parseReply: the bridge's reply to a request, carried out, failed or refused", () => {
  expect(parseReply('{"result":0,"name":"GPIO_RESULT_OK","port":0,"bit":3,"value":8}')).toEqual({ ok: true });
  expect(parseReply('{"result":4,"name":"GPIO_RESULT_TIMEOUT","port":0,"bit":3}'))
    .toEqual({ ok: false, text: 'the controller answered GPIO_RESULT_TIMEOUT' });
  expect(parseReply('{"error":"a request wants an MQTT 5 Response Topic"}'))
    .toEqual({ ok: false, text: 'refused by the bridge: a request wants an MQTT 5 Response Topic' });
  for (const payload of ['{"result":"0"}', '{}', '[]', 'OK', '']) expect(parseReply(payload), payload).toBeNull();
});

test('replies: below replies/<user>/<controller>/, which only that user reads and that bridge writes', () => {
  const place = replyPlace('operator', '1a2b');
  expect(replyTopic(place, 'line-a')).toBe('replies/operator/line-a/panel-1a2b');
  expect(replySubscription(place)).toBe('replies/operator/+/panel-1a2b');
  expect(parseReplyTopic(place, 'replies/operator/line-a/panel-1a2b')).toBe('line-a');
  for (const topic of ['replies/operator/line-a/panel-9999', 'replies/viewer/line-a/panel-1a2b',
    'replies/operator/a/b/panel-1a2b', 'replies/operator//panel-1a2b', 'gpiolink/line-a/error']) {
    expect(parseReplyTopic(place, topic), topic).toBeNull();
  }
  // A login without a user, or with a name no topic can hold, gets a place of its own.
  expect(replyTopic(replyPlace('', '1a2b'), 'x')).toBe('replies/panel-1a2b/x/panel-1a2b');
  expect(replyPlace('a+b', '1a2b').owner).toBe('panel-1a2b');
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
