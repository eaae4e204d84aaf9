// What the panel asks of its mqtt.js connection beyond mqtt.js's defaults.

// The error mqtt.js gives the callback of a publish dropped so.
export const DROPPED = 'Message removed';

/**
 * mqtt.js sends a QoS 1 publish again after a reconnect until the broker
 * acknowledged it: a click's command would then be carried out long after
 * the page said that its outcome is unknown. The commands not acknowledged
 * when the connection drops are dropped instead, and their deadline tells
 * the page what to say.
 */
export function dropUnacknowledgedOnClose(link) {
  link.on('close', () => {
    for (const [messageId, entry] of Object.entries(link.outgoing)) {
      if (entry.cmd === 'publish') link.removeOutgoingMessage(Number(messageId));
    }
  });
}
