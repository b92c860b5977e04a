// The web client in headless Chromium on a phone-sized touch screen, against a real agent.
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { once } from 'node:events';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { chromium } from 'playwright-core';
import { loadToken } from '../src/config.js';
import { answer, launch, startFakeControl, tempDir, withAgent } from './helpers.js';

// JPEGs in one colour; a 16:9 desktop at the width asked for.
const jpegs = new Map();
function jpeg(width, height, [r, g, b]) {
  const key = `${width}x${height}/${r},${g},${b}`;
  if (!jpegs.has(key)) jpegs.set(key, execFileSync('convert', ['-size', `${width}x${height}`, `xc:rgb(${r},${g},${b})`, 'jpeg:-']));
  return jpegs.get(key);
}
const desktop = (width, shade = 128) => answer('200 OK', 'image/jpeg', jpeg(width, Math.round((width * 9) / 16), [shade, shade, shade]));

// The app's /tiles over a desktop of one shade with patches painted on it, numbered as its change
// log numbers them: a long poll while nothing changed, the patches since the viewer's sequence,
// the whole desktop for sequence 0 or after the shade changed.
function tileDesktop() {
  const m = { seq: 1, shade: 128, fullAt: 1, patches: [], waiters: [], answers: [] };
  const changed = () => (m.seq++, m.waiters.splice(0).forEach((wake) => wake()));
  m.setShade = (shade) => (m.shade = shade, m.patches = [], changed(), (m.fullAt = m.seq));
  m.paint = (x, y, w, h, rgb) => (changed(), m.patches.push({ seq: m.seq, x, y, w, h, rgb }));
  m.tiles = async ({ query }) => {
    const since = Number(query.since);
    const width = Math.min(1920, Number(query.width)); // asked wider: the desktop's own pixels
    const height = Math.round((width * 9) / 16);
    if (since === m.seq) await new Promise((wake) => (m.waiters.push(wake), setTimeout(wake, Number(query.wait))));
    const full = since === 0 || since < m.fullAt;
    const tiles = since === m.seq ? [] : full ? [[0, 0, width, height, jpeg(width, height, [m.shade, m.shade, m.shade])]]
      : m.patches.filter((p) => p.seq > since).map((p) => [p.x, p.y, p.w, p.h, jpeg(p.w, p.h, p.rgb)]);
    const head = { sequence: m.seq, width, height, full, tiles: tiles.map(([x, y, w, h, file]) => [x, y, w, h, file.length]) };
    const body = Buffer.concat([Buffer.from(`${JSON.stringify(head)}\n`), ...tiles.map((t) => t[4])]);
    m.answers.push({ since, full, bytes: body.length });
    return answer('200 OK', 'application/x-zel-tiles', body);
  };
  return m;
}

async function phone() {
  const context = await chromium.launchPersistentContext(tempDir('zel-chromium-'), {
    executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update'],
    viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, deviceScaleFactor: 3,
  });
  const page = context.pages()[0] ?? (await context.newPage());
  const requests = [];
  page.on('request', (r) => requests.push(new URL(r.url()).pathname));
  return { context, page, requests, status: (text) => page.waitForFunction((t) => document.getElementById('status').textContent.startsWith(t), text, { timeout: 15000 }) };
}

