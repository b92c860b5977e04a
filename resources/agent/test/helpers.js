// Shared test fixtures: a fake control service that reads like the real one, and an agent on port 0.
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import { createAgentServer } from '../src/app.js';
import { loadToken } from '../src/config.js';

export const kSecret = '5d0c3f4e-8a57-4c1b-9d3e-2b7f6a1c0e99';

export function tempDir(prefix = 'zel-agent-test-') {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// Solid-colour RGB PNG, enough for a browser to decode and size.
export function makePng(width, height, rgb = [40, 120, 200]) {
  const row = Buffer.alloc(1 + width * 3);
  for (let x = 0; x < width; x++) row.set(rgb, 1 + x * 3);
  const raw = Buffer.concat(Array.from({ length: height }, () => row));
  const chunk = (type, data) => {
    const len = Buffer.alloc(4);
    len.writeUInt32BE(data.length);
    const body = Buffer.concat([Buffer.from(type), data]);
    const crc = Buffer.alloc(4);
    crc.writeUInt32BE(zlib.crc32(body));
    return Buffer.concat([len, body, crc]);
  };
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(width, 0);
  ihdr.writeUInt32BE(height, 4);
  ihdr.set([8, 2, 0, 0, 0], 8);
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', ihdr),
    chunk('IDAT', zlib.deflateSync(raw)),
    chunk('IEND', Buffer.alloc(0)),
  ]);
}

// One read per connection, secret in the query, a complete answer and a close: the same
// contract as the app's control service, so a client that splits its request fails here too.
export async function startFakeControl({ screenshot, input } = {}) {
  const requests = [];
  const server = net.createServer((socket) => {
    socket.once('data', async (data) => {
      const text = data.toString('utf8');
      const target = text.split('\r\n')[0].split(' ')[1] || '/screenshot';
      const url = new URL(target, 'http://127.0.0.1');
      const at = data.indexOf('\r\n\r\n');
      const body = at < 0 ? '' : data.subarray(at + 4).toString('utf8');
      const request = { path: url.pathname, query: Object.fromEntries(url.searchParams), body };
      requests.push(request);
      let answer;
      if (url.searchParams.get('secret') !== kSecret) answer = { status: '403 Forbidden', type: 'text/plain; charset=utf-8', body: 'Forbidden' };
      else if (url.pathname === '/input') answer = await (input ?? defaultInput)(request);
      else answer = await (screenshot ?? defaultScreenshot)(request);
      const bytes = Buffer.from(answer.body);
      socket.end(Buffer.concat([
        Buffer.from(`HTTP/1.1 ${answer.status}\r\nContent-Type: ${answer.type}\r\nContent-Length: ${bytes.length}\r\nConnection: close\r\n\r\n`),
        bytes,
      ]));
    });
    socket.on('error', () => {});
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const base = `http://127.0.0.1:${server.address().port}`;
  return {
    requests,
    screenshotUrl: `${base}/screenshot?secret=${kSecret}`,
    inputUrl: `${base}/input?secret=${kSecret}`,
    close: () => new Promise((r) => server.close(r)),
  };
}

function defaultScreenshot() {
  return { status: '200 OK', type: 'image/png', body: makePng(16, 9) };
}

function defaultInput(request) {
  let action;
  try {
    action = JSON.parse(request.body).action;
  } catch (err) {
    return { status: '500 Internal Server Error', type: 'text/plain; charset=utf-8', body: `Main app input failed: ${err.message}` };
  }
  return {
    status: '200 OK',
    type: 'application/json; charset=utf-8',
    body: JSON.stringify({ ok: true, action, display: { x: 0, y: 0, width: 1920, height: 1080 } }),
  };
}

// An agent on an ephemeral port with a token in a temporary config directory.
export async function startAgent(overrides = {}, options = {}) {
  const token = loadToken(path.join(tempDir(), 'zel-desktop-agent'));
  const config = {
    token, host: '127.0.0.1', port: 0, screenshotUrl: '', inputUrl: '', enableTerminal: false, helperBinDir: '',
    ...overrides,
  };
  const lines = [];
  const agent = await createAgentServer(config, { log: (l) => lines.push(l), ...options });
  const { port } = await agent.listen(0, '127.0.0.1');
  const base = `http://127.0.0.1:${port}`;
  return {
    token,
    base,
    port,
    lines,
    close: () => agent.close(),
    fetch: (route, init = {}) =>
      fetch(base + route, { ...init, headers: { Authorization: `Bearer ${token}`, ...(init.headers || {}) } }),
  };
}

// A raw HTTP exchange, for requests that fetch refuses to make.
export function rawRequest(port, text) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1', () => socket.end(text));
    const chunks = [];
    socket.on('data', (c) => chunks.push(c));
    socket.on('close', () => resolve(Buffer.concat(chunks).toString('utf8')));
    socket.on('error', reject);
  });
}
