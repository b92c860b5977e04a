// Unattended access with the real app under a private X server and the phone's web client in
// Chromium: at an address the owner routes (no tunnel), a phone paired once comes back after the
// app restarts, its page reloaded without any code. Removed or cut-off devices after a restart:
// restart.test.js; the window's 移除 reaching the server: the connection test.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { after, before, it } from 'node:test';
import { pairingURL, qrCodes, startApp, waitFor } from '../support/app_under_test.mjs';
import { kAndroid, launchPhone } from '../support/phone.mjs';

const kBase = 'http://127.0.0.1:8787';
const kAddress = 'https://zel.example.org';

let desktop, context;
before(async () => {
  desktop = await startApp({ extraEnv: { ZEL_PUBLIC_URL: kAddress } });
});
after(async () => (await context?.close(), await desktop?.stop()));

it('brings a paired phone back after the app restarts, without a code', async () => {
  const { env, dir } = desktop;
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
  // The phone pairs with the code on screen.
  context = await launchPhone(path.join(dir, 'chromium'), { userAgent: kAndroid });
  const page = context.pages()[0] ?? (await context.newPage());
  await page.goto(`${kBase}/?token=${await scan('first')}`);
  await page.waitForSelector('#screen.loaded', { timeout: 30000 });

  // The app restarts at the same address; the page, reloaded without any code, is back.
  const stopped = Date.now();
  await desktop.restart(); // SIGTERM, then a launch whose button is pressed at once
  const up = Date.now();
  await page.reload();
  assert.ok(!page.url().includes('token='), 'no code in the address');
  await page.waitForSelector('#screen.loaded', { timeout: 30000 });
  console.log(`# the phone's first picture ${Date.now() - stopped} ms after the app was stopped, ${Date.now() - up} ms after its server answered again`);
});
