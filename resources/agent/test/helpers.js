// Shared fixtures: a fake control service that reads like the real one, and agents on port 0.
import assert from 'node:assert/strict';
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
export const tempDir = (prefix = 'zel-agent-test-') => fs.mkdtempSync(path.join(os.tmpdir(), prefix));
export const answer = (status, type, body) => ({ status, type, body });
export const blankImage = (width, height) => answer('200 OK', 'image/svg+xml', `<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${height}"/>`);

// One read per connection, secret in the query, a complete answer and a close: the app's
// control service contract, so a client that splits its request fails here too.
// screenshot and input may answer a request themselves; undefined gives the usual answer.
export async function startFakeControl({ screenshot, input } = {}) {
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
        : (await (isInput ? input : screenshot)?.(request)) ?? (isInput ? answer('200 OK', 'application/json; charset=utf-8',
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