describe('web client in a phone browser', () => {
  let context, page, cdp, requests, status;
  const screen = tileDesktop();
  const t = withAgent({}, { live: { tilesWaitMs: 1000 } }, { screenshot: ({ query }) => desktop(query.width, screen.shade), tiles: screen.tiles });
  const received = []; // binary messages on the live socket: their sizes
  before(async () => {
    ({ context, page, requests, status } = await phone());
    cdp = await context.newCDPSession(page);
    await cdp.send('Network.enable');
    cdp.on('Network.webSocketFrameReceived', ({ response }) => response.opcode === 2 && received.push((response.payloadData.length * 3) / 4));
  });
  after(() => context?.close());

  const inputs = () => t.control.requests.filter((r) => r.path === '/input').map((r) => JSON.parse(r.body));
  const pause = (ms) => new Promise((r) => setTimeout(r, ms));
  const touch = (type, touchPoints) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints });
  const captures = () => t.control.requests.filter((r) => r.path === '/tiles').length;
  async function swipe(from, to, holdMs = 0) { // fingers down at from, held, moved to to in ten steps, lifted
    await touch('touchStart', from);
    await pause(holdMs);
    for (let i = 1; to && i <= 10; i++) await touch('touchMove', from.map((p, k) => ({ x: p.x + ((to[k].x - p.x) * i) / 10, y: p.y + ((to[k].y - p.y) * i) / 10 })));
    await touch('touchEnd', []);
  }
  async function at(nx, ny) { // page coordinates of a point on the 0..1000 desktop grid
    const box = await page.locator('#screen').boundingBox();
    return { x: box.x + (box.width * nx) / 1000, y: box.y + (box.height * ny) / 1000 };
  }

  it('loads with the token, hides it, and shows the screen at the desktop\'s own width', async () => {
    await page.goto(t.agent.base);
    await status('缺少访问令牌');
    await page.goto(`${t.agent.base}/?token=${t.agent.token}`);
    await page.waitForSelector('#screen.loaded');
    assert.equal(new URL(page.url()).search, '');
    await status('已连接');
    const { query } = t.control.requests.findLast((r) => r.path === '/tiles');
    assert.deepEqual([query.width, query.copies], ['2560', '1']);
    assert.deepEqual(await page.locator('#screen').evaluate((c) => [c.width, c.height]), [1920, 1080]);
  });

  // The colour on the canvas at frame pixel (x, y), once it is within 6 of rgb; null when it never gets there.
  const shows = (x, y, rgb) => page.waitForFunction(([x, y, rgb]) => {
    const got = document.getElementById('screen').getContext('2d').getImageData(x, y, 1, 1).data;
    return rgb.every((v, i) => Math.abs(got[i] - v) <= 6);
  }, [x, y, rgb], { timeout: 10000 }).then(() => true, () => false);

  it('composites the tiles of each change on the picture and sends nothing while the screen is still', async () => {
    for (const [name, change, inside, outside] of [
      ['a new shade: a whole frame', () => screen.setShade(60), [10, 10, [60, 60, 60]], null],
      ['a small patch: its tile only', () => screen.paint(96, 64, 32, 16, [220, 30, 30]), [100, 70, [220, 30, 30]], [300, 300, [60, 60, 60]]],
      ['another patch beside it', () => screen.paint(128, 64, 16, 16, [30, 30, 220]), [130, 70, [30, 30, 220]], [100, 70, [220, 30, 30]]],
    ]) {
      const count = received.length;
      change();
      assert.ok(await shows(...inside), `${name}: shown`);
      if (outside) assert.ok(await shows(...outside), `${name}: the rest of the picture stays`);
      await pause(100);
      const sizes = received.slice(count);
      assert.equal(sizes.length, 1, `${name}: one update`);
      if (outside) assert.ok(sizes[0] < 2000, `${name}: ${sizes[0]} bytes, not a whole frame`);
    }
    const count = received.length;
    await pause(800);
    assert.equal(received.length, count, 'a still screen sends nothing');
    assert.deepEqual(requests.filter((p) => p.startsWith('/api/screenshot')), []);
  });

  // Each gesture against the requests it must give, in order; `many` matches one or more in a row.
  const transform = () => page.locator('#screen').evaluate((c) => c.style.transform);
  const near = (got, want) => want.every((v, k) => Math.abs(got[k] - v) <= 2);
  const tap = (x, y) => ['left_down', 'left_up'].map((action) => ({ action, coordinate: [x, y] }));
  function matches(got, wanted) {
    let i = 0;
    for (const want of wanted) {
      const fits = (r) => r && Object.entries(want).every(([k, v]) => k === 'many' || (Array.isArray(v) ? near(r[k], v) : typeof v === 'function' ? v(r[k]) : r[k] === v));
      if (!fits(got[i])) return false;
      i++;
      while (want.many && fits(got[i])) i++;
    }
    return i === got.length;
  }
  it('one finger works on the desktop, live; two fingers only move the view; three scroll', async () => {
    const a = await at(200, 500);
    const b = await at(800, 500);
    const pan = [{ x: 150, y: 400 }, { x: 250, y: 400 }];
    for (const [name, gesture, wanted] of [
      ['tap', async () => page.touchscreen.tap(...Object.values(await at(250, 750))), tap(250, 750)],
      ['quick taps at two points', async () => {
        const [p, q] = [await at(600, 300), await at(700, 300)];
        await Promise.all([touch('touchStart', [p]), touch('touchEnd', []), touch('touchStart', [q]), touch('touchEnd', [])]);
      }, [...tap(600, 300), ...tap(700, 300)]],
      ['a double tap with a wobble', async () => {
        const [p, q] = [await at(600, 300), await at(601, 301)];
        await Promise.all([touch('touchStart', [p]), touch('touchEnd', []), touch('touchStart', [q]), touch('touchEnd', [])]);
      }, [...tap(600, 300), ...tap(600, 300)]],
      ['long press, with a ring filling and a magnifier', async () => {
        await touch('touchStart', [await at(100, 200)]);
        await pause(350);
        assert.deepEqual(await page.evaluate(() => ['hold-ring', 'loupe'].map((id) => document.getElementById(id).getBoundingClientRect().width > 0)), [true, true]);
        await pause(350);
        await touch('touchEnd', []);
        assert.equal(await page.locator('#hold-ring').isHidden(), true);
      }, [{ action: 'right_click', coordinate: [100, 200] }]],
      ['drag', () => swipe([a], [b]), [{ action: 'left_down', coordinate: [200, 500] }, { action: 'left_drag', many: true }, { action: 'left_up', coordinate: [800, 500] }]],
      ['hold, then drag', () => swipe([a], [b], 700), [{ action: 'left_down', coordinate: [200, 500] }, { action: 'left_drag', many: true }, { action: 'left_up', coordinate: [800, 500] }]],
      ['pinch out', () => swipe(pan, [{ x: 25, y: 400 }, { x: 375, y: 400 }]), []],
      ['pan sideways', () => swipe(pan, pan.map((p) => ({ x: p.x + 120, y: p.y }))), []],
      ['pan up and down', () => swipe(pan, pan.map((p) => ({ x: p.x, y: p.y - 150 }))), []],
      ['pinch in', () => swipe([{ x: 50, y: 400 }, { x: 350, y: 400 }], pan), []],
      ['three fingers up', () => swipe([...pan, { x: 200, y: 450 }], [...pan, { x: 200, y: 450 }].map((p) => ({ x: p.x, y: p.y - 100 }))),
        [{ action: 'move', coordinate: (c) => c.length === 2 }, { action: 'scroll', direction: 'down', many: true }]], // where the fingers began
      ['the scroll strip, down', async () => {
        const box = await page.locator('#wheel').boundingBox();
        await swipe([{ x: box.x + 20, y: box.y + 20 }], [{ x: box.x + 20, y: box.y + box.height - 20 }]);
      }, [{ action: 'scroll', direction: 'up', many: true }]],
      ['回车', () => page.getByRole('button', { name: '回车' }).tap(), [{ action: 'key', key: 'return' }]],
    ]) {
      const count = inputs().length;
      const before = await transform();
      await gesture();
      for (let i = 0; i < 40 && inputs().length < count + wanted.length; i++) await pause(50);
      await pause(400); // a stray extra request shows up here
      const got = inputs().slice(count).map((r) => ({ ...r, id: undefined }));
      assert.ok(matches(got, wanted), `${name}: got ${JSON.stringify(got)}`);
      if (wanted.length === 0) assert.notEqual(await transform(), before, `${name}: the view moved`);
    }
    assert.deepEqual(requests.filter((p) => p.startsWith('/api/input')), [], 'all input went over the live socket');
  });

  it('types what the phone keyboard commits as keystrokes, with sticky modifiers and the extra keys', async () => {
    const button = (name) => page.getByRole('button', { name, exact: true }).tap();
    await button('键盘');
    const small = await page.evaluate(() => [...document.querySelectorAll('button, input')].filter((el) => el.offsetParent)
      .map((el) => [el.textContent.trim() || el.id, el.getBoundingClientRect()]).filter(([, r]) => r.width < 44 || r.height < 44).map(([name]) => name));
    assert.deepEqual(small, [], 'every control is at least 44 px both ways');
    await page.locator('#kbd-text').tap();
    const typed = (text) => (got) => got.length > 0 && got.every((r) => r.action === 'type_text') && got.map((r) => r.text).join('') === text;
    const keys = (...wanted) => (got) => matches(got, wanted);
    for (const [name, act, ok] of [
      ['ASCII', () => page.keyboard.type('ls -la ~/x'), typed('ls -la ~/x')],
      ['Chinese from the input method', async () => {
        await cdp.send('Input.imeSetComposition', { text: 'ni', selectionStart: 2, selectionEnd: 2 });
        await cdp.send('Input.imeSetComposition', { text: '你好', selectionStart: 2, selectionEnd: 2 });
        await cdp.send('Input.insertText', { text: '你好世界' });
      }, typed('你好世界')],
      ['Enter and Backspace', async () => (await page.keyboard.press('Enter'), await page.keyboard.press('Backspace')),
        keys({ action: 'key', key: 'return' }, { action: 'key', key: 'backspace' })],
      ['Ctrl then s', async () => (await button('Ctrl'), await page.keyboard.type('s')), keys({ action: 'key_combo', keys: 'ctrl+s' })],
      ['Ctrl, Shift then T', async () => (await button('Ctrl'), await button('Shift'), await page.keyboard.type('T')), keys({ action: 'key_combo', keys: 'ctrl+shift+t' })],
      ['Alt then F4', async () => (await button('Alt'), await button('F4')), keys({ action: 'key_combo', keys: 'alt+f4' })],
      ['Ctrl then ← of the key bar', async () => (await button('Ctrl'), await button('左')), keys({ action: 'key_combo', keys: 'ctrl+left' })],
      ['PgDn, Delete, then plain text again', async () => (await button('PgDn'), await button('Delete'), await page.keyboard.type('s')),
        keys({ action: 'key_combo', keys: 'page_down' }, { action: 'key_combo', keys: 'delete' }, { action: 'type_text', text: 's' })],
    ]) {
      const count = inputs().length;
      await act();
      for (let i = 0; i < 40 && !ok(inputs().slice(count)); i++) await pause(50);
      await pause(150);
      const got = inputs().slice(count);
      assert.ok(ok(got), `${name}: got ${JSON.stringify(got)}`);
      assert.equal(await page.evaluate(() => document.activeElement.id), 'kbd-text', `${name}: the field keeps the focus`);
    }
    assert.deepEqual(requests.filter((p) => p.startsWith('/api/type') || p.startsWith('/api/clipboard')), [], 'never through the clipboard');
    assert.ok(!inputs().some((r) => r.action === 'paste'));
    await button('键盘');
  });

  it('in trackpad mode moves the pointer by the finger\'s travel and clicks where the pointer is', async () => {
    await page.getByRole('button', { name: '触控板', exact: true }).tap();
    const box = await page.locator('#screen').boundingBox();
    const [px, py] = [(100 * 1500) / box.width, (60 * 1500) / box.height]; // where 100, 60 px of travel from the corner lead
    const slide = (dx, dy, holdMs = 0) => swipe([{ x: 200, y: 400 }], [{ x: 200 + dx, y: 400 + dy }], holdMs);
    for (const [name, gesture, wanted, last] of [
      ['to the top left corner', async () => (await slide(-150, -300), await slide(-150, -300)), [{ action: 'move', many: true }], [0, 0]],
      ['a slide', () => slide(100, 60), [{ action: 'move', many: true }], [px, py]],
      ['a tap anywhere', () => page.touchscreen.tap(300, 200), tap(px, py)],
      ['a two-finger tap', () => swipe([{ x: 150, y: 400 }, { x: 250, y: 400 }]), [{ action: 'right_click', coordinate: [px, py] }]],
      ['hold, then slide', () => slide(-100, -60, 700), [{ action: 'left_down', coordinate: [px, py] }, { action: 'left_drag', many: true }, { action: 'left_up', coordinate: [0, 0] }]],
    ]) {
      const count = inputs().length;
      await gesture();
      await pause(400);
      const got = inputs().slice(count).map((r) => ({ ...r, id: undefined }));
      assert.ok(matches(got, wanted) && (!last || near(got.at(-1).coordinate, last)), `${name}: got ${JSON.stringify(got)}`);
    }
    await page.getByRole('button', { name: '触控板', exact: true }).tap();
  });

  it('zooms to three phone pixels per desktop pixel and out to the whole desktop, stopping at its edges', async () => {
    const box = () => page.evaluate(() => {
      const r = document.getElementById('screen').getBoundingClientRect();
      const v = document.getElementById('viewport').getBoundingClientRect();
      return { width: r.width, left: r.left - v.left, right: v.right - r.right, viewport: v.width };
    });
    const [closed, open] = [[{ x: 180, y: 300 }, { x: 210, y: 300 }], [{ x: 20, y: 300 }, { x: 370, y: 300 }]];
    const slide = (dx) => swipe(closed, closed.map((p) => ({ x: p.x + dx, y: p.y })));
    for (let i = 0; i < 6; i++) await swipe(closed, open);
    assert.ok((await box()).width / 1920 >= 3, `${(await box()).width / 1920} px per desktop pixel`);
    for (let i = 0; i < 6; i++) await swipe(open, closed);
    let b = await box();
    assert.deepEqual([b.width, b.left], [b.viewport, 0], 'all of the desktop again');
    await swipe([{ x: 150, y: 300 }, { x: 240, y: 300 }], [{ x: 110, y: 300 }, { x: 290, y: 300 }]); // twice as large
    for (const [dx, edge] of [[300, 'left'], [-300, 'right']]) {
      await slide(dx);
      await slide(dx);
      b = await box();
      assert.ok(Math.abs(b[edge]) < 0.5 && b.width > b.viewport * 1.5, `stopped at the ${edge} edge: ${JSON.stringify(b)}`);
    }
    // Turning the phone keeps the desktop point at the centre of the view (the bars hide in landscape).
    await slide(100);
    const centre = () => page.evaluate(() => {
      const r = document.getElementById('screen').getBoundingClientRect();
      const v = document.getElementById('viewport').getBoundingClientRect();
      return [((v.left + v.width / 2 - r.left) / r.width) * 1000, ((v.top + v.height / 2 - r.top) / r.height) * 1000];
    });
    const before = await centre();
    for (const size of [{ width: 844, height: 390 }, { width: 390, height: 844 }]) {
      await page.setViewportSize(size);
      await page.waitForFunction((w) => document.getElementById('viewport').clientWidth === w, size.width);
      await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)))); // past the resize event
      const now = await centre();
      assert.ok(Math.abs(now[0] - before[0]) < 5, `${size.width}: centre ${now} was ${before}`);
    }
    assert.equal(await page.locator('#bar').isVisible(), true);
  });

  it('stops capturing while the page is in the background and resumes when it is back', async () => {
    const visibility = (hidden) => page.evaluate((h) => {
      Object.defineProperty(document, 'hidden', { value: h, configurable: true });
      document.dispatchEvent(new Event('visibilitychange'));
    }, hidden);
    await visibility(true);
    await status('已暂停');
    await pause(200); // the close reaches the server
    const count = captures();
    await pause(600);
    assert.equal(captures(), count, 'no capture while nobody watches');
    await visibility(false);
    for (let i = 0; i < 200 && captures() === count; i++) await pause(50);
    assert.ok(captures() > count);
    await status('已连接');
  });

  it('shows a failure from the desktop in Chinese', async () => {
    await t.control.close();
    await status('电脑端服务暂不可用');
    assert.doesNotMatch(await page.locator('#status').textContent(), /[A-Za-z]/, 'none of the server\'s English');
  });
});

