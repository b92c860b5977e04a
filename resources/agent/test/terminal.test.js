import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import WebSocket from 'ws';
import { withAgent } from './helpers.js';

const connect = (url, headers) => new Promise((resolve, reject) => {
  const ws = new WebSocket(url, { headers });
  ws.once('open', () => resolve(ws)).once('error', reject)
    .once('unexpected-response', (_req, res) => reject(Object.assign(new Error(`HTTP ${res.statusCode}`), { status: res.statusCode })));
});

describe('terminal over a WebSocket', () => {
  const t = withAgent({ enableTerminal: true }, { env: { PATH: '/usr/bin:/bin', SHELL: '/bin/sh', HOME: '/tmp', ZEL_AGENT_INPUT_URL: 'secret-url' } });
  const off = withAgent();
  const url = () => `ws://127.0.0.1:${t.agent.port}/api/terminal`;

  it('runs commands in a login shell and survives garbage frames', async () => {
    const ws = await connect(url(), { Authorization: `Bearer ${t.agent.token}` });
    let output = '';
    const seen = new Promise((resolve, reject) => {
      setTimeout(() => reject(new Error(`unexpected terminal output: ${output.slice(-300)}`)), 10000).unref();
      ws.on('message', (data) => /zel-42\s+30 100\s+unset/.test(output += data) && resolve());
    });
    const closed = new Promise((resolve) => ws.once('close', resolve));
    for (const frame of ['not json', { type: 'resize', cols: 'wide', rows: -3 }, { type: 'resize', cols: 100, rows: 30 },
      { type: 'input', data: 'echo zel-$((40+2)); stty size; echo ${ZEL_AGENT_INPUT_URL:-unset}\r' }]) ws.send(typeof frame === 'string' ? frame : JSON.stringify(frame));
    await seen;
    ws.send(JSON.stringify({ type: 'input', data: 'exit\r' }));
    assert.equal(await closed, 1000);
  });

  it('refuses missing or wrong tokens, other paths, and a terminal turned off', async () => {
    for (const [target, status] of [[url(), 401], [`${url()}?token=wrong`, 401],
      [`ws://127.0.0.1:${t.agent.port}/api/other?token=${t.agent.token}`, 404],
      [`ws://127.0.0.1:${off.agent.port}/api/terminal?token=${off.agent.token}`, 404]]) await assert.rejects(connect(target), { status }, target);
  });
});
