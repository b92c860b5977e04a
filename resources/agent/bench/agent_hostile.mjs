// Flood figures for the agent server, measured on a spawned `node src/server.js`:
//   node bench/agent_hostile.mjs [agent directory]   (default: this one; pass an older copy to compare)
// Prints: server memory around a 3,000 x 60 kB terminal flood and whether a shell that ignores
// SIGHUP outlives the close; sockets still open after 500 error answers (and after 100 header
// time-outs, which takes ~22 s); guesses per second and statuses with a fresh CF-Connecting-IP each.
import { once } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import WebSocket from 'ws';
import { launchAgent } from './launch.mjs';

const dir = path.resolve(process.argv[2] ?? path.join(import.meta.dirname, '..'));
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const mb = (bytes) => `${(bytes / 2 ** 20).toFixed(0)} MB`;
const rss = (pid) => Number(/VmRSS:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]) * 1024;
const sockets = (pid) => fs.readdirSync(`/proc/${pid}/fd`).filter((fd) => {
  try { return fs.readlinkSync(`/proc/${pid}/fd/${fd}`).startsWith('socket:'); } catch { return false; }
}).length;
const children = (pid) => fs.readdirSync(`/proc/${pid}/task`)
  .flatMap((tid) => fs.readFileSync(`/proc/${pid}/task/${tid}/children`, 'utf8').split(' ').filter(Boolean).map(Number));
const alive = (pid) => fs.existsSync(`/proc/${pid}`) && !/^State:\s+Z/m.test(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));

async function terminalFlood() {
  const server = await launchAgent(dir);
  const before = new Set(children(server.child.pid));
  const ws = new WebSocket(`ws://127.0.0.1:${server.port}/api/terminal?token=${server.token}`);
  await once(ws, 'open');
  ws.on('message', () => {});
  ws.send(JSON.stringify({ type: 'input', data: "stty raw -echo; trap '' HUP; while :; do sleep 1; done\r" }));
  await sleep(500);
  const shell = children(server.child.pid).find((pid) => !before.has(pid));
  const start = rss(server.child.pid);
  const frame = JSON.stringify({ type: 'input', data: 'y'.repeat(60000) });
  const began = performance.now();
  let sent = 0;
  // Offered until the server stops taking: less than a frame taken in 3 s (its pings move the count a little).
  for (let mark = Infinity, since = performance.now(); sent < 3000 && performance.now() - since < 3000;) {
    if (ws.bufferedAmount < 8 << 20) {
      ws.send(frame);
      sent++;
      continue;
    }
    await sleep(50);
    if (ws.bufferedAmount < mark - frame.length) [mark, since] = [ws.bufferedAmount, performance.now()];
  }
  const taken = sent * frame.length - ws.bufferedAmount;
  console.log(`terminal flood: ${sent} of 3000 frames of 60 kB offered in ${((performance.now() - began) / 1000).toFixed(1)} s; `
    + `the server took ${mb(taken)}, the client still holds ${mb(ws.bufferedAmount)}`);
  console.log(`  server memory ${mb(start)} -> ${mb(rss(server.child.pid))}`);
  ws.terminate();
  const closed = performance.now();
  while (alive(shell) && performance.now() - closed < 5000) await sleep(20);
  console.log(`  shell ignoring SIGHUP after the close: ${alive(shell) ? 'still running after 5 s' : `gone after ${(performance.now() - closed).toFixed(0)} ms`}`);
  await sleep(1000);
  console.log(`  server memory 1 s after the close ${mb(rss(server.child.pid))}`);
  if (alive(shell)) process.kill(shell, 'SIGKILL');
  server.stop();
}

// Clients that keep their side open after the answer, as a hostile one would.
function halfOpen(port, request) {
  const socket = net.connect({ port, host: '127.0.0.1', allowHalfOpen: true });
  socket.on('error', () => {});
  if (request) socket.write(request);
  return new Promise((resolve) => {
    let answer = '';
    socket.on('data', (d) => (answer += d));
    socket.on('end', () => resolve({ socket, status: answer.slice(9, 12) }));
  });
}

async function errorAnswers() {
  const server = await launchAgent(dir);
  const idle = sockets(server.child.pid);
  const refused = 'GET /api/other HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n';
  const answers = await Promise.all(Array.from({ length: 500 }, (_, i) => halfOpen(server.port, i % 2 ? 'HELLO\r\n\r\n' : refused)));
  await sleep(1000);
  const statuses = [...new Set(answers.map((a) => a.status))].join('/');
  console.log(`error answers: 500 answered ${statuses} (half garbage, half upgrades to no route); server sockets open 1 s later: ${sockets(server.child.pid) - idle}`);
  for (const { socket } of answers) socket.destroy();
  const silent = Promise.all(Array.from({ length: 100 }, () => halfOpen(server.port, '')));
  const started = performance.now();
  const timedOut = await silent;
  const at = ((performance.now() - started) / 1000).toFixed(1);
  await sleep(1000);
  console.log(`header time-out: 100 silent connections answered ${[...new Set(timedOut.map((a) => a.status))].join('/')} after ${at} s; `
    + `server sockets open 1 s later: ${sockets(server.child.pid) - idle}`);
  for (const { socket } of timedOut) socket.destroy();
  server.stop();
}

async function guessing() {
  const server = await launchAgent(dir);
  const counts = {};
  let first429 = null;
  let guesses = 0;
  const ms = 5000;
  const end = performance.now() + ms;
  await Promise.all(Array.from({ length: 32 }, async () => {
    while (performance.now() < end) {
      const n = guesses++;
      const ip = `10.${(n >> 16) & 255}.${(n >> 8) & 255}.${n & 255}`;
      const res = await fetch(`http://127.0.0.1:${server.port}/api/info`, { headers: { 'CF-Connecting-IP': ip, Authorization: 'Bearer guess' } });
      await res.arrayBuffer();
      counts[res.status] = (counts[res.status] ?? 0) + 1;
      if (res.status === 429 && first429 === null) first429 = n;
    }
  }));
  const phoneStart = performance.now();
  const phone = await fetch(`http://127.0.0.1:${server.port}/api/info`, { headers: { 'CF-Connecting-IP': '10.255.0.1', Authorization: `Bearer ${server.token}` } });
  console.log(`guessing with a fresh CF-Connecting-IP each, 32 at a time for ${ms / 1000} s: ${(guesses / (ms / 1000)).toFixed(0)} guesses/s, `
    + `statuses ${JSON.stringify(counts)}, first 429 at guess ${first429 ?? 'never'}`);
  console.log(`  right token from a new address right after: ${phone.status} in ${(performance.now() - phoneStart).toFixed(0)} ms`);
  server.stop();
}

console.log(`agent server in ${dir}, node ${process.version}, ${os.cpus().length} cores`);
await terminalFlood();
await errorAnswers();
await guessing();
