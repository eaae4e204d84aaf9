// What the panel knows of every controller: fed the broker's messages, it
// keeps each controller's version, availability and ports, which bits of a
// port changed and when, the controller's name and signals, its recent
// changes, whether this user may command, and this panel's own commands
// until their replies.
import {
  bitRequest, outputRequest, parseDiscovery, parseError, parsePortInput, parsePortValue, parseReply, parseReplyTopic, parseSignals,
  parseTopic, replyTopic, requestTopic, signalSetTopic,
} from './topics.js';

// A bit that changed within this time is shown as changed.
export const RECENT_MS = 3000;
// A command's deadline: its Message Expiry, and how long the panel waits for
// its reply before it says that the outcome is unknown.
export const REPLY_MS = 5000;
// A reply that comes later than REPLY_MS still tells its command's outcome
// if it comes within this time; after it the command is forgotten.
export const LATE_MS = 10 * 60_000;
// How many of a controller's recent changes are listed.
export const CHANGES = 10;

/** Whether a signal is on with its port at `value`: its bit, inverted or not. */
export function signalOn(signal, value) {
  return (((value >> signal.bit) & 1) === 1) !== signal.inverted;
}

function newController(id) {
  return {
    id,
    version: '',
    name: '', // the plant's name of the controller, '' without one
    signals: new Map(), // "port/bit" -> its signal
    changes: [], // the last CHANGES bit changes, newest first: {text, at (wall clock)}
    online: null, // null: no availability on the broker, so unknown
    lastSeen: null, // on the monotonic clock
    ports: new Map(),
    message: null, // the outcome of this panel's last command: {text, at (wall clock), correlation}
    error: null, // the bridge's last error on <base>/error: {text, topic, at (wall clock)}
  };
}

function newPort(number) {
  return {
    number,
    name: '',
    writable: null, // unknown until discovery says; a command is tried then
    value: null,
    bitChangedAt: new Array(8).fill(null), // on the monotonic clock
    lastChange: null, // on the wall clock
  };
}

// The entry of `key`, made by `make(key)` the first time.
function entry(map, key, make) {
  if (!map.has(key)) map.set(key, make(key));
  return map.get(key);
}

const bitKey = (id, port, bit) => `${port}/${bit}/${id}`;

/**
 * The page's two clocks, in ms: `now` for ages and time-outs, monotonic, so
 * that a step of the system's clock (set by hand, or corrected by a time
 * service) neither holds a command pending nor gives it up early;
 * `wall` for the times of day shown.
 */
export const pageClock = { now: () => performance.now(), wall: () => Date.now() };

export class Plant {
  /**
   * `clock`: {now, wall} as pageClock. `replies`: where the bridges answer
   * this panel's commands (replyPlace); its token makes this panel's
   * correlation data its own.
   */
  constructor(prefix, clock = pageClock, replies = { owner: 'panel', token: '' }) {
    this.prefix = prefix;
    this.now = clock.now;
    this.wall = clock.wall;
    this.replies = replies;
    this.sent = 0;
    this.controllers = new Map();
    // correlation data -> {id, port, bit, sentAt, unknown}: this panel's
    // commands waiting for their reply, and those given up on (unknown)
    // whose reply may still come.
    this.commands = new Map();
    // bitKey -> correlation data of the command waiting for its reply.
    this.pending = new Map();
    // null until the broker said whether this user may command.
    this.mayCommand = null;
    this.readOnlyReason = '';
    // Called with a controller's id whenever what is shown of it changes.
    this.onChange = () => {};
  }

  controller(id) {
    return entry(this.controllers, id, newController);
  }

  port(controller, number) {
    return entry(controller.ports, number, newPort);
  }

  /**
   * Forgets every controller, as the broker's retained state is about to
   * come again (a new connection): what it no longer holds is not shown.
   * This panel's commands stay, waiting for their replies.
   */
  reset() {
    this.controllers.clear();
  }

