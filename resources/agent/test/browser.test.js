// The web client in headless Chromium on a phone-sized touch screen, against a real agent.
import assert from 'node:assert/strict';
import { execFile, execFileSync, spawn, spawnSync } from 'node:child_process';
import { once } from 'node:events';
import { after, before, describe, it } from 'node:test';
import { answer, launchChromium, phoneContext, sleep as pause, until, withAgent } from './helpers.js';

// The desktop as the app's /tiles serves its own pixels: a grey strip, and beside it coloured bands
// that scroll up like a terminal. A whole JPEG for sequence 0 or a scroll past the window's height,
// else a copy of the area that moved and a PNG of the bands that came in, both off the left edge.
function scrollingDesktop() {
  const [W, H, X, band] = [1280, 720, 320, 40];
  const m = { W, H, seq: 1, top: 0, tops: new Map([[1, 0]]), waiters: [] };
  const colour = (n) => [(n * 67) % 256, (n * 131 + 50) % 256, (n * 29 + 100) % 256];
  const image = (first, count, width, format) => execFileSync('convert', ['-size', `${width}x${count * band}`, 'xc:rgb(128,128,128)',
    ...Array.from({ length: count }, (_, i) => ['-fill', `rgb(${colour(first + i)})`, '-draw', `rectangle ${width - W + X},${i * band} ${width},${(i + 1) * band - 1}`]).flat(), `${format}:-`]);
  m.scroll = (bands) => (m.tops.set(++m.seq, (m.top += bands)), m.waiters.splice(0).forEach((wake) => wake()));
  // The share of canvas pixels off the desktop by more than JPEG's ringing at an edge, and the worst.
  m.off = (page) => page.evaluate(([rows, width, X, band]) => {
    const { data } = document.getElementById('screen').getContext('2d').getImageData(0, 0, width, rows.length * band);
    let [count, worst] = [0, 0];
    for (let i = 0; i < data.length; i += 4) {
      const want = (i / 4) % width < X ? [128, 128, 128] : rows[Math.floor(i / 4 / width / band)];
      const d = Math.max(...want.map((v, k) => Math.abs(data[i + k] - v)));
      [count, worst] = [count + (d > 24), Math.max(worst, d)];
    }
    return { share: count / (data.length / 4), worst };
  }, [Array.from({ length: H / band }, (_, i) => colour(m.top + i)), W, X, band]);
  m.tiles = async ({ query }) => {
    const since = Number(query.since);
    if (since === m.seq) await new Promise((wake) => (m.waiters.push(wake), setTimeout(wake, Number(query.wait))));
    const moved = m.tops.has(since) ? m.top - m.tops.get(since) : H / band;
    const full = moved * band >= H || query.copies !== '1';
    const files = since === m.seq ? [] : full ? [[0, 0, W, H, image(m.top, H / band, W, 'jpeg')]]
      : [[X, H - moved * band, W - X, moved * band, image(m.top + H / band - moved, moved, W - X, 'png')]];
    const copies = full || !files.length ? [] : [[X, moved * band, W - X, H - moved * band, X, 0]];
    const head = { sequence: m.seq, width: W, height: H, full, copies, tiles: files.map(([x, y, w, h, f]) => [x, y, w, h, f.length]) };
    return answer('200 OK', 'application/x-zel-tiles', Buffer.concat([Buffer.from(`${JSON.stringify(head)}\n`), ...files.map((f) => f[4])]));
  };
  return m;
}

let browser;
before(async () => (browser = await launchChromium()));
after(() => browser?.close());
async function phone() {
  const context = await phoneContext(browser, { deviceScaleFactor: 3 });
  const page = await context.newPage();
  const requests = [];
  page.on('request', (r) => requests.push(new URL(r.url()).pathname));
  return { context, page, requests, status: (text) => page.waitForFunction((t) => document.getElementById('status').textContent.startsWith(t), text, { timeout: 15000 }) };
}

