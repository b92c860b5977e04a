import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { text as streamText } from 'node:stream/consumers';
import { describe, it } from 'node:test';
import { FailureLimiter, addressKey } from '../src/auth.js';
import { findClipboardTool } from '../src/clipboard.js';
import { answer, expectError, kSecret, tempDir, withAgent } from './helpers.js';

const kFrame = [0xff, 0xd8, 0, 1, 2, 0xff, 0xd9];
const kTimeout = 'Main app screenshot failed: Timed out waiting for screen frame.';

// A raw HTTP exchange, for requests that fetch refuses to make.
const rawRequest = (port, request) => streamText(net.connect(port, '127.0.0.1').end(request));
const post = (body) => ({ method: 'POST', body });

it('the failure limiter forgets after its window, clears on success, stays bounded, and brakes the unproven on everybody\'s failures', async () => {
  let now = 0;
  const limiter = new FailureLimiter({ freeFailures: 0, delayStepMs: 10, blockAfter: 2, blockMs: 1000, windowMs: 5000, maxTracked: 3 }, () => now);
  limiter.fail('a');
  limiter.fail('a');
  assert.equal(limiter.blockedFor('a'), 1000);
  now = 6000;
  assert.deepEqual([limiter.blockedFor('a'), limiter.fail('a')], [0, 10], 'the count starts afresh');
  limiter.succeed('a');
  assert.equal(limiter.fail('a'), 10);
  for (const address of ['b', 'c', 'd', 'e']) limiter.fail(address);
  assert.equal(limiter.entries.size, 3);
  const brake = new FailureLimiter({ blockAfter: 100, maxDelayMs: 0, globalBudget: 3, globalRefillMs: 1000 }, () => now);
  brake.succeed('phone'); // the paired phone, never braked for the others' failures
  for (const address of ['a', 'b', 'c']) brake.fail(address);
  assert.deepEqual([await brake.admit('d'), await brake.admit('phone')], [true, false]);
  now += 1000; // one failure forgiven
  assert.equal(await brake.admit('d'), false);
});

it('keys failures by address, IPv4 also when mapped, IPv6 by its /64, anything else as one', () => {
  for (const [key, ...texts] of [['198.51.100.9', '::ffff:198.51.100.9', '::FFFF:c633:6409', ' [::ffff:198.51.100.9] '],
    ['2001:db8:1:2::/64', '2001:db8:1:2:ffff::9', '2001:DB8:1:2:0:0:0:abc', '[2001:db8:1:2::77]', '2001:db8:1:2::1'],
    ['2001:db8:1:3::/64', '2001:db8:1:3::1'], ['198.51.100.10', '198.51.100.10'], ['invalid', 'not an address', '::ffff:999.1.1.1', '1.2.3']]) {
    for (const text of texts) assert.equal(addressKey(text), key, text);
  }
});

it('takes the clipboard tool for the session the environment names, never a display guessed from sockets', () => {
  const bin = tempDir();
  const xclipOnly = tempDir();
  for (const [dir, names] of [[bin, ['wl-copy', 'wl-paste', 'xclip']], [xclipOnly, ['xclip']]]) {
    for (const name of names) fs.writeFileSync(path.join(dir, name), '#!/bin/sh\n', { mode: 0o755 });
  }
  const home = tempDir();
  fs.writeFileSync(path.join(home, '.Xauthority'), '');
  const x = { DISPLAY: ':7', XAUTHORITY: undefined };
  const w = { WAYLAND_DISPLAY: 'wayland-3', XDG_RUNTIME_DIR: '/run/test' };
  const session = (env) => ({ PATH: '/nowhere', HOME: home, ...env });
  for (const [name, env, helperBinDir, read, tool, toolEnv] of [
    ['X11', x, bin, false, 'xclip', { DISPLAY: ':7', XAUTHORITY: path.join(home, '.Xauthority') }],
    ['X11 reads', x, bin, true, 'xclip', { DISPLAY: ':7', XAUTHORITY: path.join(home, '.Xauthority') }],
    ['Wayland', w, bin, false, 'wl-copy', w],
    ['Wayland reads', w, bin, true, 'wl-paste', w],
    ['Wayland with XWayland', { ...w, ...x }, bin, false, 'wl-copy', { ...w, DISPLAY: ':7', XAUTHORITY: path.join(home, '.Xauthority') }],
    ['XWayland without wl-clipboard', { ...w, ...x }, xclipOnly, false, 'xclip', { ...w, DISPLAY: ':7', XAUTHORITY: path.join(home, '.Xauthority') }],
    ['Wayland without wl-clipboard', w, xclipOnly, false, /No clipboard tool was found \(looked for wl-copy\)/],
    ['no session', {}, bin, false, /No desktop display was found/],
  ]) {
    const found = findClipboardTool({ helperBinDir, env: session(env), platform: 'linux', read });
    if (tool instanceof RegExp) {
      assert.match(found.error, tool, name);
      continue;
    }
    assert.equal(found.name, tool, name);
    assert.equal(found.file, path.join(helperBinDir, tool), name);
    assert.deepEqual(found.env, { PATH: '/nowhere', HOME: home, ...toolEnv }, name);
  }
});

