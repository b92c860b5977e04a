// The owner's channel: JSON lines over a socket the app holds the other end of. The app sends
// pairing codes, settings, consent answers, what to do with a device, and pings to see that the
// server is alive; the server sends the devices as they change (at most one message per 200 ms,
// the last state always), events, consent requests and a pong for each ping at once. A bad line is
// logged without its content and ignored.
import { kCredentialPattern } from './devices.js';

const kMaxLine = 64 * 1024;
const kDevicesEveryMs = 200;

const isId = (value) => typeof value === 'string' && value.length > 0 && value.length <= 100;

// stream: a connected duplex (net.Socket). devices: the DeviceRegistry. Returns { close() }.
export function attachChannel(stream, devices, { log = () => {} } = {}) {
  let pending = Buffer.alloc(0);
  let skipping = false; // inside a line that is too long: drop up to its end
  let lastSent = 0;
  let timer = null;

  const send = (value) => {
    if (!stream.destroyed && stream.writable) stream.write(`${JSON.stringify(value)}\n`);
  };
  const sendDevices = () => {
    timer = null;
    lastSent = Date.now();
    send({ type: 'devices', devices: devices.list() });
  };
  const changed = () => {
    if (!timer) timer = setTimeout(sendDevices, Math.max(0, lastSent + kDevicesEveryMs - Date.now()));
  };

  const handlers = {
    code: (m) => kCredentialPattern.test(m.code) && (devices.issueCode(m.code), true),
    disconnect: (m) => isId(m.device) && (devices.disconnect(m.device) || log(`Channel: no device ${m.device.slice(0, 20)} to disconnect`), true),
    allow: (m) => isId(m.device) && (devices.allow(m.device) || log(`Channel: no device ${m.device.slice(0, 20)} to allow`), true),
    ping: (m) => Number.isSafeInteger(m.id) && (send({ type: 'pong', id: m.id }), true),
    remove: (m) => isId(m.device) && (devices.remove(m.device) || log(`Channel: no device ${m.device.slice(0, 20)} to remove`), true),
    settings: (m) => (devices.setSettings(m), true),
    consent: (m) => isId(m.request) && typeof m.allow === 'boolean' && (devices.answer(m.request, m.allow) || log('Channel: a consent answer came too late'), true),
  };

  function line(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      log('Channel: ignored a line that is not JSON');
      return;
    }
    const handler = message && typeof message === 'object' && Object.hasOwn(handlers, message.type) ? handlers[message.type] : null;
    if (!handler) log('Channel: ignored a message of unknown type');
    else if (!handler(message)) log(`Channel: ignored a "${message.type}" message with bad values`);
  }

  stream.on('data', (chunk) => {
    pending = Buffer.concat([pending, chunk]);
    for (let at; (at = pending.indexOf(10)) >= 0;) {
      const text = pending.subarray(0, at);
      pending = pending.subarray(at + 1);
      if (skipping) skipping = false;
      else if (text.length > kMaxLine) log('Channel: ignored a line longer than 64 KiB');
      else if (text.length > 0) line(text.toString('utf8'));
    }
    if (pending.length > kMaxLine) {
      if (!skipping) log('Channel: ignored a line longer than 64 KiB');
      skipping = true;
      pending = Buffer.alloc(0);
    }
  });
  stream.on('error', (err) => log(`Channel: ${err.message}`));

  const events = {
    change: changed,
    event: (e) => send({ type: 'event', ...e }),
    'consent-request': (e) => send({ type: 'consent-request', ...e }),
    'consent-ended': (e) => send({ type: 'consent-ended', ...e }),
  };
  for (const [name, fn] of Object.entries(events)) devices.on(name, fn);
  sendDevices();

  return {
    close() {
      clearTimeout(timer);
      for (const [name, fn] of Object.entries(events)) devices.off(name, fn);
    },
  };
}
