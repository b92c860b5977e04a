// Paired devices across a restart of the server process, stopped by SIGTERM, killed outright or its channel closed:
// keys work again, removed devices stay gone, a device the owner cut off stays out until allowed.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { it } from 'node:test';
import { kPhone, launch, newCode, sleep, tempDir } from './helpers.js';

const kCutOff = '电脑的主人断开了这台设备，需等主人在电脑上重新允许。';

// The server as the app starts it, its devices under state.
async function start(state) {
  const code = newCode();
  const run = Object.assign(launch({ XDG_STATE_HOME: state, ZEL_AGENT_PORT: '0', ZEL_AGENT_TOKEN: code }, { channel: true }), { code, pings: 0 });
  const base = `http://127.0.0.1:${await run.listening}`;
  run.call = async (bearer, route = '/api/info', init = {}) => {
    const res = await fetch(base + route, { ...init, headers: { Authorization: `Bearer ${bearer}`, 'User-Agent': kPhone, ...init.headers } });
    return { status: res.status, error: res.ok ? undefined : (await res.json()).error, body: res.ok ? await res.json() : undefined };
  };
  // The channel is read in order: once the pong is back, everything sent before it was taken.
  run.send = async (...messages) => {
    const id = ++run.pings;
    for (const m of [...messages, { type: 'ping', id }]) run.app.send(m);
    await run.app.next('pong', (m) => m.id === id);
  };
  run.pair = async (code = newCode(), headers = {}) => {
    if (code !== run.code) await run.send({ type: 'code', code });
    return (await run.call(code, '/api/pair', { method: 'POST', headers })).body;
  };
  return run;
}

const readFile = (state) => JSON.parse(fs.readFileSync(path.join(state, 'zel-desktop-agent', 'devices.json'), 'utf8')).devices;

// Each row: how the first server ends, and which lastSeen of the first device the file then holds
// (a killed server has had no close to write the last one).
it('brings paired devices back after a restart, without the removed ones and with a cut-off one still out', async () => {
  const rows = [['SIGTERM', 'last'], ['SIGKILL', 'written']];
  for (const [signal, kept] of rows) {
    const state = tempDir();
    const first = await start(state);
    const stamps = {};
    try {
      const a = await first.pair(first.code);
      const b = await first.pair();
      const d = await first.pair();
      const c = newCode();
      await first.send({ type: 'code', code: c });
      assert.equal((await first.call(c)).status, 200, 'a device that keeps its code');
      await sleep(20);
      stamps.written = Date.now();
      await first.call(a.key);
      await first.send({ type: 'remove', device: b.device.id }, { type: 'disconnect', device: d.device.id });
      await sleep(20);
      stamps.last = Date.now();
      await first.call(a.key);
      first.child.kill(signal);
      await first.exited;

      const file = path.join(state, 'zel-desktop-agent', 'devices.json');
      const text = fs.readFileSync(file, 'utf8');
      for (const secret of [a.key, b.key, d.key, c, first.code]) assert.ok(!text.includes(secret), `${signal}: no key or code in the file`);
      const seen = readFile(state).find((r) => r.id === a.device.id).lastSeen;
      assert.ok(seen >= stamps[kept] && (kept === 'last' || seen < stamps.last), `${signal}: lastSeen ${seen} on disk, ${kept} ${stamps[kept]}`);

      const second = await start(state);
      try {
        const listed = (await second.app.next('devices')).devices.map(({ id, name, online, allowed }) => ({ id, name, online, allowed }));
        assert.deepEqual(listed, [{ ...a.device, online: false, allowed: true }, { ...d.device, online: false, allowed: false }], signal);
        const bearers = [[a.key, 200, undefined], [b.key, 401, 'Invalid token.'], [c, 401, 'Invalid token.'], [d.key, 401, kCutOff]];
        for (const [bearer, status, error] of bearers) assert.deepEqual([(await second.call(bearer)).status, (await second.call(bearer)).error], [status, error], signal);
        await second.send({ type: 'allow', device: d.device.id });
        assert.equal((await second.call(d.key)).status, 200, `${signal}: allowed back in`);
        const e = await second.pair(second.code, { 'User-Agent': 'curl/8.5.0' });
        assert.ok(![a, b, d].some((x) => x.device.id === e.device.id), `${signal}: a new device gets a new id (${e.device.id})`);
        assert.equal(e.device.name, 'API 客户端', 'named as no browser');
        await sleep(20);
        const again = Date.now();
        await second.call(a.key);
        second.app.send('{"type":\n');
        second.child.stdio[3].end(); // the app has gone
        assert.deepEqual(await second.exited, [0, null]);
        assert.match(second.output, /Channel: ignored a line that is not JSON[^]*stopping \(channel closed\)/);
        for (const secret of [a.key, d.key, second.code]) assert.ok(!second.output.includes(secret), 'no key or code in the log');
        assert.ok(readFile(state).find((r) => r.id === a.device.id).lastSeen >= again, `${signal}: lastSeen moves`);
        assert.deepEqual(readFile(state).map((r) => [r.id, r.allowed]), [[a.device.id, true], [d.device.id, true], [e.device.id, true]], signal);
      } finally {
        second.child.kill('SIGKILL');
      }
    } finally {
      first.child.kill('SIGKILL');
    }
  }
});
