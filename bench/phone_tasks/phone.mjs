// The trial's phone (bench/phone_tasks.mjs): Chromium's page with touch, driven by touch events and
// key events as a phone and its hardware keyboard give them, every touch and key counted.
import { sleep } from '../../tests/support/app_under_test.mjs';
import { kDesk, pointerAt } from './desktop.mjs';

// One page per viewport; each task starts on a fresh load. Touches and keys are counted per task.
export const phone = {
  page: null, cdp: null, relay: null, touches: 0, keys: 0,
  async open(url) {
    await this.page.goto(url);
    await this.page.waitForSelector('#screen.loaded', { timeout: 30000 });
    await sleep(500);
  },
  send: (type, touchPoints) => phone.cdp.send('Input.dispatchTouchEvent', { type, touchPoints }),
  async picture() {
    return this.page.evaluate(() => {
      const r = document.getElementById('screen').getBoundingClientRect();
      return { left: r.left, top: r.top, width: r.width, height: r.height };
    });
  },
  // Where a desktop pixel is on the phone's glass.
  async at(x, y) {
    const r = await this.picture();
    return { x: r.left + (x * r.width) / kDesk.width, y: r.top + (y * r.height) / kDesk.height };
  },
  async tap(p) {
    this.touches++;
    await this.send('touchStart', [{ x: p.x, y: p.y, id: 0 }]);
    await sleep(40);
    await this.send('touchEnd', []);
    await sleep(60);
  },
  async tapDesk(x, y) {
    await this.tap(await this.at(x, y));
  },
  async doubleTapDesk(x, y) {
    const p = await this.at(x, y);
    for (let i = 0; i < 2; i++) {
      this.touches++;
      await this.send('touchStart', [{ ...p, id: 0 }]);
      await sleep(30);
      await this.send('touchEnd', []);
      await sleep(80);
    }
  },
  async tapButton(name) {
    const box = await this.page.getByRole('button', { name, exact: true }).boundingBox();
    if (!box) throw new Error(`no button ${name} on the page`);
    await this.tap({ x: box.x + box.width / 2, y: box.y + box.height / 2 });
  },
  // `fingers` fingers 50 px apart from `from` by `by`, in `steps` moves `stepMs` apart; `holdMs` still first.
  async stroke(from, by, { fingers = 1, steps = 20, stepMs = 16, holdMs = 0, restMs = 0 } = {}) {
    this.touches++;
    const points = (k) => Array.from({ length: fingers }, (_, i) => ({ x: from.x + i * 50 + (by.x * k) / steps, y: from.y + (by.y * k) / steps, id: i }));
    await this.send('touchStart', points(0));
    if (holdMs) await sleep(holdMs);
    for (let k = 1; k <= steps; k++) {
      await sleep(stepMs);
      await this.send('touchMove', points(k));
    }
    if (restMs) await sleep(restMs);
    await this.send('touchEnd', []);
    await sleep(100);
  },
  async pinch(centre, factor) {
    this.touches++;
    const d = 40;
    const points = (s) => [{ x: centre.x - d * s, y: centre.y, id: 0 }, { x: centre.x + d * s, y: centre.y, id: 1 }];
    await this.send('touchStart', points(1));
    for (let k = 1; k <= 15; k++) await (await sleep(16), this.send('touchMove', points(1 + ((factor - 1) * k) / 15)));
    await this.send('touchEnd', []);
    await sleep(200);
  },
  async key(combo) {
    this.keys++;
    await this.page.keyboard.press(combo);
    await sleep(60);
  },
  async type(text, delay = 20) {
    this.keys += [...text].length;
    await this.page.keyboard.type(text, { delay });
  },
  // A soft keyboard commits a word at a time.
  async commitWords(text) {
    for (const word of text.split(/(?<= )/)) {
      this.keys += [...word].length;
      await this.page.keyboard.insertText(word);
      await sleep(80);
    }
  },
  dom(fn, arg) {
    return this.page.evaluate(fn, arg);
  },
};
export const statusText = () => phone.dom(() => document.getElementById('status').textContent);
export const terminalText = () => phone.dom(() => document.querySelector('#terminal .xterm-rows')?.innerText ?? '');

// In trackpad mode, strokes that steer the pointer to a desktop point (slow, so 1:1), each
// correcting the last from where the pointer is seen; the number of strokes.
export async function steer(x, y, tolerance = 6) {
  let strokes = 0;
  for (; strokes < 5; strokes++) {
    const [px, py] = pointerAt();
    if (Math.abs(px - x) <= tolerance * 2 && Math.abs(py - y) <= tolerance) break;
    const r = await phone.picture();
    const k = r.width / kDesk.width;
    const by = { x: (x - px) * k, y: (y - py) * k };
    const length = Math.hypot(by.x, by.y);
    const vp = phone.page.viewportSize();
    await phone.stroke({ x: vp.width / 2 - by.x / 2, y: vp.height * 0.45 - by.y / 2 }, by, { steps: Math.max(4, Math.ceil(length / 1.5)), stepMs: 16 });
    await sleep(600);
  }
  return strokes;
}
