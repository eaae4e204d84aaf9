// The panel: a login form, the broker connection (MQTT 5 over WebSockets,
// reconnecting by itself) and the plant's view.
import mqtt from 'mqtt';
import { DROPPED, dropUnacknowledgedOnClose } from './link.js';
import { pageClock, Plant } from './plant.js';
import { probeTopic, replyPlace, replySubscription, subscriptions } from './topics.js';
import { PlantView } from './view.js';
import './style.css';

const STORE_KEY = 'gpiolink-panel';
const form = document.getElementById('login');
const fields = form.elements;
const connection = document.getElementById('connection');
const disconnect = document.getElementById('disconnect');
const container = document.getElementById('plant');
// Whether this user may command, said once for every controller.
const access = document.createElement('p');
access.id = 'access';
access.setAttribute('role', 'status');
container.before(access);

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
// correlation data: a bit's, or a whole port's value.
const NOT_AUTHORIZED = 'the broker refused the command: this user may not command (Not authorized)';
const refusal = (error) => (error.code === 135 ? NOT_AUTHORIZED : `the broker refused the command: ${error.message}`);

function sendBit(id, port, bit) {
  send(plant.command(id, port, bit));
}

function sendValue(id, port, text) {
  send(plant.writePortText(id, port, text));
}

// A pulse: PULSE on the signal's set topic, carried out by the bridge,
// which publishes both of its states; it has no reply.
function sendPulse(id, port, bit) {
  const pulse = plant.pulse(id, port, bit);
  if (!pulse) return;
  if (!client.connected) {
    plant.pulseRefused(id, port, bit, 'not sent: no connection to the broker');
    return;
  }
  client.publish(pulse.topic, pulse.payload, { qos: 1, properties: { messageExpiryInterval: 5 } }, (error) => {
    if (error && error.message !== DROPPED) plant.pulseRefused(id, port, bit, refusal(error));
  });
}

// Asks the broker whether this user may command before any click: an empty
// request, QoS 1, to a request topic of no controller (probeTopic), which
// the broker's ACL allows as it allows every controller's or refuses with
// Not authorized (0x87) in its PUBACK. No bridge reads that topic, so
// nothing is carried out and no bridge reports an error; it expires at once.
// Sent once per connection. Another answer (a dropped connection) leaves
// the controls as they are: a click then learns it.
function probe(link, settings) {
  link.publish(probeTopic(settings.prefix), '', { qos: 1, properties: { messageExpiryInterval: 1 } }, (error) => {
    if (link !== client || !plant) return;
    if (!error) plant.access(true);
    else if (error.code === 135) plant.access(false, 'this user may not command (the broker says Not authorized)');
    else return;
    access.dataset.mayCommand = String(plant.mayCommand);
    access.textContent = plant.mayCommand ? '' : `Read only: ${plant.readOnlyReason}.`;
  });
}

function send(command) {
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
    plant.refused(command.correlation, refusal(error));
  });
}

function stop() {
  if (client) client.end(true);
  client = null;
  clearInterval(ticker);
  if (view) view.clear();
  plant = view = null;
  access.textContent = '';
  delete access.dataset.mayCommand;
  form.hidden = false;
  disconnect.hidden = true;
  showConnection('idle', 'Not connected');
}

function start(settings) {
  const token = Math.random().toString(16).slice(2, 10);
  plant = new Plant(settings.prefix, pageClock, replyPlace(settings.username, token));
  view = new PlantView(container, plant, { bit: sendBit, pulse: sendPulse, write: sendValue });
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
    probe(link, settings);
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
