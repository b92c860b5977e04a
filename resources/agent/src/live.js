// The live view: one WebSocket per viewer over which JPEG frames are pushed as the screen changes,
// paced by the viewer's acknowledgements, with the viewer's input coming back on the same socket.
//
// server → viewer: binary frames [u32 seq][u8 quality][u8 0][u16 width] + JPEG bytes;
//                  text JSON {type:"ping",t}, {type:"input",id,status[,error]}, {type:"error",status,message}
// viewer → server: text JSON {type:"ack",seq}, {type:"view",width}, {type:"pong",t},
//                  {type:"input",id, ...an /api/input request}
import crypto from 'node:crypto';
import { WebSocketServer } from 'ws';
import { ControlError, controlRequest, readAll } from './control.js';

export const kLiveDefaults = {
  maxViewers: 4,
  maxInFlight: 2, // frames sent and not yet acknowledged; more only queues stale pictures
  fps: 30, // the capture rate while the screen changes
  stillAfterMs: 1000, // unchanged this long: poll slowly
  stillIntervalMs: 250,
  keepAliveMs: 10000, // a still screen sends no frames; the tunnel and the viewer need a sign of life
  maxPendingInputs: 64,
  maxFrameBytes: 8 << 20,
};

// Quality first, then width, so that text stays legible the longest.
const kQualities = [70, 60, 50, 40, 32, 25];
const kStartQuality = 1; // 60, as the polling client asked for
const kWidthScales = [1, 0.85, 0.7, 0.55, 0.4];

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
  }

  setting(requestedWidth) {
    return { quality: kQualities[this.q], width: Math.max(320, Math.round(requestedWidth * kWidthScales[this.w])) };
  }

  rtt(ms) {
    this.rtts.push(ms);
    if (this.rtts.length > 8) this.rtts.shift();
    this.rttMs = Math.min(...this.rtts);
  }

  // One acknowledged frame: the link time is what its ack took beyond a bare round trip. (The gap
  // between acks would read the pipeline's cadence, not the link, whenever the round trip is the limit.)
  acked({ bytes, sentAt, ackAt }) {
    const sample = bytes / Math.max(1, ackAt - sentAt - (this.rttMs ?? 0));
    this.bytesPerMs = this.bytesPerMs === null ? sample : this.bytesPerMs * 0.7 + sample * 0.3;
    this.size = this.size === null ? bytes : this.size * 0.7 + bytes * 0.3;
    if (++this.sinceChange < 3) return;
    const budget = this.bytesPerMs * this.frameMs * 0.8;
    if (this.size > budget) {
      this.roomy = 0;
      if (this.q < kQualities.length - 1) this.q++;
      else if (this.w < kWidthScales.length - 1) this.w++;
      else return;
      this.changed();
    } else if (this.size * 1.6 < budget && ++this.roomy >= 10) {
      this.roomy = 0;
      if (this.w > 0) this.w--;
      else if (this.q > 0) this.q--;
      else return;
      this.changed();
    }
  }

  changed() {
    this.sinceChange = 0;
    this.size = null;
  }
}

export function createLiveService({ screenshotUrl, forwardInput, inputActions, log = () => {}, options = {} }) {
  const limits = { ...kLiveDefaults, ...options };
  const wss = new WebSocketServer({ noServer: true, maxPayload: 16 * 1024 });
  const viewers = new Set();

  async function capture(width, quality, signal) {
    const target = new URL(screenshotUrl);
    target.searchParams.set('format', 'jpeg');
    target.searchParams.set('width', String(width));
    target.searchParams.set('quality', String(quality));
    const res = await controlRequest(target.href, { signal, timeoutMs: 8000 });
    const body = await readAll(res, limits.maxFrameBytes);
    if (res.statusCode !== 200) throw new ControlError(502, `The control service answered ${res.statusCode}: ${body.toString('utf8', 0, 200)}`);
    return body;
  }

  wss.on('connection', (ws, req, width) => {
    const viewer = { ws };
    viewers.add(viewer);
    const abort = new AbortController();
    const pacer = new Pacer(limits);
    const inFlight = new Map(); // seq -> { bytes, sentAt }
    let requestedWidth = width;
    let seq = 0;
    let lastHash = null;
    let changedAt = Date.now();
    let wake = null; // resolves the loop's wait early: an ack, an input, a new width, the close
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

    async function loop() {
      let failures = 0;
      let nextAt = 0;
      while (ws.readyState === ws.OPEN) {
        if (inFlight.size >= limits.maxInFlight) {
          await wait(limits.keepAliveMs);
          continue;
        }
        const now = Date.now();
        if (now < nextAt) {
          await wait(nextAt - now);
          continue;
        }
        const started = now;
        const { width: w, quality } = pacer.setting(requestedWidth);
        let jpeg;
        try {
          jpeg = await capture(w, quality, abort.signal);
          failures = 0;
        } catch (err) {
          if (ws.readyState !== ws.OPEN) return;
          failures++;
          send({ type: 'error', status: err.status || 502, message: err.message });
          lastHash = null; // the first picture after a failure goes out even if unchanged: it says all is well
          nextAt = Date.now() + Math.min(5000, 250 * 2 ** Math.min(failures, 5));
          continue;
        }
        const hash = crypto.createHash('sha1').update(jpeg).digest('base64');
        const still = hash === lastHash;
        if (!still && ws.readyState === ws.OPEN) {
          lastHash = hash;
          changedAt = Date.now();
          const id = (seq = (seq + 1) >>> 0);
          const head = Buffer.alloc(8);
          head.writeUInt32BE(id, 0);
          head.writeUInt8(quality, 4);
          head.writeUInt16BE(Math.min(w, 65535), 6);
          inFlight.set(id, { bytes: jpeg.length + 8, sentAt: Date.now() });
          lastSent = Date.now();
          ws.send(Buffer.concat([head, jpeg]));
        }
        const interval = Date.now() - changedAt > limits.stillAfterMs ? limits.stillIntervalMs : 1000 / limits.fps;
        nextAt = started + interval;
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
          changedAt = Date.now();
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
            poke();
          }
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
