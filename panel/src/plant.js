// What the panel knows of every controller: fed the broker's messages, it
// keeps each controller's version, availability and ports, which bits of a
// port changed and when, and the commands waiting for their confirmation.
import { bitSetTopic, parseDiscovery, parseError, parsePortValue, parseTopic } from './topics.js';

// A bit that changed within this time is shown as changed.
export const RECENT_MS = 3000;
// A command the controller has not confirmed within this time has failed.
export const CONFIRM_MS = 5000;

function newController(id) {
  return { id, version: '', online: null, lastSeen: null, ports: new Map(), message: null };
}

function newPort(number) {
  return {
    number,
    name: '',
    writable: null, // unknown until discovery says; a command is tried then
    value: null,
    bitChangedAt: new Array(8).fill(null),
    lastChange: null,
    pending: new Map(), // bit -> {wanted, topic, payload, sentAt}
  };
}

// The entry of `key`, made by `make(key)` the first time.
function entry(map, key, make) {
  if (!map.has(key)) map.set(key, make(key));
  return map.get(key);
}

export class Plant {
  constructor(prefix, now = () => Date.now()) {
    this.prefix = prefix;
    this.now = now;
    this.controllers = new Map();
    // Called with a controller's id whenever what is shown of it changes.
    this.onChange = () => {};
  }

  controller(id) {
    return entry(this.controllers, id, newController);
  }

  port(controller, number) {
    return entry(controller.ports, number, newPort);
  }

  /** One message from the broker; `text` its payload as text. */
  receive(topic, text) {
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
        if (text === 'online') {
          controller.online = true;
          controller.lastSeen = now;
        } else if (text === 'offline') {
          controller.online = false;
        }
        break;
      case 'version':
        controller.version = text;
        break;
      case 'port':
        this.portState(controller, where.port, parsePortValue(text), now);
        break;
      case 'error':
        this.error(controller, parseError(text));
        break;
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

  portState(controller, number, value, now) {
    if (value === null) return;
    const port = this.port(controller, number);
    if (port.value !== null && port.value !== value) {
      const changed = port.value ^ value;
      for (let bit = 0; bit < 8; ++bit) {
        if (changed & (1 << bit)) port.bitChangedAt[bit] = now;
      }
      port.lastChange = now;
    }
    port.value = value;
    // A command is done once the controller confirms the state it asked for.
    for (const [bit, command] of port.pending) {
      if (((value >> bit) & 1) === command.wanted) port.pending.delete(bit);
    }
  }

  error(controller, error) {
    if (!error) return;
    for (const port of controller.ports.values()) {
      for (const [bit, command] of port.pending) {
        if (command.topic === error.topic) {
          port.pending.delete(bit);
          this.fail(controller, port.number, bit, error.reason);
          return;
        }
      }
    }
    controller.message = { text: error.reason, at: this.now() };
  }

  fail(controller, port, bit, reason) {
    controller.message = { text: `Port ${port} bit ${bit}: ${reason}`, at: this.now() };
    this.onChange(controller.id);
  }

  /**
   * A click on a bit: the command that turns it over, {topic, payload}, now
   * pending; null while one is pending for it or its state is not known.
   */
  command(id, number, bit) {
    const controller = this.controllers.get(id);
    const port = controller && controller.ports.get(number);
    if (!port || port.value === null || port.pending.has(bit) || port.writable === false) return null;
    const wanted = ((port.value >> bit) & 1) ^ 1;
    const command = {
      wanted,
      topic: bitSetTopic(this.prefix, id, number, bit),
      payload: wanted ? 'ON' : 'OFF',
      sentAt: this.now(),
    };
    port.pending.set(bit, command);
    controller.message = null;
    this.onChange(id);
    return command;
  }

  /** The broker refused a command (its PUBACK's reason) or it was not sent. */
  refused(id, number, bit, reason) {
    const controller = this.controllers.get(id);
    const port = controller && controller.ports.get(number);
    if (!port || !port.pending.delete(bit)) return;
    this.fail(controller, number, bit, reason);
  }

  /** Fails the commands that waited too long for their confirmation. */
  expire() {
    const now = this.now();
    for (const controller of this.controllers.values()) {
      for (const port of controller.ports.values()) {
        for (const [bit, command] of port.pending) {
          if (now - command.sentAt >= CONFIRM_MS) {
            port.pending.delete(bit);
            this.fail(controller, port.number, bit, `no confirmation from the controller within ${CONFIRM_MS / 1000} s`);
          }
        }
      }
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
