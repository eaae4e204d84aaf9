// The page's controllers: one card each, built once and then only updated
// where what it shows changed, so that a plant of many controllers stays
// quick. Each output bit is a button that sends its command; a port's
// named signals are listed below its bits, a pulse output with its button;
// an output port takes a whole value; each card lists its recent changes.
import { signalOn } from './plant.js';
import { hex } from './topics.js';

function element(tag, attributes = {}, text = '') {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
  if (text) node.textContent = text;
  return node;
}

function setText(node, text) {
  if (node.textContent !== text) node.textContent = text;
}

function setAttribute(node, name, value) {
  if (value === null) {
    if (node.hasAttribute(name)) node.removeAttribute(name);
  } else if (node.getAttribute(name) !== String(value)) {
    node.setAttribute(name, value);
  }
}

export function clockTime(ms) {
  return new Date(ms).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false });
}

/** "4 s", "3 min", "2 h" */
export function ago(ms) {
  const seconds = Math.max(0, Math.round(ms / 1000));
  if (seconds < 120) return `${seconds} s`;
  if (seconds < 7200) return `${Math.round(seconds / 60)} min`;
  return `${Math.round(seconds / 3600)} h`;
}

export class PlantView {
  /**
   * `on.bit(id, port, bit)` is called when a bit's button is pressed,
   * `on.pulse(id, port, bit)` for a pulse's, `on.write(id, port, text)` when
   * a port's value is written.
   */
  constructor(container, plant, on) {
    this.container = container;
    this.plant = plant;
    this.cards = new Map();
    this.dirty = new Set();
    this.timer = null;
    const where = (node) => [node.closest('[data-controller]').dataset.controller, Number(node.closest('[data-port]').dataset.port)];
    container.addEventListener('click', (event) => {
      const button = event.target.closest('button[data-bit], button[data-pulse]');
      if (!button || button.getAttribute('aria-disabled') === 'true') return;
      const [id, port] = where(button);
      if (button.dataset.pulse !== undefined) on.pulse(id, port, Number(button.dataset.pulse));
      else on.bit(id, port, Number(button.dataset.bit));
    });
    container.addEventListener('submit', (event) => {
      const form = event.target.closest('form.write');
      if (!form) return;
      event.preventDefault();
      if (form.elements.send.getAttribute('aria-disabled') === 'true') return;
      const [id, port] = where(form);
      on.write(id, port, form.elements.value.value);
    });
  }

  /** Marks a controller to be drawn again, soon and once for many messages. */
  changed(id) {
    this.dirty.add(id);
    if (this.timer === null) this.timer = setTimeout(() => this.flush(), 15);
  }

  flush() {
    this.timer = null;
    const ids = [...this.dirty];
    this.dirty.clear();
    let added = false;
    for (const id of ids) {
      const controller = this.plant.controllers.get(id);
      if (!controller) continue;
      if (!this.cards.has(id)) added = true;
      this.draw(controller);
    }
    if (added) this.order();
  }

  /** Draws every card again: the times since, the highlights that fade. */
  tick() {
    for (const controller of this.plant.controllers.values()) this.draw(controller);
  }

  clear() {
    this.cards.clear();
    this.dirty.clear();
    this.container.replaceChildren();
  }

  order() {
    const cards = this.plant.sorted().filter((c) => this.cards.has(c.id)).map((c) => this.cards.get(c.id).root);
    cards.forEach((card, index) => {
      if (this.container.children[index] !== card) this.container.insertBefore(card, this.container.children[index] || null);
    });
  }

