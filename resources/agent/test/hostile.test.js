// The agent's HTTP side against hostile clients, over real sockets.
import assert from 'node:assert/strict';
import { once } from 'node:events';
import http from 'node:http';
import net from 'node:net';
import { text as streamText } from 'node:stream/consumers';
import { describe, it } from 'node:test';
import { FailureLimiter } from '../src/auth.js';
import { sleep, withAgent } from './helpers.js';

// Sends the request and never closes its own side: what is left open afterwards is the server's doing.
function halfOpenExchange(port, request) {
  return new Promise((resolve) => {
    const socket = net.connect({ port, host: '127.0.0.1', allowHalfOpen: true });
    let answer = '';
    socket.on('error', () => {});
    socket.on('data', (d) => (answer += d));
    socket.on('end', () => resolve(answer));
    if (request) socket.write(request);
  });
}

describe('agent against hostile clients', () => {
  const t = withAgent({}, { timeouts: { headersTimeout: 300, requestTimeout: 600, connectionsCheckingInterval: 50 } });

  it('answers broken, slow and refused requests, then closes the socket for good', async () => {
    const upgrade = (target) => `GET ${target} HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n`
      + `Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n`;
    const cases = [
      ['silent client', '', 408],
      ['headers that never end', 'GET /api/info HTTP/1.1\r\nHost: x\r\n', 408],
      ['garbage', '\x16\x03\x01 hello\r\n\r\n', 400],
      ['a target without a slash', 'GET nothing HTTP/1.1\r\nHost: x\r\n\r\n', 400],
      ['oversized header', `GET / HTTP/1.1\r\nHost: x\r\nX-Big: ${'a'.repeat(100000)}\r\n\r\n`, 431],
      ['upgrade elsewhere', upgrade('/api/nothing'), 404],
      ['upgrade without token', upgrade('/api/terminal'), 401],
      ['upgrade with token, terminal off', upgrade(`/api/terminal?token=${t.agent.token}`), 404],
    ];
    const answers = await Promise.all(cases.map(([, request]) => halfOpenExchange(t.agent.port, request)));
    cases.forEach(([name, , status], i) => assert.match(answers[i], new RegExp(`^HTTP/1.1 ${status} `), name));
    const open = () => new Promise((r) => t.server.server.getConnections((_err, n) => r(n)));
    for (let i = 0; i < 100 && (await open()) > 0; i++) await sleep(50);
    assert.equal(await open(), 0, 'sockets left open after their answer');
  });
});

// A request with the given headers, as a browser page or a native client would send it; resolves
// with the status and the head, or for an upgrade that is taken, 101.
function exchange(port, { method = 'GET', path, headers, upgrade = false }) {
  return new Promise((resolve, reject) => {
    const wsHeaders = upgrade ? { Upgrade: 'websocket', Connection: 'Upgrade', 'Sec-WebSocket-Version': '13', 'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==' } : {};
    const req = http.request({ host: '127.0.0.1', port, method, path, headers: { ...wsHeaders, ...headers } });
    req.on('upgrade', (_res, socket) => (socket.destroy(), resolve({ status: 101 })));
    req.on('response', async (res) => resolve({ status: res.statusCode, headers: res.headers, body: await streamText(res) }));
    req.on('error', reject);
    req.end(method === 'POST' ? '{}' : undefined);
  });
}

describe('routes that act on the desktop, for pages of other origins', () => {
  const t = withAgent({}, { limits: { freeFailures: 1000, blockAfter: 1000, globalBudget: 1000 } }, {});
  const tunnel = 'zel-42.trycloudflare.example';

  it('refuse a present Origin that is neither the request\'s own address nor local, before the token', async () => {
    const routes = [['MCP', { method: 'POST', path: '/mcp' }], ...['live', 'terminal'].flatMap((name) => [
      [name, { path: `/api/${name}` }], [`${name} upgrade`, { path: `/api/${name}`, upgrade: true }]])];
    // A native client, local pages, and a tunnel's own page pass on to the token check; the rest is refused.
    const passing = [{}, { Origin: 'http://127.0.0.1:5173' }, { Origin: 'http://localhost:8080' }, { Origin: 'http://localhost' }, { Origin: 'http://[::1]:9' },
      { Host: tunnel, Origin: `https://${tunnel}` }, { Host: tunnel, 'X-Forwarded-Proto': 'https', Origin: `https://${tunnel}` }, { Host: `${tunnel}:8443`, Origin: `https://${tunnel}:8443` }];
    const refused = [{ Host: tunnel, 'X-Forwarded-Proto': 'http', Origin: `https://${tunnel}` }, { Host: tunnel, Origin: `https://${tunnel}:8443` },
      { Host: tunnel, Origin: 'https://evil.example' }, { Host: tunnel, Origin: `https://${tunnel}.evil.example` }, { Origin: 'https://localhost:8787' },
      { Origin: 'http://127.0.0.1.evil.example:8787' }, { Origin: 'http://localhost:8787/page' }, { Origin: 'null' }, { Origin: 'garbage' }];
    const origins = [...passing.map((headers) => [headers, true]), ...refused.map((headers) => [headers, false])];
    for (const [route, request] of routes) {
      for (const [headers, passes] of origins) {
        const name = `${route} ${JSON.stringify(headers)}`;
        const { status, headers: head, body } = await exchange(t.agent.port, { ...request, headers });
        assert.equal(status, passes ? 401 : 403, name);
        assert.match(JSON.parse(body).error, passes ? /Missing token/ : /Origin/, name);
        if (passes && route === 'MCP') assert.equal(head['www-authenticate'], 'Bearer', name);
      }
    }
    // Past the check, with the token, the upgrade is taken.
    const live = { path: `/api/live?token=${t.agent.token}`, upgrade: true };
    for (const headers of [{}, { Origin: 'http://localhost:5173' }, { Host: tunnel, Origin: `https://${tunnel}` }]) {
      assert.equal((await exchange(t.agent.port, { ...live, headers })).status, 101, JSON.stringify(headers));
    }
  });
});

