// The server as the app starts it: its token file and settings, then the launched process and its
// terminal against clients that misbehave (late frames, hang-ups), and sessions that outlive a drop.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import crypto from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { promisify } from 'node:util';
import { loadToken } from '../src/config.js';
import { kAgentDir, kSecret, launch, openWs, rawWs, sleep, startFakeControl, tempDir, until, withAgent } from './helpers.js';

const kToken = /^[A-Za-z0-9_-]{43}$/;
const mode = (file) => fs.statSync(file).mode & 0o777;
const alive = (pid) => fs.existsSync(`/proc/${pid}`) && !/^State:\s+Z/m.test(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));

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

describe('server process', () => {
  const home = tempDir();
  let control, server, port, base, token;
  before(async () => {
    control = await startFakeControl();
    server = launch({ XDG_CONFIG_HOME: home, HOME: tempDir(), SHELL: '/bin/sh', ZEL_AGENT_HOST: '127.0.0.1', ZEL_AGENT_PORT: '0', ZEL_AGENT_ENABLE_TERMINAL: '1',
      ZEL_AGENT_HELPER_BIN_DIR: tempDir(), ZEL_AGENT_SCREENSHOT_URL: control.screenshotUrl, ZEL_AGENT_INPUT_URL: control.inputUrl });
    port = await server.listening;
    base = `127.0.0.1:${port}`;
    token = loadToken(path.join(home, 'zel-desktop-agent'));
  });
  after(() => (server.child.kill('SIGKILL'), control.close()));
  const serving = async (name) => {
    assert.equal(server.child.exitCode, null, `${name}: the server ended: ${server.output.slice(-500)}`);
    assert.equal((await fetch(`http://${base}/api/info`, { headers: { Authorization: `Bearer ${token}` } })).status, 200, name);
  };


  it('runs a login shell without our variables, and takes garbage or late frames without ending the server', async () => {
    const input = (data) => ({ type: 'input', data });
    const late = [{ type: 'resize', cols: 100, rows: 30 }, input('echo late\r'), { type: 'resize', cols: 1e9, rows: null }];
    for (const [name, frames, afterClose, output] of [
      ['garbage, then commands', ['{', 'null', '[]', '{"type":"input","data":{}}', { type: 'resize' }, { type: 'resize', cols: 'wide', rows: -3 },
        { type: 'resize', cols: 100, rows: 30 }, input('echo zel-$((40+2)); stty size; echo ${ZEL_AGENT_INPUT_URL:-unset}\r')], [], /zel-42\s+30 100\s+unset/],
      ['input and resizes after exit', [input('exit 3\r')], late],
    ]) {
      const ws = await rawWs(port, `/api/terminal?token=${token}`);
      frames.forEach(ws.send);
      // Linux can drop the last bytes a pty holds when its shell exits, so the output is awaited first.
      if (output) await ws.until(output).then(() => ws.send(input('exit\r')));
      assert.equal(await ws.closed, 1000, name); // the server's close frame: the shell has gone, its descriptor is closed
      afterClose.forEach(ws.send);
      await sleep(50);
      ws.socket.destroy();
      await serving(name);
    }
  });

  // The pty takes a raw paste at only tens of kB/s here, so the paste is just over the 1 MiB pause.
  it('passes a large paste on once the busy shell reads again, losing nothing', { timeout: 180000 }, async () => {
    const ws = await rawWs(port, `/api/terminal?token=${token}`);
    // Raw mode, so the line discipline neither echoes nor drops; the paste starts once the shell
    // has read its command line and sleeps.
    ws.send({ type: 'input', data: 'stty raw -echo; echo RAW-$((1+1))\r' });
    await ws.until(/RAW-2/);
    ws.send({ type: 'input', data: 'echo GO-$((2+2)); sleep 1; head -c $((20*60000)) | wc -c\n' });
    await ws.until(/GO-4/);
    for (let i = 0; i < 20; i++) ws.send({ type: 'input', data: 'x'.repeat(60000) });
    await ws.until(/\b1200000\b/, 150000); // the echoed command line shows only the product
    ws.socket.destroy();
    await serving('paste');
  });

  it('refuses to start on a bad port or a malformed session token (writing no token file then), with a clear message', async () => {
    for (const [env, message] of [[{ ZEL_AGENT_PORT: '99999' }, /Invalid ZEL_AGENT_PORT: "99999"/], [{ ZEL_AGENT_PORT: '80a' }, /Invalid ZEL_AGENT_PORT: "80a"/],
      [{ ZEL_AGENT_TOKEN: 'short' }, /Invalid ZEL_AGENT_TOKEN/], [{ ZEL_AGENT_TOKEN: '' }, /Invalid ZEL_AGENT_TOKEN/]]) {
      const config = tempDir();
      const run = launch({ XDG_CONFIG_HOME: config, ...env });
      assert.deepEqual([(await run.exited)[0], fs.readdirSync(config).length], [2, 'ZEL_AGENT_TOKEN' in env ? 0 : 1], run.output);
      assert.match(run.output, message);
    }
  });

  // The shell never sees it: the launched terminal above checks the filter of the agent's variables.
  // No ZEL_AGENT_HOST: launch() expects the loopback address; the terminal is on only for "1".
  it('serves the session token it was given, writes none, and sends the page no-store', async () => {
    const config = tempDir();
    const session = crypto.randomBytes(32).toString('base64url');
    const run = launch({ XDG_CONFIG_HOME: config, HOME: tempDir(), ZEL_AGENT_PORT: '0', ZEL_AGENT_TOKEN: session, ZEL_AGENT_ENABLE_TERMINAL: 'true' });
    try {
      const runPort = await run.listening;
      const at = `127.0.0.1:${runPort}`;
      const page = await fetch(`http://${at}/?token=${session}`);
      assert.deepEqual([page.status, page.headers.get('cache-control')], [200, 'no-store']);
      assert.equal((await (await fetch(`http://${at}/api/info`, { headers: { Authorization: `Bearer ${session}` } })).json()).features.terminal, false);
      assert.equal((await fetch(`http://${at}/api/info`, { headers: { Authorization: `Bearer ${token}` } })).status, 401, 'the file token of another run');
      assert.deepEqual(fs.readdirSync(config), [], 'nothing written under XDG_CONFIG_HOME');
    } finally {
      run.child.kill('SIGKILL');
    }
  });

  // Last: it stops the server.
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
});

