// The web client in headless Chromium across restarts of the server process: the app starts it
// again at the same address with a fresh code, and the phone comes back with the key it keeps;
// then the owner cuts it off, lets it back in and removes it.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { after, before, it } from 'node:test';
import { answer, launch, launchChromium, newCode, phoneContext, sleep, startFakeControl, tempDir } from './helpers.js';

const kJpeg = execFileSync('convert', ['-size', '640x360', 'gradient:white-navy', 'jpeg:-']);
const kOffline = '电脑暂时离线，正在等待…';

let browser, control, server;
const [home, state] = [tempDir(), tempDir()];
const start = (port, code = newCode()) => launch({ XDG_CONFIG_HOME: home, XDG_STATE_HOME: state, HOME: tempDir(), ZEL_AGENT_HOST: '127.0.0.1',
  ZEL_AGENT_PORT: String(port), ZEL_AGENT_TOKEN: code, ZEL_AGENT_SCREENSHOT_URL: control.screenshotUrl, ZEL_AGENT_INPUT_URL: control.inputUrl }, { channel: true });
before(async () => {
  control = await startFakeControl({ screenshot: () => answer('200 OK', 'image/jpeg', kJpeg) });
  browser = await launchChromium();
});
after(async () => (server?.child.kill('SIGKILL'), await browser?.close(), await control?.close()));

it('says the computer is away while the server is gone, shows the picture again once it is back with no scan, and waits while cut off', async (t) => {
  const context = await phoneContext(browser);
  const page = await context.newPage();
  const status = (text) => page.waitForFunction((s) => document.getElementById('status').textContent.includes(s), text, { timeout: 15000 })
    .catch(async (err) => assert.fail(`${text}: ${await page.evaluate(() => document.getElementById('status').textContent)} ${err.message}`));
  const code = newCode();
  server = start(0, code);
  const port = await server.listening;
  await page.goto(`http://127.0.0.1:${port}/?token=${code}`);
  await status('已连接');
  await page.evaluate(() => (window.sameLoad = true));
  for (const signal of ['SIGTERM', 'SIGKILL']) {
    server.child.kill(signal);
    await server.exited;
    await status(kOffline);
    if (signal === 'SIGTERM') {
      await page.touchscreen.tap(195, 300); // refused out loud, not lost in silence
      await page.waitForFunction(() => document.getElementById('toast').textContent.includes('没有送到电脑'), null, { timeout: 10000 });
    }
    await sleep(3000); // away for a while: the phone's retries have slowed down
    assert.ok((await page.evaluate(() => document.getElementById('status').textContent)).startsWith(kOffline), `${signal}: still waiting`);
    const shots = control.requests.length;
    const started = performance.now();
    server = start(port);
    await server.listening;
    const listening = performance.now() - started;
    await status('已连接');
    t.diagnostic(`after ${signal}: first picture ${Math.round(performance.now() - started)} ms after the server's start (listening after ${Math.round(listening)} ms)`);
    assert.ok(control.requests.length > shots, `${signal}: frames come again`);
    assert.deepEqual([new URL(page.url()).search, await page.evaluate(() => window.sameLoad)], ['', true], `${signal}: the same page, no code`);
  }
  const stored = () => page.evaluate(() => localStorage.getItem('zel-agent-key'));
  const key = await stored();
  assert.match(key, /^[A-Za-z0-9_-]{43}$/);
  await page.reload();
  await status('已连接');
  const { id } = (await server.app.next('devices', (m) => m.devices.length === 1)).devices[0];
  server.app.send({ type: 'disconnect', device: id });
  await status('电脑的主人断开了这台设备');
  assert.equal(await stored(), key, 'a device cut off keeps its key');
  server.app.send({ type: 'allow', device: id });
  await status('已连接');
  server.app.send({ type: 'remove', device: id });
  await status('重新扫描');
  assert.equal(await stored(), null);
  await context.close();
});
