// Pairing codes, device keys and the owner's channel, over real sockets: the agent in this process
// with the app's end of the channel on a Unix socket pair (as the app launches it: restart.test.js).
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { after, before, describe, it } from 'node:test';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { ToolListChangedNotificationSchema } from '@modelcontextprotocol/sdk/types.js';
import { kPhone, mcpClient, newCode, openWs, sleep, tempDir, until, withOwner } from './helpers.js';

const kRefused = '电脑的主人拒绝了这台设备的连接。';
const kUnanswered = '电脑上无人确认这次连接，请稍后重新扫码。';
const kCutOff = '电脑的主人断开了这台设备，需等主人在电脑上重新允许。';
const pick = ({ name, kind, open }) => ({ name, kind, open });

describe('pairing codes and device keys', () => {
  const t = withOwner();
  const stale = withOwner({}, { codeTtlMs: 50 });

  it('reports an empty list at once, then the device that paired, named from its browser, with what it has open', async () => {
    assert.deepEqual(await t.app.next('devices'), { type: 'devices', devices: [] });
    const code = await t.issue();
    const { key, device } = await t.pair(code, null);
    assert.match(key, /^[A-Za-z0-9_-]{43}$/);
    assert.deepEqual(device.name, 'Android · Chrome');
    assert.deepEqual(await t.app.next('event'), { type: 'event', event: 'paired', device });
    const ws = await openWs(`ws://127.0.0.1:${t.agent.port}/api/live?token=${key}`);
    const listed = await t.app.next('devices', (m) => m.devices.some((d) => d.open.includes('live')));
    assert.deepEqual(listed.devices.map(({ id, name, kind, open }) => ({ id, name, kind, open })), [{ ...device, kind: 'browser', open: ['live'] }]);
    ws.close();
    await t.app.next('devices', (m) => m.devices.every((d) => d.open.length === 0));
  });

  // Each row: how the credential came about, then the status of /api/info with it (a removed
  // device's key: the next test).
  it('answers 401 for stale, reused, voided, removed and unknown credentials, and 200 for a code still used as the bearer', async () => {
    const issued = async (then) => {
      const code = await t.issue();
      await then(code);
      return code;
    };
    const rows = [
      ['a code used as the bearer by an old client', () => issued(async (code) => assert.equal((await t.call(code)).status, 200)), 200],
      ['a code another client exchanged first', () => issued((code) => t.pair(code, { name: 'first' })), 401],
      ['a code replaced by a newer one before any use', () => issued(() => t.issue()), 401],
      ['an expired code', async () => {
        const code = newCode();
        stale.app.send({ type: 'code', code });
        await sleep(200);
        return [code, stale];
      }, 401],
      ['the code of a removed device that never exchanged it', () => issued(async (code) => {
        await t.call(code);
        const id = [...t.server.devices.devices.values()].at(-1).id;
        t.app.send({ type: 'remove', device: id });
        await until('removed', () => !t.server.devices.devices.has(id));
      }), 401],
      ['an unknown key', async () => newCode(), 401],
    ];
    for (const [name, make, status] of rows) {
      const made = await make();
      const [bearer, agent] = Array.isArray(made) ? made : [made, t];
      const res = await agent.call(bearer);
      assert.equal(res.status, status, name);
      if (status === 401) assert.deepEqual([res.headers.get('www-authenticate'), (await res.json()).error], ['Bearer', 'Invalid token.'], name);
    }
  });

  it('refuses to pair a key again, and takes the name a client or its MCP initialize gives', async () => {
    const { key, device } = await t.pair(await t.issue(), { name: '  客厅的平板\n ' });
    assert.equal(device.name, '客厅的平板');
    const again = await t.call(key, '/api/pair', { method: 'POST' });
    assert.equal(again.status, 400);
    assert.match((await again.json()).error, /device key/);
    assert.equal((await t.call(key)).status, 200, 'the key still works');
    const client = await mcpClient(t.agent, { headers: { Authorization: `Bearer ${await t.issue()}` }, client: new Client({ name: ' Claude Desktop ', version: '1.0.0' }) });
    const listed = await t.app.next('devices', (m) => m.devices.some((d) => d.open.includes('mcp')));
    assert.deepEqual(pick(listed.devices.at(-1)), { name: 'Claude Desktop', kind: 'mcp', open: ['mcp'] });
    await client.close();
  });

  // Each row: what the owner does, the error its key gets then, how the device is listed, and
  // whether "allow" lets it back in.
  it('closes a removed or disconnected device\'s live view at once; a disconnected one stays out until allowed', async () => {
    const rows = [
      ['disconnect', kCutOff, { allowed: false, online: false, open: [] }, 200],
      ['remove', 'Invalid token.', undefined, 401],
    ];
    for (const [type, error, listed, afterAllow] of rows) {
      const { key, device } = await t.pair(await t.issue());
      const ws = await openWs(`ws://127.0.0.1:${t.agent.port}/api/live?token=${key}`);
      await t.app.next('devices', (m) => m.devices.some((d) => d.id === device.id && d.online));
      const closed = once(ws, 'close');
      t.app.send({ type, device: device.id });
      await closed;
      const res = await t.call(key);
      assert.deepEqual([res.status, (await res.json()).error], [401, error], type);
      await assert.rejects(openWs(`ws://127.0.0.1:${t.agent.port}/api/live?token=${key}`), { status: 401 }, type);
      const find = (m) => m.devices.find((d) => d.id === device.id);
      // The list from its pairing (allowed, offline) may still wait unread: look for the cut.
      const shown = find(await t.app.next('devices', (m) => (listed ? find(m) && !find(m).online && !find(m).allowed : !find(m))));
      assert.deepEqual(shown && { allowed: shown.allowed, online: shown.online, open: shown.open }, listed, type);
      t.app.send({ type: 'allow', device: device.id });
      await until(`${type}: allowed`, async () => (await t.call(key)).status === afterAllow);
    }
  });

  it('answers each ping at once with its id, and ignores one without a number', async () => {
    for (const id of [0, 7, 'x', undefined, 2 ** 40, 8]) t.app.send({ type: 'ping', id });
    for (const id of [0, 7, 2 ** 40, 8]) assert.deepEqual(await t.app.next('pong', (m) => m.id === id), { type: 'pong', id });
    assert.deepEqual(t.app.got.filter((m) => m.type === 'pong'), [], 'one pong for each good ping');
  });

  it('ignores lines it cannot use and keeps the channel up', async () => {
    for (const line of ['not json\n', '{"type":"nonsense"}\n', '{"type":"code","code":"short"}\n', `${'x'.repeat(70000)}\n`, '{"type":"remove","device":"d999"}\n']) t.app.send(line);
    const { key } = await t.pair(await t.issue());
    assert.equal((await t.call(key)).status, 200);
  });
});

