// The live view's WebSocket against a fake control service: frames pushed, pacing by acks, input.
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { describe, it } from 'node:test';
import { kLiveDefaults } from '../src/live.js';
import { Pacer } from '../src/live-pacer.js';
import { describeError, inputFailure } from '../public/status.js';
import { answer, openWs, rawWs, sleep, until, withAgent } from './helpers.js';

const jpeg = (text) => answer('200 OK', 'image/jpeg', text);

// The desktop's own words for its sharing dialogs pass through whatever the relays put before them.
it('tells the phone, in the desktop\'s own words, what its sharing dialogs wait for or came to', (t) => {
  t.mock.method(console, 'warn', () => {});
  const [waiting, refused, ended, failed] = ['电脑正在等待你允许', '电脑上拒绝了共享屏幕', '电脑上的共享已停止', '电脑的桌面共享服务出错'].map((w) => `${w}：请在电脑上操作。`);
  for (const [name, said, expected] of [
    ['a capture relayed', describeError({ status: 502, message: `The control service answered 500: ${waiting}` }), waiting],
    ['a tap', inputFailure(500, waiting), waiting],
    ['a refused capture relayed', describeError({ status: 502, message: `The control service answered 500: ${refused}` }), refused],
    ['a tap after the sharing ended', inputFailure(500, ended), ended],
    ['a live view on a failed desktop', describeError({ status: 500, message: failed }), failed],
    ['another failure', inputFailure(500, 'Boom.'), '电脑没能执行这次操作。'],
    ['an unreachable service', describeError({ status: 502, message: 'The control service is unreachable: ECONNREFUSED' }), '电脑端服务暂不可用，请确认电脑上的应用已开启。'],
  ]) assert.equal(said, expected, name);
});

// A viewer that records what it gets and acknowledges only when told to.
async function viewer(t, query = '') {
  let ws;
  for (let i = 0; !ws; i++) { // the server may not have seen the last viewer's close yet
    ws = await openWs(`ws://127.0.0.1:${t.agent.port}/api/live?token=${t.agent.token}${query}`).catch((err) => {
      if (err.status !== 429 || i > 50) throw err;
      return sleep(20);
    });
  }
  const v = { ws, frames: [], texts: [] };
  ws.on('message', (data, binary) => {
    if (binary) {
      const count = data.readUInt16BE(10);
      const tilesAt = 14 + 12 * data.readUInt16BE(12);
      const tiles = Array.from({ length: count }, (_, i) => [0, 2, 4, 6].map((o) => data.readUInt16BE(tilesAt + 12 * i + o)));
      v.frames.push({ seq: data.readUInt32BE(0), quality: data[4], full: data[5] === 1, width: data.readUInt16BE(6), tiles, body: data.subarray(tilesAt + 12 * count).toString() });
    }
    else v.texts.push(JSON.parse(data.toString()));
  });
  v.ack = (seq = v.frames.at(-1).seq) => ws.send(JSON.stringify({ type: 'ack', seq }));
  v.send = (value) => ws.send(typeof value === 'string' ? value : JSON.stringify(value));
  return v;
}

// The desktop behind the control service: show() is what it shows at each look, or a failed answer.
// An app without /tiles answers whole screenshots. With it, the changes since a sequence: after a
// short wait, nothing while unchanged; the whole frame for 0; else one tile.
function desktop(withTiles) {
  const d = { show: () => 'still', seq: 0, shown: null, answers: [] };
  const look = () => {
    const now = d.show();
    if (typeof now === 'string' && now !== d.shown) [d.seq, d.shown] = [d.seq + 1, now];
    return now;
  };
  d.control = { screenshot: () => (typeof look() === 'string' ? jpeg(d.shown) : d.show()) };
  // A desktop that cannot type Chinese says which characters it left out.
  d.control.input = ({ body }) => (JSON.parse(body).action === 'type_text'
    ? answer('200 OK', 'application/json; charset=utf-8', JSON.stringify({ ok: true, typed: 1, skipped: 2, skippedText: '你好' }))
    : undefined);
  if (withTiles) d.control.tiles = async ({ query }) => {
    const since = Number(query.since);
    if (since === d.seq) await sleep(50);
    const now = look();
    if (typeof now !== 'string') return now;
    d.answers.push([since, d.seq]);
    const width = Math.min(1920, Number(query.width));
    const tiles = since === d.seq ? [] : since === 0 ? [[0, 0, width, 500]] : [[16 * (d.seq % 50), 32, 16, 16]];
    const head = { sequence: d.seq, width, height: 500, full: since === 0, tiles: tiles.map((tile) => [...tile, now.length]) };
    return answer('200 OK', 'application/x-zel-tiles', `${JSON.stringify(head)}\n${tiles.length ? now : ''}`);
  };
  return d;
}
const pick = (object, like) => Object.fromEntries(Object.keys(like).map((k) => [k, object[k]]));

