// The terminal of the spawned server against clients that misbehave: late frames and garbage.
import assert from 'node:assert/strict';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { loadToken } from '../src/config.js';
import { launch, rawWs, tempDir } from './helpers.js';

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

describe('terminal against hostile clients', () => {
  const home = tempDir();
  let server, port, token;
  before(async () => {
    server = launch({ XDG_CONFIG_HOME: home, HOME: tempDir(), SHELL: '/bin/sh', ZEL_AGENT_HOST: '127.0.0.1', ZEL_AGENT_PORT: '0', ZEL_AGENT_ENABLE_TERMINAL: '1' });
    port = await server.listening;
    token = loadToken(path.join(home, 'zel-desktop-agent'));
  });
  after(() => server.child.kill('SIGKILL'));

  const serving = async (name) => {
    assert.equal(server.child.exitCode, null, `${name}: the server ended: ${server.output.slice(-500)}`);
    assert.equal((await fetch(`http://127.0.0.1:${port}/api/info`, { headers: { Authorization: `Bearer ${token}` } })).status, 200, name);
  };

  it('takes frames that arrive after the shell exited, or that are garbage, without ending the server', async () => {
    const late = [{ type: 'resize', cols: 100, rows: 30 }, { type: 'input', data: 'echo late\r' }, { type: 'resize', cols: 1e9, rows: null }];
    for (const [name, script, frames] of [
      ['resize after exit', 'exit\r', late.slice(0, 1)],
      ['input and resizes after exit', 'exit 3\r', late],
      ['after the shell was killed', 'kill -9 $$\r', late],
      ['garbage while running', 'echo ok-$((6*7))\r', ['{', 'null', '[]', '{"type":"input","data":{}}', { type: 'resize' }, { type: 'input', data: 'exit\r' }]],
    ]) {
      const ws = await rawWs(port, `/api/terminal?token=${token}`);
      assert.equal(ws.status, 101, name);
      ws.send({ type: 'input', data: script });
      for (const frame of name.startsWith('garbage') ? frames : []) ws.send(frame);
      await ws.closed; // the server's close frame: the shell has gone, its descriptor is closed
      for (const frame of name.startsWith('garbage') ? [] : frames) ws.send(frame);
      await sleep(50);
      ws.socket.destroy();
      await serving(name);
    }
  });
});
