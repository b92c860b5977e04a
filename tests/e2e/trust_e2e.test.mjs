// The owner's control of who is connected, with the real app under a private X server and the
// phone's web client in Chromium: the phone pairs with the code read off the window, the code then
// leaves the screen (no frame the phone gets carries it), the window's 断开 cuts the phone off at
// once, and only a fresh code pairs again.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, it } from 'node:test';
import { bearerStatus, pairingURL, qrCodes, sleep, startApp, waitFor } from '../support/app_under_test.mjs';
import { kAndroid, launchPhone } from '../support/phone.mjs';

const kBase = 'http://127.0.0.1:8787';

const codeOf = (link) => pairingURL(link).searchParams.get('token');

let desktop, context;
before(async () => {
  desktop = await startApp();
});
after(async () => (await context?.close(), await desktop?.stop()));

it('pairs by the code on screen, hides it from every frame, cuts the phone off from the window and pairs again only with a fresh code', async () => {
  const { env, dir, xdotool, appWindow } = desktop;
  const screen = (name) => {
    const file = path.join(dir, `${name}.png`);
    execFileSync('import', ['-window', 'root', file], { env });
    return qrCodes(file);
  };
  const scan = async (name) => codeOf(await waitFor(`a code on screen (${name})`, async () => screen(name)[0]));
  const log = () => fs.readFileSync(`${dir}/state/zel-desktop-agent/agent.log`, 'utf8');

  // Scan and pair (the page's exchange of the code for a key: browser-restart.test.js).
  const first = await scan('ready');
  context = await launchPhone(path.join(dir, 'chromium'), { userAgent: kAndroid });
  const page = context.pages()[0] ?? (await context.newPage());
  await page.goto(`${kBase}/?token=${first}`);
  await page.waitForSelector('#screen.loaded', { timeout: 30000 });
  const key = await page.evaluate(() => localStorage.getItem('zel-agent-key'));

  // The window lists the phone and the code leaves the screen: no frame of the next seconds carries it.
  await waitFor('the device in the log', async () => /Device paired: .*Android/.test(log()));
  await waitFor('the code off the screen', async () => screen('paired').length === 0);
  const frames = [];
  for (const end = Date.now() + 10000; Date.now() < end; await sleep(500)) {
    const file = path.join(dir, `frame-${frames.length}.png`);
    await page.locator('#screen').screenshot({ path: file });
    frames.push(...qrCodes(file));
  }
  assert.deepEqual(frames, [], 'a frame the phone got carries a code');

  // 断开 in the window, by keyboard as the owner would (Tab: 配对新设备, then the row's 断开).
  xdotool('windowfocus', '--sync', appWindow);
  xdotool('key', 'Tab', 'Tab', 'space');
  const cut = Date.now();
  await waitFor('the key refused', async () => (await bearerStatus(key)) === 401, 5000);
  console.log(`# key refused ${Date.now() - cut} ms after 断开`);

  // A fresh code is on screen again, and pairs.
  const second = await scan('again');
  assert.notEqual(second, first);
  assert.equal(await bearerStatus(second), 200);

  // The log names devices, never their credentials.
  for (const secret of [first, second, key]) assert.ok(!log().includes(secret), 'a credential in agent.log');
});