// Coloured bands that scroll up like a terminal, served as the app serves the desktop's own pixels: a
// whole JPEG first, then per scroll a copy of the area that moved and a PNG of the bands that came in.
function scrollingDesktop() {
  const [W, H, band] = [640, 360, 20];
  const m = { seq: 1, top: 0, tops: new Map([[1, 0]]), waiters: [], band };
  const colour = (n) => [(n * 67) % 256, (n * 131 + 50) % 256, (n * 29 + 100) % 256];
  const image = (first, count, format) => execFileSync('convert', ['-size', `${W}x${count * band}`, 'xc:black',
    ...Array.from({ length: count }, (_, i) => ['-fill', `rgb(${colour(first + i)})`, '-draw', `rectangle 0,${i * band} ${W},${(i + 1) * band - 1}`]).flat(), `${format}:-`]);
  m.colours = () => Array.from({ length: H / band }, (_, i) => colour(m.top + i));
  m.scroll = (bands) => (m.tops.set(++m.seq, (m.top += bands)), m.waiters.splice(0).forEach((wake) => wake()));
  m.tiles = async ({ query }) => {
    const since = Number(query.since);
    if (since === m.seq) await new Promise((wake) => (m.waiters.push(wake), setTimeout(wake, Number(query.wait))));
    const moved = m.tops.has(since) ? m.top - m.tops.get(since) : H / band;
    const full = moved * band >= H || query.copies !== '1';
    const files = since === m.seq ? [] : full ? [[0, 0, W, H, image(m.top, H / band, 'jpeg')]]
      : [[0, H - moved * band, W, moved * band, image(m.top + H / band - moved, moved, 'png')]];
    const copies = full || !files.length ? [] : [[0, moved * band, W, H - moved * band, 0, 0]];
    const head = { sequence: m.seq, width: W, height: H, full, copies, tiles: files.map(([x, y, w, h, f]) => [x, y, w, h, f.length]) };
    return answer('200 OK', 'application/x-zel-tiles', Buffer.concat([Buffer.from(`${JSON.stringify(head)}\n`), ...files.map((f) => f[4])]));
  };
  return m;
}

