// The devices paired with this desktop. The app hands out pairing codes (the QR code shows one);
// the first request that presents an unused code makes it a device's, and a client may exchange
// that code for a key of its own (POST /api/pair). Only SHA-256 hashes of codes and keys are kept.
// Also here: what each device has open, the owner's settings, and the owner's consent to a new
// device. Devices with a key are kept in a DeviceStore (device-store.js) and come back at the next
// start; a device that still uses its code dies with the server, as the code does. The owner's
// channel (channel.js) listens to the events:
//   'change'            the list or what a device has open changed
//   'event'             { event: 'paired' | 'terminal', device: { id, name } }
//   'consent-request'   { request, name }; 'consent-ended' { request }
//   'settings'          the settings changed
import crypto from 'node:crypto';
import { EventEmitter } from 'node:events';
import { cleanName, describeClient } from './device-names.js';
import { HttpError } from './http-util.js';

export const kCredentialPattern = /^[A-Za-z0-9_-]{43}$/;
export const kRefusedText = '电脑的主人拒绝了这台设备的连接。';
export const kUnansweredText = '电脑上无人确认这次连接，请稍后重新扫码。';
export const kCutOffText = '电脑的主人断开了这台设备，需等主人在电脑上重新允许。';
export const kPairingDefaults = {
  codeTtlMs: 10 * 60 * 1000, // an unused code is void this long after it was issued
  consentMs: 60 * 1000, // how long a new device waits for the owner's answer
  seenSaveMs: 60 * 1000, // lastSeen reaches the file at most this often per device (and at close)
};
const kSessionKinds = ['live', 'terminal', 'mcp'];

const hashOf = (text) => crypto.createHash('sha256').update(text).digest('base64url');

export class DeviceRegistry extends EventEmitter {
  // firstCode: the code of the environment, issued now. options: kPairingDefaults overrides.
  // store: where devices with a key last (a DeviceStore), or null to keep them in memory only.
  constructor(firstCode, options = {}, now = Date.now, store = null) {
    super();
    this.limits = { ...kPairingDefaults, ...options };
    this.now = now;
    this.codes = new Map(); // hash -> { hash, issuedAt, device, pending }
    this.keys = new Map(); // hash -> device
    this.devices = new Map(); // id -> device
    this.consents = new Map(); // request id -> pending consent
    this.settings = { terminal: true, consent: false };
    this.serial = 0;
    this.store = store;
    for (const record of store?.load() ?? []) {
      const device = { ...record, sessions: new Set(), codeHash: null, savedSeen: record.lastSeen };
      this.devices.set(device.id, device);
      this.keys.set(device.keyHash, device);
      this.serial = Math.max(this.serial, Number(device.id.slice(1)));
    }
    if (firstCode) this.issueCode(firstCode);
  }

  // A fresh code: every earlier one that no device has used (nor waits for consent with) is void.
  issueCode(code) {
    for (const [hash, entry] of this.codes) if (!entry.device && !entry.pending) this.codes.delete(hash);
    const hash = hashOf(code);
    this.codes.set(hash, { hash, issuedAt: this.now(), device: null, pending: null });
  }

  setSettings({ terminal, consent }) {
    const next = { terminal: typeof terminal === 'boolean' ? terminal : this.settings.terminal,
      consent: typeof consent === 'boolean' ? consent : this.settings.consent };
    const changed = next.terminal !== this.settings.terminal || next.consent !== this.settings.consent;
    this.settings = next;
    if (changed) this.emit('settings', next);
  }

  // Who presents `given`: { device, code } (code: the hash of the pairing code it came with, null
  // for a key), or null for no valid credential. An unused code makes a device, after the owner's
  // yes when consent is on; a refusal or no answer throws the 403 to give.
  async authenticate(given, req) {
    if (typeof given !== 'string' || !kCredentialPattern.test(given)) return null;
    const hash = hashOf(given);
    const keyed = this.keys.get(hash);
    if (keyed) return this.#seen({ device: keyed, code: null });
    const entry = this.codes.get(hash);
    if (!entry) return null;
    if (entry.device) return this.#seen({ device: entry.device, code: hash });
    if (this.now() - entry.issuedAt > this.limits.codeTtlMs) {
      if (!entry.pending) this.codes.delete(hash);
      return null;
    }
    const client = describeClient(req);
    if (this.settings.consent || entry.pending) await this.#askOwner(entry, client, req.socket);
    if (!entry.device) this.#pair(entry, client);
    return this.#seen({ device: entry.device, code: hash });
  }

  // POST /api/pair: the device's own key for the code it came with; the code is spent.
  exchange(who, name) {
    if (!who.code) throw new HttpError(400, 'This is a device key, not a pairing code: it is paired already. Send it as the bearer of your requests.');
    const key = crypto.randomBytes(32).toString('base64url');
    const { device } = who;
    this.codes.delete(who.code);
    device.codeHash = null;
    device.keyHash = hashOf(key);
    this.keys.set(device.keyHash, device);
    const given = cleanName(name);
    if (given) Object.assign(device, { name: given, named: true });
    this.#save();
    this.emit('change');
    return key;
  }

  // An MCP client names itself at initialize: a device that is no browser and was given no name
  // takes it.
  nameMcpClient(device, name) {
    const given = cleanName(name);
    if (!given || device.named || device.kind === 'browser' || !this.devices.has(device.id)) return;
    Object.assign(device, { name: given, named: true, kind: 'mcp' });
    if (device.keyHash) this.#save();
    this.emit('change');
  }

