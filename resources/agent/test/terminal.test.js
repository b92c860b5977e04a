// The terminal of the spawned server against clients that misbehave: late frames, floods, hang-ups;
// and sessions that outlive a dropped connection.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { once } from 'node:events';
import { after, before, describe, it } from 'node:test';
import WebSocket from 'ws';
import { loadToken } from '../src/config.js';
import { launch, rawWs, sleep, tempDir, withAgent } from './helpers.js';

const rssBytes = (pid) => Number(/VmRSS:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]) * 1024;
const children = (pid) => fs.readdirSync(`/proc/${pid}/task`)
  .flatMap((tid) => fs.readFileSync(`/proc/${pid}/task/${tid}/children`, 'utf8').split(' ').filter(Boolean).map(Number));
const alive = (pid) => fs.existsSync(`/proc/${pid}`) && !/^State:\s+Z/m.test(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));

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

  it('reads no faster than a busy shell, and kills a shell that ignores the hang-up', async () => {
    const before = new Set(children(server.child.pid));
    const ws = new WebSocket(`ws://127.0.0.1:${port}/api/terminal?token=${token}`);
    await new Promise((resolve, reject) => ws.once('open', resolve).once('error', reject));
    ws.send(JSON.stringify({ type: 'input', data: "stty raw -echo; trap '' HUP; while :; do sleep 1; done\r" }));
    await sleep(300);
    const shells = children(server.child.pid).filter((pid) => !before.has(pid));
    assert.equal(shells.length, 1);
    const start = rssBytes(server.child.pid);
    // 3,000 frames of 60 kB, sent as fast as the server takes them, until it stops taking them.
    const frame = JSON.stringify({ type: 'input', data: 'y'.repeat(60000) });
    let sent = 0;
    for (let last = -1, still = 0; sent < 3000 && still < 2000;) {
      if (ws.bufferedAmount < 8 << 20) {
        ws.send(frame);
        sent++;
        continue;
      }
      await sleep(50);
      [still, last] = ws.bufferedAmount === last ? [still + 50, last] : [0, ws.bufferedAmount];
    }
    const grown = rssBytes(server.child.pid) - start;
    assert.ok(grown < 64 << 20, `the server grew by ${grown >> 20} MB while ${sent} frames were offered`);
    ws.terminate();
    for (let i = 0; i < 200 && shells.some(alive); i++) await sleep(50);
    assert.deepEqual(shells.filter(alive), [], 'the shell is gone after the hang-up and its grace');
    await serving('flood');
  });
});

describe('terminal sessions', () => {
  const t = withAgent({ enableTerminal: true }, { env: { PATH: '/usr/bin:/bin', HOME: tempDir(), SHELL: '/bin/sh' }, terminal: { detachedMs: 3000 } });
  // A client that keeps every frame: the session frame first, then output.
  const open = async (session) => {
    const ws = new WebSocket(`ws://127.0.0.1:${t.agent.port}/api/terminal?token=${t.agent.token}&session=${session}`);
    const client = { ws, text: '', closed: once(ws, 'close') };
    const first = once(ws, 'message');
    let frames = 0;
    ws.on('message', (data) => (frames++ > 0 ? (client.text += data) : null));
    client.session = JSON.parse((await first)[0]);
    client.input = (data) => ws.send(JSON.stringify({ type: 'input', data }));
    client.until = async (pattern) => {
      for (let i = 0; i < 500 && !pattern.test(client.text); i++) await sleep(20);
      assert.match(client.text, pattern);
    };
    return client;
  };

  it('keeps the shell through a dropped connection and gives it back with what it missed, until the wait ends', async () => {
    const first = await open('new');
    assert.equal(first.session.resumed, false);
    first.input('X=kept-$((3*3)); echo pid-$$\r');
    await first.until(/pid-(\d+)/);
    const shell = Number(/pid-(\d+)/.exec(first.text)[1]);
    first.input('sleep 0.5; echo later-$((5*5))\r');
    first.ws._socket.destroy(); // the network goes, no close frame
    await sleep(1000);
    const back = await open(first.session.id);
    assert.deepEqual(back.session, { type: 'session', id: first.session.id, resumed: true });
    await back.until(/pid-\d+[^]*later-25/); // the scrollback, with what came while away
    back.input('echo $X\r');
    await back.until(/\r\nkept-9\r\n/);
    // A second connection takes the session over; the first is told so.
    const again = await open(first.session.id);
    assert.deepEqual([(await back.closed)[0], again.session.resumed], [4001, true]);
    again.ws.terminate();
    await sleep(3000 + 1500); // the wait, then the hang-up's grace
    assert.equal(alive(shell), false, 'the shell is hung up once nobody came back');
    const fresh = await open(first.session.id);
    assert.equal(fresh.session.resumed, false);
    assert.notEqual(fresh.session.id, first.session.id);
    fresh.ws.close();
  });
});