// The same stream from either kind of app; each row: the first frame and the capture request it gives.
for (const [name, withTiles, live, first, query] of [
  ['screenshots (an app without /tiles)', false, { stillAfterMs: 100, stillIntervalMs: 20 },
    { seq: 1, quality: 60, full: true, width: 700, tiles: [[0, 0, 0, 0]], body: 'still' }, { format: 'jpeg', width: '700', quality: '60' }],
  ['tiles', true, { fps: 1000 }, { seq: 1, full: true, width: 1920, tiles: [[0, 0, 1920, 500]], body: 'still' },
    { since: '0', width: '2560', copies: '1', wait: String(kLiveDefaults.tilesWaitMs) }], // the desktop's own width while the link allows
]) describe(`live view stream of ${name}`, () => {
  const d = desktop(withTiles);
  const t = withAgent({}, { live }, d.control);
  const captures = () => t.control.requests.filter((r) => r.path !== '/input');
  const inputs = () => t.control.requests.filter((r) => r.path === '/input').map((r) => JSON.parse(r.body));

  if (withTiles) { // what does not depend on the kind of app, and what only tiles do
    // Copies passed on and each poll asking from the last answer: browser.test.js draws the result.
    it('keeps its own width when the view changes, and asks a whole frame for a refresh', async () => {
      let n = 0;
      d.show = () => `f${++n}`;
      await sleep(200); // the last viewer's poll ends first
      const answered = d.answers.length;
      const v = await viewer(t, '&width=800');
      await until('two updates', () => v.frames.length === 2);
      v.send({ type: 'view', width: 640 });
      v.ack();
      await until('more after a new view width', () => v.frames.length >= 4);
      assert.ok(captures().slice(answered - d.answers.length).every((r) => r.query.width === '2560'), 'the own width does not change with the view');
      v.send({ type: 'refresh' }); // the viewer could not show one
      v.ack();
      await until('a whole frame again', () => v.frames.slice(4).some((f) => f.full));
      v.ws.close();
    });

    it('refuses upgrades with bad widths and beyond the viewer limit', async () => { // the token: hostile.test.js
      const base = `ws://127.0.0.1:${t.agent.port}/api/live`;
      await assert.rejects(openWs(`${base}?token=${t.agent.token}&width=100`), (err) => err.status === 400, 'width too small');
      const open = await Promise.all([1, 2, 3, 4].map(() => openWs(`${base}?token=${t.agent.token}`)));
      await assert.rejects(openWs(`${base}?token=${t.agent.token}`), (err) => err.status === 429, 'fifth viewer');
      for (const ws of open) ws.close();
    });

    it('passes input on in order and answers bad messages without closing', async () => {
      d.show = () => 'still';
      const v = await viewer(t);
      const count = inputs().length;
      const valid = [{ action: 'click', coordinate: [250, 750] }, { action: 'click', coordinate: [250, 750] }, { action: 'drag', from: [200, 500], to: [800, 500] },
        { action: 'scroll', direction: 'down', amount: 2 }, { action: 'key_down', key: 'Alt' }, { action: 'key', key: 'tab' },
        { action: 'type_text', text: 'a你好' }];
      for (const [i, request] of valid.entries()) v.send({ type: 'input', id: i + 1, ...request });
      for (const message of [{ type: 'input', id: 50, action: 'explode' }, { type: 'input', id: 51 }, '{', '[1,2]', { type: 'nonsense' }, { type: 'view', width: 99999 }, { type: 'ping' }]) {
        const texts = v.texts.length;
        v.send(message);
        await until(JSON.stringify(message), () => v.texts.slice(texts).some((m) => m.status === 400));
      }
      await until('every input answered', () => v.texts.filter((m) => m.type === 'input' && m.status === 200).length === valid.length);
      // The characters left out reach the viewer, with the answer they came in.
      assert.deepEqual(v.texts.filter((m) => m.type === 'input' && m.skipped).map((m) => [m.id, m.skipped]), [[valid.length, '你好']]);
      assert.deepEqual(inputs().slice(count), valid);
      v.send({ type: 'ping', t: 1234 }); // the viewer's own stall watch
      await until('a pong', () => v.texts.some((m) => m.type === 'pong' && m.t === 1234));
      assert.equal(v.ws.readyState, v.ws.OPEN);
      v.ws.close(); // a key it held is let go of
      await until('the held key released', () => inputs().length === count + valid.length + 1);
      assert.deepEqual(inputs().at(-1), { action: 'key_up', key: 'alt' });
    });
  }

  it('pushes frames without requests and sends nothing more while the screen is still', async () => {
    d.show = () => 'still';
    const from = captures().length;
    const v = await viewer(t, '&width=700');
    await until('first frame', () => v.frames.length === 1);
    // The last test's viewer may still have a poll out: this viewer's first one asks from 0.
    const asked = captures().slice(from).find((r) => r.path === (withTiles ? '/tiles' : '/screenshot') && (!withTiles || r.query.since === '0'));
    assert.deepEqual([pick(v.frames[0], first), pick(asked?.query ?? {}, query)], [first, query]);
    // A viewer that does not draw the pointer gets it in the picture: no pointer messages, no /pointer.
    assert.ok(captures().slice(from).every((r) => r.path !== '/pointer' && r.query.pointer === undefined), JSON.stringify(captures().slice(from)));
    v.ack();
    const seen = captures().length;
    await until('the still screen is polled on', () => captures().length >= seen + 10);
    assert.deepEqual([v.frames.length, v.texts.filter((m) => m.type.startsWith('pointer'))], [1, []], 'an unchanged picture is not sent again');
    d.show = () => 'changed';
    await until('a change is sent', () => v.frames.length === 2);
    assert.equal(v.frames[1].body, 'changed');
    v.ws.close();
  });

  it('keeps at most two frames in flight and sends the newest after an ack, never a backlog', async () => {
    let n = 0;
    d.show = () => `frame-${++n}`;
    const v = await viewer(t);
    await until('two frames', () => v.frames.length === 2);
    const held = captures().length;
    await sleep(300); // the screen changes all the time, yet nothing is captured or sent
    assert.deepEqual([v.frames.length, captures().length], [2, held], 'no capture while the window is full');
    for (let round = 0; round < 5; round++) {
      const before = n;
      v.ack(v.frames.at(-2).seq); // the older of the two: one slot frees
      await until('one more frame', () => v.frames.length === 3 + round);
      assert.ok(Number(v.frames.at(-1).body.split('-')[1]) > before, 'captured after the ack');
      await sleep(100);
      assert.equal(v.frames.length, 3 + round, 'still at most two unacknowledged');
    }
    v.ack(); // cumulative: both slots free
    await until('two more frames', () => v.frames.length === 9);
    v.ws.close();
  });

  it('reports a capture failure and recovers when the control service answers again', async () => {
    d.show = () => answer('500 Internal Server Error', 'text/plain', 'capture failed');
    const v = await viewer(t);
    await until('an error message', () => v.texts.some((m) => m.type === 'error' && m.status === 502 && /capture failed/.test(m.message)));
    d.show = () => 'back';
    await until('a frame after recovery', () => v.frames.some((f) => f.body === 'back'));
    v.ws.close();
  });

});

