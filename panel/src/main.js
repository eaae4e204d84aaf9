// The panel: a login form, the broker connection (MQTT 5 over WebSockets,
// reconnecting by itself) and the plant's view.
import mqtt from 'mqtt';
import { DROPPED, dropUnacknowledgedOnClose } from './link.js';
import { Plant } from './plant.js';
import { replyPlace, replySubscription, subscriptions } from './topics.js';
import { PlantView } from './view.js';
import './style.css';

const STORE_KEY = 'gpiolink-panel';
const form = document.getElementById('login');
const fields = form.elements;
const connection = document.getElementById('connection');
const disconnect = document.getElementById('disconnect');
const container = document.getElementById('plant');

let client = null;
let plant = null;
let view = null;
let ticker = null;

function defaultBroker() {
  return `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host || 'localhost:9001'}/`;
}

function showConnection(state, text) {
  connection.dataset.state = state;
  connection.textContent = text;
}

// Only what the user asked to be remembered, and never the password.
function loadRemembered() {
  let saved = null;
  try {
    saved = JSON.parse(localStorage.getItem(STORE_KEY));
  } catch {
    saved = null;
  }
  fields.broker.value = saved?.broker || defaultBroker();
  fields.username.value = saved?.username || '';
  fields.prefix.value = saved?.prefix || 'gpiolink';
  fields.remember.checked = Boolean(saved);
}

function remember(settings) {
  try {
    if (fields.remember.checked) {
      localStorage.setItem(STORE_KEY, JSON.stringify({
        broker: settings.broker, username: settings.username, prefix: settings.prefix,
      }));
    } else {
      localStorage.removeItem(STORE_KEY);
    }
  } catch {
    // A browser that keeps nothing: the form just starts empty next time.
  }
}

// A click's command: an MQTT 5 request that carries its deadline (Message
// Expiry) and asks for its reply on this panel's topic, known by its
// correlation data.
function send(id, port, bit) {
  const command = plant.command(id, port, bit);
  if (!command) return;
  if (!client.connected) {
    plant.refused(command.correlation, 'not sent: no connection to the broker');
    return;
  }
  const properties = {
    responseTopic: command.responseTopic,
    correlationData: command.correlation,
    messageExpiryInterval: command.expiry,
  };
  client.publish(command.topic, command.payload, { qos: 1, properties }, (error) => {
    // Dropped when the connection did: whether it reached the broker is
    // unknown, and the command's deadline says so.
    if (!error || error.message === DROPPED) return;
    const reason = error.code === 135 || error.code === 0x87
      ? 'the broker refused the command: this user may not command (Not authorized)'
      : `the broker refused the command: ${error.message}`;
    plant.refused(command.correlation, reason);
  });
}

function stop() {
  if (client) client.end(true);
  client = null;
  clearInterval(ticker);
  if (view) view.clear();
  plant = view = null;
  form.hidden = false;
  disconnect.hidden = true;
  showConnection('idle', 'Not connected');
}

function start(settings) {
  const token = Math.random().toString(16).slice(2, 10);
  plant = new Plant(settings.prefix, () => Date.now(), replyPlace(settings.username, token));
  view = new PlantView(container, plant, send);
  plant.onChange = (id) => view.changed(id);
  ticker = setInterval(() => {
    plant.expire();
    view.tick();
  }, 1000);
  form.hidden = true;
  disconnect.hidden = false;
  showConnection('connecting', `Connecting to ${settings.broker}…`);
  const link = mqtt.connect(settings.broker, {
    protocolVersion: 5,
    username: settings.username || undefined,
    password: settings.password || undefined,
    clientId: `gpiolink-panel-${token}`,
    reconnectPeriod: 1000,
    connectTimeout: 10000,
    // Subscribed anew below, after the view is cleared.
    resubscribe: false,
  });
  client = link;
  link.on('connect', () => {
    showConnection('connected', `Connected to ${settings.broker}${settings.username ? ` as ${settings.username}` : ''}`);
    // The view is rebuilt from the broker's retained state: a broker that
    // restarted without it no longer shows controllers that are gone.
    plant.reset();
    view.clear();
    // The state at QoS 0: a broker holds at most max_queued_messages (1000)
    // QoS 1 messages for a client that has not acknowledged them yet and
    // drops the rest, so that a burst of changes would leave a busy browser
    // showing an old state; at QoS 0 they all come, over TCP, and a lost
    // connection brings the whole retained state again. The replies at QoS 1.
    link.subscribe(subscriptions(settings.prefix), { qos: 0 });
    link.subscribe(replySubscription(plant.replies), { qos: 1 });
  });
  dropUnacknowledgedOnClose(link);
  link.on('reconnect', () => showConnection('reconnecting', `Reconnecting to ${settings.broker}…`));
  link.on('offline', () => showConnection('reconnecting', `Lost the broker ${settings.broker}; reconnecting…`));
  link.on('error', (error) => {
    // A refused login does not get better by trying again.
    if (error.code === 134 || error.code === 135 || error.code === 4 || error.code === 5) {
      const reason = `The broker refused the login: ${error.message}`;
      stop();
      showConnection('refused', reason);
      return;
    }
    showConnection('reconnecting', `${error.message}; reconnecting…`);
  });
  const decoder = new TextDecoder();
  link.on('message', (topic, payload, packet) => {
    const correlation = packet.properties?.correlationData;
    plant.receive(topic, decoder.decode(payload), correlation ? decoder.decode(correlation) : null);
  });
}

form.addEventListener('submit', (event) => {
  event.preventDefault();
  const settings = {
    broker: fields.broker.value.trim(),
    username: fields.username.value,
    password: fields.password.value,
    prefix: fields.prefix.value.trim().replace(/\/+$/, '') || 'gpiolink',
  };
  remember(settings);
  fields.password.value = '';
  start(settings);
});
disconnect.addEventListener('click', stop);

loadRemembered();
