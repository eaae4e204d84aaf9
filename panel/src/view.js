// The page's controllers: one card each, built once and then only updated
// where what it shows changed, so that a plant of many controllers stays
// quick. Each output bit is a button that sends its command.
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
  /** `onBit(id, port, bit)` is called when a bit's button is pressed. */
  constructor(container, plant, onBit) {
    this.container = container;
    this.plant = plant;
    this.cards = new Map();
    this.dirty = new Set();
    this.timer = null;
    container.addEventListener('click', (event) => {
      const button = event.target.closest('button[data-bit]');
      if (!button || button.getAttribute('aria-disabled') === 'true') return;
      const card = button.closest('[data-controller]');
      const row = button.closest('[data-port]');
      onBit(card.dataset.controller, Number(row.dataset.port), Number(button.dataset.bit));
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
    const heading = element('h2', { id: headingId }, controller.id);
    const status = element('p', { class: 'status' });
    const availability = element('span', { class: 'availability' });
    const version = element('span', { class: 'version' });
    status.append(availability, ' · ', version);
    // This panel's own commands, and apart from them what the bridge reports.
    const message = element('p', { class: 'message', role: 'alert' });
    const error = element('p', { class: 'message error' });
    const ports = element('div', { class: 'ports' });
    root.append(heading, status, message, error, ports);
    card = { root, availability, version, message, error, ports, rows: new Map() };
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
    for (let bit = 7; bit >= 0; --bit) {
      const button = element('button', { type: 'button', class: 'bit', 'data-bit': bit });
      buttons[bit] = button;
      bits.append(button);
    }
    const value = element('span', { class: 'hex' });
    const change = element('span', { class: 'last-change' });
    root.append(label, bits, value, change);
    row = { root, label, bits, buttons, value, change };
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
    for (let bit = 0; bit < 8; ++bit) {
      const button = row.buttons[bit];
      const on = port.value !== null && ((port.value >> bit) & 1) === 1;
      const pending = this.plant.isPending(controller.id, port.number, bit);
      const readOnly = port.writable === false || port.value === null || offline;
      setText(button, on ? '1' : '0');
      setAttribute(button, 'aria-pressed', port.writable === false ? null : String(on));
      setAttribute(button, 'aria-disabled', readOnly ? 'true' : null);
      setAttribute(button, 'aria-busy', pending ? 'true' : null);
      let label = `${name} bit ${bit}: ${port.value === null ? 'unknown' : on ? 'on' : 'off'}`;
      if (pending) label += ', waiting for the reply';
      setAttribute(button, 'aria-label', label);
      setAttribute(button, 'title', label);
      button.classList.toggle('on', on);
      button.classList.toggle('pending', pending);
      button.classList.toggle('changed', this.plant.recentlyChanged(port, bit));
    }
  }
}
