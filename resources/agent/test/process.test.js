import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import path from 'node:path';
import { describe, it } from 'node:test';
import WebSocket from 'ws';
import { loadToken } from '../src/config.js';
import { kAgentDir, kSecret, startFakeControl, tempDir } from './helpers.js';

// src/server.js as the app starts it: that working directory, only the app's variables.
function launch(env) {
  const child = spawn(process.execPath, ['src/server.js'], { cwd: kAgentDir, env: { PATH: '/usr/bin:/bin', XDG_CONFIG_HOME: tempDir(), ...env } });
  let output = '';
  child.stdout.on('data', (d) => (output += d));
  child.stderr.on('data', (d) => (output += d));
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const listening = new Promise((resolve, reject) => {
    child.stdout.on('data', () => { const m = /listening on http:\/\/127\.0\.0\.1:(\d+)/.exec(output); if (m) resolve(Number(m[1])); });
    exited.then(() => reject(new Error(`exited early: ${output}`)));
    setTimeout(() => reject(new Error(`no listening line: ${output}`)), 5000).unref();
  });
  listening.catch(() => {});
  return { child, exited, listening, output: () => output };
}

describe('server process', () => {
  it('logs one line per request without token or secret, and stops cleanly on SIGTERM', async () => {
    const control = await startFakeControl();
    const home = tempDir();
    const { child, exited, listening, output } = launch({
      XDG_CONFIG_HOME: home, ZEL_AGENT_HOST: '127.0.0.1', ZEL_AGENT_PORT: '0', ZEL_AGENT_ENABLE_TERMINAL: '1',
      ZEL_AGENT_HELPER_BIN_DIR: tempDir(), ZEL_AGENT_SCREENSHOT_URL: control.screenshotUrl, ZEL_AGENT_INPUT_URL: control.inputUrl,
    });
    const port = await listening;
    const token = loadToken(path.join(home, 'zel-desktop-agent'));
    const base = `http://127.0.0.1:${port}`;
    const auth = { Authorization: `Bearer ${token}` };
    assert.equal((await fetch(`${base}/api/screenshot?width=640`, { headers: auth })).status, 200);
    assert.equal((await fetch(`${base}/api/input?token=${token}&secret=${kSecret}`, { method: 'POST', headers: auth, body: '{"action":"paste"}' })).status, 200);
    assert.equal((await fetch(`${base}/api/info?token=${token}`)).status, 401);
    // An open terminal must not hold the exit up.
    const ws = new WebSocket(`ws://127.0.0.1:${port}/api/terminal?token=${token}`);
    await new Promise((resolve, reject) => ws.once('open', resolve).once('error', reject));
    const wsClosed = new Promise((resolve) => ws.once('close', resolve));
    child.kill('SIGTERM');
    assert.deepEqual(await exited, { code: 0, signal: null });
    await wsClosed;
    await control.close();

    const lines = output().trim().split('\n');
    assert.deepEqual(lines.filter((l) => /^(GET|POST) /.test(l)).map((l) => l.replace(/ [\d.]+ms$/, '')),
      ['GET /api/screenshot 200', 'POST /api/input 200', 'GET /api/info 401', 'GET /api/terminal 101']);
    assert.ok(!output().includes(token) && !output().includes(kSecret), 'no token or secret in the log');
    assert.match(lines.at(-1), /stopping \(SIGTERM\)/);
  });

  it('refuses to start on a bad port with a clear message', async () => {
    const { exited, output } = launch({ ZEL_AGENT_PORT: '99999' });
    assert.equal((await exited).code, 2);
    assert.match(output(), /Invalid ZEL_AGENT_PORT: "99999"/);
  });
});
