// The paired devices on disk: where they go, damaged files set aside, a writer killed at any
// moment leaving a whole list, and lastSeen written at most once a minute per device.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import path from 'node:path';
import { it } from 'node:test';
import { DeviceStore, stateDir } from '../src/device-store.js';
import { DeviceRegistry } from '../src/devices.js';
import { kPhone, newCode, sleep, tempDir } from './helpers.js';

const mode = (file) => fs.statSync(file).mode & 0o777;
const hash = (n) => crypto.createHash('sha256').update(String(n)).digest('base64url');
const record = (i, seen) => ({ id: `d${i}`, name: `设备 ${i} ${'x'.repeat(120)}`, kind: 'api', named: false, pairedAt: i, lastSeen: seen, keyHash: hash(i), allowed: i % 2 === 0 });
const file = (dir) => path.join(dir, 'devices.json');

function storeIn(dir = path.join(tempDir(), 'zel-desktop-agent')) {
  const logged = [];
  return { dir, logged, store: new DeviceStore(dir, { log: (line) => logged.push(line) }) };
}

it('finds its folder from XDG_STATE_HOME, else HOME, else the passwd home', () => {
  const rows = [
    [{ XDG_STATE_HOME: '/s', HOME: '/h' }, '/s/zel-desktop-agent'],
    [{ XDG_STATE_HOME: 'relative', HOME: '/h' }, '/h/.local/state/zel-desktop-agent'],
    [{ XDG_STATE_HOME: '', HOME: 'relative' }, '/pw/.local/state/zel-desktop-agent'],
    [{}, '/pw/.local/state/zel-desktop-agent'],
  ];
  for (const [env, expected] of rows) assert.equal(stateDir(env, () => '/pw'), expected, JSON.stringify(env));
});

it('keeps what it saves, with folder mode 0700 and file mode 0600, and holds no code or key', () => {
  const { dir, store, logged } = storeIn();
  assert.deepEqual(store.load(), []);
  const records = [record(1, 5), record(2, 6)];
  assert.equal(store.save(records), true);
  assert.deepEqual([mode(dir), mode(file(dir)), fs.readdirSync(dir)], [0o700, 0o600, ['devices.json']]);
  assert.deepEqual(storeIn(dir).store.load(), records);
  assert.deepEqual(logged, []);
});

it('runs on without its folder: nothing loaded, saves refused with a line in the log', () => {
  const blocker = path.join(tempDir(), 'state');
  fs.writeFileSync(blocker, '');
  const { store, logged } = storeIn(path.join(blocker, 'zel-desktop-agent'));
  assert.deepEqual([store.load(), store.save([record(1, 1)])], [[], false]);
  assert.equal(logged.length, 2);
  assert.match(logged.join('\n'), /cannot use .*\n.*cannot save/);
});

// Each row: what lies where the file should be. The store starts empty, says so in the log (never
// what the file held) and keeps the file aside as it was; the next save works.
it('sets a damaged or unreadable file aside and starts with no devices', () => {
  const secret = newCode();
  const good = { version: 1, devices: [{ ...record(1, 1), name: secret }] };
  const rows = [
    ['not JSON', `{"version":1,"devices":[${secret}`],
    ['empty', ''],
    ['another version', JSON.stringify({ ...good, version: 2 })],
    ['no list', JSON.stringify({ version: 1, devices: secret })],
    ['a malformed key hash', JSON.stringify({ version: 1, devices: [{ ...good.devices[0], keyHash: secret.slice(1) }] })],
    ['a kind it does not know', JSON.stringify({ version: 1, devices: [{ ...good.devices[0], kind: 'toaster' }] })],
    ['one id twice', JSON.stringify({ version: 1, devices: [good.devices[0], good.devices[0]] })],
    ['a folder', null],
  ];
  for (const [name, content] of rows) {
    const { dir, store, logged } = storeIn();
    fs.mkdirSync(dir, { recursive: true });
    if (content === null) fs.mkdirSync(file(dir));
    else fs.writeFileSync(file(dir), content);
    assert.deepEqual(store.load(), [], name);
    const aside = fs.readdirSync(dir);
    assert.equal(aside.length, 1, name);
    assert.match(aside[0], /^devices\.json\.damaged-\d{4}-\d\d-\d\dT[\d-]+Z$/, name);
    if (content !== null) assert.equal(fs.readFileSync(path.join(dir, aside[0]), 'utf8'), content, name);
    assert.equal(logged.length, 1, name);
    assert.match(logged[0], /damaged|cannot be read/, name);
    assert.ok(!logged[0].includes(secret), `${name}: no content in the log`);
    assert.equal(store.save([record(2, 2)]), true, name);
    assert.deepEqual(storeIn(dir).store.load(), [record(2, 2)], name);
  }
});

