// How soon the phone client's input reaches the control service, in headless Chromium (390x844,
// touch, DPR 3) against an in-process agent server and a recording stand-in for the app:
//   node bench/phone_input.mjs [rounds]   (default 20)
// Prints, per kind, the median and the worst time from the finger's lift (or the key) to the
// request's arrival, and how many moves a one-second drag sent.
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { createAgentServer } from '../src/app.js';
import { loadToken } from '../src/config.js';
import { answer, startFakeControl, tempDir } from '../test/helpers.js';

const rounds = Number(process.argv[2] ?? 20);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const picture = (w) => answer('200 OK', 'image/jpeg', execFileSync('convert', ['-size', `${w}x${Math.round((w * 9) / 16)}`, 'xc:gray', 'jpeg:-']));
const arrivals = [];
const control = await startFakeControl({ screenshot: ({ query }) => picture(query.width), input: (r) => void arrivals.push({ at: performance.now(), ...JSON.parse(r.body) }) });
const token = loadToken(path.join(tempDir(), 'zel-desktop-agent'));
const server = await createAgentServer({ token, host: '127.0.0.1', port: 0, screenshotUrl: control.screenshotUrl, inputUrl: control.inputUrl,
  enableTerminal: false, helperBinDir: '' }, { log: () => {} });
const { port } = await server.listen(0, '127.0.0.1');
const context = await chromium.launchPersistentContext(tempDir('zel-chromium-'), { executablePath: '/usr/bin/chromium', headless: true,
  args: ['--no-sandbox', '--disable-gpu'], viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, deviceScaleFactor: 3 });
const page = context.pages()[0] ?? (await context.newPage());
const cdp = await context.newCDPSession(page);
const touch = (type, touchPoints) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints });
await page.goto(`http://127.0.0.1:${port}/?token=${token}`);
await page.waitForSelector('#screen.loaded');

// The time from the start of `act` to the first request of `action` after it.
async function measure(action, act) {
  const count = arrivals.length;
  const started = performance.now();
  await act();
  for (let i = 0; i < 200 && !arrivals.slice(count).some((a) => a.action === action); i++) await sleep(5);
  const got = arrivals.slice(count).find((a) => a.action === action);
  return { ms: got ? got.at - started : NaN, started };
}
const figures = (list) => {
  const sorted = list.map((m) => m.ms).sort((a, b) => a - b);
  return `median ${sorted[sorted.length >> 1].toFixed(1)} ms, worst ${sorted.at(-1).toFixed(1)} ms (${sorted.length} rounds)`;
};

const taps = [];
for (let i = 0; i < rounds; i++) {
  await touch('touchStart', [{ x: 100 + (i % 5) * 40, y: 350 }]);
  taps.push(await measure('click', () => touch('touchEnd', [])));
  await sleep(450); // apart, so that no two make a double click
}
console.log(`tap, lift to click:           ${figures(taps)}`);

const ups = [];
let moves = 0;
let fingerMoves = 0;
for (let i = 0; i < Math.min(rounds, 5); i++) {
  await touch('touchStart', [{ x: 100, y: 350 }]);
  const start = performance.now();
  for (let k = 1; performance.now() - start < 1000; k++) {
    await touch('touchMove', [{ x: 100 + (k % 100) * 2, y: 350 }]);
    fingerMoves++;
    await sleep(8);
  }
  const m = await measure('left_up', () => touch('touchEnd', []));
  moves += arrivals.filter((a) => a.at >= m.started - 1100 && a.action === 'left_drag').length;
  ups.push(m);
  await sleep(300);
}
console.log(`drag, lift to left_up:        ${figures(ups)}; ${(moves / ups.length).toFixed(0)} moves sent per one-second drag of ${(fingerMoves / ups.length).toFixed(0)} finger moves`);

await page.getByRole('button', { name: '键盘', exact: true }).tap();
await page.locator('#kbd-text').tap();
const keys = [];
for (let i = 0; i < rounds; i++) keys.push(await measure('type_text', () => page.keyboard.type('a')));
console.log(`key in the field to type_text: ${figures(keys)}`);

await context.close();
await server.close();
await control.close();
