// Raw input rate of the terminal, measured on a spawned `node src/server.js`:
//   node bench/terminal_input.mjs [agent directory] [bytes]   (default: this one, 1,200,000)
// A shell in raw mode reads a paste sent as 60 kB input frames as fast as the client may send
// them; prints the bytes, the time until the shell has counted them all, and the rate.
import { once } from 'node:events';
import path from 'node:path';
import WebSocket from 'ws';
import { launchAgent } from './launch.mjs';

const dir = path.resolve(process.argv[2] ?? path.join(import.meta.dirname, '..'));
const total = Number(process.argv[3] ?? 1200000);
const { child, port, token } = await launchAgent(dir);

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
