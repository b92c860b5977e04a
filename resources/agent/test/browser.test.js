// The web client in headless Chromium on a phone-sized touch screen, against a real agent.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { chromium } from 'playwright-core';
import { loadToken } from '../src/config.js';
import { answer, launch, startFakeControl, tempDir, withAgent } from './helpers.js';

// A 16:9 desktop in one colour as a JPEG at the width asked for; a new shade is a changed screen.
const jpegs = new Map();
function desktop(width, shade = 128) {
  const key = `${width}/${shade}`;
  if (!jpegs.has(key)) jpegs.set(key, execFileSync('convert', ['-size', `${width}x${Math.round((width * 9) / 16)}`, `xc:rgb(${shade},${shade},${shade})`, 'jpeg:-']));
  return answer('200 OK', 'image/jpeg', jpegs.get(key));
}

async function phone() {
  const context = await chromium.launchPersistentContext(tempDir('zel-chromium-'), {
    executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update'],
    viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, deviceScaleFactor: 2,
  });
  const page = context.pages()[0] ?? (await context.newPage());
  const requests = [];
  page.on('request', (r) => requests.push(new URL(r.url()).pathname));
  return { context, page, requests, status: (text) => page.waitForFunction((t) => document.getElementById('status').textContent.startsWith(t), text, { timeout: 15000 }) };
}

describe('web client in a phone browser', () => {
  let context, page, cdp, requests, status;
  let shade = 128;
  const t = withAgent({}, {}, { screenshot: ({ query }) => desktop(query.width, shade) });
  before(async () => {
    ({ context, page, requests, status } = await phone());
    cdp = await context.newCDPSession(page);
  });
  after(() => context?.close());

  const inputs = () => t.control.requests.filter((r) => r.path === '/input').map((r) => JSON.parse(r.body));
  const pause = (ms) => new Promise((r) => setTimeout(r, ms));
  const touch = (type, touchPoints) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints });
  const captures = () => t.control.requests.filter((r) => r.path === '/screenshot').length;
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
    assert.equal(t.control.requests.findLast((r) => r.path === '/screenshot').query.width, '780');
    assert.deepEqual(await page.locator('#screen').evaluate((img) => [img.naturalWidth, img.naturalHeight]), [780, 439]);
  });

  it('shows each change of the screen as it comes, without asking for frames', async () => {
    const shown = () => page.locator('#screen').getAttribute('src');
    for (const next of [60, 200, 30]) {
      const before = await shown();
      shade = next;
      await page.waitForFunction((src) => document.getElementById('screen').getAttribute('src') !== src, before, { timeout: 10000 });
      const pixel = await page.locator('#screen').evaluate((img) => {
        const canvas = Object.assign(document.createElement('canvas'), { width: 4, height: 4 });
        const g = canvas.getContext('2d');
        g.drawImage(img, 0, 0, 4, 4);
        return g.getImageData(1, 1, 1, 1).data[0];
      });
      assert.ok(Math.abs(pixel - next) <= 3, `shade ${next} shown as ${pixel}`);
    }
    assert.deepEqual(requests.filter((p) => p.startsWith('/api/screenshot')), []);
  });

  it('turns touch gestures and keys into the matching input requests', async () => {
    for (const [gesture, expected] of [
      [async () => page.touchscreen.tap(...Object.values(await at(250, 750))), { action: 'click', coordinate: [250, 750] }],
      [async () => { // the second tap a little off: both clicks land on the first one's spot
        const [p, q] = [await at(600, 300), await at(602, 303)];
        await Promise.all([touch('touchStart', [p]), touch('touchEnd', []), touch('touchStart', [q]), touch('touchEnd', [])]);
      }, { action: 'click', coordinate: [600, 300], then: { action: 'click', coordinate: [600, 300] } }],
      [async () => swipe([await at(100, 200)], null, 700), { action: 'right_click', coordinate: [100, 200] }],
      [async () => swipe([await at(200, 500)], [await at(800, 500)]), { action: 'drag', from: [200, 500], to: [800, 500] }],
      [() => swipe([{ x: 150, y: 300 }, { x: 250, y: 300 }], [{ x: 150, y: 200 }, { x: 250, y: 200 }]),
        { action: 'scroll', direction: 'down', amount: (n) => n >= 1 }],
      [() => page.getByRole('button', { name: '回车' }).tap(), { action: 'key', key: 'return' }],
    ]) {
      const count = inputs().length;
      await gesture();
      for (let i = 0; i < 100 && inputs().length <= count; i++) await pause(50);
      await pause(350); // a stray extra request shows up here
      const wanted = expected.then ? [expected, expected.then] : [expected];
      for (const [i, want] of wanted.entries()) {
        const got = inputs()[count + i];
        assert.ok(got, `${want.action}: an input request arrived`);
        for (const [key, value] of Object.entries(want).filter(([k]) => k !== 'then')) {
          const ok = typeof value === 'function' ? value(got[key]) : Array.isArray(value) ? value.every((v, k) => Math.abs(got[key][k] - v) <= 2) : got[key] === value;
          assert.ok(ok, `${want.action}: ${key} is ${got[key]}, wanted ${value}`);
        }
      }
      if (expected.action !== 'scroll') assert.equal(inputs().length, count + wanted.length, `${expected.action}: exactly ${wanted.length} request(s)`);
    }
    assert.deepEqual(requests.filter((p) => p.startsWith('/api/input')), [], 'all input went over the live socket');
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
    const shots = control.requests.length;
    server = start(port);
    await server.listening;
    await status('已连接');
    assert.ok(control.requests.length > shots, 'frames come again');
  });
});
