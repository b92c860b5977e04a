import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import WebSocket from 'ws';
import { startAgent } from './helpers.js';

function connect(url, headers) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(url, { headers });
    ws.once('open', () => resolve(ws));
    ws.once('unexpected-response', (_req, res) => reject(Object.assign(new Error(`HTTP ${res.statusCode}`), { status: res.statusCode })));
    ws.once('error', reject);
  });
}

function waitForOutput(ws, pattern, timeoutMs = 10000) {
  return new Promise((resolve, reject) => {
    let output = '';
    const timer = setTimeout(() => reject(new Error(`no ${pattern} in: ${output.slice(-500)}`)), timeoutMs);
    ws.on('message', (data) => {
      output += data.toString();
      if (pattern.test(output)) {
        clearTimeout(timer);
        resolve(output);
      }
    });
  });
}

describe('terminal over a WebSocket', () => {
  let agent;
  let url;
  before(async () => {
    agent = await startAgent({ enableTerminal: true }, { env: { PATH: '/usr/bin:/bin', SHELL: '/bin/sh', HOME: '/tmp', ZEL_AGENT_INPUT_URL: 'secret-url' } });
    url = `ws://127.0.0.1:${agent.port}/api/terminal`;
  });
  after(() => agent.close());

  it('runs commands in a login shell and survives garbage frames', async () => {
    const ws = await connect(`${url}?token=${agent.token}`);
    ws.send('not json');
    ws.send(JSON.stringify({ type: 'resize', cols: 'wide', rows: -3 }));
    ws.send(JSON.stringify({ type: 'resize', cols: 100, rows: 30 }));
    const output = waitForOutput(ws, /zel-42\s+30 100\s+unset/);
    ws.send(JSON.stringify({ type: 'input', data: 'echo zel-$((40+2)); stty size; echo ${ZEL_AGENT_INPUT_URL:-unset}\r' }));
    await output;
    const closed = new Promise((resolve) => ws.once('close', (code) => resolve(code)));
    ws.send(JSON.stringify({ type: 'input', data: 'exit\r' }));
    assert.equal(await closed, 1000);
  });

  it('accepts the bearer header and refuses missing or wrong tokens', async () => {
    const ws = await connect(url, { Authorization: `Bearer ${agent.token}` });
    ws.close();
    for (const target of [url, `${url}?token=wrong`]) {
      await assert.rejects(connect(target), { status: 401 });
    }
    await assert.rejects(connect(`ws://127.0.0.1:${agent.port}/api/other?token=${agent.token}`), { status: 404 });
  });

  it('is absent when turned off', async () => {
    const off = await startAgent();
    try {
      await assert.rejects(connect(`ws://127.0.0.1:${off.port}/api/terminal?token=${off.token}`), { status: 404 });
    } finally {
      await off.close();
    }
  });
});
