// Flood figures for the agent server, measured on a spawned `node src/server.js`:
//   node bench/agent_hostile.mjs [agent directory] [--only=terminal,errors,guessing,strangers,ack]
//     [--strangers=20000] [--reconnect-ms=1000] [--ack-seconds=60] [--guess-seconds=13] [--guess-concurrency=32]
// (default directory: this one; pass an older copy to compare). Prints: server memory around a
// 3,000 x 60 kB terminal flood and whether a shell that ignores SIGHUP outlives the close; sockets
// still open after 500 error answers (and after 100 header time-outs, which takes ~22 s); guesses
// per second, statuses and the Retry-After with a fresh CF-Connecting-IP each; a paired phone's
// live view and polls before and during a flood of slow strangers, with server memory and sockets;
// server memory under a live viewer that does not read but acknowledges.
import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import WebSocket, { Receiver, Sender } from 'ws';
import { launchAgent } from './launch.mjs';

const options = Object.fromEntries(process.argv.slice(2).filter((a) => a.startsWith('--')).map((a) => a.slice(2).split('=')));
const dir = path.resolve(process.argv.slice(2).find((a) => !a.startsWith('--')) ?? path.join(import.meta.dirname, '..'));
const only = new Set((options.only ?? 'terminal,errors,guessing,strangers,ack').split(','));
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

// A control service as the app's reads one request per connection: /tiles answers at once with a
// changed tile of 100 kB (a screen that never stops changing), /screenshot a small image.
async function fakeControl() {
  const tile = crypto.randomBytes(100 * 1024);
  let sequence = 0;
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    socket.once('data', (data) => {
      const url = new URL(data.toString('latin1').split(' ')[1] || '/', 'http://x');
      let body = Buffer.from('small image');
      let type = 'image/jpeg';
      if (url.pathname === '/tiles') {
        type = 'application/x-zel-tiles';
        const head = { sequence: ++sequence, width: 1920, height: 1080, full: url.searchParams.get('since') === '0', tiles: [[0, 0, 1920, 1080, tile.length]] };
        body = Buffer.concat([Buffer.from(`${JSON.stringify(head)}\n`), tile]);
      }
      socket.end(Buffer.concat([Buffer.from(`HTTP/1.1 200 OK\r\nContent-Type: ${type}\r\nContent-Length: ${body.length}\r\nConnection: close\r\n\r\n`), body]));
    });
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return { url: `http://127.0.0.1:${server.address().port}/screenshot?secret=bench`, close: () => server.close() };
}

// The paired phone: a live view acknowledging every update, and /api/screenshot polled every 250 ms.
function pairedClient(server) {
  const phone = { updates: 0, polls: 0, failed: 0, errors: new Map() };
  const ws = new WebSocket(`ws://127.0.0.1:${server.port}/api/live?token=${server.token}`);
  ws.on('message', (data, binary) => {
    if (binary) {
      phone.updates++;
      ws.send(JSON.stringify({ type: 'ack', seq: data.readUInt32BE(0) }));
    } else {
      const msg = JSON.parse(data);
      if (msg.type === 'ping') ws.send(JSON.stringify({ type: 'pong', t: msg.t }));
      if (msg.type === 'error') phone.errors.set(msg.message.slice(0, 80), (phone.errors.get(msg.message.slice(0, 80)) ?? 0) + 1);
    }
  });
  ws.on('error', (err) => phone.errors.set(err.message, 1));
  let polling = true;
  (async () => {
    while (polling) {
      try {
        const res = await fetch(`http://127.0.0.1:${server.port}/api/screenshot`, { headers: { Authorization: `Bearer ${server.token}` }, signal: AbortSignal.timeout(5000) });
        await res.arrayBuffer();
        if (res.ok) phone.polls++;
        else phone.failed++;
      } catch (err) {
        phone.failed++;
        phone.errors.set(String(err.cause?.message ?? err.message).slice(0, 80), 1);
      }
      await sleep(250);
    }
  })();
  phone.stop = () => ((polling = false), ws.terminate());
  // Counts over `ms`: updates per second, polls answered and failed.
  phone.measure = async (ms) => {
    const [u, p, f] = [phone.updates, phone.polls, phone.failed];
    await sleep(ms);
    return `${((phone.updates - u) / (ms / 1000)).toFixed(1)} updates/s, polls ${phone.polls - p} ok ${phone.failed - f} failed`;
  };
  return phone;
}

// N slow strangers (a process of their own, its descriptor limit raised) while the paired phone watches.
async function strangers(count, reconnectMs) {
  const control = await fakeControl();
  const server = await launchAgent(dir, { ZEL_AGENT_SCREENSHOT_URL: control.url });
  const phone = pairedClient(server);
  await sleep(3000);
  console.log(`strangers: ${count} slow unauthenticated sockets (reconnecting ${reconnectMs} ms after a close) against a live view at 30 fps and a poll every 250 ms`);
  console.log(`  before: ${await phone.measure(10000)}; server RSS ${mb(rss(server.child.pid))}, sockets ${sockets(server.child.pid)}`);
  const attacker = spawn('sh', ['-c', `ulimit -n ${count + 1024} 2>/dev/null; exec "$0" "$@"`, process.execPath,
    path.join(import.meta.dirname, 'strangers.mjs'), String(server.port), String(count), String(reconnectMs)], { stdio: ['ignore', 'pipe', 'inherit'] });
  let last = {};
  attacker.stdout.on('data', (d) => (last = JSON.parse(d.toString().trim().split('\n').at(-1))));
  for (let s = 0; s < 60 && !(last.opened >= count); s++) await sleep(1000);
  await sleep(5000);
  const opened = last.opened;
  console.log(`  during (${opened} connections opened so far): ${await phone.measure(20000)}; server RSS ${mb(rss(server.child.pid))}, `
    + `sockets ${sockets(server.child.pid)}; attacker ${JSON.stringify(last)}`);
  if (phone.errors.size) console.log(`  phone errors: ${[...phone.errors.keys()].slice(0, 3).join(' | ')}`);
  attacker.kill('SIGKILL');
  await sleep(3000);
  console.log(`  after: ${await phone.measure(5000)}; server RSS ${mb(rss(server.child.pid))}, sockets ${sockets(server.child.pid)}`);
  phone.stop();
  server.stop();
  control.close();
}