// The app says by its status, not its words, that it cannot track changes: a 500 is a failure to
// report (and /tiles is asked again), a 501 turns the stream to whole screenshots for good.
describe('live view of an app that cannot track changes', () => {
  const unavailable = 'Main app tiles failed: Change tracking is not available.';
  let status = '500 Internal Server Error';
  const t = withAgent({}, { live: { stillAfterMs: 100, stillIntervalMs: 20 } },
    { tiles: () => answer(status, 'text/plain; charset=utf-8', unavailable), screenshot: () => jpeg('whole') });
  const asked = (path) => t.control.requests.filter((r) => r.path === path).length;

  it('reports a 500 and asks again, and takes screenshots after a 501', async () => {
    const v = await viewer(t);
    await until('an error message', () => v.texts.some((m) => m.type === 'error' && m.status === 502 && m.message.includes(unavailable)));
    assert.deepEqual([asked('/screenshot'), v.frames.length], [0, 0]);
    status = '501 Not Implemented';
    await until('a whole screenshot', () => v.frames.length === 1 && v.frames[0].body === 'whole', 5000);
    const polls = asked('/tiles');
    await until('the screen is polled on', () => asked('/screenshot') >= 5);
    assert.equal(asked('/tiles'), polls, 'no /tiles after the 501');
    v.ws.close();
  });
});

