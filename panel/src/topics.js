// The topics and payloads of gpio-mqtt as the panel reads and writes them.
// `<prefix>/<id>/...`: availability, version, port/<n> (the port's value as
// JSON) and error; a command goes to port/<n>/bit/<b>/set. Home Assistant's
// discovery entities tell which ports are outputs and what they are called.

/** The subscriptions that give the panel every controller under `prefix`. */
export function subscriptions(prefix, discoveryPrefix = 'homeassistant') {
  return [
    `${prefix}/+/availability`,
    `${prefix}/+/version`,
    `${prefix}/+/port/+`,
    `${prefix}/+/error`,
    `${discoveryPrefix}/+/+/+/config`,
  ];
}

const DECIMAL = /^(0|[1-9][0-9]{0,2})$/;

function number(text, limit) {
  if (!DECIMAL.test(text)) return null;
  const value = Number(text);
  return value < limit ? value : null;
}

/**
 * What a topic under `prefix` says: {id, kind} with kind 'availability',
 * 'version', 'error' or 'port' (with `port`); null for any other topic,
 * commands and requests among them.
 */
export function parseTopic(prefix, topic) {
  if (!topic.startsWith(prefix + '/')) return null;
  const levels = topic.slice(prefix.length + 1).split('/');
  const id = levels[0];
  if (!id) return null;
  if (levels.length === 2 && ['availability', 'version', 'error'].includes(levels[1])) {
    return { id, kind: levels[1] };
  }
  if (levels.length === 3 && levels[1] === 'port') {
    const port = number(levels[2], 256);
    return port === null ? null : { id, kind: 'port', port };
  }
  return null;
}

// A JSON payload's object; null for anything else.
function object(payload) {
  try {
    const value = JSON.parse(payload);
    return value && typeof value === 'object' ? value : null;
  } catch {
    return null;
  }
}

/** A port's value from its state payload {"value":165,...}; null if not one. */
export function parsePortValue(payload) {
  const state = object(payload);
  const value = state ? state.value : undefined;
  return Number.isInteger(value) && value >= 0 && value <= 255 ? value : null;
}

/** The error topic's payload: {topic, payload, reason}; null if not one. */
export function parseError(payload) {
  const error = object(payload);
  if (!error || typeof error.reason !== 'string') return null;
  return {
    topic: typeof error.topic === 'string' ? error.topic : '',
    payload: typeof error.payload === 'string' ? error.payload : '',
    reason: error.reason,
    name: typeof error.name === 'string' ? error.name : '',
  };
}

/**
 * A discovery entity of a bit: {id, port, bit, writable, portName}, found
 * through its state topic under `prefix`; null for any other entity.
 */
export function parseDiscovery(prefix, topic, payload) {
  const component = topic.split('/')[1];
  if (component !== 'switch' && component !== 'binary_sensor') return null;
  const entity = object(payload);
  if (!entity || typeof entity.state_topic !== 'string') return null;
  const state = entity.state_topic;
  const match = /^(.*)\/port\/([0-9]+)\/bit\/([0-7])$/.exec(state);
  if (!match) return null;
  const where = parseTopic(prefix, `${match[1]}/port/${match[2]}`);
  if (!where) return null;
  const name = typeof entity.name === 'string' ? entity.name.replace(/ bit [0-7]$/, '') : '';
  return {
    id: where.id,
    port: where.port,
    bit: Number(match[3]),
    writable: component === 'switch' && typeof entity.command_topic === 'string',
    portName: name,
  };
}

export function bitSetTopic(prefix, id, port, bit) {
  return `${prefix}/${id}/port/${port}/bit/${bit}/set`;
}

/** 165 -> "0xA5" */
export function hex(value) {
  return '0x' + value.toString(16).toUpperCase().padStart(2, '0');
}
