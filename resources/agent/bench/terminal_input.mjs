// Raw input rate of the terminal, measured on a spawned `node src/server.js`:
//   node bench/terminal_input.mjs [agent directory] [bytes]   (default: this one, 1,200,000)
// A shell in raw mode reads a paste sent as 60 kB input frames as fast as the client may send
// them; prints the bytes, the time until the shell has counted them all, and the rate.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import WebSocket from 'ws';

const dir = path.resolve(process.argv[2] ?? path.join(import.meta.dirname, '..'));
const total = Number(process.argv[3] ?? 1200000);
const temp = () => fs.mkdtempSync(path.join(os.tmpdir(), 'zel-bench-'));

const config = temp();
const child = spawn(process.execPath, ['src/server.js'], { cwd: dir, stdio: ['ignore', 'pipe', 'inherit'],
  env: { PATH: '/usr/bin:/bin', XDG_CONFIG_HOME: config, HOME: temp(), SHELL: '/bin/sh', ZEL_AGENT_PORT: '0', ZEL_AGENT_ENABLE_TERMINAL: '1' } });
let output = '';
child.stdout.on('data', (d) => (output += d));
while (!/listening on http:\/\/127\.0\.0\.1:(\d+)/.test(output)) await once(child.stdout, 'data');
const port = Number(/listening on http:\/\/127\.0\.0\.1:(\d+)/.exec(output)[1]);
const token = JSON.parse(fs.readFileSync(path.join(config, 'zel-desktop-agent', 'agent.json'), 'utf8')).token;

const ws = new WebSocket(`ws://127.0.0.1:${port}/api/terminal?token=${token}`);
await once(ws, 'open');
let text = '';
ws.on('message', (data) => (text += data));
const until = async (pattern) => {
  while (!pattern.test(text)) await new Promise((r) => setTimeout(r, 5));
};
const input = (data) => ws.send(JSON.stringify({ type: 'input', data }));
input('stty raw -echo; echo RAW-$((1+1))\r');
await until(/RAW-2/);
input(`echo GO-$((2+2)); head -c ${total} | wc -c\n`);
await until(/GO-4/);
const started = process.hrtime.bigint();
const frame = 60000;
for (let sent = 0; sent < total; sent += frame) {
  input('x'.repeat(Math.min(frame, total - sent)));
  while (ws.bufferedAmount > 4 << 20) await new Promise((r) => setTimeout(r, 5));
}
await until(new RegExp(`\\b${total}\\b`));
const ms = Number(process.hrtime.bigint() - started) / 1e6;
console.log(`terminal raw input: ${total} bytes in ${ms.toFixed(0)} ms = ${(total / 1024 / (ms / 1000)).toFixed(0)} KiB/s`);
ws.terminate();
child.kill('SIGKILL');
