// Access control: the bearer token check and the brake on clients that keep guessing.
import crypto from 'node:crypto';

// Hashing first gives equal-length inputs, so neither the content nor the length leaks through timing.
export function tokensEqual(given, expected) {
  if (typeof given !== 'string' || given.length === 0 || given.length > 512) return false;
  const a = crypto.createHash('sha256').update(given).digest();
  const b = crypto.createHash('sha256').update(expected).digest();
  return crypto.timingSafeEqual(a, b);
}

export function bearerToken(req) {
  const header = req.headers.authorization;
  if (typeof header !== 'string') return '';
  const match = /^Bearer +(\S+) *$/i.exec(header);
  return match ? match[1] : '';
}

// Requests through the tunnel all arrive from the local tunnel client; its connecting-IP header
// names the phone. Only trusted from a loopback peer, where nobody else could have set it.
export function clientAddress(req) {
  const peer = req.socket.remoteAddress || '';
  const loopback = peer === '127.0.0.1' || peer === '::1' || peer === '::ffff:127.0.0.1';
  const forwarded = req.headers['cf-connecting-ip'];
  if (loopback && typeof forwarded === 'string' && forwarded.length > 0 && forwarded.length <= 64) {
    return forwarded.trim();
  }
  return peer;
}

export const kDefaultLimits = {
  freeFailures: 3, // typing mistakes cost nothing
  delayStepMs: 250, // then every further failure waits a little longer...
  maxDelayMs: 2000,
  blockAfter: 10, // ...and this many failures lock the address out
  blockMs: 10 * 60 * 1000,
  windowMs: 15 * 60 * 1000, // failures older than this are forgotten
  maxTracked: 10000, // bounds memory under a flood from many addresses
};

export class FailureLimiter {
  constructor(limits = {}, now = Date.now) {
    this.limits = { ...kDefaultLimits, ...limits };
    this.now = now;
    this.entries = new Map(); // address -> { count, first, blockedUntil }
  }

  // Milliseconds the address is still locked out, 0 when it may try.
  blockedFor(address) {
    const entry = this.#current(address);
    return entry ? Math.max(0, entry.blockedUntil - this.now()) : 0;
  }

  // Records a failure; returns how long to hold the answer back.
  fail(address) {
    const { freeFailures, delayStepMs, maxDelayMs, blockAfter, blockMs, maxTracked } = this.limits;
    let entry = this.#current(address);
    if (!entry) {
      if (this.entries.size >= maxTracked) this.entries.delete(this.entries.keys().next().value);
      entry = { count: 0, first: this.now(), blockedUntil: 0 };
      this.entries.set(address, entry);
    }
    entry.count += 1;
    if (entry.count >= blockAfter) entry.blockedUntil = this.now() + blockMs;
    return Math.min(maxDelayMs, Math.max(0, entry.count - freeFailures) * delayStepMs);
  }

  succeed(address) {
    this.entries.delete(address);
  }

  #current(address) {
    const entry = this.entries.get(address);
    if (!entry) return null;
    const now = this.now();
    if (entry.blockedUntil <= now && now - entry.first > this.limits.windowMs) {
      this.entries.delete(address);
      return null;
    }
    return entry;
  }
}
