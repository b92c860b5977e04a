// The web client in headless Chromium on a phone-sized touch screen, against a real agent.
import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { chromium } from 'playwright-core';
import { blankImage, tempDir, withAgent } from './helpers.js';

describe('web client in a phone browser', () => {
  let context, page, cdp;
  // A 16:9 desktop at whatever width the page asks for.
  const t = withAgent({}, {}, { screenshot: ({ query }) => blankImage(query.width, Math.round((query.width * 9) / 16)) });
  before(async () => {
    context = await chromium.launchPersistentContext(tempDir('zel-chromium-'), {
      executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update'],
      viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, deviceScaleFactor: 2,
    });
    page = context.pages()[0] ?? (await context.newPage());
    cdp = await context.newCDPSession(page);
  });
  after(() => context?.close());

  const inputs = () => t.control.requests.filter((r) => r.path === '/input').map((r) => JSON.parse(r.body));
  const pause = (ms) => new Promise((r) => setTimeout(r, ms));
  const touch = (type, touchPoints) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints });
  const status = (text) => page.waitForFunction((t) => document.getElementById('status').textContent.startsWith(t), text, { timeout: 10000 });
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

  it('loads with the token, hides it, and shows the screen at the viewport width', async () => {
    await page.goto(t.agent.base);
    await status('缺少访问令牌');
    await page.goto(`${t.agent.base}/?token=${t.agent.token}`);
    await page.waitForSelector('#screen.loaded');
    assert.equal(new URL(page.url()).search, '');
    await status('已连接');
    assert.equal(t.control.requests.at(-1).query.width, '780');
    assert.deepEqual(await page.locator('#screen').evaluate((img) => [img.naturalWidth, img.naturalHeight]), [780, 439]);
  });

  it('turns touch gestures and keys into the matching input requests', async () => {
    for (const [gesture, expected] of [
      [async () => page.touchscreen.tap(...Object.values(await at(250, 750))), { action: 'click', coordinate: [250, 750] }],
      [async () => { // back to back: the double-tap window is real time even on a busy machine
        const p = await at(600, 300);
        await Promise.all([touch('touchStart', [p]), touch('touchEnd', []), touch('touchStart', [p]), touch('touchEnd', [])]);
      }, { action: 'double_click', coordinate: [600, 300] }],
      [async () => swipe([await at(100, 200)], null, 700), { action: 'right_click', coordinate: [100, 200] }],
      [async () => swipe([await at(200, 500)], [await at(800, 500)]), { action: 'drag', from: [200, 500], to: [800, 500] }],
      [() => swipe([{ x: 150, y: 300 }, { x: 250, y: 300 }], [{ x: 150, y: 200 }, { x: 250, y: 200 }]),
        { action: 'scroll', direction: 'down', amount: (n) => n >= 1 }],
      [() => page.getByRole('button', { name: '回车' }).tap(), { action: 'key', key: 'return' }],
    ]) {
      const count = inputs().length;
      await gesture();
      for (let i = 0; i < 100 && inputs().length <= count; i++) await pause(50);
      await pause(350); // a late second request (a tap that should have been a double tap) shows up here
      const got = inputs()[count];
      assert.ok(got, `${expected.action}: an input request arrived`);
      for (const [key, want] of Object.entries(expected)) {
        const ok = typeof want === 'function' ? want(got[key]) : Array.isArray(want) ? want.every((v, i) => Math.abs(got[key][i] - v) <= 2) : got[key] === want;
        assert.ok(ok, `${expected.action}: ${key} is ${got[key]}, wanted ${want}`);
      }
      if (expected.action !== 'scroll') assert.equal(inputs().length, count + 1, `${expected.action}: exactly one request`);
    }
  });

  it('shows a failure from the desktop in Chinese', async () => {
    await t.control.close();
    await status('电脑端服务暂不可用');
  });
});