// A live viewer that stops reading and acknowledges what it never got, then one that acknowledges
// one update more every 100 ms, as if it read them: server memory over `seconds`.
async function ackAhead(seconds) {
  for (const [name, seqAt] of [['ack 2147483647', () => 2147483647], ['acks counting up 10/s', (i) => i + 1]]) {
    const control = await fakeControl();
    const server = await launchAgent(dir, { ZEL_AGENT_SCREENSHOT_URL: control.url });
    const request = http.request({ host: '127.0.0.1', port: server.port, path: `/api/live?token=${server.token}`, headers: { Upgrade: 'websocket',
      Connection: 'Upgrade', 'Sec-WebSocket-Version': '13', 'Sec-WebSocket-Key': crypto.randomBytes(16).toString('base64') } });
    const [, socket] = await once(request.end(), 'upgrade');
    socket.pause();
    socket.on('error', () => {});
    let closedAt = null;
    socket.on('close', () => (closedAt ??= performance.now()));
    const started = performance.now();
    const figures = [];
    for (let i = 0; performance.now() - started < seconds * 1000; i++) {
      if (socket.writable) socket.write(Buffer.concat(Sender.frame(Buffer.from(JSON.stringify({ type: 'ack', seq: seqAt(i) })), { fin: true, opcode: 1, mask: true, readOnly: false })));
      if (i % 100 === 0) figures.push(`${(i / 10).toFixed(0)} s ${mb(rss(server.child.pid))}`);
      await sleep(100);
    }
    figures.push(`${seconds} s ${mb(rss(server.child.pid))}`);
    // What the server said at the end, read now.
    const receiver = new Receiver();
    let said = 'no close frame';
    receiver.on('conclude', (code, reason) => (said = `closed ${code} "${reason}"`)).on('error', () => {});
    socket.on('data', (d) => receiver.write(d));
    socket.resume();
    await sleep(500);
    const logged = /Live viewer closed: [^\n]*/.exec(server.output());
    console.log(`live viewer not reading, ${name}: server RSS ${figures.join(', ')}; ${said}${closedAt ? `, socket closed after ${((closedAt - started) / 1000).toFixed(1)} s` : ''}`
      + `${logged ? ` (server: ${logged[0]})` : ''}`);
    socket.destroy();
    server.stop();
    control.close();
  }
}

async function guessing(seconds, concurrency) {
  const server = await launchAgent(dir);
  const counts = {};
  let first429 = null;
  let guesses = 0;
  let retryAfter = 0;
  const ms = seconds * 1000;
  const end = performance.now() + ms;
  await Promise.all(Array.from({ length: concurrency }, async () => {
    while (performance.now() < end) {
      const n = guesses++;
      const ip = `10.${(n >> 16) & 255}.${(n >> 8) & 255}.${n & 255}`;
      let res;
      try {
        res = await fetch(`http://127.0.0.1:${server.port}/api/info`, { headers: { 'CF-Connecting-IP': ip, Authorization: 'Bearer guess' }, signal: AbortSignal.timeout(10000) });
        await res.arrayBuffer();
      } catch (err) {
        const why = err.name === 'TimeoutError' ? 'no answer in 10 s' : 'closed'; // refused as one stranger too many
        counts[why] = (counts[why] ?? 0) + 1;
        continue;
      }
      counts[res.status] = (counts[res.status] ?? 0) + 1;
      if (res.status === 429 && first429 === null) first429 = n;
      retryAfter = Math.max(retryAfter, Number(res.headers.get('retry-after') ?? 0));
    }
  }));
  const phoneStart = performance.now();
  const phone = await fetch(`http://127.0.0.1:${server.port}/api/info`, { headers: { 'CF-Connecting-IP': '10.255.0.1', Authorization: `Bearer ${server.token}` } });
  console.log(`guessing with a fresh CF-Connecting-IP each, ${concurrency} at a time for ${ms / 1000} s: ${(guesses / (ms / 1000)).toFixed(0)} guesses/s, `
    + `statuses ${JSON.stringify(counts)}, first 429 at guess ${first429 ?? 'never'}`);
  console.log(`  right token from a new address right after: ${phone.status} in ${(performance.now() - phoneStart).toFixed(0)} ms`);
  const next = await fetch(`http://127.0.0.1:${server.port}/api/info`, { headers: { 'CF-Connecting-IP': '10.255.0.2', Authorization: 'Bearer guess' } });
  console.log(`  largest Retry-After during the burst ${retryAfter} s; a wrong token from a new address right after: ${next.status}, Retry-After ${next.headers.get('retry-after')} s`);
  server.stop();
}

console.log(`agent server in ${dir}, node ${process.version}, ${os.cpus().length} cores`);
if (only.has('terminal')) await terminalFlood();
if (only.has('errors')) await errorAnswers();
if (only.has('guessing')) await guessing(Number(options['guess-seconds'] ?? 13), Number(options['guess-concurrency'] ?? 32));
if (only.has('strangers')) await strangers(Number(options.strangers ?? 20000), Number(options['reconnect-ms'] ?? 1000));
if (only.has('ack')) await ackAhead(Number(options['ack-seconds'] ?? 60));
