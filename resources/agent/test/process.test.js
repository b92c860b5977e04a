import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import crypto from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { promisify } from 'node:util';
import { configDir, loadConfig, loadToken } from '../src/config.js';
import { kAgentDir, kSecret, launch, openWs, startFakeControl, tempDir, withAgent } from './helpers.js';

const kToken = /^[A-Za-z0-9_-]{43}$/;
const mode = (file) => fs.statSync(file).mode & 0o777;

it('creates the token once with private modes, tightens them again, keeps it, and replaces a damaged file', () => {
  const dir = path.join(tempDir(), 'zel-desktop-agent');
  const file = path.join(dir, 'agent.json');
  const token = loadToken(dir);
  assert.match(token, kToken);
  assert.deepEqual([mode(dir), mode(file), fs.readdirSync(dir)], [0o700, 0o600, ['agent.json']]);
  fs.chmodSync(dir, 0o755);
  fs.chmodSync(file, 0o644);
  assert.deepEqual([loadToken(dir), mode(dir), mode(file)], [token, 0o700, 0o600]);
  for (const content of ['', '{tok', '{"token":"abc"}']) {
    fs.writeFileSync(file, content);
    const fresh = loadToken(dir);
    assert.match(fresh, kToken, content);
    assert.deepEqual([loadToken(dir), mode(file), fs.readdirSync(dir)], [fresh, 0o600, ['agent.json']], content);
  }
});

it('the app token query prints exactly the token, and racing first runs agree on one', async () => {
  const home = tempDir();
  const query = "import('./src/config.js').then(({ loadConfig }) => console.log(loadConfig().token))";
  const runs = await Promise.all(Array.from({ length: 6 }, () => promisify(execFile)(process.execPath, ['--input-type=module', '-e', query],
    { cwd: kAgentDir, env: { PATH: '/usr/bin:/bin', XDG_CONFIG_HOME: home } })));
  assert.deepEqual(new Set(runs.map((r) => r.stdout + r.stderr)), new Set([`${loadToken(path.join(home, 'zel-desktop-agent'))}\n`]));
  assert.deepEqual(fs.readdirSync(path.join(home, 'zel-desktop-agent')), ['agent.json']);
});

it('reads its directory and settings from the environment, turning the terminal on only for "1"', () => {
  for (const [env, expected] of [[{}, { host: '127.0.0.1', port: 8787, enableTerminal: false }],
    [{ ZEL_AGENT_ENABLE_TERMINAL: 'true', ZEL_AGENT_PORT: '80a' }, { enableTerminal: false, port: NaN }]]) {
    const config = loadConfig({ XDG_CONFIG_HOME: tempDir(), ...env });
    for (const [key, value] of Object.entries(expected)) assert.deepEqual(config[key], value, `${JSON.stringify(env)} ${key}`);
  }
  // The config goes under an absolute XDG_CONFIG_HOME, else HOME, else the passwd entry's home.
  for (const [env, expected] of [[{ XDG_CONFIG_HOME: '/x/cfg', HOME: '/home/u' }, '/x/cfg/zel-desktop-agent'],
    [{ XDG_CONFIG_HOME: 'cfg', HOME: '/home/u' }, '/home/u/.config/zel-desktop-agent'], [{}, '/pw/home/.config/zel-desktop-agent']]) {
    assert.equal(configDir(env, () => '/pw/home'), expected, JSON.stringify(env));
  }
});