describe('live view pacing', () => {
  // Frames of size(quality, width) over a link of the given throughput (bytes per ms) and round trip.
  function run(bytesPerMs, rttMs, frames = 200, pacer = new Pacer({ fps: 30 }), clock = { now: 0 }, cost = size) {
    pacer.rtt(rttMs);
    for (let i = 0; i < frames; i++) {
      const { quality, width } = pacer.setting(1170);
      const bytes = cost(quality, width);
      pacer.acked({ bytes, sentAt: clock.now, ackAt: (clock.now += rttMs + bytes / bytesPerMs) });
    }
    return pacer.setting(1170);
  }
  // 62 KB at 60 and 1170 wide; the desktop is 1920 wide.
  const size = (quality, width) => (Math.min(1920, width) / 1170) ** 2 * (20000 + quality * 700);

  it('picks quality first, then width, for the link, keeps the own width while lowering its quality is enough, and climbs back', () => {
    // mixed: a terminal (lossless, the same bytes at any quality; more once scaled) beside a small
    // picture. The own width's last quality fits 5 Mbit/s, its first does not.
    const mixed = (quality, width) => (width >= 1920 ? 4000 + quality * 250 : (width / 1170) ** 2 * (5000 + quality * 40));
    for (const [name, cost, bytesPerMs, rtt, want] of [
      ['loopback', size, 1e5, 1, (s) => s.quality === 70 && s.width === 2560 && s.copies],
      ['20 Mbit/s, 60 ms', size, 2500, 60, (s) => s.quality <= 60 && s.quality >= 40 && s.width === 1170],
      ['5 Mbit/s, 150 ms', size, 625, 150, (s) => s.quality === 25 && s.width < 1170 && s.width >= 320],
      ['a terminal on loopback', mixed, 1e5, 1, (s) => s.native && s.quality === 70],
      ['a terminal at 5 Mbit/s, 150 ms', mixed, 625, 150, (s) => s.native && s.quality < 60 && s.copies],
      ['a terminal at 2 Mbit/s, 150 ms', mixed, 250, 150, (s) => !s.native && s.width === 1170 && s.copies],
    ]) {
      const got = run(bytesPerMs, rtt, 200, new Pacer({ fps: 30 }), { now: 0 }, cost);
      assert.ok(want(got), `${name}: ${JSON.stringify(got)}`);
    }
    const [pacer, clock] = [new Pacer({ fps: 30 }), { now: 0 }];
    assert.ok(run(300, 10, 300, pacer, clock).width < 1170, 'lowered in a slow spell');
    assert.deepEqual(run(1e5, 10, 300, pacer, clock), { quality: 70, width: 2560, copies: true, native: true }, 'raised again on a fast link');
  });

  it('reads the link, not the queue, from updates sent before the last one was acknowledged', () => {
    // 5 Mbit/s, 150 ms, an update every 33 ms: the larger ones queue behind each other. Each row: the
    // least and most the reading may be (the link's 625 bytes/ms, or what an update a frame carries).
    // The first ping's answer came late, from a page still busy starting; every fifth update is small.
    for (const [bytes, least, most] of [[10000, 250, 625 * 1.3], [20000, 625 * 0.7, 625 * 1.3], [40000, 625 * 0.7, 625 * 1.3]]) {
      const pacer = new Pacer({ fps: 30 });
      pacer.rtt(230);
      // Sends and acks in time order; the viewer acks in bunches, as it decodes.
      const events = [];
      let linkFree = 0;
      const size = (i) => (i % 5 ? bytes : 1000);
      for (let i = 0; i < 60; i++) {
        const sentAt = i * 33;
        linkFree = Math.max(sentAt + 75, linkFree) + size(i) / 625;
        events.push({ at: sentAt, i }, { at: Math.ceil((linkFree + 75) / 50) * 50, i, ack: true });
      }
      const frames = [];
      for (const { at, i, ack } of events.sort((a, b) => a.at - b.at || !a.ack - !b.ack)) {
        if (ack) pacer.acked({ ...frames[i], ackAt: at, whole: true });
        else frames[i] = { bytes: size(i), sentAt: at, ...pacer.sent() };
      }
      assert.ok(pacer.bytesPerMs >= least && pacer.bytesPerMs <= most, `${bytes} bytes an update: ${pacer.bytesPerMs}`);
    }
  });

  it('goes past the frame rate only for a compositor\'s whole frames the link carries', () => {
    const fast = 1000 / kLiveDefaults.frameFps;
    const base = 1000 / kLiveDefaults.fps;
    for (const [name, wholeFrames, bytesPerMs, bytes, want] of [
      ['a terminal line each frame on loopback', true, 1e5, 800, fast],
      ['the same from X, whose changes are drawing requests', false, 1e5, 800, base],
      ['video-sized frames at 5 Mbit/s', true, 625, 12000, base],
      ['a terminal line at 5 Mbit/s', true, 625, 800, fast],
    ]) {
      const pacer = new Pacer(kLiveDefaults);
      assert.equal(pacer.interval(wholeFrames), base, `${name}: unmeasured`);
      pacer.rtt(20);
      pacer.acked({ bytes: 200000, sentAt: 0, ackAt: 20 + 200000 / bytesPerMs, whole: true }); // the join's whole frame
      run(bytesPerMs, 20, 30, pacer, { now: 1e4 }, () => bytes);
      assert.equal(pacer.interval(wholeFrames), want, name);
    }
  });

  it('lets as many updates be unacknowledged as the round trip and the bandwidth need', () => {
    for (const [name, rtt, bytesPerMs, frames, bytes] of [
      ['unmeasured', null, null, 2, Infinity],
      ['150 ms, 5 Mbit/s', 150, 625, 7, 187500],
      ['a second away', 1000, 625, kLiveDefaults.maxInFlight, 1250000],
    ]) {
      const pacer = new Pacer({ fps: 30 });
      if (rtt !== null) pacer.rtt(rtt);
      pacer.bytesPerMs = bytesPerMs;
      assert.deepEqual(pacer.window(kLiveDefaults), { frames, bytes: Math.max(bytes, bytesPerMs === null ? 0 : 65536) }, name);
    }
  });
});

