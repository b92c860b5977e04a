// The trial's desktop (bench/phone_tasks.mjs): the scenes the tasks set on it, and the checker's
// ways to read what happened there (windows, titles and focus, files, the X clipboard and selection,
// the pointer, words on the screen).
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { sleep, waitFor } from '../../tests/support/app_under_test.mjs';

export const kDesk = { width: 1280, height: 900 };
// Set by the trial once the app runs: the app under test, its environment, the user's folder of
// files and a folder of our own.
export const desk = { app: null, env: null, trial: null, work: null };
export const takeOutsideKills = () => killedOutside.splice(0);

export const xdotool = (...args) => execFileSync('xdotool', args, { env: desk.env, stdio: ['ignore', 'pipe', 'pipe'] }).toString().trim();
export const tryX = (...args) => {
  try {
    return xdotool(...args);
  } catch {
    return '';
  }
};
export const windows = (pattern, by = '--name') => tryX('search', '--onlyvisible', by, pattern).split('\n').filter(Boolean);
export const activeTitle = () => tryX('getactivewindow', 'getwindowname');
export const pointerAt = () => xdotool('getmouselocation').match(/x:(\d+) y:(\d+)/).slice(1).map(Number);
export const xclip = (selection) => {
  try {
    return execFileSync('xclip', ['-o', '-selection', selection], { env: desk.env, timeout: 3000 }).toString();
  } catch {
    return '';
  }
};

// Programs a task's scene starts, ended with it; and the windows of programs the user started.
let scene = [];
export const userPids = new Set(); // programs the user started in the terminal tab, as its shell told ("[1] 26999")
let ending = false;
const killedOutside = []; // a scene's program killed by something else (another run's pkill of its name)
export function stage(file, args, options = {}) {
  const child = desk.app.start(file, args, { env: desk.env, cwd: desk.trial, ...options });
  child.on('exit', (code, signal) => signal === 'SIGKILL' && !ending && killedOutside.push(file));
  scene.push(child);
  return child;
}
export async function endScene() {
  ending = true;
  // Killed outright: a GTK program asked to quit may wait on a dialog, and mousepad's next start
  // would hand its file to the dying one.
  const pids = new Set([...scene.map((c) => c.pid), ...userPids]);
  userPids.clear();
  for (const cls of ['mousepad', 'pcmanfm', 'xterm', 'chromium']) for (const id of windows(cls, '--class')) pids.add(Number(tryX('getwindowpid', id)));
  for (const pid of pids) {
    try {
      if (pid) process.kill(pid, 'SIGKILL');
    } catch {}
  }
  const alive = (pid) => {
    try {
      return process.kill(pid, 0);
    } catch {
      return false;
    }
  };
  await Promise.all(scene.map((c) => Promise.race([c.exited, sleep(5000)])));
  await waitFor('the scene gone', async () => ![...pids].some((pid) => pid && alive(pid)), 5000).catch(() => {});
  scene = [];
  ending = false;
}
// The app's own window refuses remote input: out of the way, as its owner would put it.
export async function appWindowAway(when) {
  if (!windows('^Zel Desktop Agent$').length) return;
  console.error(`the app's window was shown ${when}: moved to a corner and minimized`);
  tryX('windowmove', desk.app.appWindow, '870', '590');
  await waitFor('the app window minimized', async () => {
    tryX('windowminimize', desk.app.appWindow);
    await sleep(300);
    return !windows('^Zel Desktop Agent$').length;
  }, 10000);
}
export const place = (id, x, y, w, h) => {
  xdotool('windowsize', '--sync', id, String(w), String(h));
  xdotool('windowmove', '--sync', id, String(x), String(y));
};
export async function windowOf(pattern, by = '--name') {
  const [id] = await waitFor(`a window ${pattern}`, async () => windows(pattern, by).length && windows(pattern, by), 20000)
    .catch((error) => {
      throw new Error(`${error.message}; windows: ${windows('.', '--name').map((w) => JSON.stringify(tryX('getwindowname', w))).join(', ')}`);
    });
  // One that lasts: a program may map a window and replace it at once.
  await sleep(500);
  return windows(pattern, by).includes(id) ? id : windowOf(pattern, by);
}

// mousepad on a file of the trial folder, placed and focused.
export async function editor(name, text) {
  if (text !== undefined) fs.writeFileSync(path.join(desk.trial, name), text);
  stage('mousepad', [path.join(desk.trial, name)]);
  const id = await windowOf(name.replace('.', '\\.'));
  place(id, 40, 40, 1000, 760);
  xdotool('windowactivate', '--sync', id);
  await sleep(700); // the user sees it first
  return id;
}
// The editor's text as it is on the screen: saved by the checker (Ctrl+S to the editor), read off the disk.
export async function editorText(id, file) {
  const before = fs.statSync(file, { throwIfNoEntry: false })?.mtimeMs ?? 0;
  xdotool('windowactivate', '--sync', id);
  xdotool('key', '--clearmodifiers', 'ctrl+s');
  await waitFor('the save', async () => (fs.statSync(file, { throwIfNoEntry: false })?.mtimeMs ?? 0) > before, 3000).catch(() => {});
  return fs.readFileSync(file, 'utf8');
}
// The line in the middle of the editor's view: clicked there, then copied (the checker's look).
export function middleLine(id) {
  const geometry = xdotool('getwindowgeometry', '--shell', id);
  const [x, y, w, h] = ['X', 'Y', 'WIDTH', 'HEIGHT'].map((k) => Number(geometry.match(new RegExp(`^${k}=(\\d+)`, 'm'))[1]));
  xdotool('windowactivate', '--sync', id);
  xdotool('mousemove', String(x + w / 3), String(y + h / 2), 'click', '1');
  xdotool('key', '--clearmodifiers', 'Home', 'shift+End', 'ctrl+c');
  execFileSync('sleep', ['0.3']);
  return Number(xclip('clipboard').match(/^L(\d+)/)?.[1] ?? NaN);
}

// Words on the screen and where they are, as the user sees them (tesseract on a screenshot).
let shots = 0;
export function wordsOnScreen({ x, y, w, h }) {
  const file = path.join(desk.work, `shot-${++shots}.png`);
  const png = execFileSync('import', ['-window', 'root', 'png:-'], { env: desk.env, maxBuffer: 64 << 20 });
  execFileSync('convert', ['png:-', '-crop', `${w}x${h}+${x}+${y}`, '+repage', '-colorspace', 'Gray', '-resize', '200%', file], { input: png });
  const tsv = execFileSync('tesseract', [file, 'stdout', '--psm', '11', 'tsv'], { stdio: ['ignore', 'pipe', 'ignore'] }).toString();
  return tsv.split('\n').slice(1).map((l) => l.split('\t')).filter((f) => f.length >= 12 && f[11].trim() && Number(f[10]) >= 0)
    .map((f) => ({ text: f[11].trim(), x: x + (Number(f[6]) + Number(f[8]) / 2) / 2, y: y + (Number(f[7]) + Number(f[9]) / 2) / 2 }));
}
export async function findWord(pattern, region) {
  return waitFor(`the word ${pattern}`, async () => wordsOnScreen(region).find((w) => pattern.test(w.text)), 10000);
}
