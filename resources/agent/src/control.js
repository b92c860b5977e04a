// Client of the app's control service: one short HTTP/1.1 request per connection, secret in the URL.
import http from 'node:http';
import { readLimited } from './read-limited.js';

// status: what the agent server answers its own client. controlStatus: the status the control service
// answered with, when the failure is its answer (501: the app cannot do what was asked).
export class ControlError extends Error {
  constructor(status, message, controlStatus = null) {
    super(message);
    this.status = status;
    this.controlStatus = controlStatus;
  }
}

// Node's own messages name the address ("connect ECONNREFUSED 127.0.0.1:8788") but never the URL,
// so the secret in the query cannot leak into an answer.
function describe(err) {
  return err.code === 'ECONNREFUSED' ? `connection refused (${err.address}:${err.port})` : err.message;
}

// The control service's address for `pathname`, on the host, port and secret of `base` (its
// screenshot or input address), with `params` (undefined ones left out). Values are percent-encoded
// whole, a space as %20: the control service keeps "+" as it is. A missing or bad base comes back as
// it is, for controlRequest to report.
export function controlUrl(base, pathname, params = {}) {
  if (!base) return '';
  try {
    const target = new URL(base);
    const secret = target.searchParams.get('secret');
    target.pathname = pathname;
    const query = Object.entries({ ...(secret === null ? {} : { secret }), ...params })
      .filter(([, v]) => v !== undefined)
      .map(([k, v]) => `${encodeURIComponent(k)}=${encodeURIComponent(String(v))}`);
    target.search = query.length ? `?${query.join('&')}` : '';
    return target.href;
  } catch {
    return base;
  }
}

// The address with these query values set, on its own path.
export function withQuery(url, params) {
  try {
    return controlUrl(url, new URL(url).pathname, params);
  } catch {
    return url; // missing or bad: controlRequest reports it
  }
}

// Resolves with the response head as soon as it arrives; the caller streams or buffers the body.
// A string body goes out in the same write as the head: the control service reads exactly once.
export function controlRequest(url, { method = 'GET', body, timeoutMs = 15000, signal } = {}) {
  return new Promise((resolve, reject) => {
    if (!url) {
      reject(new ControlError(503, 'The control service is not configured.'));
      return;
    }
    let target;
    try {
      target = new URL(url);
    } catch {
      reject(new ControlError(503, 'The control service address is invalid.'));
      return;
    }
    const headers = { Connection: 'close' };
    if (body !== undefined) {
      headers['Content-Type'] = 'application/json';
      headers['Content-Length'] = Buffer.byteLength(body);
    }
    const req = http.request(target, { method, headers, agent: false, signal });
    req.setTimeout(timeoutMs, () => {
      req.destroy(new ControlError(504, `The control service did not answer within ${timeoutMs / 1000} s.`));
    });
    req.on('response', (res) => {
      req.setTimeout(0);
      resolve(res);
    });
    req.on('error', (err) => {
      if (err instanceof ControlError) reject(err);
      else if (err.name === 'AbortError') reject(new ControlError(499, 'Request cancelled.'));
      else reject(new ControlError(502, `The control service is unreachable: ${describe(err)}`));
    });
    req.end(body);
  });
}

export function readAll(stream, limit) {
  return readLimited(stream, limit, {
    tooLarge: () => new ControlError(502, 'The control service answered with too much data.'),
    brokenOff: (err) => new ControlError(502, `The control service answer broke off: ${err.message}`),
    onExcess: (answer) => answer.destroy(),
  });
}

// Sends one input request (JSON text) and returns the control service's answer whole.
export async function postInput(url, json, options = {}) {
  const res = await controlRequest(url, { ...options, method: 'POST', body: json });
  const body = await readAll(res, 1 << 20);
  return { status: res.statusCode, contentType: res.headers['content-type'] || 'text/plain; charset=utf-8', body };
}
