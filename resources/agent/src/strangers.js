// Bounds what connections that have never shown a valid credential may hold. Anyone can open them
// and keep them slow; the paired devices' connections must go on working, and so must our own to
// the control service (one per /tiles poll and per request), which need descriptors of their own.
// A connection is proven once a request on it has passed the authorizer (markProven); proven ones
// are never counted or closed here.
import fs from 'node:fs';

export const kConnectionDefaults = {
  maxUnproven: 256,
  reservedDescriptors: 512, // never taken by inbound connections: the control service, ptys, files
};

// The soft limit on open descriptors (node raises it to the hard limit at start), or null.
function descriptorLimit() {
  try {
    const match = /^Max open files\s+(\d+)/m.exec(fs.readFileSync('/proc/self/limits', 'utf8'));
    return match ? Number(match[1]) : null;
  } catch {
    return null;
  }
}

// At maxUnproven unproven connections, a new one closes the oldest unproven one that is idle (no
// request of it in our hands: still sending its head, or kept alive after an answer), and is itself
// refused when every one is busy.
export function createConnectionGuard(options = {}) {
  const limits = { ...kConnectionDefaults, ...options };
  const unproven = new Map(); // socket -> requests of it being handled; in the order they came

  const busy = (socket, by) => {
    if (unproven.has(socket)) unproven.set(socket, unproven.get(socket) + by);
  };

  const oldestIdle = () => {
    for (const [socket, handling] of unproven) if (handling === 0) return socket;
    return null;
  };

  const watch = (server) => {
    const limit = limits.descriptorLimit ?? descriptorLimit();
    if (limit) server.maxConnections = Math.max(limits.maxUnproven, limit - Math.min(limits.reservedDescriptors, Math.floor(limit / 4)));
    server.on('connection', (socket) => {
      if (unproven.size >= limits.maxUnproven) {
        const idle = oldestIdle();
        if (!idle) {
          socket.destroy();
          return;
        }
        unproven.delete(idle);
        idle.destroy();
      }
      unproven.set(socket, 0);
      socket.once('close', () => unproven.delete(socket));
    });
    server.on('request', (req, res) => {
      busy(req.socket, 1);
      res.once('close', () => busy(req.socket, -1));
    });
    // An upgrade is either proven and handed over, or answered and destroyed.
    server.on('upgrade', (req) => busy(req.socket, 1));
  };

  return {
    watch,
    markProven(socket) {
      unproven.delete(socket);
    },
    get unproven() {
      return unproven.size;
    },
  };
}
