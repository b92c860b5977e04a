// The live view: one WebSocket per viewer over which the screen is pushed as it changes — tiles of the
// changed regions from the control service's /tiles long poll (a whole frame on join and on a width
// change) — paced by the viewer's acknowledgements, with the viewer's input coming back on the same
// socket. While the link allows, the picture is the desktop's own pixels (the page scales it): a scroll
// then travels as a copy of an area of the viewer's picture and text as small lossless PNG tiles;
// narrower frames are JPEG only. Without /tiles (an older app) it falls back to whole screenshots
// compared by hash.
//
// server → viewer: binary updates [u32 seq][u8 quality][u8 flags: 1 whole frame][u16 width][u16 height]
//                  [u16 count][u16 copies] + copies × [u16 x][u16 y][u16 w][u16 h][u16 toX][u16 toY]
//                  + count × [u16 x][u16 y][u16 w][u16 h][u32 bytes] + the JPEG or PNG files; the copies
//                  are drawn first, in order, within the picture, then the tiles;
//                  text JSON {type:"ping",t}, {type:"input",id,status[,error]}, {type:"error",status,message}
// viewer → server: text JSON {type:"ack",seq}, {type:"view",width}, {type:"refresh"}, {type:"pong",t},
//                  {type:"input",id, ...an /api/input request}
import crypto from 'node:crypto';
import { WebSocketServer } from 'ws';
import { ControlError, controlRequest, readAll } from './control.js';

export const kLiveDefaults = {
  maxViewers: 4,
  minInFlight: 2, // updates always allowed unacknowledged
  maxInFlight: 16, // and never more, however long and wide the link
  fps: 30, // the capture rate while the screen changes
  inputFps: 60, // and for a moment after an input, so that its effect does not wait a whole frame
  inputBurstMs: 300,
  stillAfterMs: 1000, // unchanged this long: poll slowly
  stillIntervalMs: 250,
  tilesWaitMs: 8000, // one long poll of /tiles; a still screen answers empty after this
  keepAliveMs: 10000, // a still screen sends no frames; the tunnel and the viewer need a sign of life
  maxPendingInputs: 64,
  maxFrameBytes: 8 << 20,
};

// Quality first, then width, so that text stays legible the longest. Above them both, the desktop's own
// width (the API's widest asks for it unscaled), where scrolls are copies and text is lossless: left
// first when frames are too big, taken last when the link has room.
const kQualities = [70, 60, 50, 40, 32, 25];
const kStartQuality = 1; // 60, as the polling client asked for
const kNative = 0;
const kWidthScales = [null, 1, 0.85, 0.7, 0.55, 0.4];
const kLinkSampleBytes = 8192;
const kNativeRetryMs = 10000; // frames that were too big at the own width are not tried again before

// Pace: the bytes a frame may take so that the link carries the frame rate, with headroom.
export class Pacer {
  constructor({ fps }) {
    this.frameMs = 1000 / fps;
    this.q = kStartQuality;
    this.w = 0;
    this.bytesPerMs = null; // link throughput estimate
    this.rttMs = null; // smallest recent round trip of a ping, i.e. with an empty link
    this.rtts = [];
    this.size = null; // recent frame size at the current setting
    this.sinceChange = 0;
    this.roomy = 0;
    this.leftNative = null; // { size, at }: why and when the own width was left
  }

  setting(requestedWidth) {
    const quality = kQualities[this.q];
    if (this.w === kNative) return { quality, width: 2560, copies: true };
    return { quality, width: Math.max(320, Math.round(requestedWidth * kWidthScales[this.w])), copies: false };
  }

  rtt(ms) {
    this.rtts.push(ms);
    if (this.rtts.length > 8) this.rtts.shift();
    this.rttMs = Math.min(...this.rtts);
  }