  /**
   * One message from the broker; `text` its payload as text, `correlation`
   * its Correlation Data as text (a reply's).
   */
  receive(topic, text, correlation = null) {
    const replier = parseReplyTopic(this.replies, topic);
    if (replier !== null) {
      this.reply(replier, correlation, parseReply(text));
      return;
    }
    const where = parseTopic(this.prefix, topic);
    if (!where) {
      const entity = parseDiscovery(this.prefix, topic, text);
      if (entity) this.describe(entity);
      return;
    }
    const controller = this.controller(where.id);
    const now = this.now();
    switch (where.kind) {
      case 'availability':
        // Anything else, the empty payload that clears it among them,
        // leaves the availability unknown.
        if (text === 'online') {
          controller.online = true;
          controller.lastSeen = now;
        } else {
          controller.online = text === 'offline' ? false : null;
        }
        break;
      case 'version':
        controller.version = text;
        break;
      case 'signals': {
        // Cleared (an empty payload) or not a table: no names.
        const table = parseSignals(text) || { name: '', signals: [] };
        controller.name = table.name;
        controller.signals = new Map(table.signals.map((signal) => [`${signal.port}/${signal.bit}`, signal]));
        break;
      }
      case 'port':
        this.portState(controller, where.port, parsePortValue(text));
        break;
      case 'error': {
        // The bridge's errors answer a topic, and another client may have
        // sent the same command to it: they are the controller's to show,
        // never taken as the outcome of this panel's command.
        const error = parseError(text);
        if (error) controller.error = { text: error.reason, topic: error.topic, at: this.wall() };
        break;
      }
    }
    if (controller.online) controller.lastSeen = now;
    this.onChange(controller.id);
  }

  describe(entity) {
    const controller = this.controller(entity.id);
    const port = this.port(controller, entity.port);
    port.writable = entity.writable;
    if (entity.portName) port.name = entity.portName;
    this.onChange(controller.id);
  }

  portState(controller, number, value) {
    if (value === null) return;
    const port = this.port(controller, number);
    if (port.value !== null && port.value !== value) {
      const now = this.now();
      const wall = this.wall();
      const changed = port.value ^ value;
      const changes = [];
      for (let bit = 0; bit < 8; ++bit) {
        if (!(changed & (1 << bit))) continue;
        port.bitChangedAt[bit] = now;
        const signal = this.signal(controller, number, bit);
        const on = signal ? signalOn(signal, value) : ((value >> bit) & 1) === 1;
        changes.push({ text: `${signal ? signal.name : `Port ${number} bit ${bit}`} ${on ? 'on' : 'off'}`, at: wall });
      }
      // A new array: the view redraws the list when it is another.
      controller.changes = [...changes.reverse(), ...controller.changes].slice(0, CHANGES);
      port.lastChange = wall;
    }
    port.value = value;
  }

  /** The signal of a bit, null if it has none. */
  signal(controller, port, bit) {
    return controller.signals.get(`${port}/${bit}`) || null;
  }

  /**
   * What the broker said of this user's commands: `allowed` false with the
   * reason when it refused the panel's probe, so that every control is shown
   * read-only from the start; true when it took it.
   */
  access(allowed, reason = '') {
    this.mayCommand = allowed;
    this.readOnlyReason = allowed ? '' : reason;
    for (const id of this.controllers.keys()) this.onChange(id);
  }

  /** Whether this panel's command for a bit waits for its reply. */
  isPending(id, port, bit) {
    return this.pending.has(bitKey(id, port, bit));
  }

  /**
   * A click on a bit: the request that turns it over, {topic, payload,
   * responseTopic, correlation, expiry (s)}, now pending; null while one is
   * pending for it or its state is not known.
   */
  command(id, number, bit) {
    const controller = this.controllers.get(id);
    const port = controller && controller.ports.get(number);
    if (!port || port.value === null || port.writable === false || this.isPending(id, number, bit)) return null;
    if (this.mayCommand === false) return null;
    const on = ((port.value >> bit) & 1) === 0;
    return this.request(controller, number, bit, bitRequest(number, bit, on));
  }

  /**
   * A whole port written: the request that sets it to `value`, pending as a
   * bit's is (isPending with bit null); null while one is pending for it.
   */
  writePort(id, number, value) {
    const controller = this.controllers.get(id);
    const port = controller && controller.ports.get(number);
    if (!port || port.writable === false || this.mayCommand === false || this.isPending(id, number, null)) return null;
    return this.request(controller, number, null, outputRequest(number, value));
  }

  /** writePort with the value as typed; a value that is not one is said beside the controller. */
  writePortText(id, number, text) {
    const value = parsePortInput(text);
    if (value === null) {
      this.tell({ id, port: number, bit: null }, null, `"${text.trim().slice(0, 20)}" is not a value: 0 to 255, or 0x00 to 0xFF`);
      return null;
    }
    return this.writePort(id, number, value);
  }

