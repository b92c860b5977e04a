// Shared fixtures: a fake control service that reads like the real one, and agents on port 0.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, before } from 'node:test';
import WebSocket from 'ws';
import { createAgentServer } from '../src/app.js';
import { loadToken } from '../src/config.js';

export const kSecret = '5d0c3f4e-8a57-4c1b-9d3e-2b7f6a1c0e99';
export const kAgentDir = path.resolve(import.meta.dirname, '..');
export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
export const tempDir = (prefix = 'zel-agent-test-') => fs.mkdtempSync(path.join(os.tmpdir(), prefix));
export const answer = (status, type, body) => ({ status, type, body });
export const blankImage = (width, height) => answer('200 OK', 'image/svg+xml', `<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${height}"/>`);

// One read per connection, secret in the query, a complete answer and a close: the app's
// control service contract, so a client that splits its request fails here too.
// screenshot, input and tiles may answer a request themselves; undefined gives the usual answer.
// Without tiles, /tiles is answered as a screenshot, as an app without that route does.
export async function startFakeControl({ screenshot, input, tiles } = {}) {
  const requests = [];
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    socket.once('data', async (data) => {
      const url = new URL(data.toString('utf8').split(' ')[1] || '/', 'http://127.0.0.1');
      const at = data.indexOf('\r\n\r\n');
      const request = { path: url.pathname, query: Object.fromEntries(url.searchParams), body: at < 0 ? '' : data.subarray(at + 4).toString() };
      requests.push(request);
      const isInput = url.pathname === '/input';
      const { status, type, body } = url.searchParams.get('secret') !== kSecret ? answer('403 Forbidden', 'text/plain', 'Forbidden')
        : (await (isInput ? input : url.pathname === '/tiles' && tiles ? tiles : screenshot)?.(request)) ?? (isInput ? answer('200 OK', 'application/json; charset=utf-8',
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

// For the enclosing describe: a fake control service when given its answers, and an agent on it
// with a token in a temporary config directory. t.agent.fetch sends the bearer.
export function withAgent(config = {}, options = {}, control = null) {
  const t = {};
  before(async () => {
    t.control = control && (await startFakeControl(control));
    const token = loadToken(path.join(tempDir(), 'zel-desktop-agent'));
    t.server = await createAgentServer({ token, host: '127.0.0.1', port: 0, screenshotUrl: t.control?.screenshotUrl ?? '',
      inputUrl: t.control?.inputUrl ?? '', enableTerminal: false, helperBinDir: '', ...config }, { log: () => {}, ...options });
    const { port } = await t.server.listen(0, '127.0.0.1');
    const base = `http://127.0.0.1:${port}`;
    t.agent = { token, base, port, fetch: (route, init = {}) => fetch(base + route, { ...init, headers: { Authorization: `Bearer ${token}`, ...init.headers } }) };
  });
  after(async () => (await t.server?.close(), await t.control?.close()));
  return t;
}

// Resolves with the open socket, or rejects with the status of the refused upgrade.
export const openWs = (url, headers) => new Promise((resolve, reject) => {
  const ws = new WebSocket(url, { headers });
  ws.once('open', () => resolve(ws)).once('error', reject)
    .once('unexpected-response', (_req, res) => reject(Object.assign(new Error(`HTTP ${res.statusCode}`), { status: res.statusCode })));
});

export async function expectError(res, status, message, name = '') {
  assert.equal(res.status, status, name);
  assert.match((await res.json()).error, message, name);
}

// src/server.js as the app starts it: that working directory, only the app's variables.
export function launch(env) {
  const child = spawn(process.execPath, ['src/server.js'], { cwd: kAgentDir, env: { PATH: '/usr/bin:/bin', XDG_CONFIG_HOME: tempDir(), ...env } });
  const run = { child, output: '', exited: once(child, 'close') };
  child.stdout.on('data', (d) => (run.output += d));
  child.stderr.on('data', (d) => (run.output += d));
  run.listening = Promise.race([once(child.stdout, 'data'), run.exited.then(() => assert.fail(`exited early: ${run.output}`))])
    .then(() => Number(/listening on http:\/\/127\.0\.0\.1:(\d+)/.exec(run.output)[1]));
  run.listening.catch(() => {}); // a run meant to fail need not wait for it
  return run;
}

// A WebSocket client that frames by hand, so it can go on sending after the server has closed:
// the frames a real phone has in flight while the close is on its way.
export async function rawWs(port, target) {
  const socket = net.connect(port, '127.0.0.1');
  socket.on('error', () => {});
  await once(socket, 'connect');
  socket.write(`GET ${target} HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n`
    + `Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: ${crypto.randomBytes(16).toString('base64')}\r\n\r\n`);
  const ws = { socket, text: '', closeCode: null };
  let pending = Buffer.alloc(0);
  let head = true, answered;
  const headRead = new Promise((r) => (answered = r));
  ws.closed = new Promise((resolve) => {
    socket.on('close', () => (answered(), resolve(ws.closeCode)));
    socket.on('data', (data) => {
      pending = Buffer.concat([pending, data]);
      if (head) {
        const end = pending.indexOf('\r\n\r\n');
        if (end < 0) return;
        ws.status = Number(pending.toString('latin1', 9, 12));
        pending = pending.subarray(end + 4);
        head = false;
        answered();
      }
      while (pending.length >= 2) { // server frames: unmasked, short enough for a 16-bit length
        let length = pending[1] & 0x7f;
        let at = 2;
        if (length === 126) [length, at] = [pending.length >= 4 ? pending.readUInt16BE(2) : Infinity, 4];
        if (pending.length < at + length) return;
        const payload = pending.subarray(at, at + length);
        if ((pending[0] & 0x0f) === 8) resolve((ws.closeCode = payload.length >= 2 ? payload.readUInt16BE(0) : 1005));
        else ws.text += payload.toString('utf8');
        pending = pending.subarray(at + length);
      }
    });
  });
  ws.send = (value) => {
    const payload = Buffer.from(typeof value === 'string' ? value : JSON.stringify(value));
    const size = payload.length < 126 ? [payload.length] : [126, payload.length >> 8, payload.length & 0xff];
    const mask = crypto.randomBytes(4);
    socket.write(Buffer.concat([Buffer.from([0x81, 0x80 | size[0], ...size.slice(1)]), mask, payload.map((b, i) => b ^ mask[i % 4])]));
  };
  ws.until = async (pattern, ms = 10000) => {
    for (let waited = 0; !pattern.test(ws.text) && waited < ms; waited += 20) await new Promise((r) => setTimeout(r, 20));
    assert.match(ws.text, pattern);
  };
  await headRead;
  return ws;
}
