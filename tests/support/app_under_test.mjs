// The built app as the end-to-end tests and benchmarks meet it: in a prefix of its own (the real
// agent server, the stand-in tunnel client), under a private Xvfb, switched on through its button.
import { execFileSync, spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

export const kRoot = path.resolve(import.meta.dirname, '../..');
export const kAgent = path.join(kRoot, 'resources/agent');
export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// zbarimg's reading of an image: the text of each symbol, none when it finds none (exit status 4).
export function qrCodes(file) {
  try {
    return execFileSync('zbarimg', ['--quiet', '--raw', file]).toString().split('\n').filter(Boolean);
  } catch {
    return [];
  }
}

// The address a pairing link names: zel://mac-control?url=<https://…/?token=CODE, percent-encoded>.
export const pairingURL = (link) => new URL(decodeURIComponent(link.slice('zel://mac-control?url='.length)));

// The agent server's answer to a bearer, as a status.
export const bearerStatus = async (bearer) => (await fetch('http://127.0.0.1:8787/api/info', { headers: { Authorization: `Bearer ${bearer}` } })).status;

export async function waitFor(what, fn, timeoutMs = 30000) {
  for (const end = Date.now() + timeoutMs; ; await sleep(200)) {
    const value = await fn().catch(() => null);
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
  }
}

// bin/zel-desktop-agent beside share/zel-desktop-agent with node, the agent server (`agent`) and
// the stand-in tunnel client; XDG directories of its own.
function prefixApp(binary) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-app-'));
  const exe = path.join(dir, 'prefix/bin/zel-desktop-agent');
  const bin = path.join(dir, 'prefix/share/zel-desktop-agent/bin');
  for (const sub of [path.dirname(exe), bin]) fs.mkdirSync(sub, { recursive: true });
  for (const sub of ['state', 'config', 'home', 'runtime']) fs.mkdirSync(path.join(dir, sub), { mode: 0o700 });
  fs.copyFileSync(binary, exe);
  fs.copyFileSync(path.join(kRoot, 'tests/fixtures/cloudflared'), path.join(bin, 'cloudflared'));
  for (const file of [exe, path.join(bin, 'cloudflared')]) fs.chmodSync(file, 0o755);
  fs.symlinkSync(process.execPath, path.join(bin, 'node'));
  fs.symlinkSync(kAgent, path.join(bin, '../agent'));
  return { dir, exe };
}

// Starts Xvfb and the app (ZEL_APP_BINARY unless given), presses its button and waits until the agent server answers.
// Everything started through `start` ends with `stop`, last first; then `dir` goes.
// `restart` ends the app with SIGTERM and starts it again on the same display and folders (the
// state it kept, the settings); `extraEnv` is added to the app's environment.
export async function startApp({ binary = process.env.ZEL_APP_BINARY, width = 1280, height = 900, extraEnv = {} } = {}) {
  if (!binary) throw new Error('ZEL_APP_BINARY names the built app');
  const { dir, exe } = prefixApp(binary);
  const children = [];
  const start = (file, args, options) => {
    const child = spawn(file, args, { stdio: 'ignore', ...options });
    child.exited = once(child, 'exit');
    children.push(child);
    return child;
  };
  const stop = async () => {
    for (const child of children.reverse().filter((c) => c.exitCode === null && c.signalCode === null)) {
      child.kill('SIGTERM');
      await Promise.race([child.exited, new Promise((r) => setTimeout(r, 15000).unref())]);
    }
    fs.rmSync(dir, { recursive: true, force: true });
  };
  try {
    // -noreset: when the app quits (a restart) it may be the last client, and a server resetting
    // then refuses the next app's connection.
    const xvfb = start('Xvfb', ['-displayfd', '3', '-screen', '0', `${width}x${height}x24`, '-nolisten', 'tcp', '-noreset'], { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
    const display = `:${(await once(xvfb.stdio[3], 'data'))[0].toString().trim()}`; // the display number Xvfb chose
    // Added to our own environment, so that sanitizer settings pass on.
    const env = { ...process.env, DISPLAY: display, XDG_STATE_HOME: `${dir}/state`, XDG_CONFIG_HOME: `${dir}/config`,
      XDG_RUNTIME_DIR: `${dir}/runtime`, HOME: `${dir}/home`, QT_QPA_PLATFORM: 'xcb', ...extraEnv };
    const xdotool = (...args) => execFileSync('xdotool', args, { env }).toString().trim();
    let launches = 0;
    const launch = async () => {
      // Its output kept, so that a start that shows no window says why.
      const output = `${dir}/app-${++launches}.out`;
      const app = start(exe, [], { env, stdio: ['ignore', fs.openSync(output, 'w'), fs.openSync(output, 'a')] });
      const appWindow = await waitFor('the app window', async () => xdotool('search', '--onlyvisible', '--name', '^Zel Desktop Agent$').split('\n')[0])
        .catch((error) => {
          throw new Error(`${error.message}; the app said: ${fs.readFileSync(output, 'utf8').slice(-2000)}`);
        });
      await sleep(500);
      xdotool('windowfocus', '--sync', appWindow);
      xdotool('key', 'space'); // the default button: start the agent server and the tunnel
      // The first pairing code; the page answers without one, so waiting spends no code.
      const token = await waitFor('the token', async () => JSON.parse(fs.readFileSync(`${dir}/config/zel-desktop-agent/agent.json`, 'utf8')).token);
      await waitFor('the agent server', async () => (await fetch('http://127.0.0.1:8787/')).ok);
      return { app, appWindow, token };
    };
    const desktop = { dir, display, env, xdotool, start, stop, ...(await launch()) };
    desktop.restart = async () => {
      desktop.app.kill('SIGTERM');
      await desktop.app.exited;
      Object.assign(desktop, await launch());
    };
    return desktop;
  } catch (error) {
    await stop();
    throw error;
  }
}
