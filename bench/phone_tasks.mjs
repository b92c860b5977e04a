#!/usr/bin/env node
// The phone trial: what a new phone user does, with real parts only. The built app under its own
// Xvfb with openbox and real programs (mousepad, pcmanfm, chromium, xterm); the phone is Debian's
// Chromium (touch, DPR 3) driven by touch events and, for the hardware-keyboard tasks, key events,
// through a relay that can stall the link. Every outcome is read back from the desktop (files on
// disk, window titles and focus, the X clipboard and selection, the pointer) or the phone's page,
// never assumed. Prints a table of 12 tasks per viewport: done (the goal, within the touch budget,
// by the way the task names), partly (reached only by a workaround or with more touches than the
// budget), not; with the touches (finger down to all fingers up), keys and wall time of each; and
// the trackpad's gain for a fast stroke against a slow one of the same length. The desktop's scenes
// and reads are in phone_tasks/desktop.mjs, the phone in phone_tasks/phone.mjs, the tasks in
// phone_tasks/tasks.mjs.
//
//   node bench/phone_tasks.mjs --build build/dev [--viewports 390x844,820x1180] [--tasks 1,2]
// It runs itself in a private network namespace (8787/8788 are the app's).
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const kRoot = path.resolve(import.meta.dirname, '..');
const argv = process.argv.slice(2);
const opt = (name, fallback) => (argv.includes(`--${name}`) ? argv[argv.indexOf(`--${name}`) + 1] : fallback);

if (!process.env.ZEL_BENCH_NETNS) {
  const child = spawn('unshare', ['-n', '--', 'sh', '-c', 'ip link set lo up && exec "$0" "$@"', process.execPath, ...process.argv.slice(1)],
    { stdio: 'inherit', env: { ...process.env, ZEL_BENCH_NETNS: '1' } });
  for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => child.kill(signal));
  const [code] = await once(child, 'exit');
  process.exit(code ?? 1);
}

const { sleep, startApp, waitFor } = await import('../tests/support/app_under_test.mjs');
const { launchPhone, pausableRelay } = await import('../tests/support/phone.mjs');
const { appWindowAway, desk, endScene, kDesk, stage, takeOutsideKills, windowOf } = await import('./phone_tasks/desktop.mjs');
const { phone } = await import('./phone_tasks/phone.mjs');
const { acceleration, tasks } = await import('./phone_tasks/tasks.mjs');

const build = path.resolve(kRoot, opt('build', 'build/dev'));
const viewports = opt('viewports', '390x844,820x1180').split(',').map((v) => v.split('x').map(Number));
const only = opt('tasks', '1,2,3,4,5,6,7,8,9,10,11,12').split(',').map(Number);
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-phone-tasks-'));

// Everything we start ends in `cleanup`, on success, failure or a signal.
let desktop = null;
let bus = null;
let relay = null;
let phoneContext = null;
async function cleanup() {
  await phoneContext?.close().catch(() => {});
  relay?.close();
  await endScene().catch(() => {});
  await desktop?.stop();
  bus?.kill('SIGTERM');
  fs.rmSync(work, { recursive: true, force: true });
}
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => cleanup().finally(() => process.exit(130)));