describe('web client following a scroll', () => {
  const screen = scrollingDesktop();
  const t = withAgent({}, { live: { tilesWaitMs: 1000 } }, { tiles: screen.tiles });
  let phoneSide;
  before(async () => (phoneSide = await phone()));
  after(() => phoneSide?.context.close());

  it('shows the desktop as it is after each scroll, the moved area copied within the picture', async () => {
    const { page, status } = phoneSide;
    await page.goto(`${t.agent.base}/?token=${t.agent.token}`);
    await status('已连接');
    for (const bands of [0, 1, 3, 2]) {
      if (bands) screen.scroll(bands);
      // The share of canvas pixels off the desktop by more than JPEG's ringing at an edge, and the worst.
      const off = () => page.evaluate(([colours, band]) => {
        const { data, width } = document.getElementById('screen').getContext('2d').getImageData(0, 0, 640, 360);
        let [count, worst] = [0, 0];
        for (let i = 0; i < data.length; i += 4) {
          const d = Math.max(...colours[Math.floor(i / 4 / width / band)].map((v, k) => Math.abs(data[i + k] - v)));
          [count, worst] = [count + (d > 24), Math.max(worst, d)];
        }
        return { share: count / (data.length / 4), worst };
      }, [screen.colours(), screen.band]);
      let got;
      for (let i = 0; i < 50 && (got = await off()).share > 0.01; i++) await new Promise((r) => setTimeout(r, 100));
      assert.ok(got.share <= 0.01 && got.worst < 80, `after ${bands} bands: ${JSON.stringify(got)}`);
    }
    const polls = t.control.requests.filter((r) => r.path === '/tiles');
    assert.ok(polls.every((r) => r.query.copies === '1'), 'the desktop\'s own pixels, with copies');
    assert.equal(polls.filter((r) => r.query.since === '0').length, 1, 'one whole frame, then copies and tiles');
  });
});

