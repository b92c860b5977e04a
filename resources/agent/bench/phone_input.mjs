// How soon the phone client's input reaches the control service, in headless Chromium (390x844,
// touch, DPR 3) against an in-process agent server and a recording stand-in for the app:
//   node bench/phone_input.mjs [rounds]   (default 20)
// Prints, per kind, the median and the worst time from the finger's lift (or the key) to the
// request's arrival (a tap's click: its left_up, the release that makes it), and how many moves a
// one-second drag sent. With the built app (ZEL_APP_BINARY, else build/dev/bin/zel-desktop-agent) it
// then starts it under a private Xvfb on the fixed ports (run it in a network namespace of its own),
// times a tap's lift to the ButtonRelease an X client (xev) gets, and prints what a live viewer
// receives per second while the desktop's pointer circles: with pointer=1 (pointer messages) and
// without (tiles).
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import WebSocket from 'ws';
import { createAgentServer } from '../src/app.js';
import { loadToken } from '../src/config.js';
import { answer, startFakeControl, tempDir } from '../test/helpers.js';
import { launchPhone } from '../../../tests/support/phone.mjs';

const rounds = Number(process.argv[2] ?? 20);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// Made once per width: convert runs synchronously, and the arrivals are timed on this thread.
const pictures = new Map();
const picture = (w) => answer('200 OK', 'image/jpeg', pictures.get(w) ?? pictures.set(w, execFileSync('convert', ['-size', `${w}x${Math.round((w * 9) / 16)}`, 'xc:gray', 'jpeg:-'])).get(w));
const arrivals = [];
const control = await startFakeControl({ screenshot: ({ query }) => (query.width ? picture(query.width) : undefined), input: (r) => void arrivals.push({ at: performance.now(), ...JSON.parse(r.body) }) });
const token = loadToken(path.join(tempDir(), 'zel-desktop-agent'));
const server = await createAgentServer({ token, host: '127.0.0.1', port: 0, screenshotUrl: control.screenshotUrl, inputUrl: control.inputUrl,
  enableTerminal: false, helperBinDir: '' }, { log: () => {} });
const { port } = await server.listen(0, '127.0.0.1');
const context = await launchPhone(tempDir('zel-chromium-'));
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
  taps.push(await measure('left_up', () => touch('touchEnd', [])));
  await sleep(450); // apart, so that no two make a double click
}
console.log(`tap, lift to click (left_up): ${figures(taps)}`);

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

// Bytes a live viewer (acknowledging every update) receives while the pointer circles for `ms`.
async function circling(desktop, query, ms = 5000) {
  const ws = new WebSocket(`ws://127.0.0.1:8787/api/live?token=${desktop.token}&width=1170${query}`);
  const got = { pointer: 0, pointerMessages: 0, updates: 0, other: 0 };
  let counting = false;
  ws.on('message', (data, binary) => {
    const text = binary ? null : data.toString();
    const msg = text && JSON.parse(text);
    if (binary) ws.send(JSON.stringify({ type: 'ack', seq: data.readUInt32BE(0) }));
    else if (msg.type === 'ping') ws.send(JSON.stringify({ type: 'pong', t: msg.t }));
    if (!counting) return;
    if (binary) got.updates += data.length;
    else if (msg.type === 'pointer') (got.pointer += data.length), got.pointerMessages++;
    else got.other += data.length;
  });
  await new Promise((resolve, reject) => ws.once('open', resolve).once('error', reject));
  await sleep(2000); // the first whole frame and the pointer's shape go before counting
  counting = true;
  const started = performance.now();
  for (let i = 0; performance.now() - started < ms; i++) {
    const a = (i / 30) * 2 * Math.PI; // a circle a second, 30 steps
    desktop.xdotool('mousemove', String(Math.round(640 + 250 * Math.cos(a))), String(Math.round(450 + 250 * Math.sin(a))));
    await sleep(Math.max(0, started + ((i + 1) * 1000) / 30 - performance.now()));
  }
  counting = false;
  const seconds = (performance.now() - started) / 1000;
  ws.close();
  await sleep(300);
  return Object.fromEntries(Object.entries(got).map(([k, v]) => [k, v / seconds]));
}

// A tap's lift on the phone to the ButtonRelease that an X client covering the desktop reads.
async function tapsAtX(desktop) {
  const xev = desktop.start('xev', ['-name', 'zeltaps', '-geometry', '1280x900+0+0', '-event', 'button'], { env: desktop.env, stdio: ['ignore', 'pipe', 'ignore'] });
  const releases = [];
  xev.stdout.on('data', (d) => releases.push(...Array(String(d).split('ButtonRelease').length - 1).fill(performance.now())));
  await sleep(1500);
  const phone = await launchPhone(tempDir('zel-chromium-'));
  const page = phone.pages()[0] ?? (await phone.newPage());
  const cdp = await phone.newCDPSession(page);
  await page.goto(`http://127.0.0.1:8787/?token=${desktop.token}`);
  await page.waitForSelector('#screen.loaded', { timeout: 30000 });
  const box = await page.locator('#screen').boundingBox();
  const list = [];
  for (let i = 0; i < rounds; i++) {
    const count = releases.length;
    await cdp.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: [{ x: box.x + box.width * (0.3 + (i % 5) * 0.1), y: box.y + box.height / 2 }] });
    const started = performance.now();
    await cdp.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
    for (let k = 0; k < 200 && releases.length === count; k++) await sleep(2);
    list.push({ ms: releases.length > count ? releases[count] - started : NaN });
    await sleep(450);
  }
  await phone.close();
  xev.kill();
  return list;
}

const appBinary = process.env.ZEL_APP_BINARY || path.resolve(import.meta.dirname, '../../../build/dev/bin/zel-desktop-agent');
if (fs.existsSync(appBinary)) {
  const { startApp } = await import('../../../tests/support/app_under_test.mjs');
  const desktop = await startApp({ binary: appBinary });
  try {
    const kb = (v) => `${(v / 1024).toFixed(2)} KB/s`;
    const drawn = await circling(desktop, '&pointer=1');
    const blended = await circling(desktop, '');
    console.log(`pointer circling, pointer=1:   ${kb(drawn.pointer)} of pointer messages (${drawn.pointerMessages.toFixed(0)}/s), ${kb(drawn.updates)} of updates`);
    console.log(`pointer circling, in frames:   ${kb(blended.updates)} of updates (tiles)`);
    console.log(`tap, lift to ButtonRelease:   ${figures(await tapsAtX(desktop))}`); // last: the page spends the pairing code
  } finally {
    await desktop.stop();
  }
} else {
  console.log(`pointer circling: skipped (no app at ${appBinary})`);
}