// One phone through all of the client's features, the desktop's clipboard on a private X server.
describe('web client in a phone browser', () => {
  let context, page, cdp, requests, status, xvfb;
  const env = { PATH: '/usr/bin:/bin' };
  before(async () => {
    xvfb = spawn('Xvfb', ['-displayfd', '3', '-nolisten', 'tcp'], { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
    env.DISPLAY = `:${(await once(xvfb.stdio[3], 'data'))[0].toString().trim()}`;
  });
  const screen = scrollingDesktop();
  let refuse = null; // the control service's refusal of the next input, as it words it
  const t = withAgent({}, { env, live: { tilesWaitMs: 1000 } }, { tiles: screen.tiles,
    input: () => refuse && answer('500 Internal Server Error', 'text/plain; charset=utf-8', [refuse, (refuse = null)][0]) });
  const received = []; // binary messages on the live socket
  before(async () => {
    ({ context, page, requests, status } = await phone());
    cdp = await context.newCDPSession(page);
    await cdp.send('Network.enable');
    cdp.on('Network.webSocketFrameReceived', ({ response }) => response.opcode === 2 && received.push(response));
  });
  after(async () => (await context?.close(), xvfb.kill()));

  const inputs = () => t.control.requests.filter((r) => r.path === '/input').map((r) => JSON.parse(r.body));
  const touch = (type, touchPoints) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints });
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
  const press = async (p) => (await touch('touchStart', [p]), await pause(700), await touch('touchEnd', []));
  const twoTaps = async (p, q) => { // in quick succession, at two grid points
    [p, q] = [await at(...p), await at(...q)];
    await Promise.all([touch('touchStart', [p]), touch('touchEnd', []), touch('touchStart', [q]), touch('touchEnd', [])]);
  };

  it('loads with the token, hides it, and shows the screen at the desktop\'s own width', async () => {
    await page.goto(t.agent.base);
    await status('缺少访问令牌');
    requests.length = 0;
    await page.goto(`${t.agent.base}/?token=${t.agent.token}`);
    await page.waitForSelector('#screen.loaded');
    // The page names every module it loads up front, so none waits for another to arrive first.
    const preloaded = await page.locator('link[rel="modulepreload"]').evaluateAll((links) => links.map((l) => new URL(l.href).pathname));
    assert.deepEqual(requests.filter((p) => p.endsWith('.js')).sort(), preloaded.sort());
    assert.equal(new URL(page.url()).search, '');
    await status('已连接');
    assert.deepEqual(await page.locator('#screen').evaluate((c) => [c.width, c.height]), [screen.W, screen.H]);
  });

  it('shows the desktop as it is after each scroll, one update each, the moved area copied', async () => {
    for (const bands of [0, 1, 3, 2, 18]) { // 18: the whole window, so a whole frame
      const count = received.length;
      if (bands) screen.scroll(bands);
      let got;
      for (let i = 0; i < 50 && (got = await screen.off(page)).share > 0.01; i++) await pause(100);
      assert.ok(got.share <= 0.01 && got.worst < 80, `after ${bands} bands: ${JSON.stringify(got)}`);
      await pause(100);
      if (bands) assert.equal(received.length, count + 1, `${bands} bands: one update`);
    }
    assert.equal(t.control.requests.filter((r) => r.path === '/tiles' && r.query.since === '0').length, 1, 'one whole frame, then copies and tiles');
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
  // Each row: what the phone does, the requests it must give (or a test of them), and what else must hold.
  async function expectInputs(rows, check = async () => {}) {
    for (const [name, act, wanted] of rows) {
      const ok = typeof wanted === 'function' ? wanted : (got) => matches(got, wanted);
      const [count, before] = [inputs().length, await transform()];
      await act();
      for (let i = 0; i < 40 && !ok(inputs().slice(count)); i++) await pause(50);
      await pause(400); // a stray extra request shows up here
      const got = inputs().slice(count).map((r) => ({ ...r, id: undefined }));
      assert.ok(ok(got), `${name}: got ${JSON.stringify(got)}`);
      await check(name, got, before);
    }
  }
  it('one finger works on the desktop, live; two fingers move the view, or scroll where it cannot move; three scroll', async () => {
    const a = await at(200, 500);
    const b = await at(800, 500);
    const pan = [{ x: 150, y: 400 }, { x: 250, y: 400 }];
    await expectInputs([
      ['tap', async () => page.touchscreen.tap(...Object.values(await at(250, 750))), tap(250, 750)],
      ['quick taps at two points', () => twoTaps([600, 300], [700, 300]), [...tap(600, 300), ...tap(700, 300)]],
      ['a double tap with a wobble', () => twoTaps([600, 300], [601, 301]), [...tap(600, 300), ...tap(600, 300)]],
      ['long press', async () => press(await at(100, 200)), [{ action: 'right_click', coordinate: [100, 200] }]],
      ['drag', () => swipe([a], [b]), [{ action: 'left_down', coordinate: [200, 500] }, { action: 'left_drag', many: true }, { action: 'left_up', coordinate: [800, 500] }]],
      ['hold, then drag', () => swipe([a], [b], 700), [{ action: 'left_down', coordinate: [200, 500] }, { action: 'left_drag', many: true }, { action: 'left_up', coordinate: [800, 500] }]],
      ['two fingers up, the whole desktop shown', () => swipe(pan, pan.map((p) => ({ x: p.x, y: p.y - 100 }))),
        [{ action: 'move', coordinate: (c) => c.length === 2 }, { action: 'scroll', direction: 'down', many: true }]],
      ['pinch out', () => swipe(pan, [{ x: 25, y: 400 }, { x: 375, y: 400 }]), []],
      ['pinch in, back to the whole desktop', () => swipe([{ x: 50, y: 400 }, { x: 350, y: 400 }], pan), []],
      ['three fingers up', () => swipe([...pan, { x: 200, y: 450 }], [...pan, { x: 200, y: 450 }].map((p) => ({ x: p.x, y: p.y - 100 }))),
        [{ action: 'move', coordinate: (c) => c.length === 2 }, { action: 'scroll', direction: 'down', many: true }]], // where the fingers began
      ['the scroll strip, down', async () => {
        const box = await page.locator('#wheel').boundingBox();
        await swipe([{ x: box.x + 20, y: box.y + 20 }], [{ x: box.x + 20, y: box.y + box.height - 20 }]);
      }, [{ action: 'scroll', direction: 'up', many: true }]],
      ['回车', () => page.getByRole('button', { name: '回车' }).tap(), [{ action: 'key', key: 'return' }]],
    ], async (name, got, before) => got.length || assert.notEqual(await transform(), before, `${name}: the view moved`));
    assert.deepEqual(requests.filter((p) => p.startsWith('/api/input')), [], 'all input went over the live socket');
  });

  it('says why the desktop refused a tap on the app\'s own window', async () => {
    const words = '这个位置是 Zel Desktop Agent 自己的窗口：远程设备不能操作它，请在电脑上直接操作。';
    refuse = `Main app input failed: ${words}`;
    await page.touchscreen.tap(...Object.values(await at(500, 500)));
    await page.waitForFunction((w) => document.getElementById('toast').textContent === `操作失败：${w}`, words, { timeout: 5000 });
  });

  const button = (name) => page.getByRole('button', { name, exact: true }).tap(); // keys and the input method: browser-keys.test.js
  const box = (selector) => page.locator(selector).boundingBox();
  const zoomBy = async (times, inward = false) => { // two fingers spread (or closed) across the picture
    const [closed, open] = [[{ x: 180, y: 400 }, { x: 210, y: 400 }], [{ x: 20, y: 400 }, { x: 370, y: 400 }]];
    for (let i = 0; i < times; i++) await (inward ? swipe(open, closed) : swipe(closed, open));
  };
  it('zooms to three phone pixels per desktop pixel and out to the whole desktop, stopping at its edges', async () => {
    const view = () => page.evaluate(() => {
      const [r, v] = ['screen', 'viewport'].map((id) => document.getElementById(id).getBoundingClientRect());
      return { width: r.width, left: r.left - v.left, viewport: v.width };
    });
    await zoomBy(6);
    assert.ok((await view()).width / screen.W >= 3, `${(await view()).width / screen.W} px per desktop pixel`);
    await zoomBy(6, true);
    let b = await view();
    assert.deepEqual([b.width, b.left], [b.viewport, 0], 'all of the desktop again');
    await swipe([{ x: 150, y: 300 }, { x: 240, y: 300 }], [{ x: 110, y: 300 }, { x: 290, y: 300 }]); // twice as large
    for (let i = 0; i < 2; i++) await swipe([{ x: 180, y: 300 }, { x: 210, y: 300 }], [{ x: 480, y: 300 }, { x: 510, y: 300 }]);
    b = await view();
    assert.ok(Math.abs(b.left) < 0.5 && b.width > b.viewport * 1.5, `stopped at the left edge: ${JSON.stringify(b)}`);
  });

  it('keeps touches off the picture off the desktop, steers the trackpad pointer from its first pixel, flicks a zoomed view', async () => {
    await page.getByRole('button', { name: '知道了' }).tap();
    await page.reload();
    await status('已连接');
    assert.ok(await page.locator('#hint').isHidden(), 'the hint, once dismissed, stays away');

    const pic = await box('#screen');
    const off = { x: 200, y: pic.y - 50 }; // the letterbox above the picture
    const still = async () => {};
    await expectInputs([
      ['a tap in the letterbox', () => page.touchscreen.tap(off.x, off.y), []],
      ['a long press in the letterbox', () => press(off), []],
      ['a drag from the letterbox onto the picture', async () => swipe([off], [await at(500, 500)]), []],
      ['three fingers from the letterbox down over the picture', () => swipe([off, { x: 250, y: off.y }, { x: 300, y: off.y + 10 }],
        [{ x: 200, y: pic.y + 100 }, { x: 250, y: pic.y + 100 }, { x: 300, y: pic.y + 110 }]), []],
    ], still);

    await page.getByRole('button', { name: '触控板', exact: true }).tap();
    await page.evaluate(async () => (await import('/touch.js')).setTrackpadPointer(500, 500));
    const mid = await at(500, 500);
    const nudge = async (steps, px, ms) => { // one finger, slowly, px each step
      await touch('touchStart', [mid]);
      for (let i = 1; i <= steps; i++) await (await pause(ms), touch('touchMove', [{ x: mid.x + i * px, y: mid.y }]));
      await pause(ms);
      await touch('touchEnd', []);
    };
    const perPx = 1000 / pic.width; // grid units per CSS pixel of the picture
    const moves = (check) => (got) => got.length > 0 && got.every((r) => r.action === 'move') && check(got.at(-1).coordinate);
    await expectInputs([
      ['a 7-px correction moves the pointer 1:1', () => nudge(7, 1, 40), moves((c) => near(c, [500 + 7 * perPx, 500]))],
      ['a slow nudge moves it, never a click', () => nudge(8, 1.5, 100), moves((c) => c[0] > 500 + 15 * perPx)],
      ['a tap clicks where the pointer is', async () => (await touch('touchStart', [mid]), await touch('touchEnd', [])),
        (got) => got.length === 2 && got[0].action === 'left_down' && got[1].action === 'left_up' && String(got[0].coordinate) === String(got[1].coordinate)],
    ], still);
    await page.getByRole('button', { name: '触控板', exact: true }).tap();

    await page.getByRole('button', { name: '铺满高度' }).tap();
    const [filled, view] = [await box('#screen'), await box('#viewport')];
    assert.ok(Math.abs(filled.height - view.height) < 1 && filled.width > view.width, `fills the height: ${JSON.stringify(filled)}`);
    const from = { x: 200, y: view.y + view.height / 2 };
    const to = { x: 80, y: from.y };
    await expectInputs([
      ['a quick swipe pans the view', () => swipe([from], [to]), []],
      ['a held finger drags on the desktop', () => swipe([from], [to], 700),
        [{ action: 'left_down' }, { action: 'left_drag', many: true }, { action: 'left_up' }]],
    ], async (name, got, before) => got.length || assert.notEqual(await transform(), before, `${name}: the view moved`));
    await page.getByRole('button', { name: '铺满高度' }).tap();
    assert.ok(Math.abs((await box('#screen')).width - view.width) < 1, 'the whole desktop again');
  });

  it('keeps the chosen zoom across rotations, the landscape bars apart, the panel above the soft keyboard', async (test) => {
    const portrait = { width: 390, height: 844 };
    test.after(() => page.setViewportSize(portrait)); // the later tests' phone, even after a failure here
    const rotate = async (size) => (await page.setViewportSize(size), await pause(300));
    const pictureWidth = async () => (await box('#screen')).width;
    for (const [name, zoom] of [['zoomed in', () => zoomBy(1)], ['the whole desktop', () => zoomBy(6, true)]]) {
      await zoom();
      const before = await pictureWidth();
      await rotate({ width: 844, height: 390 });
      const landscape = await pictureWidth();
      if (name === 'zoomed in') assert.ok(Math.abs(landscape / before - 1) < 0.01, `${name}: ${before} → ${landscape} px wide in landscape`);
      else assert.ok(Math.abs(landscape / 1280 - 390 / 720) < 0.01, `${name}: whole in landscape, ${landscape} px wide`);
      await rotate(portrait);
      assert.ok(Math.abs((await pictureWidth()) / before - 1) < 0.01, `${name}: back in portrait, ${await pictureWidth()} px wide, was ${before}`);
    }

    // Landscape with the bars called up, with and without the keyboard panel: no control covers another.
    const overlaps = () => page.evaluate(() => {
      const els = [...document.querySelectorAll('#status, #bar button, #bars, #keys, #kbd')].filter((el) => el.getClientRects().length);
      const boxes = els.map((el) => [el.id || el.textContent, el.getBoundingClientRect(), el]);
      const out = [];
      for (const [i, [a, p, x]] of boxes.entries()) {
        for (const [b, q, y] of boxes.slice(i + 1)) {
          const area = Math.max(0, Math.min(p.right, q.right) - Math.max(p.left, q.left)) * Math.max(0, Math.min(p.bottom, q.bottom) - Math.max(p.top, q.top));
          if (area > 1 && !x.contains(y) && !y.contains(x)) out.push(`${a} × ${b}`);
        }
      }
      return out;
    });
    await page.evaluate(() => (document.getElementById('tab-terminal').hidden = false)); // as when the terminal is allowed
    await rotate({ width: 844, height: 390 });
    await page.getByRole('button', { name: '工具栏' }).tap();
    assert.deepEqual(await overlaps(), [], 'bars shown');
    await page.getByRole('button', { name: '键盘', exact: true }).tap();
    assert.deepEqual(await overlaps(), [], 'keyboard panel open');
    // The panel beside the view: the desktop keeps at least half of the height, and the field shows.
    const [landscapeView, landscapePicture, field] = [await box('#viewport'), await box('#screen'), await box('#kbd-text')];
    assert.ok(landscapeView.height >= 390 / 2 && landscapePicture.height >= 390 / 2, `view ${JSON.stringify(landscapeView)}, picture ${JSON.stringify(landscapePicture)}`);
    assert.ok(field.y >= 0 && field.y + field.height <= 390 && field.x + field.width <= 844, `field ${JSON.stringify(field)}`);
    await page.getByRole('button', { name: '键盘', exact: true }).tap();
    await page.getByRole('button', { name: '工具栏' }).tap();
    await page.evaluate(() => (document.getElementById('tab-terminal').hidden = true));
    await rotate(portrait);

    // The soft keyboard takes the lower 336 px: the panel and the key bar stay above it, and the
    // zoomed view keeps the last tap in sight.
    await zoomBy(1);
    const view = await box('#viewport');
    const count = inputs().length;
    await page.touchscreen.tap(200, view.y + view.height - 80);
    await until('the tap', () => inputs().length >= count + 2);
    const caret = inputs()[count].coordinate;
    await page.getByRole('button', { name: '键盘', exact: true }).tap();
    const keyboard = (height) => page.evaluate((h) => {
      for (const [k, v] of Object.entries({ height: h, offsetTop: 0, scale: 1 })) {
        if (h) Object.defineProperty(visualViewport, k, { value: v, configurable: true });
        else delete visualViewport[k];
      }
      visualViewport.dispatchEvent(new Event('resize'));
    }, height);
    await keyboard(844 - 336);
    await pause(300);
    for (const selector of ['#kbd', '#keys', '#viewport']) assert.ok((await box(selector)).y + (await box(selector)).height <= 844 - 336 + 0.5, `${selector} above the keyboard`);
    const [c, v] = [await at(...caret), await box('#viewport')];
    assert.ok(c.x >= v.x && c.x <= v.x + v.width && c.y >= v.y && c.y <= v.y + v.height, `the caret ${JSON.stringify(c)} in the view ${JSON.stringify(v)}`);
    await keyboard(0);
    await page.getByRole('button', { name: '键盘', exact: true }).tap();
    await zoomBy(6, true);
  });

  const hide = (h) => page.evaluate((h) => {
    Object.defineProperty(document, 'hidden', { value: h, configurable: true });
    document.dispatchEvent(new Event('visibilitychange'));
  }, h);
  it('stops the stream while the page is in the background and takes it up again when it is back', async () => {
    const polls = () => t.control.requests.filter((r) => r.path === '/tiles').length;
    await hide(true);
    await status('已暂停');
    await pause(200);
    const count = polls();
    await pause(1500); // a stream still running would have polled again (1 s long polls)
    assert.equal(polls(), count, 'no capture while nobody watches');
    const clipboardRead = page.waitForResponse((r) => new URL(r.url()).pathname === '/api/clipboard'); // the page's look for new text
    await hide(false);
    await status('已连接');
    assert.ok(polls() > count);
    await clipboardRead;
  });

  // The clipboard allowed to the page, then not (a field to paste into, the desktop's text shown to select).
  // Never blocking: the agent under test shares this process.
  const desktopText = () => new Promise((resolve) => execFile('xclip', ['-selection', 'clipboard', '-out'], { env, timeout: 2000 }, (_err, out) => resolve(out)));

  it('types the phone\'s text on the desktop (pastes a long one), brings the desktop\'s back, offers it when it changed', async () => {
    const key = await page.evaluate(() => localStorage.getItem('zel-agent-key')); // the page's own: the code is spent
    assert.deepEqual(await (await t.agent.fetch('/api/clipboard', { headers: { Authorization: `Bearer ${key}` } })).json(), { text: null }, 'nothing was copied yet');
    await page.goto(`${t.agent.base}/?token=${t.agent.token}`);
    await status('已连接');
    // Short texts are typed, the desktop's clipboard left alone; a long one goes through it and is pasted.
    const long = `${'长文本 '.repeat(150)}end`;
    for (const [allowed, fromPhone, fromDesktop] of [[true, '手机上的字 ✓\n第二行', '电脑上的字 😀'], [true, long, 'long after'], [false, 'typed by hand', '选中后复制']]) {
      if (allowed) await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: t.agent.base });
      else { // and writing refused, as Safari does once the tap's activation was spent on the request
        await context.clearPermissions();
        await page.evaluate(() => (navigator.clipboard.writeText = () => Promise.reject(new DOMException('denied', 'NotAllowedError'))));
      }
      const pastes = t.control.requests.filter((r) => r.path === '/input').length;
      const before = await desktopText();
      if (allowed) await page.evaluate((text) => navigator.clipboard.writeText(text), fromPhone);
      await button('粘贴');
      if (!allowed) {
        await page.locator('#clip-text').fill(fromPhone);
        await button('发送到电脑');
      }
      await until(`${allowed}: sent`, () => t.control.requests.filter((r) => r.path === '/input').length === pastes + 1);
      const sent = JSON.parse(t.control.requests.findLast((r) => r.path === '/input').body);
      if (fromPhone === long) {
        await until('on the desktop\'s clipboard', async () => (await desktopText()) === fromPhone);
        assert.equal(sent.action, 'paste');
      } else {
        assert.deepEqual([sent.action, sent.text], ['type_text', fromPhone]);
        assert.equal(await desktopText(), before, 'the desktop\'s clipboard left alone');
      }

      spawnSync('xclip', ['-selection', 'clipboard', '-in'], { env, input: fromDesktop, stdio: ['pipe', 'ignore', 'ignore'] });
      await until(`${allowed}: the desktop holds it`, async () => (await desktopText()) === fromDesktop);
      await button('复制电脑剪贴板');
      if (allowed) await until('on the phone\'s clipboard', async () => (await page.evaluate(() => navigator.clipboard.readText())) === fromDesktop);
      else {
        await page.locator('#clip-dialog[open]').waitFor();
        assert.deepEqual(await page.locator('#clip-text').evaluate((el) => [el.value, el.readOnly, el.selectionEnd - el.selectionStart]), [fromDesktop, true, fromDesktop.length]);
        await button('关闭');
      }
    }
    // Away and back: the desktop's new text is one tap from the phone's clipboard; unchanged, nothing is offered.
    await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: t.agent.base });
    await page.reload();
    await status('已连接');
    for (const [text, offered] of [['复制于电脑', true], [null, false]]) {
      await hide(true);
      if (text) spawnSync('xclip', ['-selection', 'clipboard', '-in'], { env, input: text, stdio: ['pipe', 'ignore', 'ignore'] });
      await hide(false);
      await pause(1000);
      assert.equal(await page.locator('#clip-offer').isVisible(), offered, `${text}: offered`);
      if (!offered) continue;
      await page.getByRole('button', { name: '电脑剪贴板有新内容 · 复制' }).tap();
      await until('on the phone\'s clipboard', async () => (await page.evaluate(() => navigator.clipboard.readText())) === text);
    }
  });
});
