// The agent's HTTP side against hostile clients, over real sockets.
import assert from 'node:assert/strict';
import net from 'node:net';
import { describe, it } from 'node:test';
import { sleep, startAgent, withAgent } from './helpers.js';

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
      ['live view without token', upgrade('/api/live'), 401],
      ['upgrade with token, terminal off', upgrade(`/api/terminal?token=${t.agent.token}`), 404],
    ];
    const answers = await Promise.all(cases.map(([, request]) => halfOpenExchange(t.agent.port, request)));
    cases.forEach(([name, , status], i) => assert.match(answers[i], new RegExp(`^HTTP/1.1 ${status} `), name));
    const open = () => new Promise((r) => t.server.server.getConnections((_err, n) => r(n)));
    for (let i = 0; i < 100 && (await open()) > 0; i++) await sleep(50);
    assert.equal(await open(), 0, 'sockets left open after their answer');
  });
});

// Guessers hiding behind address forms, and the paired phone's requests among them: a fresh agent
// per row; each step is [CF-Connecting-IP, right token?, expected status], in order.
it('brakes guessers by normalised address and by everybody\'s failures, and always serves the paired phone', async () => {
  const wrong = (ip, status) => [ip, false, status];
  const phone = (ip) => [ip, true, 200];
  const fresh = (n, status) => Array.from({ length: n }, (_, i) => wrong(`192.0.2.${i + 1}`, status));
  for (const [name, steps] of [
    ['a fresh CF-Connecting-IP per guess', [...fresh(6, 401), wrong('192.0.2.100', 429), wrong('192.0.2.101', 429)]],
    ['IPv4 plain and mapped into IPv6', [wrong('198.51.100.9', 401), wrong('::ffff:198.51.100.9', 401), wrong('::FFFF:c633:6409', 401),
      wrong('198.51.100.9', 429), wrong('198.51.100.10', 401)]],
    ['one IPv6 /64', [wrong('2001:db8:1:2::1', 401), wrong('2001:db8:1:2:ffff::9', 401), wrong('2001:DB8:1:2:0:0:0:abc', 401),
      wrong('[2001:db8:1:2::77]', 429), wrong('2001:db8:1:3::1', 401)]],
    ['garbage in the header', [wrong('not an address', 401), wrong('::ffff:999.1.1.1', 401), wrong('x'.repeat(100), 401), wrong('1.2.3', 429)]],
    ['the phone amid guessers', [phone('203.0.113.5'), wrong('2001:db8:9:9::1', 401), wrong('2001:db8:9:9::2', 401),
      wrong('2001:db8:9:9::3', 401), ...fresh(3, 401), wrong('192.0.2.50', 429), phone('203.0.113.5'),
      phone('2001:db8:9:9::abcd'), phone('192.0.2.51'), wrong('203.0.113.5', 401)]],
  ]) {
    const { server, agent } = await startAgent({}, { limits: { freeFailures: 1, delayStepMs: 5, maxDelayMs: 50, blockAfter: 3, globalBudget: 6, globalRefillMs: 600000 } });
    try {
      const statuses = [];
      for (const [ip, right] of steps) {
        statuses.push((await fetch(`${agent.base}/api/info`, { headers: { 'CF-Connecting-IP': ip, Authorization: `Bearer ${right ? agent.token : 'guess'}` } })).status);
      }
      assert.deepEqual(statuses, steps.map((step) => step[2]), name);
    } finally {
      await server.close();
    }
  }
});
