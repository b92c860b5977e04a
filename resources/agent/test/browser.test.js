// The web client in headless Chromium on a phone-sized touch screen, against a real agent.
import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { chromium } from 'playwright-core';
import { makePng, startAgent, startFakeControl, tempDir } from './helpers.js';

const kChromium = '/usr/bin/chromium';
const kArgs = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

describe('web client in a phone browser', () => {
  let control;
  let agent;
  let context;
  let page;
  let cdp;

  before(async () => {
    // A 16:9 desktop at whatever width the page asks for.
    control = await startFakeControl({
      screenshot: (req) => {
        const width = Number(req.query.width || 960);
        return { status: '200 OK', type: 'image/png', body: makePng(width, Math.round((width * 9) / 16)) };
      },
    });
    agent = await startAgent({ screenshotUrl: control.screenshotUrl, inputUrl: control.inputUrl });
    context = await chromium.launchPersistentContext(tempDir('zel-chromium-'), {
      executablePath: kChromium, args: kArgs, headless: true,
      viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, deviceScaleFactor: 2,
    });
    page = context.pages()[0] ?? (await context.newPage());
    cdp = await context.newCDPSession(page);
  });
  after(async () => {
    await context?.close();
    await agent?.close();
    await control?.close();
  });

  const inputs = () => control.requests.filter((r) => r.path === '/input').map((r) => JSON.parse(r.body));

  async function nextInput(count, name = '') {
    for (let i = 0; i < 100 && inputs().length <= count; i++) await new Promise((r) => setTimeout(r, 50));
    assert.ok(inputs().length > count, `${name}: an input request arrived`);
    return inputs()[count];
  }

  // Page coordinates of a point of the desktop given on the 0..1000 grid.
  async function at(nx, ny) {
    const box = await page.locator('#screen').boundingBox();
    return { x: box.x + (box.width * nx) / 1000, y: box.y + (box.height * ny) / 1000 };
  }

  const touch = (type, points) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints: points });
  const pause = (ms) => new Promise((r) => setTimeout(r, ms));

  it('shows a page without a token as not paired', async () => {
    await page.goto(agent.base);
    await page.waitForFunction(() => document.getElementById('status').textContent.includes('缺少访问令牌'));
  });

  it('loads with the token, hides it, and shows the screen at the viewport width', async () => {
    await page.goto(`${agent.base}/?token=${agent.token}`);
    await page.waitForSelector('#screen.loaded');
    assert.equal(new URL(page.url()).search, '');
    await page.waitForFunction(() => document.getElementById('status').textContent === '已连接');
    const widths = control.requests.filter((r) => r.path === '/screenshot').map((r) => r.query.width);
    assert.equal(widths.at(-1), String(390 * 2));
    const natural = await page.locator('#screen').evaluate((img) => [img.naturalWidth, img.naturalHeight]);
    assert.deepEqual(natural, [780, 439]);
  });

  it('turns touch gestures into the matching input requests', async () => {
    const cases = [
      ['tap', async () => page.touchscreen.tap(...Object.values(await at(250, 750))),
        { action: 'click', coordinate: [250, 750] }],
      ['double tap', async () => {
        const p = await at(600, 300);
        // Straight to the browser, back to back: the double-tap window is real time even on a busy machine.
        await Promise.all([touch('touchStart', [p]), touch('touchEnd', []), touch('touchStart', [p]), touch('touchEnd', [])]);
      }, { action: 'double_click', coordinate: [600, 300] }],
      ['long press', async () => {
        await touch('touchStart', [await at(100, 200)]);
        await pause(700);
        await touch('touchEnd', []);
      }, { action: 'right_click', coordinate: [100, 200] }],
      ['one-finger drag', async () => {
        const [a, b] = [await at(200, 500), await at(800, 500)];
        await touch('touchStart', [a]);
        for (let i = 1; i <= 5; i++) await touch('touchMove', [{ x: a.x + ((b.x - a.x) * i) / 5, y: a.y }]);
        await touch('touchEnd', []);
      }, { action: 'drag', from: [200, 500], to: [800, 500] }],
      ['two-finger swipe up', async () => {
        await touch('touchStart', [{ x: 150, y: 300 }, { x: 250, y: 300 }]);
        for (let y = 290; y >= 200; y -= 10) await touch('touchMove', [{ x: 150, y }, { x: 250, y }]);
        await touch('touchEnd', []);
      }, { action: 'scroll', direction: 'down' }],
    ];
    for (const [name, gesture, expected] of cases) {
      const count = inputs().length;
      await gesture();
      const got = await nextInput(count, name);
      assert.equal(got.action, expected.action, name);
      for (const key of ['coordinate', 'from', 'to']) {
        if (!expected[key]) continue;
        assert.ok(Math.abs(got[key][0] - expected[key][0]) <= 2 && Math.abs(got[key][1] - expected[key][1]) <= 2,
          `${name}: ${key} ${got[key]} should be near ${expected[key]}`);
      }
      if (expected.direction) {
        assert.equal(got.direction, expected.direction, name);
        assert.ok(got.amount >= 1, name);
      }
      await pause(350); // a late second request (a tap that should have been a double tap) shows up here
      if (expected.action !== 'scroll') assert.equal(inputs().length, count + 1, `${name}: exactly one request`);
    }
  });

  it('sends a key from the key bar', async () => {
    const count = inputs().length;
    await page.getByRole('button', { name: '回车' }).tap();
    assert.deepEqual(await nextInput(count), { action: 'key', key: 'return' });
  });

  it('shows a failure from the desktop in Chinese', async () => {
    await control.close();
    await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('电脑端服务暂不可用'), null, { timeout: 10000 });
  });
});