// ---- The run ------------------------------------------------------------------------------------
const results = new Map(); // task -> [cell per viewport]
const notes = [];
const gains = [];
try {
  bus = spawn('dbus-daemon', ['--session', `--address=unix:path=${work}/bus`, '--nofork', '--nopidfile'], { stdio: 'ignore' });
  await waitFor('the session bus', async () => fs.existsSync(`${work}/bus`));
  desktop = await startApp({ binary: path.join(build, 'bin/zel-desktop-agent'), ...kDesk,
    extraEnv: { DBUS_SESSION_BUS_ADDRESS: `unix:path=${work}/bus`, GSETTINGS_BACKEND: 'memory', NO_AT_BRIDGE: '1', LANG: 'C.UTF-8', LANGUAGE: 'en' } });
  const { env } = desktop;
  Object.assign(desk, { app: desktop, env, trial: path.join(env.HOME, 'trial'), work });
  fs.mkdirSync(desk.trial, { recursive: true });
  // Larger type, as on a desktop seen from a phone, and tesseract reads it; no blinking.
  fs.mkdirSync(`${env.XDG_CONFIG_HOME}/gtk-3.0`, { recursive: true });
  fs.writeFileSync(`${env.XDG_CONFIG_HOME}/gtk-3.0/settings.ini`, '[Settings]\ngtk-font-name=DejaVu Sans 13\ngtk-cursor-blink=false\ngtk-enable-animations=false\n');
  fs.writeFileSync(`${env.HOME}/.gtkrc-2.0`, 'gtk-font-name="DejaVu Sans 13"\n');
  desktop.start('openbox', [], { env });
  await sleep(1000);
  // Each program started once before the trial, as on a desktop in use: the first start fills caches.
  stage('mousepad', []);
  await windowOf('mousepad', '--class');
  await endScene();
  relay = phone.relay = await pausableRelay(8787);
  const phoneDir = path.join(work, 'phone');
  for (const [vi, [width, height]] of viewports.entries()) {
    phoneContext = await launchPhone(phoneDir, { width, height });
    const origin = `http://127.0.0.1:${relay.server.address().port}`;
    await phoneContext.grantPermissions(['clipboard-read', 'clipboard-write'], { origin });
    phone.page = phoneContext.pages()[0] ?? (await phoneContext.newPage());
    phone.cdp = await phoneContext.newCDPSession(phone.page);
    // The first viewport pairs with the code; the device key stays in the profile.
    await phone.open(vi === 0 ? `${origin}/?token=${desktop.token}` : `${origin}/`);
    if (await phone.page.locator('#hint').isVisible()) await phone.tapButton('知道了');
    for (const n of only) {
      const task = tasks[n];
      await phone.open(`${origin}/`);
      await appWindowAway(`before task ${n}`);
      phone.touches = 0;
      phone.keys = 0;
      const started = Date.now();
      let outcome;
      try {
        takeOutsideKills();
        outcome = await task.run();
        const killed = takeOutsideKills().join(', ');
        if (outcome[0] !== 'done' && killed) {
          // Not the trial's doing: once more, from a fresh start.
          await endScene();
          await phone.open(`${origin}/`);
          [phone.touches, phone.keys] = [0, 0];
          outcome = await task.run();
          outcome[1] = `${outcome[1] ?? ''} (run again: ${killed} was killed by another program)`.trim();
        }
      } catch (error) {
        outcome = ['not', error.message.split('\n')[0]];
      }
      relay.resume();
      const seconds = (Date.now() - started) / 1000;
      let [result, note = ''] = outcome;
      if (result === 'done' && phone.touches > task.budget) [result, note] = ['partly', `${phone.touches} touches, budget ${task.budget}; ${note}`];
      const cell = `${result} · ${phone.touches} touches, ${phone.keys} keys · ${seconds.toFixed(1)} s`;
      if (!results.has(n)) results.set(n, []);
      results.get(n)[vi] = cell;
      if (note) notes.push(`${n} (${width}×${height}): ${note}`);
      console.error(`task ${n} at ${width}×${height}: ${cell}${note ? ` — ${note}` : ''}`);
      await endScene();
    }
    await phone.open(`${origin}/`);
    await appWindowAway('before the gain');
    gains.push([`${width}×${height}`, await acceleration().catch((error) => ({ error: error.message }))]);
    await phoneContext.close();
    phoneContext = null;
  }
} catch (error) {
  console.error(`phone_tasks: ${error.stack}`);
  process.exitCode = 1;
} finally {
  await cleanup();
}

const names = viewports.map(([w, h]) => `${w}×${h}`);
console.log(`\n| # | task | touch budget | ${names.join(' | ')} |`);
console.log(`|---|---|---|${names.map(() => '---').join('|')}|`);
for (const [n, cells] of results) console.log(`| ${n} | ${tasks[n].name} | ${tasks[n].budget} | ${names.map((_, i) => cells[i] ?? '—').join(' | ')} |`);
const count = (word) => [...results.values()].flat().filter((c) => c?.startsWith(word)).length;
console.log(`\n${count('done')} done, ${count('partly')} partly, ${count('not')} not.`);
if (notes.length) console.log(`\n${notes.map((n) => `- ${n}`).join('\n')}`);
for (const [name, g] of gains) {
  console.log(g.error ? `trackpad gain at ${name}: failed (${g.error})`
    : `trackpad, 90 px of finger travel at ${name}: slow (${g.slow.speed.toFixed(2)} px/ms) moved the pointer ${g.slow.px} px, fast (${g.fast.speed.toFixed(2)} px/ms) ${g.fast.px} px: ×${(g.fast.px / g.slow.px).toFixed(2)}`);
}