describe('terminal sessions', () => {
  const t = withAgent({ enableTerminal: true }, { env: { PATH: '/usr/bin:/bin', HOME: tempDir(), SHELL: '/bin/sh' }, terminal: { detachedMs: 3000 } });
  // The session frame first, then output.
  const open = async (session) => {
    const ws = await rawWs(t.agent.port, `/api/terminal?token=${t.agent.token}&session=${session}`);
    await ws.until(/^\{[^}]*\}/);
    return Object.assign(ws, { session: JSON.parse(/^\{[^}]*\}/.exec(ws.text)[0]), input: (data) => ws.send({ type: 'input', data }) });
  };
  const shellPid = async (ws) => (await ws.until(/pid-(\d+)/), Number(/pid-(\d+)/.exec(ws.text)[1])); // echo pid-$$: only the output has digits

  it('kills a shell that ignores the hang-up once its grace is over', async () => {
    const ws = await rawWs(t.agent.port, `/api/terminal?token=${t.agent.token}`);
    ws.send({ type: 'input', data: "trap '' HUP; echo pid-$$; while :; do sleep 1; done\r" });
    const shell = await shellPid(ws);
    ws.socket.destroy();
    await until('the shell killed after the grace', () => !alive(shell), 5000);
  });

  it('keeps the shell through a dropped connection and gives it back with what it missed, until the wait ends', async () => {
    const first = await open('new');
    assert.equal(first.session.resumed, false);
    first.input('X=kept-$((3*3)); echo pid-$$\r');
    const shell = await shellPid(first);
    first.input('sleep 0.5; echo later-$((5*5))\r');
    first.socket.destroy(); // the network goes, no close frame
    await sleep(1000);
    const back = await open(first.session.id);
    assert.deepEqual(back.session, { type: 'session', id: first.session.id, resumed: true });
    await back.until(/pid-\d+[^]*later-25/); // the scrollback, with what came while away
    back.input('echo $X\r');
    await back.until(/\r\nkept-9\r\n/);
    // A second connection takes the session over; the first is told so.
    const again = await open(first.session.id);
    assert.deepEqual([await back.closed, again.session.resumed], [4001, true]);
    again.socket.destroy();
    await sleep(3000 + 1500); // the wait, then the hang-up's grace
    assert.equal(alive(shell), false, 'the shell is hung up once nobody came back');
    const fresh = await open(first.session.id);
    assert.equal(fresh.session.resumed, false);
    assert.notEqual(fresh.session.id, first.session.id);
    fresh.socket.destroy();
  });
});
