import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { answer, expectError, rawRequest, startAgent, startFakeControl, withAgent } from './helpers.js';

const kFrame = [0xff, 0xd8, 0, 1, 2, 0xff, 0xd9];
const kTimeout = 'Main app screenshot failed: Timed out waiting for screen frame.';

describe('screenshot and input through the control service', () => {
  const t = withAgent({}, {}, {
    screenshot: (req) => (req.query.width === '321' ? answer('500 Internal Server Error', 'text/plain; charset=utf-8', kTimeout)
      : answer('200 OK', req.query.format === 'png' ? 'image/png' : 'image/jpeg', Buffer.from(kFrame))),
  });

  it('passes status, type and bytes through both ways', async () => {
    const res = await t.agent.fetch('/api/screenshot?format=jpg&width=800&quality=50&extra=1');
    assert.deepEqual([res.status, res.headers.get('content-type'), [...new Uint8Array(await res.arrayBuffer())]], [200, 'image/jpeg', kFrame]);
    assert.deepEqual(t.control.requests.at(-1).query, { secret: t.control.screenshotUrl.split('=')[1], format: 'jpeg', width: '800', quality: '50' });
    const failed = await t.agent.fetch('/api/screenshot?width=321');
    assert.deepEqual([failed.status, failed.headers.get('content-type'), await failed.text()], [500, 'text/plain; charset=utf-8', kTimeout]);
  });

  it('forwards an input request in one read and passes the answer back', async () => {
    const request = { action: 'click', coordinate: [250, 750], note: '中文' };
    const res = await t.agent.fetch('/api/input', { method: 'POST', body: JSON.stringify(request) });
    assert.equal(res.status, 200);
    assert.deepEqual(await res.json(), { ok: true, action: 'click', display: { x: 0, y: 0, width: 1920, height: 1080 } });
    assert.deepEqual(JSON.parse(t.control.requests.at(-1).body), request);
    const info = await (await t.agent.fetch('/api/info')).json();
    assert.deepEqual([info.display.width, info.features.screenshot, info.features.input], [1920, true, true]);
  });

  it('rejects hostile requests with a clear 4xx and keeps serving', async () => {
    const count = t.control.requests.length;
    const post = (body) => ({ method: 'POST', body });
    for (const [route, init, status, message] of [
      ['/api/input', post('{"action":'), 400, /not valid JSON/],
      ['/api/input', post('[1,2]'), 400, /JSON object/],
      ['/api/input', post('{"action":["click"]}'), 400, /action/],
      ['/api/input', post('{"action":"format_disk"}'), 400, /action/],
      ['/api/input', post(`{"action":"click","x":"${'a'.repeat(200000)}"}`), 413, /larger/],
      ['/api/input', {}, 405, /not allowed/],
      ['/api/screenshot?width=abc', {}, 400, /width/],
      ['/api/screenshot?width=10', {}, 400, /between/],
      ['/api/screenshot?quality=99999999999', {}, 400, /quality/],
      ['/api/screenshot?format=gif', {}, 400, /format/],
      ['/api/nothing', {}, 404, /route/],
      ['/api/../../package.json', {}, 404, /not found/i],
    ]) await expectError(await t.agent.fetch(route, init), status, message, route);
    assert.equal(t.control.requests.length, count, 'nothing bad reached the control service');
    for (const [text, status] of [
      [`POST /api/input HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer ${t.agent.token}\r\nTransfer-Encoding: chunked\r\n\r\n${`10000\r\n${'x'.repeat(0x10000)}\r\n`.repeat(3)}`, 413],
      ['GET nothing HTTP/1.1\r\nHost: x\r\n\r\n', 400],
      ['\x00\x01\x02garbage\r\n\r\n', 400],
      [`GET / HTTP/1.1\r\nHost: x\r\nX-Big: ${'a'.repeat(100000)}\r\n\r\n`, 431],
    ]) assert.match(await rawRequest(t.agent.port, text), new RegExp(`^HTTP/1.1 ${status} `));
    assert.equal((await t.agent.fetch('/api/info')).status, 200);
  });
});

describe('control service down', () => {
  it('answers 502 with a clear message, and 503 when not configured', async () => {
    const control = await startFakeControl();
    await control.close();
    const agent = await startAgent({ screenshotUrl: control.screenshotUrl, inputUrl: control.inputUrl });
    const unconfigured = await startAgent();
    try {
      for (const [route, init] of [['/api/screenshot', {}], ['/api/input', { method: 'POST', body: '{"action":"paste"}' }]]) {
        await expectError(await agent.fetch(route, init), 502, /^(?!.*(secret|5d0c3f4e)).*control service is unreachable: connection refused/);
        await expectError(await unconfigured.fetch(route, init), 503, /not configured/);
      }
    } finally {
      await agent.close();
      await unconfigured.close();
    }
  });
});