describe('API', () => {
  // A stand-in xclip: records its arguments, DISPLAY and stdin; fails while a "fail" file exists.
  const bin = tempDir();
  const file = (name) => path.join(bin, name);
  fs.writeFileSync(file('clip'), '');
  fs.writeFileSync(file('xclip'), `#!/bin/sh
if [ -f "${bin}/fail" ]; then echo "Error: Can't open display: nowhere" >&2; exit 1; fi
cat > "${bin}/clip.tmp" && printf '%s|%s' "$*" "$DISPLAY" > "${bin}/args" && mv "${bin}/clip.tmp" "${bin}/clip"
`, { mode: 0o755 });
  let clipAtPaste;
  const t = withAgent({ helperBinDir: bin }, { limits: { freeFailures: 1, delayStepMs: 20, maxDelayMs: 100, blockAfter: 4, blockMs: 60000 }, env: { PATH: '/usr/bin:/bin', DISPLAY: ':42' } }, {
    screenshot: (req) => (req.query.width === '321' ? answer('500 Internal Server Error', 'text/plain; charset=utf-8', kTimeout)
      : answer('200 OK', 'image/jpeg', Buffer.from(kFrame))),
    input: () => void (clipAtPaste = fs.readFileSync(file('clip'), 'utf8')),
  });
  // Unreachable control service, and no clipboard tool on PATH.
  const down = withAgent({ screenshotUrl: `http://127.0.0.1:1/screenshot?secret=${kSecret}`, inputUrl: `http://127.0.0.1:1/input?secret=${kSecret}` },
    { env: { PATH: tempDir(), DISPLAY: ':42' } });
  const none = withAgent();
  const get = (headers, route = '/api/info') => fetch(t.agent.base + route, { headers });

  it('answers 401 without, with a wrong, or with a token in the query; accepts the bearer', async () => {
    for (const [headers, message, route] of [[{}, 'Missing token.'], [{ Authorization: 'Bearer nope' }, 'Invalid token.'],
      [{ Authorization: t.agent.token }, 'Missing token.'], [{}, 'Missing token.', `/api/info?token=${t.agent.token}`]]) {
      const res = await get({ ...headers, 'CF-Connecting-IP': '203.0.113.1' }, route);
      assert.deepEqual([res.status, res.headers.get('www-authenticate'), await res.json()], [401, 'Bearer', { error: message }]);
    }
    assert.equal((await get({ Authorization: `bearer  ${t.agent.token}` })).status, 200);
    assert.equal((await get({}, `/?token=${t.agent.token}`)).headers.get('referrer-policy'), 'no-referrer');
  });

  it('slows a guessing client down, then holds each of its requests: a wrong token gets 429, the right one is served', async (ctx) => {
    ctx.mock.timers.enable({ apis: ['setTimeout'] }); // a hold only ends when we tick
    const from = { 'CF-Connecting-IP': '198.51.100.7', Authorization: 'Bearer guess' };
    const other = { 'CF-Connecting-IP': '198.51.100.8', Authorization: `Bearer ${t.agent.token}` };
    assert.equal((await get(from)).status, 401);
    let held = true;
    const second = get(from).finally(() => (held = false));
    for (let i = 0; i < 3; i++) assert.equal((await get(other)).status, 200);
    assert.ok(held, 'the second failure is held back while others are served');
    ctx.mock.timers.tick(20);
    assert.equal((await second).status, 401);
    ctx.mock.timers.reset();
    for (let i = 0; i < 2; i++) assert.equal((await get(from)).status, 401);
    const started = performance.now();
    const [right, wrong] = await Promise.all([get({ ...from, Authorization: other.Authorization }), get(from)]);
    assert.ok(performance.now() - started >= 95, 'both were held for the brake\'s delay');
    assert.deepEqual([right.status, wrong.status, Number(wrong.headers.get('retry-after')) > 0], [200, 429, true]);
  });

  it('passes screenshots through both ways, and input in one read with its answer', async () => {
    const shot = await t.agent.fetch('/api/screenshot?format=jpg&width=800&quality=50&extra=1');
    assert.deepEqual([shot.status, shot.headers.get('content-type'), [...new Uint8Array(await shot.arrayBuffer())]], [200, 'image/jpeg', kFrame]);
    assert.deepEqual(t.control.requests.at(-1).query, { secret: kSecret, format: 'jpeg', width: '800', quality: '50' });
    const failed = await t.agent.fetch('/api/screenshot?width=321');
    assert.deepEqual([failed.status, failed.headers.get('content-type'), await failed.text()], [500, 'text/plain; charset=utf-8', kTimeout]);
    for (const request of [{ action: 'click', coordinate: [250, 750], note: '中文' }, { action: 'key_combo', keys: ['ctrl', 's'] },
      { action: 'type_text', text: 'Hi 你好\n' }]) {
      const res = await t.agent.fetch('/api/input', post(JSON.stringify(request)));
      assert.deepEqual([res.status, await res.json()], [200, { ok: true, action: request.action, display: { x: 0, y: 0, width: 1920, height: 1080 } }]);
      assert.deepEqual(JSON.parse(t.control.requests.at(-1).body), request);
    }
    const info = await (await t.agent.fetch('/api/info')).json();
    assert.deepEqual([info.display.width, info.features.screenshot, info.features.input], [1920, true, true]);
  });

  it('types by copying the text first, then sending one paste', async () => {
    const text = '你好，世界\nline two "quoted" $HOME `x`';
    const res = await t.agent.fetch('/api/type', post(JSON.stringify({ text })));
    assert.deepEqual([res.status, (await res.json()).action], [200, 'paste']);
    assert.equal(clipAtPaste, text, 'the clipboard held the text when the paste arrived');
    assert.equal(fs.readFileSync(file('args'), 'utf8'), '-selection clipboard -in|:42');
    assert.deepEqual(JSON.parse(t.control.requests.at(-1).body), { action: 'paste' });
  });

  it('rejects hostile requests and bad text with a clear 4xx, sends the control service nothing, and keeps serving', async () => {
    const count = t.control.requests.length;
    for (const [route, init, status, message] of [
      ['/api/input', post('{"action":'), 400, /not valid JSON/],
      ['/api/input', post('[1,2]'), 400, /JSON object/],
      ['/api/input', post('{"action":"format_disk"}'), 400, /action/],
      ['/api/input', post(`{"action":"click","x":"${'a'.repeat(200000)}"}`), 413, /larger/],
      ['/api/input', {}, 405, /not allowed/],
      ['/api/screenshot?width=abc', {}, 400, /width/],
      ['/api/screenshot?width=10', {}, 400, /between/],
      ['/api/screenshot?quality=99999999999', {}, 400, /quality/],
      ['/api/screenshot?format=gif', {}, 400, /format/],
      ['/api/type', post('{"text":""}'), 400, /non-empty/],
      ['/api/type', post(JSON.stringify({ text: 'x'.repeat(10001) })), 400, /longer than 10000/],
      ['/api/clipboard', post('{"text":""}'), 400, /non-empty/],
      ['/api/clipboard', post('{"text":"x","paste":"yes"}'), 400, /true or false/],
      ['/api/../../package.json', {}, 404, /not found/i],
    ]) await expectError(await t.agent.fetch(route, init), status, message, route);
    fs.writeFileSync(file('fail'), '');
    await expectError(await t.agent.fetch('/api/type', post('{"text":"abc"}')), 502, /xclip failed: Error: Can't open display/)
      .finally(() => fs.rmSync(file('fail')));
    assert.equal(t.control.requests.length, count, 'nothing bad reached the control service');
    const chunked = `POST /api/input HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer ${t.agent.token}\r\nTransfer-Encoding: chunked\r\n\r\n`;
    assert.match(await rawRequest(t.agent.port, chunked + `10000\r\n${'x'.repeat(0x10000)}\r\n`.repeat(3)), /^HTTP\/1.1 413 /);
    assert.equal((await t.agent.fetch('/api/info')).status, 200);
  });

  it('answers 502 when the control service is down (one request function for every route), and 503 when it or the clipboard tool is missing', async () => {
    for (const [agent, route, init, status, message] of [
      [down, '/api/screenshot', {}, 502, /^(?!.*(secret|5d0c3f4e)).*control service is unreachable: connection refused/],
      [down, '/api/type', post('{"text":"abc"}'), 503, /No clipboard tool was found \(looked for xclip, xsel\)/],
      [none, '/api/screenshot', {}, 503, /not configured/],
    ]) await expectError(await agent.agent.fetch(route, init), status, message, route);
    assert.deepEqual([(await (await t.agent.fetch('/api/info')).json()).features.type, (await (await down.agent.fetch('/api/info')).json()).features.type], [true, false]);
  });
});
