// The attacker's side of the strangers flood, in a process of its own so that its descriptors are
// not the bench's: node bench/strangers.mjs <port> <count> <reconnect ms>
// Keeps <count> connections open as slow clients that never show a token (a request head sent one
// header line every 5 s), opening a new one <reconnect ms> after the server closes one. Prints a JSON
// line of counts every second.
import net from 'node:net';

const [port, count, reconnectMs] = process.argv.slice(2).map(Number);
const stats = { open: 0, opened: 0, closed: 0, failed: 0 };

function stranger() {
  const socket = net.connect({ port, host: '127.0.0.1' });
  let timer = null;
  socket.on('connect', () => {
    stats.open++;
    stats.opened++;
    socket.write('GET /api/info HTTP/1.1\r\nHost: x\r\n');
    timer = setInterval(() => socket.write(`X-Slow-${stats.opened}: 1\r\n`), 5000);
  });
  socket.on('data', () => {});
  socket.on('error', () => {});
  socket.on('close', () => {
    clearInterval(timer);
    if (timer) {
      stats.open--;
      stats.closed++;
    } else stats.failed++;
    setTimeout(stranger, timer ? reconnectMs : Math.max(reconnectMs, 1000));
  });
}

for (let i = 0; i < count; i++) {
  stranger();
  if (i % 500 === 499) await new Promise((r) => setTimeout(r, 50));
}
setInterval(() => process.stdout.write(`${JSON.stringify(stats)}\n`), 1000);