describe('web client across a restart of the server', () => {
  const home = tempDir();
  let control, server, phoneSide, port;
  const start = (p) => launch({ XDG_CONFIG_HOME: home, HOME: tempDir(), ZEL_AGENT_HOST: '127.0.0.1', ZEL_AGENT_PORT: String(p),
    ZEL_AGENT_SCREENSHOT_URL: control.screenshotUrl, ZEL_AGENT_INPUT_URL: control.inputUrl });
  before(async () => {
    control = await startFakeControl({ screenshot: ({ query }) => desktop(query.width) });
    server = start(0);
    port = await server.listening;
    phoneSide = await phone();
  });
  after(async () => (server.child.kill('SIGKILL'), await phoneSide?.context.close(), await control.close()));

  it('says it is reconnecting while the server is gone and shows the screen again when it is back', async () => {
    const { page, status } = phoneSide;
    await page.goto(`http://127.0.0.1:${port}/?token=${loadToken(path.join(home, 'zel-desktop-agent'))}`);
    await status('已连接');
    server.child.kill('SIGTERM');
    await server.exited;
    await status('网络连接中断'); // neither the stream nor the API answers
    await page.touchscreen.tap(195, 300); // refused out loud, not lost in silence
    await page.waitForFunction(() => document.getElementById('toast').textContent.includes('没有送到电脑'), null, { timeout: 10000 });
    const shots = control.requests.length;
    server = start(port);
    await server.listening;
    await status('已连接');
    assert.ok(control.requests.length > shots, 'frames come again');
  });
});