  // One acknowledged frame: the link time is what its ack took beyond a bare round trip. (The gap
  // between acks would read the pipeline's cadence, not the link, whenever the round trip is the limit.)
  // A whole frame of the tiles stream (a join, a refresh) says what the link carries, not what the
  // updates of this setting cost. A small update's time is mostly the viewer's drawing, so it only
  // shows that the link carries at least that much.
  acked({ bytes, sentAt, ackAt, whole = false }) {
    const sample = bytes / Math.max(1, ackAt - sentAt - (this.rttMs ?? 0));
    if (bytes >= kLinkSampleBytes || (this.bytesPerMs !== null && sample > this.bytesPerMs)) {
      this.bytesPerMs = this.bytesPerMs === null ? sample : this.bytesPerMs * 0.7 + sample * 0.3;
    }
    if (whole) return;
    this.size = this.size === null ? bytes : this.size * 0.7 + bytes * 0.3;
    if (this.bytesPerMs === null) return;
    if (++this.sinceChange < 3) return;
    const budget = this.bytesPerMs * this.frameMs * 0.8;
    if (this.size > budget) {
      this.roomy = 0;
      if (this.w === kNative) {
        this.leftNative = { size: this.size, at: ackAt };
        this.w++;
      } else if (this.q < kQualities.length - 1) this.q++;
      else if (this.w < kWidthScales.length - 1) this.w++;
      else return;
      this.changed();
    } else if (this.size * 1.6 < budget && ++this.roomy >= 10) {
      this.roomy = 0;
      const nativeFits = !this.leftNative || this.leftNative.size < budget || ackAt - this.leftNative.at > kNativeRetryMs;
      if (this.w > kNative + 1) this.w--;
      else if (this.q > 0) this.q--;
      else if (this.w === kNative + 1 && nativeFits) this.w--;
      else return;
      this.changed();
    }
  }

  changed() {
    this.sinceChange = 0;
    this.size = null;
  }

  // Unacknowledged updates allowed: enough to cover a round trip at the frame rate, and bytes up to
  // twice the link's bandwidth-delay product, so a long link is not held to two updates per round trip.
  window({ minInFlight, maxInFlight }) {
    const rtt = this.rttMs ?? 0;
    const frames = Math.min(maxInFlight, Math.max(minInFlight, Math.ceil(rtt / this.frameMs) + 2));
    const bytes = this.bytesPerMs === null ? Infinity : Math.max(64 * 1024, 2 * this.bytesPerMs * Math.max(rtt, this.frameMs));
    return { frames, bytes };
  }
}

// The /tiles answer: a JSON head line, then the JPEG or PNG files back to back.
export function parseTiles(body) {
  const end = body.indexOf(10);
  if (end < 0) throw new ControlError(502, 'The control service answered tiles without a head.');
  const head = JSON.parse(body.toString('utf8', 0, end));
  let at = end + 1;
  const tiles = head.tiles.map(([x, y, width, height, bytes]) => {
    const jpeg = body.subarray(at, (at += bytes));
    return { x, y, width, height, jpeg };
  });
  if (at !== body.length) throw new ControlError(502, 'The control service answered tiles of the wrong length.');
  return { ...head, copies: head.copies ?? [], tiles };
}

// One update for the viewer: head, copy table, tile table, files.
export function updateMessage(seq, quality, { full, width, height, copies = [], tiles }) {
  const tilesAt = 14 + 12 * copies.length;
  const head = Buffer.alloc(tilesAt + 12 * tiles.length);
  head.writeUInt32BE(seq, 0);
  head.writeUInt8(quality, 4);
  head.writeUInt8(full ? 1 : 0, 5);
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
  return Buffer.concat([head, ...tiles.map((t) => t.jpeg)]);
}

