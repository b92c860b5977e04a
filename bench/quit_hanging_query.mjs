// How long the app takes to quit (SIGTERM until the process has exited) while its start sits in a
// token query that never ends: one that ignores SIGTERM (the app kills it after its 1.5 s grace)
// and one that takes it. The built app runs from a prefix of its own with such an agent, under a
// private Xvfb, started with --start. Goal: under 2 s.
// Usage: node bench/quit_hanging_query.mjs [build dir] [rounds]
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const root = path.resolve(import.meta.dirname, '..');
const [build = 'build/release', rounds = '5'] = process.argv.slice(2);
const app = path.resolve(root, build, 'bin/zel-desktop-agent');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

const queries = {
  'query ignores SIGTERM': "process.on('SIGTERM', () => {});\n",
  'query takes SIGTERM': '',
};

function prefixWith(dir, preamble) {
  const share = path.join(dir, 'prefix/share/zel-desktop-agent');
  fs.mkdirSync(path.join(dir, 'prefix/bin'), { recursive: true });
  fs.mkdirSync(path.join(share, 'bin'), { recursive: true });
  fs.mkdirSync(path.join(share, 'agent/src'), { recursive: true });
  fs.copyFileSync(app, path.join(dir, 'prefix/bin/zel-desktop-agent'));
  fs.chmodSync(path.join(dir, 'prefix/bin/zel-desktop-agent'), 0o755);
  fs.symlinkSync(execFileSync('sh', ['-c', 'command -v node']).toString().trim(), path.join(share, 'bin/node'));
  fs.writeFileSync(path.join(share, 'agent/package.json'), '{"type": "module"}');
  fs.writeFileSync(path.join(share, 'agent/src/server.js'), '');
  fs.writeFileSync(path.join(share, 'agent/src/config.js'), `${preamble}export const configDir = () => '';\n` +
    'export const renewToken = () => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0);\n');
  for (const sub of ['state', 'config', 'home', 'runtime']) fs.mkdirSync(path.join(dir, sub), { mode: 0o700 });
  return path.join(dir, 'prefix/bin/zel-desktop-agent');
}

async function startXvfb() {
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x800x24', '-nolisten', 'tcp'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const display = await new Promise((resolve, reject) => {
    let text = '';
    xvfb.stdio[3].on('data', (chunk) => {
      text += chunk;
      if (text.includes('\n')) resolve(`:${text.trim()}`);
    });
    xvfb.on('exit', () => reject(new Error('Xvfb ended')));
  });
  return { xvfb, display };
}

const children = (pid) => {
  try {
    return execFileSync('pgrep', ['-P', String(pid)]).toString().split('\n').filter(Boolean).map(Number);
  } catch {
    return [];
  }
};
const alive = (pid) => {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
};

async function quitOnce(exe, dir, display) {
  const env = {
    ...process.env, DISPLAY: display, QT_QPA_PLATFORM: 'xcb', HOME: path.join(dir, 'home'),
    XDG_STATE_HOME: path.join(dir, 'state'), XDG_CONFIG_HOME: path.join(dir, 'config'),
    XDG_RUNTIME_DIR: path.join(dir, 'runtime'),
  };
  const child = spawn(exe, ['--start'], { env, stdio: 'ignore' });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  let query = [];
  for (let waited = 0; query.length === 0; waited += 20) {
    if (waited > 30000) throw new Error('the token query did not start');
    await sleep(20);
    query = children(child.pid);
  }
  await sleep(300); // the query is well into its wait
  const started = process.hrtime.bigint();
  child.kill('SIGTERM');
  const end = await exited;
  const ms = Number(process.hrtime.bigint() - started) / 1e6;
  if (end.code !== 0) throw new Error(`the app ended with ${JSON.stringify(end)}`);
  await sleep(200);
  if (alive(query[0])) throw new Error(`the query ${query[0]} outlived the app`);
  return ms;
}

const { xvfb, display } = await startXvfb();
try {
  console.log(`quit during a token query that never ends: ${rounds} rounds each, ${os.cpus().length} CPUs, ${app}`);
  console.log('case                     median     min       max');
  for (const [name, preamble] of Object.entries(queries)) {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-quit-'));
    try {
      const exe = prefixWith(dir, preamble);
      const times = [];
      for (let round = 0; round < Number(rounds); round++) times.push(await quitOnce(exe, dir, display));
      times.sort((a, b) => a - b);
      const fmt = (ms) => `${ms.toFixed(0).padStart(6)} ms`;
      console.log(`${name.padEnd(22)} ${fmt(times[Math.floor(times.length / 2)])} ${fmt(times[0])} ${fmt(times.at(-1))}`);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  }
} finally {
  xvfb.kill('SIGTERM');
}
