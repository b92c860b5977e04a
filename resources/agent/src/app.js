// The agent server's HTTP plumbing: the web client's files, the device check in front of the API
// (api-routes.js) and MCP (mcp.js, loaded on first use), the live view's and the terminal's
// WebSockets, each counted as its device's (devices.js), the request log, and the answers to
// failed requests.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { createApiRoutes } from './api-routes.js';
import { createAuthorizer } from './auth.js';
import { attachChannel } from './channel.js';
import { ControlError } from './control.js';
import { createDesktop } from './desktop.js';
import { DeviceStore } from './device-store.js';
import { DeviceRegistry } from './devices.js';
import { HttpError, answerAndDestroy, intParam, loggable, requireMethod, sendJson, splitTarget } from './http-util.js';
import { kInputActions } from './input-rules.js';
import { createLiveService } from './live.js';
import { requireOrigin } from './origin.js';
import { createConnectionGuard } from './strangers.js';

const kRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const kVersion = JSON.parse(fs.readFileSync(path.join(kRoot, 'package.json'), 'utf8')).version;

// The web client's ES modules, each served as /<name>.js; app.js is the entry.
const kClientModules = ['app', 'api', 'status', 'picture', 'live', 'input', 'gestures', 'loupe', 'touch', 'page', 'keyboard', 'clipboard', 'terminal',
  'pending-input', 'modifiers', 'hardware-keys', 'pointer', 'video'];
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

// The files of kStatic that are there.
function loadStaticFiles() {
  const files = new Map();
  for (const [route, [file, type]] of Object.entries(kStatic)) {
    try {
      files.set(route, { body: fs.readFileSync(path.join(kRoot, file)), type });
    } catch {
      // a missing vendor file only disables the terminal tab
    }
  }
  return files;
}

// A service made on first use (the import of its module with it), and only then closed.
function onFirstUse(make) {
  let made = null;
  return {
    open: () => (made ??= make()),
    opened: () => made,
    async close() {
      if (made) await (await made).close();
    },
  };
}

const elapsedMs = (started) => (Number(process.hrtime.bigint() - started) / 1e6).toFixed(1);

// A failed request's answer: its status and words, or a bare 500 (the details go to the log).
function answerError(req, res, err, log) {
  const status = err instanceof HttpError || err instanceof ControlError ? err.status : 500;
  if (status === 500) log(`Internal error: ${loggable(err.stack || err)}`);
  if (status === 499 || res.destroyed) return;
  // An unread body would keep the connection busy: answer, then close it.
  const close = req.complete ? {} : { Connection: 'close' };
  sendJson(res, status, { error: status === 500 ? 'Internal error.' : err.message }, { ...(err.headers || {}), ...close });
  if (!req.complete) res.on('finish', () => req.destroy());
}

async function handle({ files, routes, authorize, mcp }, req, res) {
  const { pathname, query } = splitTarget(req.url);
  const file = files.get(pathname);
  if (file) {
    requireMethod(req, 'GET', 'HEAD');
    res.writeHead(200, { 'Content-Type': file.type, 'Content-Length': file.body.length, ...kPageHeaders });
    res.end(req.method === 'HEAD' ? undefined : file.body);
    return;
  }
  if (pathname === '/mcp') {
    requireOrigin(req);
    const who = await authorize(req, query, false);
    await (await mcp.open()).handle(req, res, who.device);
    return;
  }
  if (!pathname.startsWith('/api/')) throw new HttpError(404, 'Not found.');
  if (pathname === '/api/live' || pathname === '/api/terminal') requireOrigin(req);
  const who = await authorize(req, query, false);
  const route = Object.hasOwn(routes, pathname) ? routes[pathname] : null;
  if (!route) throw new HttpError(404, 'No such API route.');
  await route(req, res, query, who);
}

// The live view's and the terminal's WebSockets; a browser cannot set their header, so the token
// may come in the query.
async function openSocket({ config, authorize, devices, live, terminal }, req, socket, head) {
  const { pathname, query } = splitTarget(req.url);
  if (pathname !== '/api/terminal' && pathname !== '/api/live') throw new HttpError(404, 'Not found.');
  requireOrigin(req);
  const { device } = await authorize(req, query, true);
  if (pathname === '/api/live') {
    const width = intParam(query, 'width', 320, 2560) ?? 960;
    if (!config.screenshotUrl) throw new ControlError(503, 'The control service is not configured.');
    if (live.busy) throw new HttpError(429, 'Too many live views are open.');
    socket.once('close', devices.track(device, 'live', () => socket.destroy()));
    live.handleUpgrade(req, socket, head, width);
    return;
  }
  if (!terminalAllowed(config, devices)) throw new HttpError(404, 'The terminal is turned off.');
  const service = await terminal.open().catch((err) => {
    throw new HttpError(503, `The terminal is unavailable: ${err.message}`);
  });
  const session = query.get('session');
  if (service.busy(session, device.id)) throw new HttpError(429, 'Too many terminal sessions are open.');
  socket.once('close', devices.track(device, 'terminal', () => service.endOwned(device.id)));
  service.handleUpgrade(req, socket, head, session, device.id);
}