describe('live view bytes on the wire', () => {
  // One tile an update, made by file(n) for the nth change; a change every 20 ms.
  const d = { n: 0, file: null };
  const t = withAgent({}, { live: { fps: 1000 } }, {
    tiles: async ({ query }) => {
      await sleep(20);
      const body = d.file(++d.n);
      const head = { sequence: d.n, width: 1920, height: 500, full: query.since === '0', tiles: [[0, 0, 64, 16, body.length]] };
      return answer('200 OK', 'application/x-zel-tiles', Buffer.concat([Buffer.from(`${JSON.stringify(head)}\n`), body]));
    },
  });

  it('deflates PNG updates with what came before, and leaves JPEG ones as they are', async () => {
    // A terminal's next line: the same PNG chunks and glyphs, a counter apart. JPEG files are
    // compressed already: deflating them only costs CPU (the filler shows whether it was tried).
    const png = (n) => Buffer.concat([Buffer.from('89504e470d0a1a0a', 'hex'), Buffer.from(`IHDR PLTE IDAT ${'line of a busy terminal '.repeat(20)} ${n}`)]);
    const jpeg = (n) => Buffer.concat([Buffer.from('ffd8ffe0', 'hex'), Buffer.alloc(2000, n % 256)]);
    for (const [name, file, want] of [['PNG', png, (wire, sent) => wire < sent / 5], ['JPEG', jpeg, (wire, sent) => wire >= sent]]) {
      d.file = file;
      const v = await viewer(t);
      let wire = 0;
      v.ws._socket.on('data', (chunk) => (wire += chunk.length));
      await until('the first update', () => v.frames.length > 0);
      const [from, sent] = [v.frames.length, wire];
      let bytes = 0;
      for (let i = 0; i < 20; i++) {
        v.ack();
        await until('the next update', () => v.frames.length > from + i);
        bytes += 14 + 12 + v.frames.at(-1).body.length;
      }
      assert.ok(want(wire - sent, bytes), `${name}: ${wire - sent} bytes on the wire for ${bytes}`);
      v.ws.close();
      await once(v.ws, 'close');
    }
  });
});

