// Flood figures of the control service in the running app (the built app under a private X
// server, switched on, tests/support/app_under_test.mjs): descriptors the app holds while peers keep
// idle connections open, screenshot latency beside them and without them, and the log bytes that
// connect-and-close peers and bad requests leave. Port 8788 must be free (or run it in a network
// namespace of its own: unshare -n sh -c 'ip link set lo up && node bench/control_flood.mjs').
// Usage: node bench/control_flood.mjs [build dir] (default build/release)
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';
import { sleep, startApp, waitFor } from '../tests/support/app_under_test.mjs';

const build = path.resolve(process.argv[2] ?? 'build/release');
const desktop = await startApp({ binary: `${build}/bin/zel-desktop-agent`, width: 1280, height: 800 });
process.on('uncaughtException', async (error) => {
  console.error(error);
  await desktop.stop();
  process.exit(1);
});
// The tunnel client, started after the agent server, records the address it was handed.
const invocation = await waitFor('the tunnel client', async () =>
  JSON.parse(fs.readFileSync(`${desktop.dir}/prefix/share/zel-desktop-agent/bin/cloudflared.invocation`, 'utf8')));
const shotURL = new URL(invocation.env.ZEL_AGENT_SCREENSHOT_URL);
const port = Number(shotURL.port);
const secret = shotURL.searchParams.get('secret');
const logFile = `${desktop.dir}/state/zel-desktop-agent/agent.log`;

const descriptors = () => fs.readdirSync(`/proc/${desktop.app.pid}/fd`).length;
const logBytes = () => (fs.existsSync(logFile) ? fs.statSync(logFile).size : 0);

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

console.log(`flood figures of the app's control service (${build}; 1280x800 Xvfb, 960-wide JPEG; shared machine)`);
await latency(5); // warm-up
const baseline = descriptors();
console.log(`descriptors held by the app, no peers: ${baseline}`);
console.log(`screenshot latency, no peers: ${await latency(40)}`);

for (const count of [1100, 1000]) {
  const peers = await idlePeers(count);
  const held = descriptors();
  const closed = peers.closedByService();
  const shots = await latency(40);
  console.log(`${count.toLocaleString('en')} idle connections: the app holds ${held} descriptors (${held - baseline} more), closed ${closed} at once`);
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
const seconds = ((Date.now() - start) / 1000).toFixed(2);
desktop.app.kill('SIGTERM'); // the held count is written as the service goes
await desktop.app.exited;
// Only bad requests log "Invalid request." (the log is emptied when the connection starts).
const lines = fs.readFileSync(logFile, 'utf8').split('\n').filter((l) => l.includes('Invalid request.'));
const total = lines.reduce((sum, l) => sum + Buffer.byteLength(l) + 1, 0);
console.log(`10,000 bad requests (${seconds} s): ${during} log bytes while they came, ${total} once the app quit, in ${lines.length} lines:`);
process.stdout.write(lines.map((l) => `  ${l}\n`).join(''));
await desktop.stop();
