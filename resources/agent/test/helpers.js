// Shared fixtures: a fake control service that reads like the real one, and agents on port 0.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, before } from 'node:test';
import WebSocket, { Receiver, Sender } from 'ws';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StreamableHTTPClientTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';
import { createAgentServer } from '../src/app.js';
import { loadToken } from '../src/config.js';

export const kSecret = '5d0c3f4e-8a57-4c1b-9d3e-2b7f6a1c0e99';
export const kAgentDir = path.resolve(import.meta.dirname, '..');
export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
export const tempDir = () => fs.mkdtempSync(path.join(os.tmpdir(), 'zel-agent-test-'));
export const answer = (status, type, body) => ({ status, type, body });

// Debian's Chromium, headless, and a phone-sized touch screen in it.
export const launchChromium = async () => (await import('playwright-core')).chromium.launch({ executablePath: '/usr/bin/chromium', headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update'] });
export const phoneContext = (browser, options = {}) => browser.newContext({ viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, ...options });
// Polls ok (maybe async) every 20 ms until it holds, at most `ms`; fails with `what` (or what()) otherwise.
export async function until(what, ok, ms = 10000) {
  for (let waited = 0; !(await ok()) && waited < ms; waited += 20) await sleep(20);
  assert.ok(await ok(), typeof what === 'function' ? what() : what);
}
export const blankImage = (width, height) => answer('200 OK', 'image/svg+xml', `<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${height}"/>`);

// One read per connection, secret in the query, a complete answer and a close: the app's
// control service contract, so a client that splits its request fails here too.
// screenshot, input and tiles may answer a request themselves; undefined gives the usual answer.
// Without tiles, /tiles is answered as a screenshot, as an app without that route does; so are
// /pointer and /pointer/shape without pointer.
export async function startFakeControl({ screenshot, input, tiles, pointer } = {}) {
  const requests = [];
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    socket.once('data', async (data) => {
      // Decoded as the control service decodes it: "+" stays "+", only %XX escapes decode.
      const url = new URL((data.toString('utf8').split(' ')[1] || '/').replace(/\+/g, '%2B'), 'http://127.0.0.1');
      const at = data.indexOf('\r\n\r\n');
      const request = { path: url.pathname, query: Object.fromEntries(url.searchParams), body: at < 0 ? '' : data.subarray(at + 4).toString() };
      requests.push(request);
      const isInput = url.pathname === '/input';
      const { status, type, body } = url.searchParams.get('secret') !== kSecret ? answer('403 Forbidden', 'text/plain', 'Forbidden')
        : (await (isInput ? input : url.pathname === '/tiles' && tiles ? tiles : url.pathname.startsWith('/pointer') && pointer ? pointer : screenshot)?.(request)) ?? (isInput ? answer('200 OK', 'application/json; charset=utf-8',
          JSON.stringify({ ok: true, action: JSON.parse(request.body).action, display: { x: 0, y: 0, width: 1920, height: 1080 } })) : blankImage(16, 9));
      const bytes = Buffer.from(body);
      socket.end(Buffer.concat([Buffer.from(`HTTP/1.1 ${status}\r\nContent-Type: ${type}\r\nContent-Length: ${bytes.length}\r\nConnection: close\r\n\r\n`), bytes]));
    });
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const base = `http://127.0.0.1:${server.address().port}`;
  return { requests, screenshotUrl: `${base}/screenshot?secret=${kSecret}`, inputUrl: `${base}/input?secret=${kSecret}`,
    close: () => new Promise((r) => server.close(r)) };
}

// An agent with a token in a temporary config directory; fetch sends the bearer.
export async function startAgent(config = {}, options = {}, control = null) {
  const token = loadToken(path.join(tempDir(), 'zel-desktop-agent'));
  const server = await createAgentServer({ token, host: '127.0.0.1', port: 0, screenshotUrl: control?.screenshotUrl ?? '',
    inputUrl: control?.inputUrl ?? '', enableTerminal: false, helperBinDir: '', stateDir: tempDir(), ...config }, { log: () => {}, ...options });
  const { port } = await server.listen(0, '127.0.0.1');
  const base = `http://127.0.0.1:${port}`;
  return { server, agent: { token, base, port, fetch: (route, init = {}) => fetch(base + route, { ...init, headers: { Authorization: `Bearer ${token}`, ...init.headers } }) } };
}

// For the enclosing describe: a fake control service when given its answers, and an agent on it.
export function withAgent(config = {}, options = {}, control = null) {
  const t = {};
  before(async () => {
    t.control = control && (await startFakeControl(control));
    Object.assign(t, await startAgent(config, options, t.control));
  });
  after(async () => (await t.server?.close(), await t.control?.close()));
  return t;
}

// Resolves with the open socket, or rejects with the status of the refused upgrade.
export const openWs = (url) => new Promise((resolve, reject) => {
  const ws = new WebSocket(url);
  ws.once('open', () => resolve(ws)).once('error', reject)
    .once('unexpected-response', (_req, res) => reject(Object.assign(new Error(`HTTP ${res.statusCode}`), { status: res.statusCode })));
});

export async function expectError(res, status, message, name = '') {
  assert.equal(res.status, status, name);
  assert.match((await res.json()).error, message, name);
}

// src/server.js as the app starts it: that working directory, only the app's variables, and with
// `channel` the app's end of the channel on fd 3 (run.app).
export function launch(env, { channel = false } = {}) {
  const child = spawn(process.execPath, ['src/server.js'], { cwd: kAgentDir, stdio: ['ignore', 'pipe', 'pipe', ...(channel ? ['pipe'] : [])],
    env: { PATH: '/usr/bin:/bin', XDG_CONFIG_HOME: tempDir(), XDG_STATE_HOME: tempDir(), ...(channel ? { ZEL_AGENT_CHANNEL_FD: '3' } : {}), ...env } });
  const run = { child, output: '', exited: once(child, 'close'), app: channel && appSide(child.stdio[3]) };
  child.stdout.on('data', (d) => (run.output += d));
  child.stderr.on('data', (d) => (run.output += d));
  run.listening = Promise.race([once(child.stdout, 'data'), run.exited.then(() => assert.fail(`exited early: ${run.output}`))])
    .then(() => Number(/listening on http:\/\/127\.0\.0\.1:(\d+)/.exec(run.output)[1]));
  run.listening.catch(() => {}); // a run meant to fail need not wait for it
  return run;
}

// A WebSocket client on a bare socket, so it can go on sending after the server has closed:
// the frames a real phone has in flight while the close is on its way.
export async function rawWs(port, target) {
  const request = http.request({ host: '127.0.0.1', port, path: target, headers: { Upgrade: 'websocket', Connection: 'Upgrade',
    'Sec-WebSocket-Version': '13', 'Sec-WebSocket-Key': crypto.randomBytes(16).toString('base64') } });
  const [, socket, head] = await Promise.race([once(request.end(), 'upgrade'), once(request, 'response').then(([res]) => assert.fail(`HTTP ${res.statusCode}`))]);
  const receiver = new Receiver();
  const ws = { socket, text: '' };
  receiver.on('message', (data) => (ws.text += data)).on('error', () => {});
  ws.closed = new Promise((resolve) => (receiver.on('conclude', resolve), socket.on('close', () => resolve(null))));
  socket.on('error', () => {}).on('data', (data) => receiver.write(data));
  receiver.write(head);
  ws.send = (value) => socket.write(Buffer.concat(Sender.frame(Buffer.from(typeof value === 'string' ? value : JSON.stringify(value)),
    { fin: true, rsv1: false, opcode: 1, mask: true, readOnly: false })));
  ws.until = (pattern, ms) => until(() => `${pattern} in ${ws.text.slice(-300)}`, () => pattern.test(ws.text), ms);
  return ws;
}

// The app's end of a channel: what came, one object a line, and what to send.
export function appSide(socket) {
  const side = { socket, got: [], text: '' };
  socket.on('data', (chunk) => {
    side.text += chunk;
    const lines = side.text.split('\n');
    side.text = lines.pop();
    side.got.push(...lines.map((l) => JSON.parse(l)));
  });
  side.send = (value) => socket.write(typeof value === 'string' ? value : `${JSON.stringify(value)}\n`);
  side.next = async (type, test = () => true) => {
    let found;
    await until(`a "${type}" message in ${JSON.stringify(side.got.slice(-5))}`, () => (found = side.got.find((m) => m.type === type && test(m))));
    side.got.splice(side.got.indexOf(found), 1);
    return found;
  };
  side.devices = () => side.got.findLast((m) => m.type === 'devices')?.devices;
  return side;
}

export async function socketPair() {
  const file = path.join(tempDir(), 'channel.sock');
  const server = net.createServer();
  await new Promise((resolve) => server.listen(file, resolve));
  const client = net.connect(file);
  const [[accepted]] = await Promise.all([once(server, 'connection'), once(client, 'connect')]);
  server.close();
  return [accepted, client];
}

export const kPhone = 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0 Mobile Safari/537.36';
export const newCode = () => crypto.randomBytes(32).toString('base64url');

// For the enclosing describe: an agent on a fake control service (its answers: control) with the
// app's end of its channel (t.app); call() sends a bearer as the phone, issue() a new code.
export function withOwner(config = {}, pairing = {}, options = {}, control = {}) {
  const t = {};
  before(async () => {
    t.control = await startFakeControl(control);
    const [ours, theirs] = await socketPair();
    Object.assign(t, await startAgent({ enableTerminal: true, ...config }, { channel: ours, pairing, limits: { freeFailures: 1000 }, ...options }, t.control));
    t.app = appSide(theirs);
    t.call = (bearer, route = '/api/info', init = {}) => fetch(t.agent.base + route,
      { ...init, headers: { Authorization: `Bearer ${bearer}`, 'User-Agent': kPhone, ...init.headers } });
    t.pair = async (code, body) => (await t.call(code, '/api/pair', { method: 'POST', ...(body ? { body: JSON.stringify(body) } : {}) })).json();
    t.issue = async () => {
      const code = newCode();
      t.app.send({ type: 'code', code });
      const hash = crypto.createHash('sha256').update(code).digest('base64url');
      await until('the code taken', () => t.server.devices.codes.has(hash));
      return code;
    };
  });
  after(async () => (t.app?.socket.destroy(), await t.server?.close(), await t.control?.close()));
  return t;
}

// An MCP client through the SDK's own transport, with the agent's token unless told otherwise;
// `client` names it and takes its handlers before it connects.
export async function mcpClient(agent, { headers = { Authorization: `Bearer ${agent.token}` }, client = new Client({ name: 'zel-test', version: '1.0.0' }) } = {}) {
  await client.connect(new StreamableHTTPClientTransport(new URL(`${agent.base}/mcp`), { requestInit: { headers } }));
  return client;
}
export const toolText = (result) => result.content.filter((c) => c.type === 'text').map((c) => c.text).join('\n');
