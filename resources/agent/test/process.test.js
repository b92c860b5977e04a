import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import path from 'node:path';
import { describe, it } from 'node:test';
import WebSocket from 'ws';
import { kSecret, startFakeControl, tempDir } from './helpers.js';

const kAgentDir = path.resolve(import.meta.dirname, '..');

// src/server.js as the app starts it: that working directory, only the app's variables.
async function launch(extra = {}) {
  const control = await startFakeControl();
  const env = {
    PATH: '/usr/bin:/bin', ZEL_AGENT_HOST: '127.0.0.1', ZEL_AGENT_PORT: '0', ZEL_AGENT_ENABLE_TERMINAL: '1',
    ZEL_AGENT_HELPER_BIN_DIR: tempDir(), ZEL_AGENT_SCREENSHOT_URL: control.screenshotUrl, ZEL_AGENT_INPUT_URL: control.inputUrl,
    XDG_CONFIG_HOME: tempDir(), ...extra,
  };
  const child = spawn(process.execPath, ['src/server.js'], { cwd: kAgentDir, env, stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  child.stdout.on('data', (d) => (output += d));
  child.stderr.on('data', (d) => (output += d));
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const port = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no listening line: ${output}`)), 5000);
    const check = () => {
      const match = /listening on http:\/\/127\.0\.0\.1:(\d+)/.exec(output);
      if (match) {
        clearTimeout(timer);
        resolve(Number(match[1]));
      }
    };
    child.stdout.on('data', check);
    exited.then(() => reject(new Error(`exited early: ${output}`)));
  });
  return { child, port, control, exited, env, output: () => output };
}

describe('server process', () => {
  it('logs one line per request without token or secret, and stops cleanly on SIGTERM', async () => {
    const { child, port, control, exited, env, output } = await launch();
    const tokenQuery = spawn(process.execPath, ['--input-type=module', '-e',
      "import('./src/config.js').then(({ loadConfig }) => console.log(loadConfig().token))"], { cwd: kAgentDir, env });
    let token = '';
    tokenQuery.stdout.on('data', (d) => (token += d));
    await new Promise((r) => tokenQuery.on('close', r));
    token = token.trim();
    const auth = { Authorization: `Bearer ${token}` };
    const base = `http://127.0.0.1:${port}`;
    assert.equal((await fetch(`${base}/api/screenshot?width=640`, { headers: auth })).status, 200);
    assert.equal((await fetch(`${base}/api/input?token=${token}&secret=${kSecret}`, { method: 'POST', headers: auth, body: '{"action":"paste"}' })).status, 200);
    assert.equal((await fetch(`${base}/api/info?token=${token}`)).status, 401);
    // An open terminal and an idle keep-alive connection must not hold the exit up.
    const ws = new WebSocket(`ws://127.0.0.1:${port}/api/terminal?token=${token}`);
    await new Promise((resolve, reject) => ws.once('open', resolve).once('error', reject));
    const wsClosed = new Promise((resolve) => ws.once('close', resolve));
    const started = Date.now();
    child.kill('SIGTERM');
    assert.deepEqual(await exited, { code: 0, signal: null });
    assert.ok(Date.now() - started < 1500, `stopped in ${Date.now() - started} ms`);
    await wsClosed;
    await control.close();

    const lines = output().trim().split('\n');
    const requests = lines.filter((l) => l.startsWith('GET ') || l.startsWith('POST '));
    assert.deepEqual(requests.map((l) => l.replace(/ [\d.]+ms$/, ' <ms>')), [
      'GET /api/screenshot 200 <ms>', 'POST /api/input 200 <ms>', 'GET /api/info 401 <ms>', 'GET /api/terminal 101 <ms>',
    ]);
    assert.ok(!output().includes(token) && !output().includes(kSecret), 'no token or secret in the log');
    assert.match(lines.at(-1), /stopping \(SIGTERM\)/);
  });

  it('refuses to start on a bad port with a clear message', async () => {
    const child = spawn(process.execPath, ['src/server.js'], { cwd: kAgentDir, env: { PATH: '/usr/bin:/bin', ZEL_AGENT_PORT: '99999', XDG_CONFIG_HOME: tempDir() } });
    let output = '';
    child.stderr.on('data', (d) => (output += d));
    const code = await new Promise((r) => child.on('exit', r));
    assert.equal(code, 2);
    assert.match(output, /Invalid ZEL_AGENT_PORT: "99999"/);
  });
});
