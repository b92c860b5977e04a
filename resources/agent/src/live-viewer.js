// One viewer of the live view: its WebSocket, the updates on their way to it and its
// acknowledgements, its pings, its input (passed on in order) and its requests for another width
// or a whole frame. What to send when is live-stream.js.
import { Pacer } from './live-pacer.js';

// One update for the viewer: head, copy table, tile table, the video's entry, files, the video's unit.
function updateMessage(seq, quality, { full, width, height, copies = [], tiles, video = null }) {
  const tilesAt = 14 + 12 * copies.length;
  const videoAt = tilesAt + 12 * tiles.length;
  const head = Buffer.alloc(videoAt + (video ? 13 : 0));
  head.writeUInt32BE(seq, 0);
  head.writeUInt8(quality, 4);
  head.writeUInt8((full ? 1 : 0) | (video ? 2 : 0), 5);
  head.writeUInt16BE(Math.min(width, 65535), 6);
  head.writeUInt16BE(Math.min(height, 65535), 8);
  head.writeUInt16BE(tiles.length, 10);
  head.writeUInt16BE(copies.length, 12);
  copies.forEach((c, i) => c.forEach((v, j) => head.writeUInt16BE(v, 14 + 12 * i + 2 * j)));
  tiles.forEach((t, i) => {
    const at = tilesAt + 12 * i;
    head.writeUInt16BE(t.x, at);
    head.writeUInt16BE(t.y, at + 2);
    head.writeUInt16BE(t.width, at + 4);
    head.writeUInt16BE(t.height, at + 6);
    head.writeUInt32BE(t.jpeg.length, at + 8);
  });
  if (!video) return Buffer.concat([head, ...tiles.map((t) => t.jpeg)]);
  [video.x, video.y, video.width, video.height].forEach((v, i) => head.writeUInt16BE(v, videoAt + 2 * i));
  head.writeUInt8(video.key ? 1 : 0, videoAt + 8);
  head.writeUInt32BE(video.chunk.length, videoAt + 9);
  return Buffer.concat([head, ...tiles.map((t) => t.jpeg), video.chunk]);
}

export class LiveViewer {
  // width: what the viewer asked for at the upgrade. onClose: called once, when its socket closes.
  // drawsPointer: it draws the desktop's pointer from pointer messages (frames come without it).
  // video: the codec it decodes a moving area in ('avc1'), or null.
  constructor(ws, width, { limits, forwardInput, inputActions, log, drawsPointer = false, video = null, onClose }) {
    Object.assign(this, { ws, limits, forwardInput, inputActions, log, drawsPointer, video, onClose });
    this.abort = new AbortController(); // the viewer is gone
    this.pacer = new Pacer(limits);
    this.inFlight = new Map(); // seq -> { bytes, sentAt, whole }
    this.inFlightBytes = 0;
    this.requestedWidth = width;
    this.seq = 0;
    this.changedAt = Date.now(); // the last time the picture (or what it should show) changed
    this.inputAt = -Infinity;
    this.wake = null; // resolves the stream's wait early: an ack, an input, a new width, the close
    this.poll = null; // the /tiles request waiting now; a new width cuts it short
    this.wantWhole = false; // the viewer could not show an update: the next one is a whole frame
    this.waitsForBuffer = false; // the stream waits for what we hold for the viewer to be written out
    this.pendingInputs = 0;
    this.inputChain = Promise.resolve();
    this.heldKeys = new Set(); // what its key_down left held, let go of when it leaves
    this.lastSent = Date.now();
    this.pingAt = 0;
    this.keepAlive = setInterval(() => {
      if (Date.now() - this.lastSent >= limits.keepAliveMs - 50) this.send({ type: 'ping', t: Date.now() });
    }, limits.keepAliveMs / 2);
    this.send({ type: 'ping', t: Date.now() }); // the first round trip, on an empty link
    ws.on('message', (raw, isBinary) => this.#message(raw, isBinary));
    ws.on('close', () => {
      this.#releaseHeldKeys();
      onClose();
      clearInterval(this.keepAlive);
      this.abort.abort();
      this.poke();
    });
    ws.on('error', () => {});
  }

  get open() {
    return this.ws.readyState === this.ws.OPEN;
  }

  send(value) {
    if (!this.open) return;
    // Replies pile up in our memory when a viewer talks without reading.
    if (this.ws.bufferedAmount > 2 * this.limits.maxBufferedBytes) {
      this.log('Live viewer closed: it sends but does not read');
      this.ws.terminate();
      return;
    }
    this.lastSent = Date.now();
    this.ws.send(JSON.stringify(value));
  }

  // Resolves after ms, or sooner on poke().
  wait(ms) {
    return new Promise((resolve) => {
      const done = () => {
        clearTimeout(timer);
        this.wake = null;
        resolve();
      };
      const timer = setTimeout(done, ms);
      this.wake = done;
    });
  }

  poke() {
    this.wake?.();
  }

  // Whether the updates on their way fill what the link may hold, or what we hold for a viewer
  // that does not read does (its acks are no proof of reading).
  windowFull() {
    const room = this.pacer.window(this.limits);
    this.waitsForBuffer = this.ws.bufferedAmount > this.limits.maxBufferedBytes;
    return this.waitsForBuffer || this.inFlight.size >= room.frames || (this.inFlight.size > 0 && this.inFlightBytes >= room.bytes);
  }

  push(quality, update, whole = false) {
    const id = (this.seq = (this.seq + 1) >>> 0);
    const message = updateMessage(id, quality, update);
    this.inFlight.set(id, { bytes: message.length, sentAt: Date.now(), whole, ...this.pacer.sent() });
    this.inFlightBytes += message.length;
    this.lastSent = Date.now();
    // PNG-only updates go through the socket's deflate, whose window spans updates: a terminal's
    // next line repeats most of the last one's bytes (PNG chunks, palette, glyph rows). JPEG
    // and video would only cost CPU. Written out: what we hold has shrunk, which a stream waiting
    // for that must hear.
    const compress = !update.video && update.tiles.every((t) => t.jpeg[0] === 0x89);
    this.ws.send(message, { compress }, () => {
      if (this.waitsForBuffer) this.poke();
    });
  }

  // request(signal): a /tiles long poll, which a new width, a refresh or the close cuts short.
  async pollTiles(request) {
    this.poll = new AbortController();
    const stop = () => this.poll.abort();
    this.abort.signal.addEventListener('abort', stop);
    try {
      return await request(this.poll.signal);
    } finally {
      this.abort.signal.removeEventListener('abort', stop);
      this.poll = null;
    }
  }

  #ack(n) {
    // An ack of an update never sent would empty the window of updates the viewer has not got.
    if (((n - this.seq) | 0) > 0) {
      this.log(`Live viewer closed: ack of update ${n}, only ${this.seq} sent`);
      this.ws.close(1008, 'ack of an update never sent');
      return;
    }
    const now = Date.now();
    // Acknowledgements are cumulative: a frame the viewer skipped for a newer one counts as done.
    for (const [id, frame] of this.inFlight) {
      if (((n - id) | 0) < 0) continue;
      this.inFlight.delete(id);
      this.inFlightBytes -= frame.bytes;
      if (id === n) this.pacer.acked({ ...frame, ackAt: now });
    }
    // An empty link gives a clean round trip.
    if (this.inFlight.size === 0 && now - this.pingAt > 1000) {
      this.pingAt = now;
      this.send({ type: 'ping', t: now });
    }
    this.poke();
  }