// A child saves lists of 1..40 devices in turn, the n-th list with lastSeen n, until it is killed
// at a random moment: the file is then one whole list, and the writer's temp file goes at load.
it('leaves the old or the new list, never a torn one, when its writer is killed at any moment', async () => {
  const { dir } = storeIn();
  const writer = `
    import { DeviceStore } from ${JSON.stringify(path.resolve(import.meta.dirname, '../src/device-store.js'))};
    const hash = ${hash.toString()}; const crypto = await import('node:crypto');
    const record = ${record.toString()};
    const store = new DeviceStore(process.argv[1]);
    store.load();
    for (let round = 0; ; round++) {
      const n = (round % 40) + 1;
      store.save(Array.from({ length: n }, (_, i) => record(i + 1, n)));
      if (round === 0) process.stdout.write('ready\\n');
    }`;
  const counts = new Set();
  for (let round = 0; round < 50; round++) {
    const child = spawn(process.execPath, ['--input-type=module', '-e', writer, dir], { stdio: ['ignore', 'pipe', 'inherit'] });
    const exited = once(child, 'exit');
    await Promise.race([once(child.stdout, 'data'), exited]);
    await sleep(Math.random() * 15);
    child.kill('SIGKILL');
    assert.deepEqual(await exited, [null, 'SIGKILL'], `round ${round}: killed while writing`);
    const { store, logged } = storeIn(dir);
    const records = store.load();
    const n = records.length;
    assert.ok(n >= 1, `round ${round}: a list`);
    assert.deepEqual(records, Array.from({ length: n }, (_, i) => record(i + 1, n)), `round ${round}: the whole list of ${n}`);
    assert.deepEqual([logged, fs.readdirSync(dir)], [[], ['devices.json']], `round ${round}`);
    counts.add(n);
  }
  assert.ok(counts.size > 1, `killed at different lists: ${[...counts]}`);
});

// The clock is the test's: each row moves it, presents the key, and says what the file then holds.
it('writes lastSeen at most once a minute per device, and at close', async () => {
  let clock = 1_000_000;
  const { dir, store } = storeIn();
  const registry = new DeviceRegistry(null, {}, () => clock, store);
  const code = newCode();
  registry.issueCode(code);
  const req = { url: '/api/pair', headers: { 'user-agent': kPhone }, socket: null };
  const key = registry.exchange(await registry.authenticate(code, req), '');
  let changes = 0;
  registry.on('change', () => changes++);
  const onDisk = () => JSON.parse(fs.readFileSync(file(dir), 'utf8')).devices[0].lastSeen;
  const rows = [
    ['10 s later', 10_000, 1_000_000, 0],
    ['59 s after the last write', 49_000, 1_000_000, 0],
    ['a minute after it', 1_000, 1_060_000, 1],
    ['soon after', 5_000, 1_060_000, 1],
  ];
  for (const [name, step, written, changed] of rows) {
    clock += step;
    assert.equal((await registry.authenticate(key, req)).device.lastSeen, clock, name);
    assert.deepEqual([onDisk(), changes], [written, changed], name);
  }
  registry.flush();
  assert.equal(onDisk(), clock, 'at close');
  assert.deepEqual(new DeviceRegistry(null, {}, () => clock, storeIn(dir).store).list().map((d) => d.lastSeen), [clock]);
});
