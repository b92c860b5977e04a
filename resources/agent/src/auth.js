// Access control: the bearer check and the brake on clients that keep guessing.
import net from 'node:net';
import { HttpError } from './http-util.js';

function bearerToken(req) {
  const header = req.headers.authorization;
  if (typeof header !== 'string') return '';
  const match = /^Bearer +(\S+) *$/i.exec(header);
  return match ? match[1] : '';
}

// The key a client's failures count under: IPv4 as is, also when mapped into IPv6; IPv6 by its
// /64, which one subscriber gets whole. Text that is no address at all shares a single key.
export function addressKey(text) {
  let address = String(text).trim().toLowerCase();
  if (address.startsWith('[') && address.endsWith(']')) address = address.slice(1, -1);
  address = address.replace(/%.*$/, ''); // zone index
  const kind = net.isIP(address);
  if (kind === 4) return address;
  if (kind !== 6) return 'invalid';
  const g = ipv6Groups(address);
  if (g.slice(0, 5).every((x) => x === 0) && g[5] === 0xffff) return `${g[6] >> 8}.${g[6] & 255}.${g[7] >> 8}.${g[7] & 255}`;
  return `${g.slice(0, 4).map((x) => x.toString(16)).join(':')}::/64`;
}

// The eight 16-bit groups of an address net.isIP has accepted as IPv6.
function ipv6Groups(address) {
  let tail = [];
  const dotted = /(\d+)\.(\d+)\.(\d+)\.(\d+)$/.exec(address);
  if (dotted) {
    const [a, b, c, d] = dotted.slice(1).map(Number);
    tail = [(a << 8) | b, (c << 8) | d];
    address = address.slice(0, dotted.index);
    if (!address.endsWith('::')) address = address.slice(0, -1);
  }
  const [head, rest = ''] = address.split('::');
  const groups = (part) => (part ? part.split(':').map((x) => parseInt(x, 16)) : []);
  const left = groups(head);
  const right = [...groups(rest), ...tail];
  return [...left, ...Array(8 - left.length - right.length).fill(0), ...right];
}

// Requests through the tunnel all arrive from the local tunnel client; its connecting-IP header
// names the phone. Only trusted from a loopback peer, where nobody else could have set it.
function clientAddress(req) {
  const peer = req.socket.remoteAddress || '';
  const loopback = peer === '127.0.0.1' || peer === '::1' || peer === '::ffff:127.0.0.1';
  const forwarded = req.headers['cf-connecting-ip'];
  if (loopback && typeof forwarded === 'string' && forwarded.length > 0) {
    return forwarded.length <= 64 ? addressKey(forwarded) : 'invalid';
  }
  return addressKey(peer);
}

const kDefaultLimits = {
  freeFailures: 3, // typing mistakes cost nothing
  delayStepMs: 250, // then every further failure waits a little longer...
  maxDelayMs: 2000, // ...up to the brake's delay, the longest the right token is ever held
  blockAfter: 10, // ...and this many failures brake the key
  blockMs: 10 * 60 * 1000,
  windowMs: 15 * 60 * 1000, // failures older than this are forgotten; a success is trusted this long
  maxTracked: 10000, // bounds memory under a flood from many addresses
  globalBudget: 30, // failures of all clients together before every unproven client is braked...
  globalRefillMs: 2000, // ...with one failure forgiven every this long
  maxGlobalBrakeMs: 5 * 60 * 1000, // ...and braked no longer than this after the last, however long the burst
};

// While a key is braked (its own failures, or everybody's while it has not shown the token
// lately), each of its requests is held for the brake's delay before the token is checked: a
// guesser gets one answer per held request, and the phone is delayed, never locked out. Nothing
// is refused unread, as that would lock out a phone arriving from a new address.
export class FailureLimiter {
  constructor(limits = {}, now = Date.now) {
    this.limits = { ...kDefaultLimits, ...limits };
    this.now = now;
    this.entries = new Map(); // key -> { count, first, blockedUntil }
    this.trusted = new Map(); // key -> time of its last success
    this.global = { level: 0, at: now() }; // leaky bucket of everybody's failures
  }