  #input(msg) {
    const { id } = msg;
    const reply = (status, error, extra = {}) =>
      this.send({ type: 'input', id: Number.isSafeInteger(id) ? id : null, status, ...(error ? { error } : {}), ...extra });
    const request = { ...msg };
    delete request.type;
    delete request.id;
    if (typeof request.action !== 'string' || !this.inputActions.has(request.action.trim())) return reply(400, 'Unknown or missing "action".');
    if (this.pendingInputs >= this.limits.maxPendingInputs) return reply(429, 'Too many inputs are waiting.');
    this.pendingInputs++;
    this.inputChain = this.inputChain.then(async () => {
      try {
        const answer = await this.forwardInput(JSON.stringify(request));
        if (answer.status === 200) this.#noteHeld(request);
        if (answer.status === 200) reply(200, null, leftOut(answer.body));
        else reply(answer.status, answer.body.toString('utf8', 0, 500));
      } catch (err) {
        reply(err.status || 502, err.message);
      } finally {
        this.pendingInputs--;
        // What the input changed should show at once, not at the still screen's slow rate.
        this.changedAt = this.inputAt = Date.now();
        this.poke();
      }
    });
  }

  #noteHeld({ action, key }) {
    const name = typeof key === 'string' ? key.trim().toLowerCase() : '';
    if (action.trim() === 'key_down') this.heldKeys.add(name);
    else if (action.trim() === 'key_up') this.heldKeys.delete(name);
  }

  #releaseHeldKeys() {
    for (const key of [...this.heldKeys].reverse()) {
      this.inputChain = this.inputChain.then(() => this.forwardInput(JSON.stringify({ action: 'key_up', key })).catch(() => {}));
    }
    this.heldKeys.clear();
  }

  #view(width) {
    if (width === this.requestedWidth) return;
    this.requestedWidth = width;
    this.changedAt = Date.now();
    this.poll?.abort();
    this.poke();
  }

  #message(raw, isBinary) {
    let msg;
    try {
      msg = isBinary ? null : JSON.parse(raw.toString('utf8'));
    } catch {
      msg = null;
    }
    if (!msg || typeof msg !== 'object' || Array.isArray(msg)) {
      this.send({ type: 'error', status: 400, message: 'Messages must be JSON objects.' });
      return;
    }
    try {
      if (msg.type === 'ack' && Number.isInteger(msg.seq) && msg.seq >= 0 && msg.seq <= 0xffffffff) this.#ack(msg.seq);
      else if (msg.type === 'pong' && Number.isFinite(msg.t)) this.pacer.rtt(Math.max(0, Date.now() - msg.t));
      else if (msg.type === 'ping' && Number.isFinite(msg.t)) this.send({ type: 'pong', t: msg.t }); // the viewer's stall watch
      else if (msg.type === 'view' && Number.isInteger(msg.width) && msg.width >= 320 && msg.width <= 2560) this.#view(msg.width);
      else if (msg.type === 'refresh') {
        this.wantWhole = true;
        this.poll?.abort();
        this.poke();
      } else if (msg.type === 'input') this.#input(msg);
      else this.send({ type: 'error', status: 400, message: 'Unknown message or bad values.' });
    } catch (err) {
      this.log(`Live message failed: ${String(err?.message ?? err).slice(0, 200)}`);
    }
  }
}

// The characters a type_text could not make on this desktop, for the viewer to name.
function leftOut(body) {
  try {
    const { skippedText } = JSON.parse(body.toString('utf8'));
    return typeof skippedText === 'string' && skippedText ? { skipped: skippedText } : {};
  } catch {
    return {};
  }
}