  // Something the device has open: close() ends it (disconnect, removal). Returns the untrack.
  track(device, kind, close) {
    const session = { kind, close };
    if (!this.devices.has(device.id)) {
      queueMicrotask(close); // removed while it was opening
      return () => {};
    }
    device.sessions.add(session);
    this.emit('change');
    if (kind === 'terminal') this.emit('event', { event: 'terminal', device: { id: device.id, name: device.name } });
    return () => {
      if (device.sessions.delete(session)) this.emit('change');
    };
  }

  // The owner cut it off: what it has open closes, and its key (or code) gets 401 with kCutOffText
  // until the owner lets it back in (allow), so a phone that reconnects by itself stays out.
  disconnect(id) {
    const device = this.devices.get(id);
    if (!device) return false;
    device.allowed = false;
    this.#closeSessions(device);
    if (device.keyHash) this.#save();
    this.emit('change');
    return true;
  }

  allow(id) {
    const device = this.devices.get(id);
    if (!device) return false;
    if (device.allowed) return true;
    device.allowed = true;
    if (device.keyHash) this.#save();
    this.emit('change');
    return true;
  }

  // Its key or code stops working at once, and what it has open closes.
  remove(id) {
    const device = this.devices.get(id);
    if (!device) return false;
    this.devices.delete(id);
    if (device.keyHash) this.keys.delete(device.keyHash);
    if (device.codeHash) this.codes.delete(device.codeHash);
    this.#closeSessions(device);
    if (device.keyHash) this.#save();
    this.emit('change');
    return true;
  }

  // At the server's close: the lastSeen times not written yet.
  flush() {
    if ([...this.devices.values()].some((d) => d.keyHash && d.lastSeen !== d.savedSeen)) this.#save();
  }

  // The owner's answer to a consent request; false when it is over already.
  answer(request, allow) {
    const pending = this.consents.get(request);
    if (!pending) return false;
    pending.settle(allow ? 'allow' : 'refuse');
    return true;
  }

  list() {
    return [...this.devices.values()].map((d) => {
      const open = kSessionKinds.filter((kind) => [...d.sessions].some((s) => s.kind === kind));
      return { id: d.id, name: d.name, kind: d.kind, pairedAt: d.pairedAt, lastSeen: d.lastSeen, online: open.length > 0, allowed: d.allowed, open };
    });
  }

  #closeSessions(device) {
    for (const session of [...device.sessions]) session.close();
    device.sessions.clear();
  }

  // Writes every device that has a key; each one's lastSeen is then on disk.
  #save() {
    if (!this.store) return;
    const kept = [...this.devices.values()].filter((d) => d.keyHash);
    if (this.store.save(kept)) for (const device of kept) device.savedSeen = device.lastSeen;
  }

  // A device cut off by the owner is refused with its own text (not counted as a guess); the time
  // it was last seen reaches the file, and the owner's list, at most every seenSaveMs.
  #seen(who) {
    const { device } = who;
    if (!device.allowed) throw new HttpError(401, kCutOffText, { 'WWW-Authenticate': 'Bearer' });
    device.lastSeen = this.now();
    if (device.keyHash && device.lastSeen - device.savedSeen >= this.limits.seenSaveMs) {
      this.#save();
      this.emit('change');
    }
    return who;
  }

  #pair(entry, { kind, name }) {
    const now = this.now();
    const device = { id: `d${++this.serial}`, name, kind, named: false, pairedAt: now, lastSeen: now, allowed: true,
      sessions: new Set(), codeHash: entry.hash, keyHash: null, savedSeen: now };
    entry.device = device;
    this.devices.set(device.id, device);
    this.emit('change');
    this.emit('event', { event: 'paired', device: { id: device.id, name: device.name } });
  }

  // Waits for the owner's answer to the code's consent request (one per code, shared by every
  // request that presents it meanwhile). Returns on a yes; throws the 403 otherwise.
  async #askOwner(entry, client, socket) {
    if (!entry.pending) entry.pending = this.#openConsent(entry, client);
    const { pending } = entry;
    pending.waiters += 1;
    const gone = () => {
      pending.waiters -= 1;
      if (pending.waiters === 0) pending.settle('gone');
    };
    socket.once('close', gone);
    const outcome = await pending.outcome;
    socket.off('close', gone);
    if (outcome === 'allow') return;
    if (outcome === 'refuse') throw new HttpError(403, kRefusedText);
    if (outcome === 'gone') throw new HttpError(499, 'The client went away.');
    throw new HttpError(403, kUnansweredText);
  }

  #openConsent(entry, client) {
    const request = `r${++this.serial}`;
    const pending = { request, waiters: 0 };
    pending.outcome = new Promise((resolve) => {
      const timer = setTimeout(() => pending.settle('timeout'), this.limits.consentMs);
      pending.settle = (outcome) => {
        if (!this.consents.delete(request)) return;
        clearTimeout(timer);
        entry.pending = null;
        if (outcome === 'allow' && this.codes.get(entry.hash) === entry && !entry.device) this.#pair(entry, client);
        if (outcome === 'allow' && !entry.device) outcome = 'refuse'; // the code went meanwhile
        if (outcome === 'refuse') this.codes.delete(entry.hash); // a refused code is spent
        if (outcome === 'timeout' || outcome === 'gone') this.emit('consent-ended', { request });
        resolve(outcome);
      };
    });
    this.consents.set(request, pending);
    this.emit('consent-request', { request, name: client.name });
    return pending;
  }
}
