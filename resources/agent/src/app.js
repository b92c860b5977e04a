// The agent server: the web client's files, and the token-guarded API over the control service.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { FailureLimiter, bearerToken, clientAddress, tokensEqual } from './auth.js';
import { copyText, findClipboardTool, readText } from './clipboard.js';
import { ControlError, controlRequest, postInput } from './control.js';
import { inputTimeoutMs, kInputActions, kMaxTypeChars } from './input-rules.js';
import { createLiveService } from './live.js';
import { readLimited } from './read-limited.js';

const kRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const kVersion = JSON.parse(fs.readFileSync(path.join(kRoot, 'package.json'), 'utf8')).version;
const kMaxJsonBody = 16 * 1024; // the control service reads one 64 KiB packet; inputs are tiny
const kMaxTypeBody = 64 * 1024;

// The web client's ES modules, each served as /<name>.js; app.js is the entry.
const kClientModules = ['app', 'api', 'status', 'picture', 'live', 'input', 'gestures', 'loupe', 'touch', 'keyboard', 'clipboard', 'terminal'];
const kStatic = {
  '/': ['public/index.html', 'text/html; charset=utf-8'],
  '/index.html': ['public/index.html', 'text/html; charset=utf-8'],
  ...Object.fromEntries(kClientModules.map((name) => [`/${name}.js`, [`public/${name}.js`, 'text/javascript; charset=utf-8']])),
  '/style.css': ['public/style.css', 'text/css; charset=utf-8'],
  '/vendor/xterm.js': ['node_modules/@xterm/xterm/lib/xterm.js', 'text/javascript; charset=utf-8'],
  '/vendor/xterm.css': ['node_modules/@xterm/xterm/css/xterm.css', 'text/css; charset=utf-8'],
  '/vendor/addon-fit.js': ['node_modules/@xterm/addon-fit/lib/addon-fit.js', 'text/javascript; charset=utf-8'],
};

const kPageHeaders = {
  'Content-Security-Policy':
    "default-src 'self'; img-src 'self' blob: data:; style-src 'self' 'unsafe-inline'; connect-src 'self'; frame-ancestors 'none'",
  'Referrer-Policy': 'no-referrer', // the first load carries the token in its address
  'X-Content-Type-Options': 'nosniff',
  'Cache-Control': 'no-store', // the page's first address carries the token
};

class HttpError extends Error {
  constructor(status, message, headers = {}) {
    super(message);
    this.status = status;
    this.headers = headers;
  }
}

