// A moving area as video, end to end: the real app under a private X server as it starts by
// default, an xterm whose whole window flips between red and blue every frame, and
// the phone's web client in Chromium (WebCodecs at http://127.0.0.1, a secure context). The area
// arrives as H.264 that the page decodes and draws where the window is; once the window stops
// moving, tiles restore it to the exact pixels. Run by CTest with ZEL_APP_BINARY set.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, it } from 'node:test';
import { startApp, waitFor } from '../support/app_under_test.mjs';
import { launchPhone } from '../support/phone.mjs';

// Red and blue in turn, 30 times a second, until the stop file appears: then green for good.
const kFlipper = `import os, sys, time
n = 0
while not os.path.exists(sys.argv[1]):
    sys.stdout.write('\\x1b[48;5;%dm\\x1b[2J' % (196 if n % 2 else 21)); sys.stdout.flush()
    n += 1; time.sleep(1 / 30)
sys.stdout.write('\\x1b[48;5;46m\\x1b[2J'); sys.stdout.flush()
time.sleep(3600)
`;

let desktop, context;
before(async () => {
  assert.ok(process.env.ZEL_APP_BINARY, 'ZEL_APP_BINARY names the built app');
  desktop = await startApp({ binary: process.env.ZEL_APP_BINARY });
});
after(async () => (await context?.close(), await desktop?.stop()));

// Counts what the page draws from decoded video on its picture.
const countVideoDraws = () => {
  window.videoDraws = 0;
  const drawImage = CanvasRenderingContext2D.prototype.drawImage;
  CanvasRenderingContext2D.prototype.drawImage = function (...args) {
    if (args[0] instanceof VideoFrame && this.canvas.id === 'screen') window.videoDraws++;
    return drawImage.apply(this, args);
  };
};

// The canvas's pixels in a rectangle, as [r, g, b] triples.
const pixels = (page, { x, y, width, height }) => page.evaluate(([x, y, w, h]) => {
  const { data } = document.getElementById('screen').getContext('2d').getImageData(x, y, w, h);
  return Array.from({ length: w * h }, (_, i) => [data[4 * i], data[4 * i + 1], data[4 * i + 2]]);
}, [x, y, width, height]);

it('a window that changes every frame arrives as decoded video, and as exact tiles once it stops', async () => {
  const { env, token, start, xdotool, dir } = desktop;
  const stopFile = path.join(dir, 'stop-flipping');
  start('xterm', ['-geometry', '80x30+300+200', '-title', 'zelflip', '-e', 'python3', '-c', kFlipper, stopFile], { env });
  const id = await waitFor('the flipping window', async () => xdotool('search', '--onlyvisible', '--name', '^zelflip$').split('\n')[0]);
  const g = Object.fromEntries(xdotool('getwindowgeometry', '--shell', id).split('\n').map((l) => l.split('=')).map(([k, v]) => [k, Number(v)]));
  // The window's middle, clear of xterm's border and padding.
  const inside = { x: g.X + g.WIDTH / 4, y: g.Y + g.HEIGHT / 4, width: Math.round(g.WIDTH / 2), height: Math.round(g.HEIGHT / 2) };

  context = await launchPhone(path.join(dir, 'chromium'));
  await context.addInitScript(countVideoDraws);
  const page = context.pages()[0] ?? (await context.newPage());
  const updates = []; // the flags of each binary message on the live socket
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.enable');
  cdp.on('Network.webSocketFrameReceived', ({ response }) => response.opcode === 2 && updates.push(Buffer.from(response.payloadData, 'base64')[5]));
  await page.goto(`http://127.0.0.1:8787/?token=${token}`);
  await page.waitForSelector('#screen.loaded', { timeout: 30000 });
  assert.equal(await page.evaluate(() => document.getElementById('screen').width), 1280, 'the picture is the desktop\'s own pixels');

  await page.waitForFunction(() => window.videoDraws >= 30, null, { timeout: 30000 });
  assert.ok(updates.filter((flags) => flags & 2).length >= 30, `updates with video: ${updates.filter((f) => f & 2).length} of ${updates.length}`);
  // What was drawn there is one of the two colours, as a video codec makes it.
  const near = ([r, g, b], [R, G, B]) => Math.abs(r - R) + Math.abs(g - G) + Math.abs(b - B) < 60;
  for (let i = 0; i < 5; i++) {
    const [middle] = await pixels(page, { x: inside.x + inside.width / 2, y: inside.y + inside.height / 2, width: 1, height: 1 });
    assert.ok(near(middle, [255, 0, 0]) || near(middle, [0, 0, 255]), `the window's middle shows ${middle}`);
  }

  fs.writeFileSync(stopFile, '');
  await waitFor('the window restored exactly', async () =>
    (await pixels(page, inside)).every(([r, g, b]) => r === 0 && g === 255 && b === 0) || null, 15000);
});