  request(controller, number, bit, payload) {
    const correlation = `${this.replies.token}-${++this.sent}`;
    this.commands.set(correlation, { id: controller.id, port: number, bit, sentAt: this.now(), unknown: false });
    this.pending.set(bitKey(controller.id, number, bit), correlation);
    // A new command starts afresh: what was said of the earlier ones goes.
    controller.message = null;
    controller.error = null;
    this.onChange(controller.id);
    return {
      topic: requestTopic(this.prefix, controller.id),
      payload,
      responseTopic: replyTopic(this.replies, controller.id),
      correlation,
      expiry: REPLY_MS / 1000,
    };
  }

  /**
   * A pulse output's button: PULSE on its signal's set topic, {topic,
   * payload}. The bridge carries the pulse out and publishes both states; it
   * has no reply (a refusal comes on the controller's error topic). Null for
   * a bit that is not a pulse output.
   */
  pulse(id, number, bit) {
    const controller = this.controllers.get(id);
    const signal = controller && this.signal(controller, number, bit);
    if (!signal || !signal.pulseMs || !signal.output || this.mayCommand === false) return null;
    controller.message = null;
    controller.error = null;
    this.onChange(id);
    return { topic: signalSetTopic(this.prefix, id, signal.slug), payload: 'PULSE' };
  }

  /** The broker refused a pulse's publish. */
  pulseRefused(id, number, bit, reason) {
    this.tell({ id, port: number, bit }, null, reason);
  }

  // Says something of a command beside its controller.
  tell(command, correlation, text) {
    const controller = this.controllers.get(command.id);
    if (!controller) return;
    const what = command.bit === null ? `Port ${command.port}` : `Port ${command.port} bit ${command.bit}`;
    controller.message = { text: `${what}: ${text}`, at: this.wall(), correlation };
    this.onChange(command.id);
  }

  // The command is answered (or given up on): no longer pending.
  settle(correlation, command) {
    const key = bitKey(command.id, command.port, command.bit);
    if (this.pending.get(key) === correlation) this.pending.delete(key);
  }

  /**
   * The reply to a command: only this panel's own, by its correlation data,
   * on the topic that only its controller's bridge may write. A success
   * that comes after the panel gave up takes back what it said.
   */
  reply(replier, correlation, outcome) {
    const command = this.commands.get(correlation);
    if (!command || command.id !== replier || !outcome) return;
    this.commands.delete(correlation);
    this.settle(correlation, command);
    if (!outcome.ok) {
      this.tell(command, correlation, `failed: ${outcome.text}`);
      return;
    }
    const controller = this.controllers.get(command.id);
    if (controller && controller.message && controller.message.correlation === correlation) controller.message = null;
    this.onChange(command.id);
  }

  /**
   * The command was not sent, or the broker refused it (its PUBACK's
   * reason): it is certain that it was not carried out.
   */
  refused(correlation, reason) {
    const command = this.commands.get(correlation);
    if (!command) return;
    this.commands.delete(correlation);
    this.settle(correlation, command);
    this.tell(command, correlation, reason);
  }

  /**
   * Gives up on the commands whose reply did not come within REPLY_MS:
   * whether they were carried out is unknown, and the bit shows the state
   * the controller publishes. Forgets those older than LATE_MS.
   */
  expire() {
    const now = this.now();
    for (const [correlation, command] of this.commands) {
      const age = now - command.sentAt;
      if (!command.unknown && age >= REPLY_MS) {
        command.unknown = true;
        this.settle(correlation, command);
        this.tell(command, correlation, `no reply within ${REPLY_MS / 1000} s: whether it was carried out is `
          + 'unknown; the bit shows the state the controller reports');
      }
      // Both at once after a long pause of the page (a tab put to sleep).
      if (age >= LATE_MS) this.commands.delete(correlation);
    }
  }

  /** Whether a bit changed within RECENT_MS. */
  recentlyChanged(port, bit) {
    const at = port.bitChangedAt[bit];
    return at !== null && this.now() - at < RECENT_MS;
  }

  /** The controllers in the order shown: by id. */
  sorted() {
    return [...this.controllers.values()].sort((a, b) => a.id.localeCompare(b.id));
  }
}