// ZEL_AGENT_ENABLE_TERMINAL=1 allows it, and then the owner's switch.
const terminalAllowed = (config, devices) => config.enableTerminal && devices.settings.terminal;

// An upgrade refused is answered on the bare socket, which then closes.
function upgrade(agent, req, socket, head) {
  const started = process.hrtime.bigint();
  socket.on('error', () => {});
  const finish = (status) => agent.log(`${loggable(req.method)} ${loggable(req.url.split('?')[0])} ${status} ${elapsedMs(started)}ms`);
  openSocket(agent, req, socket, head).then(() => finish(101), (err) => {
    const status = err.status || 500;
    const body = JSON.stringify({ error: err.status ? err.message : 'Internal error.' });
    const lines = [`HTTP/1.1 ${status} ${http.STATUS_CODES[status]}`, 'Content-Type: application/json; charset=utf-8',
      `Content-Length: ${Buffer.byteLength(body)}`, 'Connection: close', ...Object.entries(err.headers ?? {}).map(([k, v]) => `${k}: ${v}`)];
    answerAndDestroy(socket, `${lines.join('\r\n')}\r\n\r\n${body}`);
    finish(status);
  });
}

export async function createAgentServer(config, { limits, timeouts, log = (line) => process.stdout.write(`${line}\n`), env = process.env,
  mcp: mcpOptions, live: liveOptions, terminal: terminalOptions, pairing, channel = null, connections: connectionOptions } = {}) {
  const files = loadStaticFiles();
  const desktop = createDesktop(config, env);
  // Without a state folder (some tests) the devices live as long as the server.
  const store = config.stateDir ? new DeviceStore(config.stateDir, { log }) : null;
  const devices = new DeviceRegistry(config.token, pairing, Date.now, store);
  const connections = createConnectionGuard(connectionOptions);
  const authorize = createAuthorizer((given, req) => devices.authenticate(given, req), limits);
  const agent = {
    config,
    files,
    log,
    devices,
    // A connection that has shown a code or key is no stranger any more (strangers.js).
    authorize: async (req, query, allowQueryToken) => {
      const who = await authorize(req, query, allowQueryToken);
      connections.markProven(req.socket);
      return who;
    },
    routes: createApiRoutes({ config, desktop, devices, version: kVersion, terminalClient: files.has('/vendor/xterm.js') }),
    live: createLiveService({ screenshotUrl: config.screenshotUrl, forwardInput: desktop.forwardInput, inputActions: kInputActions, log, options: { video: config.liveVideo, ...liveOptions } }),
    // The MCP SDK loads on the first /mcp request, for the same reason as node-pty.
    mcp: onFirstUse(() => import('./mcp.js').then((m) => m.createMcpService(config, { env, devices, version: kVersion, options: mcpOptions }))),
    // node-pty loads on the first terminal, not at start: the app gives us 1.2 s to come up.
    terminal: onFirstUse(() => import('./terminal.js').then((m) => m.createTerminalService({ env, log, options: terminalOptions }))),
  };

  // Timeouts are checked every connectionsCheckingInterval: 1 s keeps the header limit near 20 s.
  const server = http.createServer({ requestTimeout: 60000, headersTimeout: 20000, connectionsCheckingInterval: 1000, ...timeouts }, (req, res) => {
    const started = process.hrtime.bigint();
    res.on('close', () => {
      const target = loggable(req.url.split('?')[0]);
      log(`${loggable(req.method)} ${target} ${res.statusCode} ${elapsedMs(started)}ms${res.writableFinished ? '' : ' aborted'}`);
    });
    handle(agent, req, res).catch((err) => answerError(req, res, err, log));
  });
  // The owner turned the terminal off: open shells end with it.
  devices.on('settings', ({ terminal }) => terminal || agent.terminal.opened()?.then((service) => service.endOwned(null), () => {}));
  const owner = channel && attachChannel(channel, devices, { log });
  connections.watch(server);

  server.on('upgrade', (req, socket, head) => upgrade(agent, req, socket, head));
  server.on('clientError', (err, socket) => {
    const status = { HPE_HEADER_OVERFLOW: 431, ERR_HTTP_REQUEST_TIMEOUT: 408 }[err.code] ?? 400;
    answerAndDestroy(socket, `HTTP/1.1 ${status} ${http.STATUS_CODES[status]}\r\nConnection: close\r\nContent-Length: 0\r\n\r\n`);
  });

  return {
    server,
    devices,
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
      owner?.close();
      devices.flush();
      agent.live.close();
      await agent.terminal.close();
      await agent.mcp.close();
      return new Promise((resolve) => {
        server.close(() => resolve());
        server.closeAllConnections();
      });
    },
  };
}
