import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { rawRequest, startAgent, startFakeControl } from './helpers.js';

describe('screenshot and input through the control service', () => {
  let control;
  let agent;
  before(async () => {
    control = await startFakeControl({
      screenshot: (req) => (req.query.width === '321'
        ? { status: '500 Internal Server Error', type: 'text/plain; charset=utf-8', body: 'Main app screenshot failed: Timed out waiting for screen frame.' }
        : { status: '200 OK', type: req.query.format === 'png' ? 'image/png' : 'image/jpeg', body: Buffer.from([0xff, 0xd8, 0, 1, 2, 0xff, 0xd9]) }),
    });
    agent = await startAgent({ screenshotUrl: control.screenshotUrl, inputUrl: control.inputUrl });
  });
  after(async () => {
    await agent.close();
    await control.close();
  });

  it('streams the screenshot through with its status, type and bytes', async () => {
    const res = await agent.fetch('/api/screenshot?format=jpg&width=800&quality=50&extra=1');
    assert.equal(res.status, 200);
    assert.equal(res.headers.get('content-type'), 'image/jpeg');
    assert.deepEqual([...new Uint8Array(await res.arrayBuffer())], [0xff, 0xd8, 0, 1, 2, 0xff, 0xd9]);
    assert.deepEqual(control.requests.at(-1), {
      path: '/screenshot', query: { secret: control.screenshotUrl.split('=')[1], format: 'jpeg', width: '800', quality: '50' }, body: '',
    });
  });

  it('passes a control service failure back as it came', async () => {
    const res = await agent.fetch('/api/screenshot?width=321');
    assert.equal(res.status, 500);
    assert.equal(res.headers.get('content-type'), 'text/plain; charset=utf-8');
    assert.equal(await res.text(), 'Main app screenshot failed: Timed out waiting for screen frame.');
  });

  it('forwards an input request in one read and passes the answer back', async () => {
    const request = { action: 'click', coordinate: [250, 750], note: '中文' };
    const res = await agent.fetch('/api/input', { method: 'POST', body: JSON.stringify(request) });
    assert.equal(res.status, 200);
    assert.deepEqual(await res.json(), { ok: true, action: 'click', display: { x: 0, y: 0, width: 1920, height: 1080 } });
    assert.deepEqual(JSON.parse(control.requests.at(-1).body), request);
    const info = await (await agent.fetch('/api/info')).json();
    assert.deepEqual(info.display, { x: 0, y: 0, width: 1920, height: 1080 });
    assert.deepEqual(info.features, { screenshot: true, input: true, type: info.features.type, terminal: false });
  });

  it('rejects hostile requests with a clear 4xx and keeps serving', async () => {
    const count = control.requests.length;
    const cases = [
      ['bad JSON', '/api/input', { method: 'POST', body: '{"action":' }, 400, /not valid JSON/],
      ['JSON array', '/api/input', { method: 'POST', body: '[1,2]' }, 400, /JSON object/],
      ['JSON null', '/api/input', { method: 'POST', body: 'null' }, 400, /JSON object/],
      ['no action', '/api/input', { method: 'POST', body: '{}' }, 400, /action/],
      ['unknown action', '/api/input', { method: 'POST', body: '{"action":"format_disk"}' }, 400, /action/],
      ['action not a string', '/api/input', { method: 'POST', body: '{"action":["click"]}' }, 400, /action/],
      ['huge body', '/api/input', { method: 'POST', body: `{"action":"click","x":"${'a'.repeat(200000)}"}` }, 413, /larger/],
      ['GET on input', '/api/input', {}, 405, /not allowed/],
      ['letters as width', '/api/screenshot?width=abc', {}, 400, /width/],
      ['negative width', '/api/screenshot?width=-5', {}, 400, /width/],
      ['width too small', '/api/screenshot?width=10', {}, 400, /between/],
      ['huge quality', '/api/screenshot?quality=99999999999', {}, 400, /quality/],
      ['unknown format', '/api/screenshot?format=gif', {}, 400, /format/],
      ['no such route', '/api/nothing', {}, 404, /route/],
      ['path climbing out', '/api/../../package.json', {}, 404, /not found/i],
    ];
    for (const [name, route, init, status, message] of cases) {
      const res = await agent.fetch(route, init);
      assert.equal(res.status, status, name);
      assert.match((await res.json()).error, message, name);
    }
    assert.equal(control.requests.length, count, 'nothing bad reached the control service');
    assert.equal((await agent.fetch('/api/info')).status, 200);
  });

  it('survives a body that never stops and malformed requests', async () => {
    const endless = await rawRequest(agent.port,
      `POST /api/input HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer ${agent.token}\r\nTransfer-Encoding: chunked\r\n\r\n` +
      `10000\r\n${'x'.repeat(0x10000)}\r\n`.repeat(3));
    assert.match(endless, /^HTTP\/1.1 413 /);
    assert.match(await rawRequest(agent.port, 'GET nothing HTTP/1.1\r\nHost: x\r\n\r\n'), /^HTTP\/1.1 400 /);
    assert.match(await rawRequest(agent.port, '\x00\x01\x02garbage\r\n\r\n'), /^HTTP\/1.1 400 /);
    assert.match(await rawRequest(agent.port, `GET / HTTP/1.1\r\nHost: x\r\nX-Big: ${'a'.repeat(100000)}\r\n\r\n`), /^HTTP\/1.1 431 /);
    assert.equal((await agent.fetch('/api/info')).status, 200);
  });
});

describe('control service down', () => {
  it('answers 502 with a clear message, and 503 when not configured', async () => {
    const control = await startFakeControl();
    const urls = { screenshotUrl: control.screenshotUrl, inputUrl: control.inputUrl };
    await control.close();
    const agent = await startAgent(urls);
    const unconfigured = await startAgent();
    try {
      for (const [route, init] of [['/api/screenshot', {}], ['/api/input', { method: 'POST', body: '{"action":"paste"}' }]]) {
        const res = await agent.fetch(route, init);
        assert.equal(res.status, 502, route);
        const { error } = await res.json();
        assert.match(error, /control service is unreachable: connection refused/);
        assert.doesNotMatch(error, /secret|5d0c3f4e/);
        const off = await unconfigured.fetch(route, init);
        assert.equal(off.status, 503);
        assert.match((await off.json()).error, /not configured/);
      }
    } finally {
      await agent.close();
      await unconfigured.close();
    }
  });
});
