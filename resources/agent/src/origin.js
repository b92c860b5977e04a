// Which pages may call the routes that act on the desktop (/mcp, the live view, the terminal): one
// served from the address the request came in on, or one on this machine. Native clients send no
// Origin and pass; the token is checked after this either way.
import { HttpError } from './http-util.js';

const kLoopbackHosts = new Set(['127.0.0.1', 'localhost', '[::1]']);

const isLoopbackPeer = (req) => ['127.0.0.1', '::1', '::ffff:127.0.0.1'].includes(req.socket.remoteAddress);

// The schemes the request may have come in with: the tunnel client (a loopback peer, like the
// connecting-IP header auth.js trusts) says which in X-Forwarded-Proto; without it either.
function requestSchemes(req) {
  const forwarded = req.headers['x-forwarded-proto'];
  if (isLoopbackPeer(req) && typeof forwarded === 'string') {
    const scheme = forwarded.split(',')[0].trim().toLowerCase();
    if (scheme === 'http' || scheme === 'https') return [`${scheme}:`];
  }
  return ['http:', 'https:'];
}

export function originAllowed(req) {
  const origin = req.headers.origin;
  if (origin === undefined) return true;
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false; // "null" from a sandboxed or file page, or garbage
  }
  if (url.origin !== origin.toLowerCase()) return false; // a path, a user, a default port: no browser sends these
  if (url.protocol === 'http:' && kLoopbackHosts.has(url.hostname)) return true;
  const host = req.headers.host;
  return typeof host === 'string' && url.host === host.toLowerCase() && requestSchemes(req).includes(url.protocol);
}

export function requireOrigin(req) {
  if (!originAllowed(req)) throw new HttpError(403, 'This page may not use this route (its Origin is neither this address nor local).');
}