describe('connections that never showed the token', () => {
  const t = withAgent({}, { connections: { maxUnproven: 3 }, limits: { freeFailures: 0, delayStepMs: 60000, maxDelayMs: 60000 } });
  const connect = async () => {
    const socket = net.connect(t.agent.port, '127.0.0.1');
    socket.on('error', () => {});
    socket.answer = '';
    socket.on('data', (d) => (socket.answer += d));
    socket.gone = once(socket, 'close');
    socket.answered = new Promise((resolve) => socket.once('data', resolve));
    await once(socket, 'connect');
    return socket;
  };
  const requests = (n) => new Promise((resolve) => {
    const seen = () => --n === 0 && (t.server.server.off('request', seen), resolve());
    t.server.server.on('request', seen);
  });

  it('are bounded: the oldest idle one gives way, a new one is refused while all are busy, and a proven client is always served', async (ctx) => {
    const phone = new http.Agent({ keepAlive: true, maxSockets: 1 });
    const info = () => new Promise((resolve, reject) => http.get({ agent: phone, host: '127.0.0.1', port: t.agent.port, path: '/api/info',
      headers: { Authorization: `Bearer ${t.agent.token}` } }, (res) => streamText(res).then(() => resolve(res.statusCode))).on('error', reject));
    assert.equal(await info(), 200);

    const silent = [await connect(), await connect(), await connect()];
    const fourth = await connect();
    await silent[0].gone; // the oldest stranger gave way
    assert.equal(await info(), 200, 'the proven connection is served');

    ctx.mock.timers.enable({ apis: ['setTimeout'] }); // a wrong token's answer is held until we tick
    const held = [silent[1], silent[2], fourth];
    const asked = requests(held.length);
    for (const socket of held) socket.write('GET /api/info HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer guess\r\n\r\n');
    await asked;
    const refused = await connect();
    await refused.gone;
    assert.equal(refused.answer, '', 'refused unanswered while every stranger is busy');
    assert.equal(await info(), 200, 'the proven connection is served meanwhile');
    ctx.mock.timers.tick(60000);
    await Promise.all(held.map((socket) => socket.answered));
    ctx.mock.timers.reset();
    for (const socket of held) assert.match(socket.answer, /^HTTP\/1.1 401 /);

    const next = await connect(); // now idle again, the oldest gives way
    await held[0].gone;
    for (const socket of [...held, next]) socket.destroy();
    phone.destroy();
  });
});

it('the global brake lasts at most five minutes after a burst, however long it was; an address\'s own block is unchanged', async () => {
  for (const burst of [40, 7600]) {
    let now = 0;
    const limiter = new FailureLimiter({}, () => now);
    for (let i = 0; i < burst; i++) {
      now = Math.floor((13000 * i) / burst);
      limiter.fail(`10.0.${i >> 8}.${i & 255}`);
    }
    const retry = limiter.retryAfter('198.51.100.1');
    assert.ok(retry > 0 && retry <= 300, `${burst} failures: Retry-After ${retry}`);
    now += 300000;
    assert.equal(limiter.globalBrakeFor(), 0, `${burst} failures: braked five minutes later`);
    for (let i = 0; i < 10; i++) limiter.fail('203.0.113.9');
    assert.equal(limiter.retryAfter('203.0.113.9'), 600, `${burst} failures: the guesser's own block`);
  }
});
