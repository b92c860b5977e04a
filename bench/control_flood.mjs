// Flood figures of the control service (port 8788's service with the app's real handlers under a
// private X server, bench/control_load_server.cpp): descriptors it holds while peers keep idle
// connections open, screenshot latency beside them and without them, and the log bytes that
// connect-and-close peers and bad requests leave.
// Usage: node bench/control_flood.mjs [build dir] (default build/release)
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const build = process.argv[2] ?? 'build/release';
const stateHome = fs.mkdtempSync(path.join(os.tmpdir(), 'control-flood-'));
process.on('exit', () => fs.rmSync(stateHome, { recursive: true, force: true }));
const server = spawn(`${build}/bin/control_load_server`, [], {
  stdio: ['ignore', 'pipe', 'inherit'],
  env: { ...process.env, ZEL_BENCH_STATE_HOME: stateHome },
});
const [port, secret, logFile] = (await readline.createInterface({ input: server.stdout })[Symbol.asyncIterator]().next()).value.split(' ');
const ended = new Promise((resolve) => server.on('exit', resolve));

const descriptors = () => fs.readdirSync(`/proc/${server.pid}/fd`).length;
const logBytes = () => (fs.existsSync(logFile) ? fs.statSync(logFile).size : 0);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// One screenshot as the agent server asks for it; its time in ms, or the failure.
function screenshot() {
  const start = process.hrtime.bigint();
  return new Promise((resolve) => {
    const req = http.get({ port, path: `/screenshot?secret=${secret}&format=jpeg&width=960`, agent: false, headers: { Connection: 'close' } }, (res) => {
      res.resume();
      res.on('end', () => resolve(res.statusCode === 200 ? Number(process.hrtime.bigint() - start) / 1e6 : `status ${res.statusCode}`));
    });
    req.setTimeout(20000, () => req.destroy(new Error('no answer in 20 s')));
    req.on('error', (err) => resolve(err.message));
  });
}

async function latency(count) {
  const times = [];
  const failures = [];
  for (let i = 0; i < count; ++i) {
    const outcome = await screenshot();
    (typeof outcome === 'number' ? times : failures).push(outcome);
  }
  times.sort((a, b) => a - b);
  const at = (q) => (times.length ? times[Math.min(times.length - 1, Math.floor(q * times.length))].toFixed(1) : '-');
  const failed = failures.length ? `, ${failures.length} failed (${[...new Set(failures)].join('; ')})` : '';
  return `median ${at(0.5)} ms, p95 ${at(0.95)} ms, max ${at(1)} ms over ${count}${failed}`;
}

// Peers that connect and send nothing, held open; the service closes the ones it will not keep.
async function idlePeers(count) {
  let closedByService = 0;
  const sockets = await Promise.all(Array.from({ length: count }, () => new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1', () => resolve(socket));
    socket.on('error', () => resolve(socket));
    socket.on('close', () => { if (!socket.destroyedHere) ++closedByService; });
  })));
  await sleep(300);
  return {
    sockets,
    closedByService: () => closedByService,
    close() { for (const socket of sockets) { socket.destroyedHere = true; socket.destroy(); } },
  };
}

// count connections, at most `parallel` at a time, each sending `bytes` (or nothing) and closing.
async function churn(count, bytes, parallel = 32) {
  let started = 0;
  const one = () => new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1', () => (bytes ? socket.end(bytes) : socket.end()));
    socket.on('error', resolve);
    socket.on('close', resolve);
    socket.resume();
  });
  await Promise.all(Array.from({ length: parallel }, async () => {
    while (started < count) {
      ++started;
      await one();
    }
  }));
}

console.log(`control service flood figures (${build}; 1280x800 Xvfb, 960-wide JPEG; shared machine)`);
await latency(5); // warm-up
const baseline = descriptors();
console.log(`descriptors held, no peers: ${baseline}`);
console.log(`screenshot latency, no peers: ${await latency(40)}`);

for (const count of [1100, 1000]) {
  const peers = await idlePeers(count);
  const held = descriptors();
  const closed = peers.closedByService();
  const shots = await latency(40);
  console.log(`${count.toLocaleString('en')} idle connections: service holds ${held} descriptors (${held - baseline} more), closed ${closed} at once`);
  console.log(`screenshot latency beside them: ${shots}; idle connections closed to make room: ${peers.closedByService() - closed}`);
  peers.close();
  await sleep(500);
}

let before = logBytes();
let start = Date.now();
await churn(10000, null);
console.log(`10,000 connect-and-close connections (${((Date.now() - start) / 1000).toFixed(2)} s): ${logBytes() - before} log bytes`);

before = logBytes();
start = Date.now();
await churn(10000, Buffer.from([0xff]));
const during = logBytes() - before;
server.kill('SIGTERM');
await ended;
console.log(`10,000 bad requests (${((Date.now() - start) / 1000).toFixed(2)} s): ${during} log bytes, ${logBytes() - before} with the held count written at the end`);
console.log('log lines of the bad requests:');
process.stdout.write(fs.readFileSync(logFile, 'utf8').split('\n').filter((l) => l).slice(-4).map((l) => `  ${l}\n`).join(''));