  // Milliseconds the key itself is still braked, 0 when it is not.
  blockedFor(key) {
    const entry = this.#current(key);
    return entry ? Math.max(0, entry.blockedUntil - this.now()) : 0;
  }

  // Milliseconds until everybody's failures are back within the budget.
  globalBrakeFor() {
    const { globalBudget, globalRefillMs } = this.limits;
    return Math.max(0, Math.ceil((this.#globalLevel() - globalBudget + 1) * globalRefillMs));
  }

  // Resolves with false (check at once) or, after the hold, true (braked).
  async admit(key) {
    if (!(this.blockedFor(key) > 0 || (!this.#isTrusted(key) && this.globalBrakeFor() > 0))) return false;
    await new Promise((resolve) => setTimeout(resolve, this.limits.maxDelayMs));
    return true;
  }

  // Seconds for Retry-After on a braked key.
  retryAfter(key) {
    return Math.max(1, Math.ceil(Math.max(this.blockedFor(key), this.globalBrakeFor()) / 1000));
  }

  // Records a failure; returns how long to hold the answer back.
  fail(key) {
    const { freeFailures, delayStepMs, maxDelayMs, blockAfter, blockMs, maxTracked, globalBudget, globalRefillMs, maxGlobalBrakeMs } = this.limits;
    this.global.level = Math.min(this.#globalLevel() + 1, globalBudget - 1 + maxGlobalBrakeMs / globalRefillMs);
    let entry = this.#current(key);
    if (!entry) {
      if (this.entries.size >= maxTracked) this.entries.delete(this.entries.keys().next().value);
      entry = { count: 0, first: this.now(), blockedUntil: 0 };
      this.entries.set(key, entry);
    }
    entry.count += 1;
    if (entry.count >= blockAfter) entry.blockedUntil = this.now() + blockMs;
    return Math.min(maxDelayMs, Math.max(0, entry.count - freeFailures) * delayStepMs);
  }

  // Forgives the key's mistakes (not a running block: others may share the key) and trusts it.
  succeed(key) {
    if (!(this.blockedFor(key) > 0)) this.entries.delete(key);
    this.trusted.delete(key);
    if (this.trusted.size >= this.limits.maxTracked) this.trusted.delete(this.trusted.keys().next().value);
    this.trusted.set(key, this.now());
  }

  #isTrusted(key) {
    const at = this.trusted.get(key);
    return at !== undefined && this.now() - at <= this.limits.windowMs;
  }

  #globalLevel() {
    const now = this.now();
    this.global.level = Math.max(0, this.global.level - (now - this.global.at) / this.limits.globalRefillMs);
    this.global.at = now;
    return this.global.level;
  }

  #current(key) {
    const entry = this.entries.get(key);
    if (!entry) return null;
    const now = this.now();
    if (entry.blockedUntil <= now && now - entry.first > this.limits.windowMs) {
      this.entries.delete(key);
      return null;
    }
    return entry;
  }
}

// The check of every request to the API, MCP and the WebSockets: resolves with what verify(given,
// req) makes of its credential (a WebSocket may carry it in the query, as a browser cannot set its
// header), else throws the HttpError to answer: 401 after the failure's delay, 429 while the
// client is braked. verify resolves null for no valid credential, or throws an answer of its own.
export function createAuthorizer(verify, limits) {
  const limiter = new FailureLimiter(limits);
  return async function authorize(req, query, allowQueryToken) {
    const key = clientAddress(req);
    const braked = await limiter.admit(key);
    const given = bearerToken(req) || (allowQueryToken ? query.get('token') || '' : '');
    const who = given ? await verify(given, req) : null;
    if (who) {
      limiter.succeed(key);
      return who;
    }
    const delay = limiter.fail(key);
    if (braked) throw new HttpError(429, 'Too many failed attempts; try again later.', { 'Retry-After': String(limiter.retryAfter(key)) });
    if (delay > 0) await new Promise((r) => setTimeout(r, delay));
    throw new HttpError(401, given ? 'Invalid token.' : 'Missing token.', { 'WWW-Authenticate': 'Bearer' });
  };
}