export function createLiveService({ screenshotUrl, forwardInput, inputActions, log = () => {}, options = {} }) {
  const limits = { ...kLiveDefaults, ...options };
  const wss = new WebSocketServer({ noServer: true, maxPayload: 16 * 1024 });
  const viewers = new Set();

  async function control(pathname, params, signal, timeoutMs = 8000) {
    const target = new URL(screenshotUrl);
    target.pathname = pathname;
    for (const [k, v] of Object.entries(params)) target.searchParams.set(k, String(v));
    const res = await controlRequest(target.href, { signal, timeoutMs });
    const body = await readAll(res, limits.maxFrameBytes);
    if (res.statusCode !== 200) throw new ControlError(502, `The control service answered ${res.statusCode}: ${body.toString('utf8', 0, 200)}`);
    return { body, type: res.headers['content-type'] ?? '' };
  }

  const capture = async (width, quality, signal) =>
    (await control('/screenshot', { format: 'jpeg', width, quality }, signal)).body;

  // null when the app has no /tiles (it answers a screenshot there, or says it cannot track changes).
  async function tiles(since, width, quality, copies, signal) {
    let answer;
    try {
      const params = { since, width, quality, wait: limits.tilesWaitMs, ...(copies ? { copies: 1 } : {}) };
      answer = await control('/tiles', params, signal, limits.tilesWaitMs + 8000);
    } catch (err) {
      if (/Change tracking is not available/.test(err.message)) return null;
      throw err;
    }
    return answer.type.startsWith('application/x-zel-tiles') ? parseTiles(answer.body) : null;
  }

  wss.on('connection', (ws, req, width) => {
    const viewer = { ws };
    viewers.add(viewer);
    const abort = new AbortController();
    const pacer = new Pacer(limits);
    const inFlight = new Map(); // seq -> { bytes, sentAt }
    let inFlightBytes = 0;
    let requestedWidth = width;
    let seq = 0;
    let lastHash = null;
    let changedAt = Date.now();
    let inputAt = -Infinity;
    let wake = null; // resolves the loop's wait early: an ack, an input, a new width, the close
    let poll = null; // the /tiles request waiting now; a new width cuts it short
    let wantWhole = false; // the viewer could not show an update: the next one is a whole frame
    const poke = () => wake?.();
    let pendingInputs = 0;
    let inputChain = Promise.resolve();
    let lastSent = Date.now();
    const send = (value) => {
      if (ws.readyState !== ws.OPEN) return;
      lastSent = Date.now();
      ws.send(JSON.stringify(value));
    };

    const wait = (ms) => new Promise((resolve) => {
      const timer = setTimeout(done, ms);
      function done() {
        clearTimeout(timer);
        wake = null;
        resolve();
      }
      wake = done;
    });

    const windowFull = () => {
      const room = pacer.window(limits);
      return inFlight.size >= room.frames || (inFlight.size > 0 && inFlightBytes >= room.bytes);
    };

    function push(quality, update, whole = false) {
      const id = (seq = (seq + 1) >>> 0);
      const message = updateMessage(id, quality, update);
      inFlight.set(id, { bytes: message.length, sentAt: Date.now(), whole });
      inFlightBytes += message.length;
      lastSent = Date.now();
      ws.send(message);
    }

    async function loop() {
      let failures = 0;
      let nextAt = 0;
      let soonAt = 0; // the next capture while an input's effect is awaited
      let useTiles = true;
      let since = 0; // the change sequence the viewer's picture is current to; 0: it needs a whole frame
      let shownWidth = 0;
      while (ws.readyState === ws.OPEN) {
        if (windowFull()) {
          await wait(limits.keepAliveMs);
          continue;
        }
        const now = Date.now();
        const due = now - inputAt < limits.inputBurstMs ? soonAt : nextAt;
        if (now < due) {
          await wait(due - now);
          continue;
        }
        const started = now;
        // On a fixed grid while the loop keeps up with it, so that timers firing late do not lower the rate.
        const next = (at, interval) => (started >= at && started - at < interval / 2 ? at : started) + interval;
        const { width: w, quality, copies } = pacer.setting(requestedWidth);
        try {
          if (useTiles) {
            if (w !== shownWidth || wantWhole) since = 0;
            wantWhole = false;
            poll = new AbortController();
            const stop = () => poll.abort();
            abort.signal.addEventListener('abort', stop);
            let update;
            try {
              update = await tiles(since, w, quality, copies, poll.signal);
            } catch (err) {
              if (err.status === 499 && !abort.signal.aborted) continue; // cut short for a new width
              throw err;
            } finally {
              abort.signal.removeEventListener('abort', stop);
              poll = null;
            }
            failures = 0;
            if (update === null) {
              useTiles = false;
              continue;
            }
            if (update.tiles.length + update.copies.length && ws.readyState === ws.OPEN) {
              push(quality, update, since === 0); // a whole frame the encoder chose is an update's cost
              shownWidth = w;
            }
            since = update.sequence;
            // At most the frame rate: changes meanwhile gather into the next update.
            nextAt = next(nextAt, 1000 / limits.fps);
            soonAt = next(soonAt, 1000 / limits.inputFps);
            continue;
          }
          const shotWidth = copies ? requestedWidth : w; // a screenshot has no copies: the view's width
          const jpeg = await capture(shotWidth, quality, abort.signal);
          failures = 0;
          const hash = crypto.createHash('sha1').update(jpeg).digest('base64');
          if (hash !== lastHash && ws.readyState === ws.OPEN) {
            lastHash = hash;
            changedAt = Date.now();
            push(quality, { full: true, width: shotWidth, height: 0, tiles: [{ x: 0, y: 0, width: 0, height: 0, jpeg }] });
          }
        } catch (err) {
          if (ws.readyState !== ws.OPEN) return;
          failures++;
          send({ type: 'error', status: err.status || 502, message: err.message });
          lastHash = null; // the first picture after a failure goes out even if unchanged: it says all is well
          since = 0;
          nextAt = soonAt = Date.now() + Math.min(5000, 250 * 2 ** Math.min(failures, 5));
          continue;
        }
        const interval = Date.now() - changedAt > limits.stillAfterMs ? limits.stillIntervalMs : 1000 / limits.fps;
        nextAt = started + interval;
        soonAt = started + 1000 / limits.inputFps;
      }
    }

    const keepAlive = setInterval(() => {
      if (Date.now() - lastSent >= limits.keepAliveMs - 50) send({ type: 'ping', t: Date.now() });
    }, limits.keepAliveMs / 2);
    send({ type: 'ping', t: Date.now() }); // the first round trip, on an empty link

    function ack(n) {
      const now = Date.now();
      // Acknowledgements are cumulative: a frame the viewer skipped for a newer one counts as done.
      for (const [id, frame] of inFlight) {
        if (((n - id) | 0) < 0) continue;
        inFlight.delete(id);
        inFlightBytes -= frame.bytes;
        if (id === n) pacer.acked({ ...frame, ackAt: now });
      }
      // An empty link gives a clean round trip.
      if (inFlight.size === 0 && now - (viewer.pingAt ?? 0) > 1000) {
        viewer.pingAt = now;
        send({ type: 'ping', t: now });
      }
      poke();
    }

    function input(msg) {
      const { id } = msg;
      const reply = (status, error) => send({ type: 'input', id: Number.isSafeInteger(id) ? id : null, status, ...(error ? { error } : {}) });
      const request = { ...msg };
      delete request.type;
      delete request.id;
      if (typeof request.action !== 'string' || !inputActions.has(request.action.trim())) return reply(400, 'Unknown or missing "action".');
      if (pendingInputs >= limits.maxPendingInputs) return reply(429, 'Too many inputs are waiting.');
      pendingInputs++;
      inputChain = inputChain.then(async () => {
        try {
          const answer = await forwardInput(JSON.stringify(request));
          reply(answer.status, answer.status === 200 ? null : answer.body.toString('utf8', 0, 500));
        } catch (err) {
          reply(err.status || 502, err.message);
        } finally {
          pendingInputs--;
          // What the input changed should show at once, not at the still screen's slow rate.
          changedAt = inputAt = Date.now();
          poke();
        }
      });
    }

    ws.on('message', (raw, isBinary) => {
      let msg;
      try {
        msg = isBinary ? null : JSON.parse(raw.toString('utf8'));
      } catch {
        msg = null;
      }
      if (!msg || typeof msg !== 'object' || Array.isArray(msg)) {
        send({ type: 'error', status: 400, message: 'Messages must be JSON objects.' });
        return;
      }
      try {
        if (msg.type === 'ack' && Number.isInteger(msg.seq)) ack(msg.seq >>> 0);
        else if (msg.type === 'pong' && Number.isFinite(msg.t)) pacer.rtt(Math.max(0, Date.now() - msg.t));
        else if (msg.type === 'view' && Number.isInteger(msg.width) && msg.width >= 320 && msg.width <= 2560) {
          if (msg.width !== requestedWidth) {
            requestedWidth = msg.width;
            changedAt = Date.now();
            poll?.abort();
            poke();
          }
        } else if (msg.type === 'refresh') {
          wantWhole = true;
          poll?.abort();
          poke();
        } else if (msg.type === 'input') input(msg);
        else send({ type: 'error', status: 400, message: 'Unknown message or bad values.' });
      } catch (err) {
        log(`Live message failed: ${String(err?.message ?? err).slice(0, 200)}`);
      }
    });
    ws.on('close', () => {
      viewers.delete(viewer);
      clearInterval(keepAlive);
      abort.abort();
      poke();
    });
    ws.on('error', () => {});
    loop().catch((err) => {
      log(`Live stream failed: ${String(err?.message ?? err).slice(0, 200)}`);
      if (ws.readyState === ws.OPEN) ws.close(1011, 'stream error');
    });
  });

  return {
    get busy() {
      return viewers.size >= limits.maxViewers;
    },
    handleUpgrade(req, socket, head, width) {
      wss.handleUpgrade(req, socket, head, (ws) => wss.emit('connection', ws, req, width));
    },
    close() {
      for (const { ws } of viewers) ws.close(1001, 'server stopping');
      wss.close();
    },
  };
}
