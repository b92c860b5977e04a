// The trial's 12 tasks (bench/phone_tasks.mjs) and the trackpad's gain.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { sleep, waitFor } from '../../tests/support/app_under_test.mjs';
import { chromium } from '../../tests/support/phone.mjs';
import { activeTitle, desk, editor, editorText, findWord, middleLine, place, pointerAt, stage, tryX, userPids, windowOf, windows, xclip, xdotool } from './desktop.mjs';
import { phone, statusText, steer, terminalText } from './phone.mjs';

// Each: the touch budget of its way; `run` sets the scene, acts as the user, reads the outcome
// back and returns 'done', 'partly' (a workaround was needed) or 'not', with a note.
export const tasks = {
  1: { name: 'open the editor from the terminal tab, type a sentence with the keyboard panel', budget: 3, async run() {
    const sentence = 'The quick brown fox jumps over the lazy dog.';
    fs.writeFileSync(path.join(desk.trial, 't1.txt'), '');
    await phone.tapButton('终端');
    await waitFor('a shell prompt', async () => /[$#] *$/m.test(await terminalText()), 15000);
    await phone.type('mousepad ~/trial/t1.txt &\n');
    const job = await waitFor('the job number', async () => (await terminalText()).match(/\[1\] (\d+)/)?.[1], 5000).catch(() => null);
    if (job) userPids.add(Number(job));
    const id = await windowOf('t1\\.txt').catch(async (error) => {
      throw new Error(`${error.message}; the terminal shows ${JSON.stringify((await terminalText()).trim().slice(-300))}`);
    });
    await phone.tapButton('屏幕');
    await phone.tapButton('键盘');
    await phone.commitWords(sentence);
    await sleep(1500);
    let text = await editorText(id, path.join(desk.trial, 't1.txt'));
    if (text === sentence) return ['done'];
    // The way round: a tap in the editor's text, then the sentence again.
    await phone.tapDesk(500, 400);
    await phone.tapButton('键盘');
    await phone.commitWords(sentence);
    await sleep(1500);
    text = await editorText(id, path.join(desk.trial, 't1.txt'));
    return text.includes(sentence) ? ['partly', `first try gave ${JSON.stringify(text)}`] : ['not', `the editor holds ${JSON.stringify(text)}`];
  } },
  2: { name: 'select a word with Shift+← ×4 on a hardware keyboard and delete it', budget: 0, async run() {
    const id = await editor('t2.txt', 'keep these words gone');
    await phone.key('End');
    for (let i = 0; i < 4; i++) await phone.key('Shift+ArrowLeft');
    await phone.key('Backspace');
    await sleep(800);
    const text = await editorText(id, path.join(desk.trial, 't2.txt'));
    return text === 'keep these words ' ? ['done'] : ['not', `the file holds ${JSON.stringify(text)}`];
  } },
  3: { name: 'save with Ctrl+S, type a file name in the save dialog (the file on disk)', budget: 0, async run() {
    stage('mousepad', []);
    const id = await windowOf('mousepad', '--class');
    place(id, 40, 40, 1000, 760);
    xdotool('windowactivate', '--sync', id);
    xdotool('type', '--delay', '20', 'note three');
    await phone.key('Control+s');
    const dialog = await waitFor('the save dialog', async () => windows('^Save As$').length > 0, 8000).catch(() => false);
    if (!dialog) return ['not', `no save dialog; active: ${activeTitle()}`];
    await sleep(500);
    // At a typist's pace, a look at the name, then Enter; while the dialog stays open, Enter again.
    await phone.type('t3-saved.txt', 80);
    await sleep(400);
    const saved = () => waitFor('the saved file', async () => execFileSync('find', [desk.env.HOME, '-name', 't3-saved.txt']).toString().trim().split('\n')[0], 4000).catch(() => '');
    let way = 'done';
    await phone.key('Enter');
    let file = await saved();
    if (!file && windows('^Save As$').length) {
      [way, file] = ['partly', (await phone.key('Enter'), await saved())];
    }
    if (!file) return ['not', `no t3-saved.txt under the home folder; active: ${activeTitle()}`];
    const text = fs.readFileSync(file, 'utf8');
    const where = `${path.relative(desk.env.HOME, file)}${way === 'partly' ? ', after a second Enter (the first left the dialog open)' : ''}`;
    return text.startsWith('note three') ? [way, where] : ['not', `${file} holds ${JSON.stringify(text)}`];
  } },
  4: { name: 'scroll a long document (two fingers; zoomed in, a one-finger pan)', budget: 4, async run() {
    const lines = Array.from({ length: 400 }, (_, i) => `L${String(i + 1).padStart(3, '0')} line of the long document`);
    const id = await editor('t4.txt', `${lines.join('\n')}\n`);
    const start = middleLine(id);
    const vp = phone.page.viewportSize();
    const mid = await phone.at(500, 420);
    // Two fingers up, twice: the document should move on.
    for (let i = 0; i < 2; i++) await phone.stroke({ x: mid.x - 25, y: mid.y + 60 }, { x: 0, y: -150 }, { fingers: 2, steps: 15 });
    await sleep(800);
    let now = middleLine(id);
    const notes = [];
    let way = 'done';
    if (!(now > start)) {
      way = 'partly';
      notes.push('two fingers did not scroll; three did');
      for (let i = 0; i < 2; i++) await phone.stroke({ x: mid.x - 50, y: mid.y + 60 }, { x: 0, y: -150 }, { fingers: 3, steps: 15 });
      await sleep(800);
      now = middleLine(id);
      if (!(now > start)) return ['not', `middle line ${start} → ${now}`];
    }
    notes.push(`middle line ${start} → ${now}`);
    // Zoomed in, a quick one-finger swipe moves the view and selects nothing.
    await phone.pinch({ x: vp.width / 2, y: mid.y }, 2.5);
    const zoomed = await phone.picture();
    if (zoomed.width < vp.width * 1.5) return ['not', `the pinch did not zoom (picture ${zoomed.width} px wide)`];
    const primary = xclip('primary');
    await phone.stroke({ x: vp.width / 2 + 60, y: vp.height * 0.4 }, { x: -120, y: 0 }, { steps: 6, stepMs: 16 });
    const panned = await phone.picture();
    const selected = xclip('primary');
    if (Math.abs(panned.left - zoomed.left) < 40) return ['not', `the swipe did not pan the view (${zoomed.left} → ${panned.left})`];
    if (selected !== primary && selected) return ['not', `the swipe selected ${JSON.stringify(selected.slice(0, 60))}`];
    return [way, notes.join('; ')];
  } },
  5: { name: 'file manager: open a folder by double tap', budget: 2, async run() {
    for (const dir of ['files5/alpha', 'files5/beta']) fs.mkdirSync(path.join(desk.trial, dir), { recursive: true });
    fs.writeFileSync(path.join(desk.trial, 'files5/report.txt'), 'report\n');
    stage('pcmanfm', [path.join(desk.trial, 'files5')]);
    const id = await windowOf('^files5$');
    place(id, 40, 40, 1000, 700);
    xdotool('windowactivate', '--sync', id);
    await sleep(800);
    const word = await findWord(/^alpha$/, { x: 200, y: 100, w: 840, h: 600 });
    await phone.doubleTapDesk(word.x, word.y - 30);
    const opened = await waitFor('the folder opened', async () => tryX('getwindowname', id) === 'alpha', 5000).catch(() => false);
    if (opened) return ['done'];
    return ['not', `the window says ${JSON.stringify(tryX('getwindowname', id))}`];
  } },
  6: { name: 'drag a file onto another folder (the file moved on disk)', budget: 1, async run() {
    fs.mkdirSync(path.join(desk.trial, 'files6/target'), { recursive: true });
    fs.writeFileSync(path.join(desk.trial, 'files6/report6.txt'), 'report\n');
    stage('pcmanfm', [path.join(desk.trial, 'files6')]);
    const id = await windowOf('^files6$');
    place(id, 40, 40, 1000, 700);
    xdotool('windowactivate', '--sync', id);
    await sleep(800);
    const region = { x: 200, y: 100, w: 840, h: 600 };
    const file = await findWord(/^report/, region).catch((error) => {
      throw new Error(`${error.message}; read: ${wordsOnScreen(region).map((w) => w.text).join(' ')}`);
    });
    const folder = await findWord(/^target$/, region);
    const moved = () => fs.existsSync(path.join(desk.trial, 'files6/target/report6.txt'));
    const from = await phone.at(file.x, file.y - 30);
    const to = await phone.at(folder.x, folder.y - 30);
    await phone.stroke(from, { x: to.x - from.x, y: to.y - from.y }, { steps: 25, stepMs: 40, restMs: 400 });
    if (await waitFor('the move', async () => moved(), 4000).catch(() => false)) return ['done'];
    // The way round: a hold first (the ring fills), then the drag.
    await phone.stroke(from, { x: to.x - from.x, y: to.y - from.y }, { steps: 25, stepMs: 40, holdMs: 700, restMs: 400 });
    if (await waitFor('the move', async () => moved(), 4000).catch(() => false)) return ['partly', 'only a hold-then-drag moved it'];
    return ['not', `files6: ${fs.readdirSync(path.join(desk.trial, 'files6'))}`];
  } },
  7: { name: 'browser: scroll a page with two fingers, follow a link (the title)', budget: 5, async run() {
    const filler = Array.from({ length: 60 }, (_, i) => `<p>Paragraph ${i + 1} of a long page that must be scrolled.</p>`).join('');
    fs.writeFileSync(path.join(desk.trial, 'page1.html'), `<title>Long page</title><body style="font:20px sans-serif">${filler}<a id="next" href="page2.html" style="display:block;font-size:40px;padding:30px;background:#cde">Next page</a><div style="height:300px"></div></body>`);
    fs.writeFileSync(path.join(desk.trial, 'page2.html'), '<title>Arrived</title><h1>Arrived</h1>');
    const profile = path.join(desk.work, `desk-chromium-${Date.now()}`);
    stage('chromium', [`--user-data-dir=${profile}`, '--no-sandbox', '--disable-gpu', '--no-first-run', '--no-default-browser-check', '--test-type',
      '--password-store=basic', '--remote-debugging-port=9333', '--window-position=40,20', '--window-size=1100,850', `file://${desk.trial}/page1.html`]);
    const id = await windowOf('^Long page');
    // Where the link is, as the user sees it: read through the browser's debugging port.
    const browser = await waitFor('the desktop browser', async () => chromium.connectOverCDP('http://127.0.0.1:9333'), 15000);
    try {
      const tab = browser.contexts()[0].pages().find((p) => p.url().endsWith('page1.html'));
      xdotool('windowactivate', '--sync', id);
      const link = () => tab.evaluate(() => {
        const r = document.getElementById('next').getBoundingClientRect();
        return { top: r.top, bottom: r.bottom, left: r.left, inner: innerHeight, screenY: screenY + outerHeight - innerHeight, screenX };
      });
      const mid = await phone.at(600, 450);
      let l = await link();
      for (let i = 0; i < 8 && !(l.top >= 0 && l.bottom <= l.inner); i++) {
        await phone.stroke({ x: mid.x - 25, y: mid.y + 80 }, { x: 0, y: -160 }, { fingers: 2, steps: 15 });
        await sleep(500);
        l = await link();
      }
      if (!(l.top >= 0 && l.bottom <= l.inner)) return ['not', `the link is still at ${Math.round(l.top)} of ${l.inner}`];
      await phone.tapDesk(l.screenX + l.left + 80, l.screenY + (l.top + l.bottom) / 2);
      const title = await waitFor('the new title', async () => /^Arrived/.test(tryX('getwindowname', id)) && tryX('getwindowname', id), 5000)
        .catch(() => tryX('getwindowname', id));
      return [/^Arrived/.test(title) ? 'done' : 'not', `title ${JSON.stringify(title)}`];
    } finally {
      await browser.close().catch(() => {});
    }
  } },
  8: { name: 'terminal tab: run a command and read its output', budget: 1, async run() {
    await phone.tapButton('终端');
    await waitFor('a shell prompt', async () => /[$#] *$/m.test(await terminalText()), 15000);
    await phone.type('echo $((6*7)) | tee ~/trial/t8.out\n');
    const shown = await waitFor('the output', async () => /^42\s*$/m.test(await terminalText()), 8000).catch(() => false);
    const disk = fs.existsSync(path.join(desk.trial, 't8.out')) && fs.readFileSync(path.join(desk.trial, 't8.out'), 'utf8');
    if (shown && disk === '42\n') return ['done'];
    return ['not', `shown ${Boolean(shown)}, on disk ${JSON.stringify(disk)}`];
  } },
  9: { name: 'switch windows: Alt held across two Tabs (the focused window)', budget: 0, async run() {
    for (const [name, x] of [['winA', 60], ['winB', 380], ['winC', 700]]) {
      stage('xterm', ['-T', name, '-geometry', '40x12']);
      const id = await windowOf(`^${name}$`);
      xdotool('windowmove', '--sync', id, String(x), '200');
      xdotool('windowactivate', '--sync', id);
      await sleep(300);
    }
    await phone.page.keyboard.down('Alt');
    await phone.key('Tab');
    await phone.key('Tab');
    await phone.page.keyboard.up('Alt');
    phone.keys++;
    const focused = await waitFor('winA focused', async () => activeTitle() === 'winA' && 'winA', 3000).catch(() => activeTitle());
    return focused === 'winA' ? ['done'] : ['not', `focused: ${JSON.stringify(focused)}`];
  } },
  10: { name: 'clipboard: desktop → phone ("电脑剪贴板有新内容 · 复制"), phone → desktop', budget: 2, async run() {
    const file = path.join(desk.trial, 't10.txt');
    const id = await editor('t10.txt', 'alpha beta gamma');
    await phone.key('Control+a');
    await phone.key('Control+c');
    const copied = await waitFor('the desktop clipboard', async () => xclip('clipboard') === 'alpha beta gamma', 3000).catch(() => false);
    if (!copied) return ['not', `Ctrl+A, Ctrl+C: the desktop's clipboard holds ${JSON.stringify(xclip('clipboard'))}, its selection ${JSON.stringify(xclip('primary'))}; active: ${activeTitle()}`];
    // The user goes to another app on the phone and comes back. Headless Chromium keeps every page
    // visible, so the page is told so as the phone's browser would tell it: hidden, then visible.
    await phone.dom(async () => {
      for (const state of ['hidden', 'visible']) {
        Object.defineProperty(document, 'visibilityState', { value: state, configurable: true });
        Object.defineProperty(document, 'hidden', { value: state === 'hidden', configurable: true });
        document.dispatchEvent(new Event('visibilitychange'));
        await new Promise((r) => setTimeout(r, 300));
      }
    });
    const notes = [];
    let way = 'done';
    const offered = await phone.page.waitForSelector('#clip-offer:not([hidden])', { timeout: 4000 }).then(() => true, () => false);
    if (offered) await phone.tapButton('电脑剪贴板有新内容 · 复制');
    else {
      way = 'partly';
      notes.push('no offer on return; used 复制电脑剪贴板');
      await phone.tapButton('复制电脑剪贴板');
    }
    await sleep(500);
    const onPhone = await phone.dom(() => navigator.clipboard.readText());
    if (onPhone !== 'alpha beta gamma') {
      const shown = await phone.dom(() => document.getElementById('clip-dialog').open && document.getElementById('clip-text').value);
      return ['not', `offered ${offered}; the phone's clipboard holds ${JSON.stringify(onPhone)}; the page shows ${JSON.stringify(shown)}; the desktop's ${JSON.stringify(xclip('clipboard'))}; focus ${await phone.dom(() => document.hasFocus())}`];
    }
    // Text copied in another phone app, pasted at the end of the document.
    await phone.dom(() => navigator.clipboard.writeText(' from the phone'));
    await phone.key('Control+End');
    await phone.tapButton('粘贴');
    await sleep(1500);
    const text = await editorText(id, file);
    const kept = xclip('clipboard');
    if (text !== 'alpha beta gamma from the phone') return ['not', `the editor holds ${JSON.stringify(text)}`];
    if (kept !== 'alpha beta gamma') return ['partly', `the desktop's clipboard was replaced by ${JSON.stringify(kept)}`];
    return [way, notes.join('; ')];
  } },
  11: { name: 'trackpad mode: right-click for the context menu, pick an item', budget: 6, async run() {
    const id = await editor('t11.txt', 'one two three four');
    xdotool('mousemove', '900', '700');
    await phone.tapButton('触控板');
    await sleep(600);
    const strokes1 = await steer(400, 300);
    const before = windows('.', '--class').length;
    const vp = phone.page.viewportSize();
    // A two-finger tap: both down, both up.
    phone.touches++;
    await phone.send('touchStart', [{ x: vp.width / 2 - 30, y: vp.height * 0.45, id: 0 }, { x: vp.width / 2 + 30, y: vp.height * 0.45, id: 1 }]);
    await sleep(80);
    await phone.send('touchEnd', []);
    const menu = await waitFor('the context menu', async () => windows('.', '--class').length > before, 4000).catch(() => false);
    if (!menu) return ['not', 'no context menu after a two-finger tap'];
    await sleep(500);
    const item = await findWord(/^Select$/, { x: 380, y: 280, w: 400, h: 560 }).catch(() => null);
    if (!item) return ['not', 'no "Select All" read in the menu'];
    const strokes2 = await steer(item.x + 20, item.y, 5);
    await phone.tap({ x: vp.width / 2, y: vp.height * 0.45 });
    await sleep(600);
    const selected = xclip('primary');
    tryX('windowactivate', id);
    const note = `${strokes1} + ${strokes2} steering strokes`;
    return selected === 'one two three four' ? ['done', note] : ['not', `${note}; selection ${JSON.stringify(selected)}`];
  } },
  12: { name: 'type during a 5-s link stall (arrives once)', budget: 0, async run() {
    const file = path.join(desk.trial, 't12.txt');
    const id = await editor('t12.txt', '');
    await sleep(1000);
    phone.relay.paused = true;
    const pausedAt = Date.now();
    const told = await waitFor('the stall shown', async () => (await statusText()).startsWith('网络卡顿') && Date.now() - pausedAt, 6000).catch(() => null);
    await phone.type('stall proof');
    await sleep(200);
    const pending = await phone.dom(() => !document.getElementById('pending').hidden && document.getElementById('pending-text').textContent);
    await sleep(Math.max(0, 5000 - (Date.now() - pausedAt)));
    phone.relay.resume();
    await waitFor('the link back', async () => (await statusText()).startsWith('已连接'), 10000).catch(() => {});
    await sleep(2000);
    const text = await editorText(id, file);
    const note = `stall shown after ${told ?? '—'} ms, pending ${JSON.stringify(pending)}`;
    if (text !== 'stall proof') return ['not', `${note}; the editor holds ${JSON.stringify(text)}`];
    return told !== null && told <= 3500 ? ['done', note] : ['partly', note];
  } },
};

// Trackpad gain: the same finger travel slow (about 0.1 px/ms) and fast (about 1 px/ms), read as
// the real pointer's travel.
export async function acceleration() {
  await phone.tapButton('触控板');
  const travel = async (stepMs, steps) => {
    xdotool('mousemove', '100', '450');
    await sleep(900);
    const started = performance.now();
    await phone.stroke({ x: 40, y: phone.page.viewportSize().height * 0.45 }, { x: 90, y: 0 }, { steps, stepMs });
    const speed = 90 / (performance.now() - started - 100); // the stroke's own wait after the lift left out
    await sleep(700);
    return { px: pointerAt()[0] - 100, speed };
  };
  const slow = await travel(16, 60);
  const fast = await travel(0, 4);
  await phone.tapButton('触控板');
  phone.touches = 0;
  return { slow, fast };
}
