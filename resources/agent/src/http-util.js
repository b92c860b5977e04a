// The agent server's HTTP vocabulary: errors that carry their status, JSON answers, request bodies
// and query values, and what goes into the log of a request that anyone could have sent.
import { readLimited } from './read-limited.js';

export class HttpError extends Error {
  constructor(status, message, headers = {}) {
    super(message);
    this.status = status;
    this.headers = headers;
  }
}

export function sendJson(res, status, value, headers = {}) {
  if (res.headersSent) {
    res.destroy();
    return;
  }
  const body = JSON.stringify(value);
  res.writeHead(status, {
    'Content-Type': 'application/json; charset=utf-8',
    'Content-Length': Buffer.byteLength(body),
    'Cache-Control': 'no-store',
    ...headers,
  });
  res.end(body);
}

// The control service's answer ({ status, contentType, body }) passed on as it came.
export function sendAnswer(res, answer) {
  res.writeHead(answer.status, { 'Content-Type': answer.contentType, 'Content-Length': answer.body.length, 'Cache-Control': 'no-store' });
  res.end(answer.body);
}

// An answer to a client we are done with: the socket is destroyed once the answer is out, so
// a client that never closes its side cannot keep it half-open.
export function answerAndDestroy(socket, text) {
  if (!socket.writable) {
    socket.destroy();
    return;
  }
  socket.end(text, () => socket.destroy());
  const timer = setTimeout(() => socket.destroy(), 5000); // a peer that reads nothing
  socket.once('close', () => clearTimeout(timer));
}

// Printable and short: the path comes from anyone on the internet and goes into the app's log.
export function loggable(text) {
  const clean = String(text).replace(/[^\x21-\x7e]/g, '?');
  return clean.length > 200 ? `${clean.slice(0, 200)}...` : clean;
}

export function splitTarget(target) {
  const at = target.indexOf('?');
  const pathname = at < 0 ? target : target.slice(0, at);
  if (!pathname.startsWith('/')) throw new HttpError(400, 'Bad request target.');
  return { pathname, query: new URLSearchParams(at < 0 ? '' : target.slice(at + 1)) };
}

export function requireMethod(req, ...allowed) {
  if (!allowed.includes(req.method)) throw new HttpError(405, `Method ${loggable(req.method)} is not allowed here.`, { Allow: allowed.join(', ') });
}

function readBody(req, limit) {
  const tooLarge = () => new HttpError(413, `Request body is larger than ${limit} bytes.`);
  if (Number(req.headers['content-length']) > limit) return Promise.reject(tooLarge());
  return readLimited(req, limit, {
    tooLarge,
    brokenOff: () => new HttpError(400, 'Request body broke off.'),
    onExcess: (stream) => stream.pause(),
  });
}

export async function readJsonObject(req, limit) {
  const body = await readBody(req, limit);
  let value;
  try {
    value = JSON.parse(body.toString('utf8'));
  } catch {
    throw new HttpError(400, 'Request body is not valid JSON.');
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    throw new HttpError(400, 'Request body must be a JSON object.');
  }
  return value;
}

// Whole numbers only; the range matches what the control service accepts, so the phone never
// silently gets an image of another size than it asked for.
export function intParam(query, name, min, max) {
  const text = query.get(name);
  if (text === null) return null;
  if (!/^\d{1,6}$/.test(text)) throw new HttpError(400, `Query value "${name}" must be a whole number.`);
  const value = Number(text);
  if (value < min || value > max) throw new HttpError(400, `Query value "${name}" must be between ${min} and ${max}.`);
  return value;
}