// The phone's clipboard and the desktop's (real xclip on a private X server) through the buttons,
// with the browser's clipboard allowed to the page and then without it (a field to paste into, and
// the desktop's text shown to select).
describe('clipboard between the phone and the desktop', () => {
  let xvfb, phoneSide;
  const env = { PATH: '/usr/bin:/bin' };
  const t = withAgent({}, { env }, { screenshot: ({ query }) => desktop(query.width) });
  before(async () => {
    xvfb = spawn('Xvfb', ['-displayfd', '3', '-nolisten', 'tcp'], { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
    env.DISPLAY = `:${(await once(xvfb.stdio[3], 'data'))[0].toString().trim()}`;
    phoneSide = await phone();
  });
  after(async () => (await phoneSide?.context.close(), xvfb.kill()));
  const desktopText = () => spawnSync('xclip', ['-selection', 'clipboard', '-out'], { env }).stdout.toString();
  const until = async (what, ok) => {
    for (let i = 0; i < 100 && !(await ok()); i++) await new Promise((r) => setTimeout(r, 50));
    assert.ok(await ok(), what);
  };

  it('sends the phone\'s text to the desktop and pastes it, and brings the desktop\'s back', async () => {
    const { context, page, status } = phoneSide;
    const button = (name) => page.getByRole('button', { name, exact: true }).tap();
    await page.goto(`${t.agent.base}/?token=${t.agent.token}`);
    await status('已连接');
    for (const [allowed, fromPhone, fromDesktop] of [[true, '手机上的字 ✓\n第二行', '电脑上的字 😀'], [false, 'typed by hand', '选中后复制']]) {
      if (allowed) await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: t.agent.base });
      else { // and writing refused, as Safari does once the tap's activation was spent on the request
        await context.clearPermissions();
        await page.evaluate(() => (navigator.clipboard.writeText = () => Promise.reject(new DOMException('denied', 'NotAllowedError'))));
      }
      const pastes = t.control.requests.filter((r) => r.path === '/input').length;
      if (allowed) await page.evaluate((text) => navigator.clipboard.writeText(text), fromPhone);
      await button('粘贴');
      if (!allowed) {
        await page.locator('#clip-text').fill(fromPhone);
        await button('发送到电脑');
      }
      await until(`${allowed}: on the desktop's clipboard`, () => desktopText() === fromPhone);
      await until(`${allowed}: pasted`, () => t.control.requests.filter((r) => r.path === '/input').length === pastes + 1);
      assert.equal(JSON.parse(t.control.requests.findLast((r) => r.path === '/input').body).action, 'paste');

      spawnSync('xclip', ['-selection', 'clipboard', '-in'], { env, input: fromDesktop, stdio: ['pipe', 'ignore', 'ignore'] });
      await until(`${allowed}: the desktop holds it`, () => desktopText() === fromDesktop);
      await button('复制电脑剪贴板');
      if (allowed) await until('on the phone\'s clipboard', async () => (await page.evaluate(() => navigator.clipboard.readText())) === fromDesktop);
      else {
        await page.locator('#clip-dialog[open]').waitFor();
        assert.deepEqual(await page.locator('#clip-text').evaluate((el) => [el.value, el.readOnly, el.selectionEnd - el.selectionStart]), [fromDesktop, true, fromDesktop.length]);
        await button('关闭');
      }
    }
  });
});
