// A link emulator: a TCP relay that adds a round trip (half each way) and caps the bandwidth per
// direction, counting the bytes. Run as a child of bench/live_view.mjs (fork):
//   node bench/link_relay.mjs <listenPort> <targetPort> <rttMs> <mbitPerS or 0 for no cap>
// It prints "listening <port>" and answers {type:"stats"} with {up, down} bytes.
import net from 'node:net';

const [listenPort, targetPort, rttMs, mbit] = process.argv.slice(2).map(Number);
const bytesPerMs = mbit > 0 ? (mbit * 1e6) / 8 / 1000 : Infinity;
const kPiece = 8 * 1024; // a chunk leaves in pieces, so a large one does not arrive all at once
// The queue a direction may hold before its sender is paused: about 100 ms of the link.
const kQueueLimit = Number.isFinite(bytesPerMs) ? Math.max(32 * 1024, bytesPerMs * 100) : 4 << 20;
const stats = { up: 0, down: 0 };

// Pieces leave in the order they came, from one queue per direction: a timer per piece could
// fire out of order (timers count from the event loop's cached clock and wait at least 1 ms),
// which reordered the stream under VNC's client.
function pipe(from, to, counter) {
  let busyUntil = 0; // when the link of this direction has sent what it holds
  let queued = 0;
  const queue = []; // { at, piece }; the piece 'end' ends the stream, 'destroy' drops it
  let timer = null;
  function deliver() {
    timer = null;
    const now = performance.now();
    while (queue.length && queue[0].at <= now) {
      const { piece } = queue.shift();
      if (piece === 'end' || piece === 'destroy') {
        to[piece]();
        continue;
      }
      queued -= piece.length;
      if (!to.destroyed) to.write(piece);
    }
    if (from.isPaused() && queued < kQueueLimit / 2) from.resume();
    if (queue.length) timer = setTimeout(deliver, Math.max(1, queue[0].at - now));
  }
  function later(at, piece) {
    queue.push({ at, piece });
    if (timer === null) timer = setTimeout(deliver, Math.max(1, at - performance.now()));
  }
  from.on('data', (chunk) => {
    stats[counter] += chunk.length;
    for (let at = 0; at < chunk.length; at += kPiece) {
      const piece = chunk.subarray(at, at + kPiece);
      busyUntil = Math.max(performance.now(), busyUntil) + piece.length / bytesPerMs;
      queued += piece.length;
      later(busyUntil + rttMs / 2, piece);
    }
    if (queued > kQueueLimit) from.pause();
  });
  // Both go through the queue, after what it holds: a timer of their own could overtake it.
  const last = () => Math.max(performance.now(), busyUntil) + rttMs / 2;
  from.on('end', () => later(last(), 'end'));
  from.on('error', () => to.destroy());
  from.on('close', () => later(last() + 50, 'destroy'));
}

const server = net.createServer((client) => {
  client.setNoDelay(true);
  const upstream = net.connect(targetPort, '127.0.0.1');
  upstream.setNoDelay(true);
  pipe(client, upstream, 'up');
  pipe(upstream, client, 'down');
});
server.listen(listenPort, '127.0.0.1', () => {
  process.stdout.write(`listening ${server.address().port}\n`);
});
process.on('message', (msg) => {
  if (msg?.type === 'stats') process.send({ type: 'stats', ...stats });
});
process.on('disconnect', () => process.exit(0));
