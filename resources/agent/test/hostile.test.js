// The agent's HTTP side against hostile clients, over real sockets.
import assert from 'node:assert/strict';
import net from 'node:net';
import { describe, it } from 'node:test';
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
