// The web client pairing in headless Chromium: the QR code's address, the key it keeps, and the
// owner cutting the phone off, letting it back in and removing it.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { after, before, describe, it } from 'node:test';
import { answer, launchChromium, phoneContext, withOwner } from './helpers.js';

const kJpeg = execFileSync('convert', ['-size', '640x360', 'gradient:white-navy', 'jpeg:-']);

describe('web client pairing', () => {
  let browser, context, page;
  const t = withOwner({}, {}, {}, { screenshot: () => answer('200 OK', 'image/jpeg', kJpeg) });
  before(async () => {
    browser = await launchChromium();
    context = await phoneContext(browser);
    page = await context.newPage();
  });
  after(() => browser?.close());
  const status = (text) => page.waitForFunction((t) => document.getElementById('status').textContent.includes(t), text, { timeout: 15000 });
  const stored = () => page.evaluate(() => localStorage.getItem('zel-agent-key'));

  it('exchanges the code for a key it keeps across a reload, waits while cut off, and is out once removed', async () => {
    const code = await t.issue();
    await page.goto(`${t.agent.base}/?token=${code}`);
    await status('已连接');
    const key = await stored(); // the code is spent on it (pairing.test.js), the address dropped it (browser.test.js)
    assert.equal((await t.call(key)).status, 200);
    const { device } = await t.app.next('event');

    await page.reload();
    await status('已连接');
    assert.equal(await stored(), key);

    t.app.send({ type: 'disconnect', device: device.id });
    await status('电脑的主人断开了这台设备');
    assert.equal(await stored(), key, 'a device cut off keeps its key');
    t.app.send({ type: 'allow', device: device.id });
    await status('已连接');

    t.app.send({ type: 'remove', device: device.id });
    await status('重新扫描');
    assert.equal(await stored(), null);
  });
});
