// Unattended access with the real app under a private X server and the phone's web client in
// Chromium: at an address the owner routes (no tunnel), a phone paired once comes back after the
// app restarts, its page reloaded without any code, and its tap lands; a device removed in the
// window stays out after the restart too. Run by CTest with ZEL_APP_BINARY set.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { after, before, it } from 'node:test';
import { bearerStatus, pairingURL, qrCodes, sleep, startApp, waitFor } from '../support/app_under_test.mjs';
import { kAndroid, launchPhone } from '../support/phone.mjs';

const kBase = 'http://127.0.0.1:8787';
const kAddress = 'https://zel.example.org';

const status = bearerStatus;

let desktop, context;
before(async () => {
  assert.ok(process.env.ZEL_APP_BINARY, 'ZEL_APP_BINARY names the built app');
  desktop = await startApp({ binary: process.env.ZEL_APP_BINARY, extraEnv: { ZEL_PUBLIC_URL: kAddress } });
});
after(async () => (await context?.close(), await desktop?.stop()));

it('brings a paired phone back after the app restarts, without a code, and keeps a removed device out', async () => {
  const { env, dir, xdotool } = desktop;
  const scan = async (name) => {
    const link = await waitFor(`a code on screen (${name})`, async () => {
      const file = path.join(dir, `${name}.png`);
      execFileSync('import', ['-window', 'root', file], { env });
      return qrCodes(file)[0];
    });
    const url = pairingURL(link);
    assert.equal(url.origin, kAddress, 'the link names the owner\'s address');
    return url.searchParams.get('token');
  };
  const keys = () => { // the window's keyboard: the toggle has the focus after a start
    xdotool('windowfocus', '--sync', desktop.appWindow);
    return (...names) => xdotool('key', ...names);
  };

  // The phone pairs; an API client pairs with the next code the window shows.
  context = await launchPhone(path.join(dir, 'chromium'), { userAgent: kAndroid });
  const page = context.pages()[0] ?? (await context.newPage());
  await page.goto(`${kBase}/?token=${await scan('first')}`);
  await page.waitForSelector('#screen.loaded', { timeout: 30000 });
  await waitFor('the code off the screen', async () => {
    const file = path.join(dir, 'paired.png');
    execFileSync('import', ['-window', 'root', file], { env });
    return qrCodes(file).length === 0;
  });
  keys()('Tab', 'space'); // 配对新设备
  const second = await scan('second');
  const paired = await (await fetch(`${kBase}/api/pair`, { method: 'POST', headers: { Authorization: `Bearer ${second}` }, body: '{"name":"helper"}' })).json();
  assert.equal(await status(paired.key), 200);
  // 移除 on the second row: from 配对新设备 (still focused) past the phone's 断开 and 移除 and the
  // helper's 断开.
  await sleep(500);
  keys()('Tab', 'Tab', 'Tab', 'Tab', 'space');
  await waitFor('the helper removed', async () => (await status(paired.key)) === 401, 5000);

  // The app restarts at the same address; the page, reloaded without any code, is back.
  const stopped = Date.now();
  await desktop.restart(); // SIGTERM, then a launch whose button is pressed at once
  const up = Date.now();
  await page.reload();
  assert.ok(!page.url().includes('token='), 'no code in the address');
  await page.waitForSelector('#screen.loaded', { timeout: 30000 });
  console.log(`# the phone's first picture ${Date.now() - stopped} ms after the app was stopped, ${Date.now() - up} ms after its server answered again`);
  assert.equal(await status(paired.key), 401, 'a removed device stays out after the restart');

  // Its tap lands where it aimed: a tenth of the way into the picture (clear of the app's window).
  const where = () => Object.fromEntries(xdotool('getmouselocation', '--shell').split('\n').map((l) => l.split('=')).map(([k, v]) => [k, Number(v)]));
  const before = where();
  const box = await page.locator('#screen').boundingBox();
  await page.touchscreen.tap(box.x + box.width / 10, box.y + box.height / 10);
  const pointer = await waitFor('the pointer moved', async () => {
    const now = where();
    return now.X !== before.X || now.Y !== before.Y ? now : null;
  }, 10000);
  assert.ok(Math.abs(pointer.X - 128) <= 16 && Math.abs(pointer.Y - 90) <= 16, JSON.stringify(pointer));
});
