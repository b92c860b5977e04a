// How long the app takes to quit (SIGTERM until the process has exited) while its start sits in a
// token query that never ends: one that ignores SIGTERM (the app kills it after its 1.5 s grace)
// and one that takes it. The built app runs from a prefix of its own with such an agent, under a
// private Xvfb, started with --start. Goal: under 2 s.
// Usage: node bench/quit_hanging_query.mjs [build dir] [rounds]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { kRoot, prefixApp, processGroup, sleep, startXvfb, waitFor } from '../tests/support/app_under_test.mjs';

const [build = 'build/release', rounds = '5'] = process.argv.slice(2);
const binary = path.resolve(kRoot, build, 'bin/zel-desktop-agent');

const queries = {
  'query ignores SIGTERM': "process.on('SIGTERM', () => {});\n",
  'query takes SIGTERM': '',
};

function hangingAgent(dir, preamble) {
  fs.mkdirSync(path.join(dir, 'src'), { recursive: true });
  fs.writeFileSync(path.join(dir, 'package.json'), '{"type": "module"}');
  fs.writeFileSync(path.join(dir, 'src/server.js'), '');
  fs.writeFileSync(path.join(dir, 'src/config.js'), `${preamble}export const configDir = () => '';\n` +
    'export const renewToken = () => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0);\n');
  return dir;
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

async function quitOnce(start, exe, env) {
  const app = start(exe, ['--start'], { env });
  const [query] = await waitFor('the token query', async () => children(app.pid).length > 0 && children(app.pid));
  await sleep(300); // the query is well into its wait
  const started = process.hrtime.bigint();
  app.kill('SIGTERM');
  const [code, signal] = await app.exited;
  const ms = Number(process.hrtime.bigint() - started) / 1e6;
  if (code !== 0) throw new Error(`the app ended with ${code ?? signal}`);
  await waitFor(`the end of query ${query}`, async () => !alive(query), 5000);
  return ms;
}

console.log(`quit during a token query that never ends: ${rounds} rounds each, ${os.cpus().length} CPUs, ${binary}`);
console.log('case                     median     min       max');
for (const [name, preamble] of Object.entries(queries)) {
  const agent = hangingAgent(fs.mkdtempSync(path.join(os.tmpdir(), 'zel-agent-')), preamble);
  const { dir, exe, envFor } = prefixApp({ binary, agent });
  const { start, stop } = processGroup(dir);
  try {
    const env = envFor(await startXvfb(start));
    const times = [];
    for (let round = 0; round < Number(rounds); round++) times.push(await quitOnce(start, exe, env));
    times.sort((a, b) => a - b);
    const fmt = (ms) => `${ms.toFixed(0).padStart(6)} ms`;
    console.log(`${name.padEnd(22)} ${fmt(times[Math.floor(times.length / 2)])} ${fmt(times[0])} ${fmt(times.at(-1))}`);
  } finally {
    await stop();
    fs.rmSync(agent, { recursive: true, force: true });
  }
}