  card(controller) {
    let card = this.cards.get(controller.id);
    if (card) return card;
    const headingId = `controller-${this.cards.size}`;
    const root = element('article', { class: 'controller', 'data-controller': controller.id, 'aria-labelledby': headingId });
    // The plant's name heads the card, its id below it; the id alone without one.
    const heading = element('h2', { id: headingId }, controller.id);
    const idLine = element('p', { class: 'id' });
    const status = element('p', { class: 'status' });
    const availability = element('span', { class: 'availability' });
    const version = element('span', { class: 'version' });
    status.append(availability, ' · ', version);
    // This panel's own commands, and apart from them what the bridge reports.
    const message = element('p', { class: 'message', role: 'alert' });
    const error = element('p', { class: 'message error' });
    const ports = element('div', { class: 'ports' });
    const recent = element('details', { class: 'changes' });
    const summary = element('summary', {}, 'Recent changes');
    const list = element('ol');
    recent.append(summary, list);
    root.append(heading, idLine, status, message, error, ports, recent);
    card = { root, heading, idLine, availability, version, message, error, ports, list, changes: null, rows: new Map() };
    this.cards.set(controller.id, card);
    return card;
  }

  row(card, port) {
    let row = card.rows.get(port.number);
    if (row) return row;
    const root = element('div', { class: 'port', 'data-port': port.number });
    const label = element('span', { class: 'port-name' });
    const bits = element('div', { class: 'bits', role: 'group' });
    const buttons = [];
    const states = [];
    for (let bit = 7; bit >= 0; --bit) {
      // The bit's number above its raw state.
      const button = element('button', { type: 'button', class: 'bit', 'data-bit': bit });
      states[bit] = element('span', { class: 'state' });
      button.append(element('span', { class: 'number', 'aria-hidden': 'true' }, String(bit)), states[bit]);
      buttons[bit] = button;
      bits.append(button);
    }
    const value = element('span', { class: 'hex' });
    const signals = element('ul', { class: 'signals' });
    const write = element('form', { class: 'write', hidden: '' });
    const input = element('input', { name: 'value', size: '5', placeholder: '0xA5', autocomplete: 'off', 'aria-label': `Port ${port.number} value, decimal or 0x hex` });
    write.append(input, element('button', { type: 'submit', name: 'send' }, 'Write'));
    const change = element('span', { class: 'last-change' });
    root.append(label, bits, value, signals, write, change);
    row = { root, label, bits, buttons, states, value, signals, write, change, signalKey: null, signalRows: [] };
    card.rows.set(port.number, row);
    const after = [...card.rows.keys()].sort((a, b) => a - b).find((n) => n > port.number);
    card.ports.insertBefore(root, after === undefined ? null : card.rows.get(after).root);
    return row;
  }

  draw(controller) {
    const card = this.card(controller);
    const now = this.plant.now();
    const offline = controller.online === false;
    card.root.classList.toggle('offline', offline);
    card.root.classList.toggle('unknown', controller.online === null);
    let availability = controller.online === null ? 'unknown' : controller.online ? 'online' : 'offline';
    if (offline && controller.lastSeen !== null) availability += `, last seen ${ago(now - controller.lastSeen)} ago`;
    setText(card.availability, availability);
    setText(card.version, controller.version ? `version ${controller.version}` : 'version unknown');
    setText(card.heading, controller.name || controller.id);
    setText(card.idLine, controller.name ? controller.id : '');
    if (card.changes !== controller.changes) {
      card.changes = controller.changes;
      card.list.replaceChildren(...controller.changes.map((c) => element('li', {}, `${c.text}, ${clockTime(c.at)}`)));
    }
    setText(card.message, controller.message ? controller.message.text : '');
    setText(card.error, controller.error ? `The bridge reports: ${controller.error.text}` : '');
    for (const port of controller.ports.values()) this.drawPort(controller, port, this.row(card, port), offline);
  }

