// The topics and payloads of gpio-mqtt as the panel reads and writes them.
// `<prefix>/<id>/...`: availability, version, port/<n> (the port's value as
// JSON) and error; a command goes to request as an MQTT 5 request, answered
// on the panel's own reply topic below `replies/`. Home Assistant's
// discovery entities tell which ports are outputs and what they are called.
// signals (retained) names the controller and the bits of its ports; a pulse
// output is commanded with PULSE on its signal's set topic.

/** The subscriptions that give the panel every controller under `prefix`. */
export function subscriptions(prefix, discoveryPrefix = 'homeassistant') {
  return [
    `${prefix}/+/availability`,
    `${prefix}/+/version`,
    `${prefix}/+/signals`,
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
 * 'version', 'error', 'signals' or 'port' (with `port`); null for any other topic,
 * commands and requests among them.
 */
export function parseTopic(prefix, topic) {
  if (!topic.startsWith(prefix + '/')) return null;
  const levels = topic.slice(prefix.length + 1).split('/');
  const id = levels[0];
  if (!id) return null;
  if (levels.length === 2 && ['availability', 'version', 'error', 'signals'].includes(levels[1])) {
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

/**
 * The signals topic's payload: {name, signals: [{name, slug, port, bit,
 * inverted, pulseMs, output}]}; a signal that is not one is left out, and
 * null for a payload that is not a signals table at all.
 */
export function parseSignals(payload) {
  const table = object(payload);
  if (!table || !Array.isArray(table.signals)) return null;
  const signals = [];
  for (const s of table.signals) {
    if (!s || typeof s.name !== 'string' || typeof s.slug !== 'string' || !/^[^/+#\s]+$/.test(s.slug)) continue;
    if (!Number.isInteger(s.port) || s.port < 0 || s.port > 255 || !Number.isInteger(s.bit) || s.bit < 0 || s.bit > 7) {
      continue;
    }
    const pulseMs = Number.isInteger(s.pulse_ms) && s.pulse_ms > 0 ? s.pulse_ms : 0;
    signals.push({
      name: s.name, slug: s.slug, port: s.port, bit: s.bit, inverted: s.inverted === true, pulseMs,
      output: s.output === true,
    });
  }
  return { name: typeof table.name === 'string' ? table.name : '', signals };
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

export function requestTopic(prefix, id) {
  return `${prefix}/${id}/request`;
}

/**
 * Where the panel asks the broker whether this user may command: a request
 * topic of no controller, since its level holds a space, which no bridge's
 * id may. The ACL's `<prefix>/+/request` covers it as it covers every
 * controller's, and no bridge ever reads it, so nothing is carried out and
 * no bridge reports an error for it.
 */
export function probeTopic(prefix) {
  return `${prefix}/panel probe/request`;
}

/** The topic that takes a signal's commands (PULSE for a pulse output). */
export function signalSetTopic(prefix, id, slug) {
  return `${prefix}/${id}/signal/${slug}/set`;
}

/** The request that writes a whole port. */
export function outputRequest(port, value) {
  return JSON.stringify({ op: 'output', port, value });
}

/** A port's value as typed: decimal or 0x hex, 0 to 255; null for anything else. */
export function parsePortInput(text) {
  const trimmed = text.trim();
  let value = null;
  if (/^0x[0-9a-f]{1,2}$/i.test(trimmed)) value = parseInt(trimmed.slice(2), 16);
  else if (/^[0-9]{1,3}$/.test(trimmed)) value = Number(trimmed);
  return value !== null && value <= 255 ? value : null;
}

/** The request that sets (`on`) or resets a bit of a port. */
export function bitRequest(port, bit, on) {
  return JSON.stringify({ op: on ? 'bit-set' : 'bit-reset', port, bit });
}

/**
 * Where the bridges answer this panel's requests: {owner, token}. The
 * broker's ACL lets a user read `replies/<user>/#` only, and the bridge of a
 * controller write `replies/+/<its id>/#` only; a login without a user gets a
 * place of its own. `token` tells this panel from the user's others.
 */
export function replyPlace(username, token) {
  return { owner: username && !/[+#]/.test(username) ? username : `panel-${token}`, token };
}

/** The Response Topic of a request to controller `id`. */
export function replyTopic(place, id) {
  return `replies/${place.owner}/${id}/panel-${place.token}`;
}

/** The subscription that takes the replies of every controller. */
export function replySubscription(place) {
  return replyTopic(place, '+');
}

/** The controller whose bridge may have sent a reply on `topic`; null if none. */
export function parseReplyTopic(place, topic) {
  const head = `replies/${place.owner}/`;
  const tail = `/panel-${place.token}`;
  if (!topic.startsWith(head) || !topic.endsWith(tail)) return null;
  const id = topic.slice(head.length, topic.length - tail.length);
  return id && !id.includes('/') ? id : null;
}

/**
 * A reply of the bridge: {ok: true} for a command carried out, {ok: false,
 * text} for one that failed ({"result":4,"name":"GPIO_RESULT_TIMEOUT",...})
 * or that the bridge refused before carrying it out ({"error":"why"});
 * null for anything else.
 */
export function parseReply(payload) {
  const reply = object(payload);
  if (!reply) return null;
  if (typeof reply.error === 'string') return { ok: false, text: `refused by the bridge: ${reply.error}` };
  if (!Number.isInteger(reply.result)) return null;
  if (reply.result === 0) return { ok: true };
  const name = typeof reply.name === 'string' ? reply.name : `result ${reply.result}`;
  return { ok: false, text: `the controller answered ${name}` };
}

/** 165 -> "0xA5" */
export function hex(value) {
  return '0x' + value.toString(16).toUpperCase().padStart(2, '0');
}
