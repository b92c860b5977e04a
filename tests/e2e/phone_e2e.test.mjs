// The phone's web client in Chromium (touch, 390x844, DPR 3) against the real app under a private
// X server: what is typed in its field, Chinese included, and a sticky Ctrl with s reach an X client
// (xev) as key presses, not through the clipboard. Where a tap lands is proven by mcp_e2e (the app's
// grid to the screen) and browser.test.js (the phone to the grid). Run by CTest with ZEL_APP_BINARY set.
import assert from 'node:assert/strict';
import path from 'node:path';
import { createRequire } from 'node:module';
import { after, before, it } from 'node:test';
import { kAgent, sleep, startApp, waitFor } from '../support/app_under_test.mjs';

const { chromium } = createRequire(path.join(kAgent, 'package.json'))('playwright-core');

let desktop, context;
before(async () => {
  assert.ok(process.env.ZEL_APP_BINARY, 'ZEL_APP_BINARY names the built app');
  desktop = await startApp({ binary: process.env.ZEL_APP_BINARY });
});
after(async () => (await context?.close(), await desktop?.stop()));

it('typing on the phone (Chinese and Ctrl+S too) arrives at an X client as key presses', async () => {
  const { env, token, start, xdotool } = desktop;
  let log = '';
  const xev = start('xev', ['-name', 'zelkeys', '-geometry', '500x300+100+100', '-event', 'keyboard'], { env, stdio: ['ignore', 'pipe', 'ignore'] });
  xev.stdout.on('data', (d) => (log += d));
  const id = await waitFor('the xev window', async () => xdotool('search', '--onlyvisible', '--name', '^zelkeys$').split('\n')[0]);
  await sleep(300);
  xdotool('windowfocus', '--sync', id);

  context = await chromium.launchPersistentContext(path.join(desktop.dir, 'chromium'), {
    executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox', '--disable-gpu', '--no-first-run'],
    viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, deviceScaleFactor: 3 });
  const page = context.pages()[0] ?? (await context.newPage());
  await page.goto(`http://127.0.0.1:8787/?token=${token}`);
  await page.waitForSelector('#screen.loaded', { timeout: 30000 });
  await page.getByRole('button', { name: '键盘', exact: true }).tap();
  await page.locator('#kbd-text').tap();
  await page.keyboard.type('hi');
  await page.keyboard.insertText('你好');
  await page.getByRole('button', { name: 'Ctrl', exact: true }).tap();
  await page.keyboard.type('s');

  // xev: "KeyPress event, ... state 0x4, keycode 39 (keysym 0x73, s), ..."
  const presses = () => [...log.matchAll(/KeyPress event[^]*?state (0x[0-9a-f]+), keycode \d+ \(keysym 0x[0-9a-f]+, (\w+)\)/g)].map(([, state, sym]) => [sym, Number(state)]);
  const wanted = ['h', 'i', 'U4F60', 'U597D', 'Control_L', 's'];
  await waitFor('the key presses', async () => presses().length >= wanted.length || null, 20000).catch(() => {});
  assert.deepEqual(presses().map(([sym]) => sym), wanted, log.slice(-2000));
  assert.equal(presses().at(-1)[1] & 0x4, 0x4, 's with Control held');
});

it('the pointer drawn on the phone follows the desktop pointer, and trackpad mode starts there', async () => {
  const { token, xdotool } = desktop;
  context ??= await chromium.launchPersistentContext(path.join(desktop.dir, 'chromium'), {
    executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox', '--disable-gpu', '--no-first-run'],
    viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, deviceScaleFactor: 3 });
  const page = await context.newPage();
  await page.goto(`http://127.0.0.1:8787/?token=${token}`);
  await page.waitForSelector('#screen.loaded', { timeout: 30000 });
  // When (Date.now()) the drawn pointer first covers a pixel of the 1280x900 desktop, looked at each frame.
  const coveredAt = (x, y) => page.evaluate(([x, y]) => new Promise((resolve) => {
    const until = Date.now() + 10000;
    const look = () => {
      const picture = document.getElementById('screen').getBoundingClientRect();
      const drawn = document.getElementById('desktop-pointer');
      const px = picture.left + (x * picture.width) / 1280;
      const py = picture.top + (y * picture.height) / 900;
      const r = drawn.getBoundingClientRect();
      if (!drawn.hidden && px >= r.left - 1 && px <= r.right + 1 && py >= r.top - 1 && py <= r.bottom + 1) resolve(Date.now());
      else if (Date.now() > until) resolve(null);
      else requestAnimationFrame(look);
    };
    look();
  }), [x, y]);
  for (const [x, y] of [[200, 150], [1100, 700], [640, 450], [320, 675]]) {
    const covered = coveredAt(x, y);
    const movedAt = Date.now();
    xdotool('mousemove', String(x), String(y));
    const at = await covered;
    assert.ok(at, `the phone's pointer never reached ${x},${y}`);
    console.log(`pointer at ${x},${y} drawn on the phone ${at - movedAt} ms after xdotool started`);
  }
  // Trackpad mode: the phone's own pointer (on the 0..1000 grid) starts where the desktop's is.
  await page.getByRole('button', { name: '触控板', exact: true }).tap();
  const grid = await page.evaluate(async () => (await import('/picture.js')).cursor.at);
  assert.ok(Math.abs(grid[0] - 250) <= 1 && Math.abs(grid[1] - 750) <= 1, String(grid));
  await page.close();
});
