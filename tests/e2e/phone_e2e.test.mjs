// The phone's web client in Chromium (touch, 390x844, DPR 3) against the real app under a private
// X server: what is typed in its field, Chinese included, and a sticky Ctrl with s reach an X
// client (xev) as key presses. Each key's request and a stalled link: browser-keys.test.js; each
// request at the X server: the X11 input test; where a tap lands: mcp_e2e and browser.test.js.
import assert from 'node:assert/strict';
import path from 'node:path';
import { after, before, it } from 'node:test';
import { sleep, startApp, waitFor } from '../support/app_under_test.mjs';
import { launchPhone } from '../support/phone.mjs';

let desktop, context, page, xevLog = '';
const kBase = 'http://127.0.0.1:8787';
before(async () => {
  desktop = await startApp();
});
after(async () => (await context?.close(), await desktop?.stop()));

// xev's key events: "KeyPress event, ... state 0x4, keycode 39 (keysym 0x73, s), ..."
const keyEvents = () => [...xevLog.matchAll(/(KeyPress|KeyRelease) event[^]*?state (0x[0-9a-f]+), keycode \d+ \(keysym 0x[0-9a-f]+, (\w+)\)/g)]
  .map(([, type, state, sym]) => ({ press: type === 'KeyPress', state: Number(state), sym }));
const presses = () => keyEvents().filter((e) => e.press);

it('typing on the phone (Chinese and Ctrl+S too) arrives at an X client as key presses', async () => {
  const { env, token, start, xdotool } = desktop;
  const xev = start('xev', ['-name', 'zelkeys', '-geometry', '500x300+100+100', '-event', 'keyboard'], { env, stdio: ['ignore', 'pipe', 'ignore'] });
  xev.stdout.on('data', (d) => (xevLog += d));
  const id = await waitFor('the xev window', async () => xdotool('search', '--onlyvisible', '--name', '^zelkeys$').split('\n')[0]);
  await sleep(300);
  xdotool('windowfocus', '--sync', id);

  context = await launchPhone(path.join(desktop.dir, 'chromium'));
  page = context.pages()[0] ?? (await context.newPage());
  await page.goto(`${kBase}/?token=${token}`);
  await page.waitForSelector('#screen.loaded', { timeout: 30000 });
  await page.getByRole('button', { name: '键盘', exact: true }).tap();
  await page.locator('#kbd-text').tap();
  await page.keyboard.type('hi');
  await page.keyboard.insertText('你好');
  await page.getByRole('button', { name: 'Ctrl', exact: true }).tap();
  await page.keyboard.type('s');

  const wanted = ['h', 'i', 'U4F60', 'U597D', 'Control_L', 's'];
  await waitFor('the key presses', async () => presses().length >= wanted.length || null, 20000).catch(() => {});
  assert.deepEqual(presses().map((e) => e.sym), wanted, xevLog.slice(-2000));
  assert.equal(presses().at(-1).state & 0x4, 0x4, 's with Control held');
  await page.getByRole('button', { name: '键盘', exact: true }).tap(); // the panel closed: no field has the focus
});

it('the pointer drawn on the phone follows the desktop pointer, trackpad mode starts there, one pointer shows', async () => {
  const { token, xdotool } = desktop;
  const paired = Boolean(context);
  context ??= await launchPhone(path.join(desktop.dir, 'chromium'));
  const page = await context.newPage();
  // Where the earlier tests paired, the device key is kept and the code is spent.
  await page.goto(`${kBase}/${paired ? '' : `?token=${token}`}`);
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
  // One pointer seen: the real one at rest, never both, during a stroke and after it.
  const shown = () => page.evaluate(() => ['cursor', 'desktop-pointer'].filter((id) => !document.getElementById(id).hidden));
  await page.evaluate(() => {
    window.bothSeen = 0;
    const look = () => {
      window.bothSeen += ['cursor', 'desktop-pointer'].every((id) => !document.getElementById(id).hidden);
      requestAnimationFrame(look);
    };
    look();
  });
  assert.deepEqual(await shown(), ['desktop-pointer'], 'at rest in trackpad mode');
  const cdp = await context.newCDPSession(page);
  const touch = (type, touchPoints) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints });
  await touch('touchStart', [{ x: 100, y: 400 }]);
  for (let i = 1; i <= 20; i++) await (await sleep(16), touch('touchMove', [{ x: 100 + i * 6, y: 400 }]));
  await touch('touchEnd', []);
  await waitFor('the real pointer back alone', async () => String(await shown()) === 'desktop-pointer' || null, 5000).catch(() => {});
  assert.deepEqual(await shown(), ['desktop-pointer'], 'after the stroke');
  const moved = xdotool('getmouselocation').match(/x:(\d+)/)[1];
  assert.ok(Number(moved) > 320, `the stroke moved the pointer right: x ${moved}`);
  assert.equal(await page.evaluate(() => window.bothSeen), 0, 'frames with both pointers');
  await page.close();
});

it('a phone connecting leaves the app\'s minimized window minimized, and the keyboard focus where it was', async () => {
  const { env, start, xdotool, appWindow } = desktop;
  const shown = () => {
    try {
      return xdotool('search', '--onlyvisible', '--name', '^Zel Desktop Agent$').length > 0;
    } catch {
      return false; // xdotool finds nothing: exit status 1
    }
  };
  start('openbox', [], { env });
  start('xterm', ['-T', 'zelwork'], { env });
  const work = await waitFor('the xterm', async () => xdotool('search', '--onlyvisible', '--name', '^zelwork$').split('\n')[0]);
  const height = () => Number(xdotool('getwindowgeometry', appWindow).match(/Geometry: \d+x(\d+)/)[1]);
  const before = height();
  await waitFor('the app window minimized', async () => (xdotool('windowminimize', appWindow), await sleep(300), !shown()), 10000);
  xdotool('windowactivate', '--sync', work);
  // The phone's pages closed and one opened again (the device key kept): the window's device list changes.
  for (const open of context.pages()) await open.close();
  await sleep(1000);
  const again = await context.newPage();
  await again.goto(`${kBase}/`);
  await again.waitForSelector('#screen.loaded', { timeout: 30000 });
  for (const tab of ['终端', '屏幕']) await (await sleep(800), again.getByRole('button', { name: tab, exact: true }).tap());
  await sleep(1500);
  assert.equal(shown(), false, 'the app window came back');
  assert.equal(xdotool('getactivewindow', 'getwindowname'), 'zelwork');
  // Shown again, it takes the size of what it shows.
  xdotool('windowactivate', '--sync', appWindow);
  await waitFor('the app window shown', async () => shown());
  await sleep(500);
  assert.ok(height() >= before, `the app window is ${height()} px high, ${before} before`);
});