describe('server process', () => {
  const home = tempDir();
  const off = withAgent();
  let control, server, base, token;
  before(async () => {
    control = await startFakeControl();
    server = launch({ XDG_CONFIG_HOME: home, HOME: tempDir(), SHELL: '/bin/sh', ZEL_AGENT_HOST: '127.0.0.1', ZEL_AGENT_PORT: '0', ZEL_AGENT_ENABLE_TERMINAL: '1',
      ZEL_AGENT_HELPER_BIN_DIR: tempDir(), ZEL_AGENT_SCREENSHOT_URL: control.screenshotUrl, ZEL_AGENT_INPUT_URL: control.inputUrl });
    base = `127.0.0.1:${await server.listening}`;
    token = loadToken(path.join(home, 'zel-desktop-agent'));
  });
  after(() => (server.child.kill('SIGKILL'), control.close()));

  it('runs a login shell without our variables in the terminal, and survives garbage frames', async () => {
    const ws = await openWs(`ws://${base}/api/terminal`, { Authorization: `Bearer ${token}` });
    let output = '';
    ws.on('message', (data) => (output += data));
    const closed = once(ws, 'close');
    for (const frame of ['not json', { type: 'resize', cols: 'wide', rows: -3 }, { type: 'resize', cols: 100, rows: 30 },
      { type: 'input', data: 'echo zel-$((40+2)); stty size; echo ${ZEL_AGENT_INPUT_URL:-unset}\r' }]) ws.send(typeof frame === 'string' ? frame : JSON.stringify(frame));
    for (let i = 0; i < 200 && !/zel-42\s+30 100\s+unset/.test(output); i++) await new Promise((r) => setTimeout(r, 50));
    assert.match(output, /zel-42\s+30 100\s+unset/);
    ws.send(JSON.stringify({ type: 'input', data: 'exit\r' }));
    assert.equal((await closed)[0], 1000);
  });

  it('refuses a terminal with a missing or wrong token, on other paths, and when turned off', async () => {
    for (const [target, status] of [[`ws://${base}/api/terminal`, 401], [`ws://${base}/api/terminal?token=wrong`, 401],
      [`ws://${base}/api/other?token=${token}`, 404], [`ws://127.0.0.1:${off.agent.port}/api/terminal?token=${off.agent.token}`, 404]]) {
      await assert.rejects(openWs(target), { status }, target);
    }
  });

  it('logs one line per request without token or secret, and stops cleanly on SIGTERM with a terminal open', async () => {
    const auth = { Authorization: `Bearer ${token}` };
    assert.equal((await fetch(`http://${base}/api/screenshot?width=640`, { headers: auth })).status, 200);
    assert.equal((await fetch(`http://${base}/api/input?token=${token}&secret=${kSecret}`, { method: 'POST', headers: auth, body: '{"action":"paste"}' })).status, 200);
    assert.equal((await fetch(`http://${base}/api/info?token=${token}`)).status, 401);
    const ws = await openWs(`ws://${base}/api/terminal?token=${token}`);
    const wsClosed = once(ws, 'close');
    server.child.kill('SIGTERM');
    assert.deepEqual(await server.exited, [0, null]);
    await wsClosed;
    const lines = server.output.trim().split('\n');
    assert.deepEqual(lines.filter((l) => /^(GET|POST) /.test(l)).slice(-4).map((l) => l.replace(/ [\d.]+ms$/, '')),
      ['GET /api/screenshot 200', 'POST /api/input 200', 'GET /api/info 401', 'GET /api/terminal 101']);
    assert.ok(!server.output.includes(token) && !server.output.includes(kSecret), 'no token or secret in the log');
    assert.match(lines.at(-1), /stopping \(SIGTERM\)/);
  });

  it('refuses to start on a bad port or a malformed session token (writing no token file then), with a clear message', async () => {
    for (const [env, message] of [[{ ZEL_AGENT_PORT: '99999' }, /Invalid ZEL_AGENT_PORT: "99999"/],
      [{ ZEL_AGENT_TOKEN: 'short' }, /Invalid ZEL_AGENT_TOKEN/], [{ ZEL_AGENT_TOKEN: '' }, /Invalid ZEL_AGENT_TOKEN/]]) {
      const config = tempDir();
      const run = launch({ XDG_CONFIG_HOME: config, ...env });
      assert.deepEqual([(await run.exited)[0], fs.readdirSync(config).length], [2, 'ZEL_AGENT_TOKEN' in env ? 0 : 1], run.output);
      assert.match(run.output, message);
    }
  });

  it('serves the session token it was given, writes none, keeps it from the shell, and sends the page no-store', async () => {
    const config = tempDir();
    const session = crypto.randomBytes(32).toString('base64url');
    const run = launch({ XDG_CONFIG_HOME: config, HOME: tempDir(), SHELL: '/bin/sh', ZEL_AGENT_PORT: '0', ZEL_AGENT_ENABLE_TERMINAL: '1', ZEL_AGENT_TOKEN: session });
    try {
      const at = `127.0.0.1:${await run.listening}`;
      const page = await fetch(`http://${at}/?token=${session}`);
      assert.deepEqual([page.status, page.headers.get('cache-control')], [200, 'no-store']);
      assert.equal((await fetch(`http://${at}/api/info`, { headers: { Authorization: `Bearer ${session}` } })).status, 200);
      assert.equal((await fetch(`http://${at}/api/info`, { headers: { Authorization: `Bearer ${token}` } })).status, 401, 'the file token of another run');
      const ws = await openWs(`ws://${at}/api/terminal?token=${session}`);
      let output = '';
      ws.on('message', (data) => (output += data));
      ws.send(JSON.stringify({ type: 'input', data: 'echo "tok-${ZEL_AGENT_TOKEN:-unset}"; exit\r' }));
      await once(ws, 'close');
      assert.match(output, /tok-unset/);
      assert.deepEqual(fs.readdirSync(config), [], 'nothing written under XDG_CONFIG_HOME');
    } finally {
      run.child.kill('SIGKILL');
    }
  });
});