function sendJson(res, status, value, headers = {}) {
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

// An answer to a client we are done with: the socket is destroyed once the answer is out, so
// a client that never closes its side cannot keep it half-open.
function answerAndDestroy(socket, text) {
  if (!socket.writable) {
    socket.destroy();
    return;
  }
  socket.end(text, () => socket.destroy());
  const timer = setTimeout(() => socket.destroy(), 5000); // a peer that reads nothing
  socket.once('close', () => clearTimeout(timer));
}

// Printable and short: the path comes from anyone on the internet and goes into the app's log.
function loggable(text) {
  const clean = String(text).replace(/[^\x21-\x7e]/g, '?');
  return clean.length > 200 ? `${clean.slice(0, 200)}...` : clean;
}

function splitTarget(target) {
  const at = target.indexOf('?');
  const pathname = at < 0 ? target : target.slice(0, at);
  if (!pathname.startsWith('/')) throw new HttpError(400, 'Bad request target.');
  return { pathname, query: new URLSearchParams(at < 0 ? '' : target.slice(at + 1)) };
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

async function readJsonObject(req, limit) {
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
function intParam(query, name, min, max) {
  const text = query.get(name);
  if (text === null) return null;
  if (!/^\d{1,6}$/.test(text)) throw new HttpError(400, `Query value "${name}" must be a whole number.`);
  const value = Number(text);
  if (value < min || value > max) throw new HttpError(400, `Query value "${name}" must be between ${min} and ${max}.`);
  return value;
}

function screenshotParams(query) {
  const params = {};
  const format = query.get('format');
  if (format !== null) {
    if (!['png', 'jpeg', 'jpg'].includes(format)) throw new HttpError(400, 'Query value "format" must be png or jpeg.');
    params.format = format === 'png' ? 'png' : 'jpeg';
  }
  const width = intParam(query, 'width', 320, 2560);
  if (width !== null) params.width = width;
  const quality = intParam(query, 'quality', 25, 90);
  if (quality !== null) params.quality = quality;
  return params;
}

export async function createAgentServer(config, { limits, timeouts, log = (line) => process.stdout.write(`${line}
`), env = process.env, mcp: mcpOptions, live: liveOptions, terminal: terminalOptions } = {}) {
  const limiter = new FailureLimiter(limits);
  // The MCP SDK loads on the first /mcp request, for the same reason as node-pty.
  let mcp = null;
  const openMcp = () => (mcp ??= import('./mcp.js').then((m) => m.createMcpService(config, { env, version: kVersion, options: mcpOptions })));
  // node-pty loads on the first terminal, not at start: the app gives us 1.2 s to come up.
  let terminal = null;
  const openTerminal = () => (terminal ??= import('./terminal.js').then((m) => m.createTerminalService({ env, log, options: terminalOptions })));
  const files = new Map();
  for (const [route, [file, type]] of Object.entries(kStatic)) {
    try {
      files.set(route, { body: fs.readFileSync(path.join(kRoot, file)), type });
    } catch {
      // a missing vendor file only disables the terminal tab
    }
  }
  let lastDisplay = null;
  let typing = Promise.resolve(); // clipboard + paste pairs must not interleave

  async function authorize(req, query, allowQueryToken) {
    const key = clientAddress(req);
    const braked = await limiter.admit(key);
    const given = bearerToken(req) || (allowQueryToken ? query.get('token') || '' : '');
    if (tokensEqual(given, config.token)) {
      limiter.succeed(key);
      return;
    }
    const delay = limiter.fail(key);
    if (braked) throw new HttpError(429, 'Too many failed attempts; try again later.', { 'Retry-After': String(limiter.retryAfter(key)) });
    if (delay > 0) await new Promise((r) => setTimeout(r, delay));
    throw new HttpError(401, given ? 'Invalid token.' : 'Missing token.', { 'WWW-Authenticate': 'Bearer' });
  }

  function requireMethod(req, ...allowed) {
    if (!allowed.includes(req.method)) throw new HttpError(405, `Method ${loggable(req.method)} is not allowed here.`, { Allow: allowed.join(', ') });
  }

  async function forwardInput(json) {
    let timeoutMs = 15000;
    try {
      timeoutMs = inputTimeoutMs(JSON.parse(json));
    } catch {
      // the control service names what is wrong with it
    }
    const answer = await postInput(config.inputUrl, json, { timeoutMs });
    if (answer.status === 200 && /json/.test(answer.contentType)) {
      try {
        const display = JSON.parse(answer.body.toString('utf8')).display;
        if (display && typeof display === 'object') lastDisplay = display;
      } catch {
        // passed through as it came
      }
    }
    return answer;
  }

  // Puts the text on the clipboard and, when asked, pastes it: the control service's answer to the
  // paste, else nothing. One at a time, so that a paste inserts its own text.
  async function copyToClipboard(text, paste) {
    if (paste && !config.inputUrl) throw new ControlError(503, 'The control service is not configured.');
    const tool = findClipboardTool({ helperBinDir: config.helperBinDir, env });
    if (!tool.file) throw new HttpError(503, tool.error);
    const run = typing.then(async () => {
      try {
        await copyText(tool, text);
      } catch (err) {
        throw new HttpError(502, `Clipboard: ${err.message}`);
      }
      return paste ? forwardInput(JSON.stringify({ action: 'paste' })) : null;
    });
    typing = run.catch(() => {});
    return run;
  }

  const live = createLiveService({ screenshotUrl: config.screenshotUrl, forwardInput, inputActions: kInputActions, log, options: liveOptions });

  const routes = {
    async '/api/info'(req, res) {
      requireMethod(req, 'GET', 'HEAD');
      const clipboard = findClipboardTool({ helperBinDir: config.helperBinDir, env });
      sendJson(res, 200, {
        name: 'Zel Desktop Agent',
        version: kVersion,
        display: lastDisplay,
        features: {
          screenshot: Boolean(config.screenshotUrl),
          input: Boolean(config.inputUrl),
          type: Boolean(config.inputUrl && clipboard.file),
          clipboard: Boolean(clipboard.file && findClipboardTool({ helperBinDir: config.helperBinDir, env, read: true }).file),
          terminal: Boolean(config.enableTerminal && files.has('/vendor/xterm.js')),
        },
      });
    },

    async '/api/screenshot'(req, res, query) {
      requireMethod(req, 'GET');
      const params = screenshotParams(query);
      let url = config.screenshotUrl;
      if (url) {
        try {
          const target = new URL(url);
          for (const [k, v] of Object.entries(params)) target.searchParams.set(k, String(v));
          url = target.href;
        } catch {
          // controlRequest reports the bad address
        }
      }
      const abort = new AbortController();
      res.on('close', () => abort.abort());
      const upstream = await controlRequest(url, { signal: abort.signal });
      const headers = { 'Content-Type': upstream.headers['content-type'] || 'application/octet-stream', 'Cache-Control': 'no-store' };
      if (upstream.headers['content-length']) headers['Content-Length'] = upstream.headers['content-length'];
      res.writeHead(upstream.statusCode, headers);
      upstream.on('error', () => res.destroy());
      upstream.pipe(res);
    },

    async '/api/input'(req, res) {
      requireMethod(req, 'POST');
      const request = await readJsonObject(req, kMaxJsonBody);
      if (typeof request.action !== 'string' || !kInputActions.has(request.action.trim())) {
        throw new HttpError(400, 'Unknown or missing "action".');
      }
      const answer = await forwardInput(JSON.stringify(request));
      res.writeHead(answer.status, { 'Content-Type': answer.contentType, 'Content-Length': answer.body.length, 'Cache-Control': 'no-store' });
      res.end(answer.body);
    },

    async '/api/type'(req, res) {
      requireMethod(req, 'POST');
      const { text } = await readJsonObject(req, kMaxTypeBody);
      if (typeof text !== 'string' || text.length === 0) throw new HttpError(400, '"text" must be a non-empty string.');
      if (text.length > kMaxTypeChars) throw new HttpError(400, `"text" is longer than ${kMaxTypeChars} characters.`);
      const answer = await copyToClipboard(text, true);
      res.writeHead(answer.status, { 'Content-Type': answer.contentType, 'Content-Length': answer.body.length, 'Cache-Control': 'no-store' });
      res.end(answer.body);
    },

    async '/api/clipboard'(req, res) {
      requireMethod(req, 'GET', 'POST');
      if (req.method === 'GET') {
        const tool = findClipboardTool({ helperBinDir: config.helperBinDir, env, read: true });
        if (!tool.file) throw new HttpError(503, tool.error);
        const text = await readText(tool).catch((err) => {
          throw new HttpError(502, `Clipboard: ${err.message}`);
        });
        sendJson(res, 200, { text });
        return;
      }
      const { text, paste = false } = await readJsonObject(req, kMaxTypeBody);
      if (typeof text !== 'string' || text.length === 0) throw new HttpError(400, '"text" must be a non-empty string.');
      if (typeof paste !== 'boolean') throw new HttpError(400, '"paste" must be true or false.');
      const answer = await copyToClipboard(text, paste);
      if (!answer) {
        sendJson(res, 200, { ok: true, pasted: false });
        return;
      }
      res.writeHead(answer.status, { 'Content-Type': answer.contentType, 'Content-Length': answer.body.length, 'Cache-Control': 'no-store' });
      res.end(answer.body);
    },
  };

  async function handle(req, res) {
    const { pathname, query } = splitTarget(req.url);
    const file = files.get(pathname);
    if (file) {
      requireMethod(req, 'GET', 'HEAD');
      res.writeHead(200, { 'Content-Type': file.type, 'Content-Length': file.body.length, ...kPageHeaders });
      res.end(req.method === 'HEAD' ? undefined : file.body);
      return;
    }
    if (pathname === '/mcp') {
      await authorize(req, query, false);
      await (await openMcp()).handle(req, res);
      return;
    }
    if (!pathname.startsWith('/api/')) throw new HttpError(404, 'Not found.');
    await authorize(req, query, false);
    const route = Object.hasOwn(routes, pathname) ? routes[pathname] : null;
    if (!route) throw new HttpError(404, 'No such API route.');
    await route(req, res, query);
  }

  // Timeouts are checked every connectionsCheckingInterval: 1 s keeps the header limit near 20 s.
  const server = http.createServer({ requestTimeout: 60000, headersTimeout: 20000, connectionsCheckingInterval: 1000, ...timeouts }, (req, res) => {
    const started = process.hrtime.bigint();
    res.on('close', () => {
      const ms = Number(process.hrtime.bigint() - started) / 1e6;
      const path = loggable(req.url.split('?')[0]);
      log(`${loggable(req.method)} ${path} ${res.statusCode} ${ms.toFixed(1)}ms${res.writableFinished ? '' : ' aborted'}`);
    });
    handle(req, res).catch((err) => {
      const status = err instanceof HttpError || err instanceof ControlError ? err.status : 500;
      if (status === 500) log(`Internal error: ${loggable(err.stack || err)}`);
      if (status === 499 || res.destroyed) return;
      // An unread body would keep the connection busy: answer, then close it.
      const close = req.complete ? {} : { Connection: 'close' };
      sendJson(res, status, { error: status === 500 ? 'Internal error.' : err.message }, { ...(err.headers || {}), ...close });
      if (!req.complete) res.on('finish', () => req.destroy());
    });
  });

  server.on('upgrade', (req, socket, head) => {
    const started = process.hrtime.bigint();
    socket.on('error', () => {});
    const finish = (status) => {
      const ms = Number(process.hrtime.bigint() - started) / 1e6;
      log(`${loggable(req.method)} ${loggable(req.url.split('?')[0])} ${status} ${ms.toFixed(1)}ms`);
    };
    const refuse = (status, message, headers = {}) => {
      const body = JSON.stringify({ error: message });
      const lines = [`HTTP/1.1 ${status} ${http.STATUS_CODES[status]}`, 'Content-Type: application/json; charset=utf-8',
        `Content-Length: ${Buffer.byteLength(body)}`, 'Connection: close', ...Object.entries(headers).map(([k, v]) => `${k}: ${v}`)];
      answerAndDestroy(socket, `${lines.join('\r\n')}\r\n\r\n${body}`);
      finish(status);
    };
    (async () => {
      const { pathname, query } = splitTarget(req.url);
      if (pathname !== '/api/terminal' && pathname !== '/api/live') throw new HttpError(404, 'Not found.');
      await authorize(req, query, true);
      if (pathname === '/api/live') {
        const width = intParam(query, 'width', 320, 2560) ?? 960;
        if (!config.screenshotUrl) throw new ControlError(503, 'The control service is not configured.');
        if (live.busy) throw new HttpError(429, 'Too many live views are open.');
        live.handleUpgrade(req, socket, head, width);
        finish(101);
        return;
      }
      if (!config.enableTerminal) throw new HttpError(404, 'The terminal is turned off.');
      const service = await openTerminal().catch((err) => {
        throw new HttpError(503, `The terminal is unavailable: ${err.message}`);
      });
      const session = query.get('session');
      if (service.busy(session)) throw new HttpError(429, 'Too many terminal sessions are open.');
      service.handleUpgrade(req, socket, head, session);
      finish(101);
    })().catch((err) => refuse(err.status || 500, err.status ? err.message : 'Internal error.', err.headers));
  });

  server.on('clientError', (err, socket) => {
    const status = { HPE_HEADER_OVERFLOW: 431, ERR_HTTP_REQUEST_TIMEOUT: 408 }[err.code] ?? 400;
    answerAndDestroy(socket, `HTTP/1.1 ${status} ${http.STATUS_CODES[status]}\r\nConnection: close\r\nContent-Length: 0\r\n\r\n`);
  });

  return {
    server,
    listen(port = config.port, host = config.host) {
      return new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(port, host, () => {
          server.off('error', reject);
          resolve(server.address());
        });
      });
    },
    async close() {
      live.close();
      if (terminal) await (await terminal).close();
      if (mcp) await (await mcp).close();
      return new Promise((resolve) => {
        server.close(() => resolve());
        server.closeAllConnections();
      });
    },
  };
}