describe('a device removed while it types', () => {
  let release;
  const held = new Promise((resolve) => (release = resolve));
  const t = withOwner({}, {}, {}, { input: async (request) => (JSON.parse(request.body).text === 'held' ? held.then(() => undefined) : undefined) });

  it('finishes what already reached the desktop and gets 401 for the next input', async () => {
    const { key, device } = await t.pair(await t.issue());
    const input = (text) => t.call(key, '/api/input', { method: 'POST', body: JSON.stringify({ action: 'type_text', text }) });
    const typing = input('held');
    await until('the text at the desktop', () => t.control.requests.some((r) => r.path === '/input' && r.body.includes('held')));
    t.app.send({ type: 'remove', device: device.id });
    await until('the device gone', async () => (await t.call(key)).status === 401);
    release();
    assert.equal((await typing).status, 200, 'what arrived stays');
    assert.equal((await input('after')).status, 401);
    assert.deepEqual(t.control.requests.filter((r) => r.path === '/input').map((r) => JSON.parse(r.body).text), ['held']);
  });
});

describe('the owner\'s consent', () => {
  const t = withOwner();
  const quick = withOwner({}, { consentMs: 100 });
  before(() => {
    for (const agent of [t, quick]) agent.app.send({ type: 'settings', terminal: true, consent: true });
  });

  it('holds a new device until the owner answers: yes pairs it, no spends the code, silence or a client gone ends the request', async () => {
    const rows = [
      ['allowed', t, async (m) => t.app.send({ type: 'consent', request: m.request, allow: true }), 200, null],
      ['refused', t, async (m) => t.app.send({ type: 'consent', request: m.request, allow: false }), 403, kRefused],
      ['unanswered', quick, async () => {}, 403, kUnanswered],
    ];
    for (const [name, agent, answer, status, error] of rows) {
      const code = await agent.issue();
      const asked = agent.call(code);
      const request = await agent.app.next('consent-request');
      assert.equal(request.name, 'Android · Chrome', name);
      await answer(request);
      const res = await asked;
      assert.equal(res.status, status, name);
      if (error) assert.deepEqual(await res.json(), { error }, name);
      if (name === 'unanswered') assert.deepEqual(await agent.app.next('consent-ended'), { type: 'consent-ended', request: request.request });
      if (name === 'refused') assert.equal((await agent.call(code)).status, 401, 'a refused code is spent');
      if (name === 'allowed') assert.equal((await agent.call(code)).status, 200, 'no second question for the device');
    }
    const abort = new AbortController();
    const gone = t.call(await t.issue(), '/api/info', { signal: abort.signal }).catch(() => 'aborted');
    const { request } = await t.app.next('consent-request');
    abort.abort();
    assert.equal(await gone, 'aborted');
    assert.deepEqual(await t.app.next('consent-ended'), { type: 'consent-ended', request });
  });
});

describe('the owner\'s terminal switch', () => {
  const t = withOwner({}, {}, { env: { PATH: '/usr/bin:/bin', HOME: tempDir(), SHELL: '/bin/sh' } });

  it('closes open terminals, refuses new ones with 404 and takes run_command off the MCP list, and back on', async () => {
    const { key } = await t.pair(await t.issue());
    const client = new Client({ name: 'zel-test', version: '1.0.0' });
    let changes = 0;
    client.setNotificationHandler(ToolListChangedNotificationSchema, () => void changes++);
    await mcpClient(t.agent, { headers: { Authorization: `Bearer ${key}` }, client });
    const hasRun = async () => (await client.listTools()).tools.some((tool) => tool.name === 'run_command');
    assert.equal(await hasRun(), true);
    const shell = await openWs(`ws://127.0.0.1:${t.agent.port}/api/terminal?token=${key}`);
    assert.deepEqual((await t.app.next('event', (m) => m.event === 'terminal')).device.name, 'Android · Chrome');
    const closed = once(shell, 'close');
    t.app.send({ type: 'settings', terminal: false, consent: false });
    await closed;
    await assert.rejects(openWs(`ws://127.0.0.1:${t.agent.port}/api/terminal?token=${key}`), { status: 404 });
    assert.equal((await t.call(key, '/api/terminal')).status, 404);
    assert.equal((await (await t.call(key)).json()).features.terminal, false);
    await until('the tool list changed', () => changes === 1);
    assert.equal(await hasRun(), false);
    t.app.send({ type: 'settings', terminal: true });
    await until('the tool list changed back', () => changes === 2);
    assert.equal(await hasRun(), true);
    await client.close();
  });
});
