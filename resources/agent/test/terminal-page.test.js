// The terminal page in headless Chromium on a phone-sized touch screen, reaching a real agent
// through a relay that the test cuts as a network drop does.
import assert from 'node:assert/strict';
import net from 'node:net';
import { after, before, it } from 'node:test';
import { chromium } from 'playwright-core';
import { tempDir, withAgent } from './helpers.js';

const t = withAgent({ enableTerminal: true }, { env: { PATH: '/usr/bin:/bin', HOME: tempDir(), SHELL: '/bin/sh' } });
const links = new Set();
const relay = net.createServer((client) => {
  const upstream = net.connect(t.agent.port, '127.0.0.1');
  const drop = () => (client.destroy(), upstream.destroy());
  for (const socket of [client, upstream]) socket.on('error', drop).on('close', drop);
  links.add(client).add(upstream);
  client.pipe(upstream).pipe(client);
});
let context;
before(() => new Promise((resolve) => relay.listen(0, '127.0.0.1', resolve)));
after(async () => (await context?.close(), relay.close(), links.forEach((s) => s.destroy())));

it('keeps the focus in the terminal when a key-bar button is tapped, and gets the same shell back after a drop', async () => {
  context = await chromium.launchPersistentContext(tempDir('zel-chromium-'), {
    executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox', '--disable-gpu', '--no-first-run'],
    viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, deviceScaleFactor: 2,
  });
  const page = context.pages()[0] ?? (await context.newPage());
  await page.goto(`http://127.0.0.1:${relay.address().port}/?token=${t.agent.token}`);
  await page.tap('#tab-terminal');
  await page.waitForSelector('.xterm-helper-textarea:focus');
  const shows = (text) => page.waitForFunction((t) => document.querySelector('.xterm-rows').textContent.includes(t), text, { timeout: 15000 });
  await page.keyboard.type('X=kept-$((3*3))');
  await page.tap('[data-key="return"]');
  await page.keyboard.type('echo "[$X]"'); // after the tap: goes to the terminal, not the button
  await page.tap('[data-key="return"]');
  await shows('[kept-9]');
  for (const socket of links) socket.destroy();
  await shows('[kept-9]'); // the kept output, replayed on the page's own reconnect
  await page.waitForSelector('#terminal-state', { state: 'hidden', timeout: 15000 });
  await page.keyboard.type('echo "again-$X"');
  await page.keyboard.press('Enter');
  await shows('again-kept-9');
});