  drawPort(controller, port, row, offline) {
    const name = port.name ? `Port ${port.number} · ${port.name}` : `Port ${port.number}`;
    const kind = port.writable === false ? 'input' : port.writable ? 'output' : '';
    setText(row.label, kind ? `${name} (${kind})` : name);
    row.root.classList.toggle('input', port.writable === false);
    setAttribute(row.bits, 'aria-label', `${controller.id} ${name}`);
    setText(row.value, port.value === null ? '—' : hex(port.value));
    setText(row.change, port.lastChange === null ? '' : `changed ${clockTime(port.lastChange)}`);
    const denied = this.plant.mayCommand === false;
    const signals = [];
    for (let bit = 0; bit < 8; ++bit) {
      const button = row.buttons[bit];
      const on = port.value !== null && ((port.value >> bit) & 1) === 1;
      const pending = this.plant.isPending(controller.id, port.number, bit);
      const signal = this.plant.signal(controller, port.number, bit);
      if (signal) signals.push(signal);
      // A pulse output is commanded by its Pulse button only.
      const readOnly = port.writable === false || port.value === null || offline || denied || Boolean(signal && signal.pulseMs);
      setText(row.states[bit], on ? '1' : '0');
      setAttribute(button, 'aria-pressed', port.writable === false ? null : String(on));
      setAttribute(button, 'aria-disabled', readOnly ? 'true' : null);
      setAttribute(button, 'aria-busy', pending ? 'true' : null);
      let label = `${name} bit ${bit}: ${port.value === null ? 'unknown' : on ? '1' : '0'}`;
      if (signal) {
        const state = port.value === null ? 'unknown' : signalOn(signal, port.value) ? 'on' : 'off';
        label += `, ${signal.name}${signal.inverted ? ' (inverted)' : ''} ${state}`;
      }
      if (pending) label += ', waiting for the reply';
      setAttribute(button, 'aria-label', label);
      setAttribute(button, 'title', label);
      button.classList.toggle('on', on);
      button.classList.toggle('pending', pending);
      button.classList.toggle('changed', this.plant.recentlyChanged(port, bit));
      button.classList.toggle('named', Boolean(signal));
    }
    this.drawSignals(controller, port, row, signals, offline || denied);
    const writable = port.writable === true;
    row.write.hidden = !writable;
    if (writable) {
      const unavailable = offline || denied || this.plant.isPending(controller.id, port.number, null);
      setAttribute(row.write.elements.send, 'aria-disabled', unavailable ? 'true' : null);
      setAttribute(row.write.elements.value, 'readonly', offline || denied ? '' : null);
    }
  }

  // The port's named signals, bit 7 first as the bits are: the name, the bit,
  // the signal's state (inversion applied), and a pulse output's button.
  drawSignals(controller, port, row, signals, blocked) {
    const key = signals.map((s) => `${s.bit}:${s.slug}:${s.name}:${s.inverted}:${s.pulseMs}:${s.output}`).join('|');
    if (key !== row.signalKey) {
      row.signalKey = key;
      row.signalRows = signals.slice().reverse().map((signal) => {
        const item = element('li', { 'data-signal': signal.slug });
        const state = element('span', { class: 'signal-state' });
        const where = `bit ${signal.bit}${signal.inverted ? ', inverted' : ''}`;
        item.append(element('span', { class: 'signal-name' }, signal.name), element('span', { class: 'signal-bit' }, where), state);
        let pulse = null;
        if (signal.pulseMs && signal.output) {
          pulse = element('button', { type: 'button', class: 'pulse', 'data-pulse': signal.bit }, 'Pulse');
          item.append(pulse);
        }
        return { signal, item, state, pulse };
      });
      row.signals.replaceChildren(...row.signalRows.map((r) => r.item));
    }
    for (const { signal, item, state, pulse } of row.signalRows) {
      const on = port.value !== null && signalOn(signal, port.value);
      setText(state, port.value === null ? '?' : on ? 'ON' : 'OFF');
      item.classList.toggle('on', on);
      if (pulse) {
        setAttribute(pulse, 'aria-pressed', String(on));
        setAttribute(pulse, 'aria-disabled', blocked || port.value === null ? 'true' : null);
        setAttribute(pulse, 'aria-label', `Pulse ${signal.name} for ${signal.pulseMs} ms${on ? ': running' : ''}`);
      }
    }
  }
}