describe('live view against a viewer that does not play by the rules', () => {
  // Every look is a new picture of 256 kB; the window alone would let 1000 updates (256 MB) be unread.
  let n = 0;
  const big = 'x'.repeat(256 * 1024);
  const tiles = ({ query }) => {
    const head = { sequence: ++n, width: 1920, height: 500, full: query.since === '0', tiles: [[0, 0, 1920, 500, big.length]] };
    return answer('200 OK', 'application/x-zel-tiles', `${JSON.stringify(head)}\n${big}`);
  };
  const limits = { fps: 1000, minInFlight: 1000, maxInFlight: 1000, keepAliveMs: 60000, maxBufferedBytes: 1 << 20 };
  const t = withAgent({}, { live: limits }, { tiles });
  const polls = () => t.control.requests.filter((r) => r.path === '/tiles').length;

  it('closes the socket on an ack of an update it never sent, and answers a malformed one', async () => {
    for (const [seq, closes] of [[2147483647, true], [-1, false], [2 ** 32, false], [1.5, false]]) {
      const v = await viewer(t);
      await until('the first update', () => v.frames.length >= 1);
      const texts = v.texts.length;
      v.ack(seq);
      if (closes) {
        const [code, reason] = await once(v.ws, 'close');
        assert.deepEqual([code, reason.toString()], [1008, 'ack of an update never sent'], `ack ${seq}`);
      } else {
        await until(`an error for ack ${seq}`, () => v.texts.slice(texts).some((m) => m.type === 'error' && m.status === 400));
        v.ws.close();
      }
    }
  });

  it('stops adding updates while a viewer does not read, and goes on once it does, acking nothing', async () => {
    const ws = await rawWs(t.agent.port, `/api/live?token=${t.agent.token}`);
    let received = 0;
    ws.socket.on('data', (d) => (received += d.length));
    ws.socket.pause();
    // Settled: no poll for a while. Without the bound the window would go on to 256 MB.
    let settled = 0;
    for (let last = -1; settled < 20; settled = polls() === last ? settled + 1 : 0) {
      last = polls();
      await sleep(25);
    }
    const sentWhilePaused = polls();
    assert.ok(sentWhilePaused * big.length < 64 << 20, `${sentWhilePaused} updates of 256 kB sent to a viewer not reading`);
    ws.socket.resume();
    await until('more updates once it reads', () => polls() > sentWhilePaused + 5 && received > sentWhilePaused * big.length);
    ws.socket.destroy();
  });
});

// A viewer that draws the pointer itself (pointer=1): tiles without the cursor, and the pointer's
// place and shape as messages in the picture's pixels (here half the desktop's), each sent once.
describe('live view of the desktop pointer', () => {
  const places = [[100, 50, true], [100, 50, true], [400, 302, true], [400, 302, false]];
  let step = 0;
  const pointer = async ({ path, query }) => {
    if (path === '/pointer/shape') return answer('200 OK', 'application/x-zel-pointer-shape', `${JSON.stringify({ serial: 7, width: 24, height: 32, hotX: 4, hotY: 6 })}\nPNGDATA`);
    const since = Number(query.since);
    if (since >= places.length) await sleep(200);
    const at = Math.min(since, places.length - 1);
    const [x, y, visible] = places[at];
    step = at + 1;
    return answer('200 OK', 'application/json; charset=utf-8', JSON.stringify({ sequence: at + 1, x, y, visible, serial: 7, width: 1920, height: 1080 }));
  };
  const tiles = async ({ query }) => {
    if (query.since !== '0') await sleep(200);
    const full = query.since === '0';
    const head = { sequence: 1, width: 960, height: 540, full, tiles: full ? [[0, 0, 960, 540, 5]] : [] };
    return answer('200 OK', 'application/x-zel-tiles', `${JSON.stringify(head)}\n${full ? 'still' : ''}`);
  };
  const t = withAgent({}, { live: { fps: 1000 } }, { tiles, pointer });

  it('sends where the pointer is and its shape, only when they changed', async () => {
    const v = await viewer(t, '&pointer=1');
    await until('pointer messages', () => v.texts.filter((m) => m.type === 'pointer').length >= 3 && step >= places.length);
    await sleep(100);
    assert.deepEqual(v.texts.filter((m) => m.type === 'pointer'), [
      { type: 'pointer', x: 50, y: 25, visible: true },
      { type: 'pointer', x: 200, y: 151, visible: true },
      { type: 'pointer', x: 200, y: 151, visible: false },
    ]);
    const url = `data:image/png;base64,${Buffer.from('PNGDATA').toString('base64')}`;
    assert.deepEqual(v.texts.filter((m) => m.type === 'pointer-shape'), [{ type: 'pointer-shape', serial: 7, width: 12, height: 16, hotX: 2, hotY: 3, url }]);
    assert.ok(t.control.requests.filter((r) => r.path === '/tiles').every((r) => r.query.pointer === '1'), 'tiles without pointer=1');
    v.ws.close();
  });
});
