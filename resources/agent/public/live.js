// The live view: updates pushed by the server over one WebSocket, each acknowledged once shown;
// the same socket carries input. It runs only while the screen tab is visible.
import { api, fatal, token } from './api.js';
import { learnDisplay, requestWidth, showUpdate } from './picture.js';
import { forgetPointer, showPointer } from './pointer.js';
import { $, inputFailure, offline, setStatus, showError, showFailure, toast } from './status.js';
import { VideoStream, videoSupport } from './video.js';

let decodesVideo = null; // unknown until the browser answered; the first socket waits for it

// [u32 seq][u8 quality][u8 flags][u16 width][u16 height][u16 count][u16 copies],
// copies × [u16 x, y, w, h, toX, toY], count × [u16 x, y, w, h][u32 bytes], with flags & 2 the
// video's [u16 x, y, w, h][u8 key][u32 bytes], then JPEG or PNG files, then the video's unit.
function parseUpdate(buffer) {
  const data = new DataView(buffer);
  if (buffer.byteLength < 14) return null;
  const count = data.getUint16(10);
  const copyCount = data.getUint16(12);
  const tilesAt = 14 + 12 * copyCount;
  const videoAt = tilesAt + 12 * count;
  const hasVideo = (data.getUint8(5) & 2) === 2;
  let at = videoAt + (hasVideo ? 13 : 0);
  if (at > buffer.byteLength) return null;
  const copies = [];
  for (let i = 0; i < copyCount; i++) copies.push([0, 2, 4, 6, 8, 10].map((o) => data.getUint16(14 + 12 * i + o)));
  const tiles = [];
  for (let i = 0; i < count; i++) {
    const o = tilesAt + 12 * i;
    const bytes = data.getUint32(o + 8);
    if (at + bytes > buffer.byteLength) return null;
    const type = bytes && data.getUint8(at) === 0x89 ? 'image/png' : 'image/jpeg';
    tiles.push({ x: data.getUint16(o), y: data.getUint16(o + 2), blob: new Blob([new Uint8Array(buffer, at, bytes)], { type }) });
    at += bytes;
  }
  let video = null;
  if (hasVideo) {
    const bytes = data.getUint32(videoAt + 9);
    if (at + bytes > buffer.byteLength) return null;
    const [x, y, width, height] = [0, 2, 4, 6].map((o) => data.getUint16(videoAt + o));
    video = { x, y, width, height, key: data.getUint8(videoAt + 8) === 1, chunk: new Uint8Array(buffer, at, bytes) };
  }
  return { seq: data.getUint32(0), full: (data.getUint8(5) & 1) === 1, width: data.getUint16(6), height: data.getUint16(8), copies, tiles, video };
}

const kSilenceMs = 25000; // the server sends a ping every 10 s at the latest
const kRetryMs = 500; // the first retry; each next one waits twice as long...
const kRetryMaxMs = 5000; // ...up to this
const kOfflineMaxMs = 1500; // and this while the computer is away: its picture is back within 2 s of its return
const kAskMs = 5000; // how long the question why the socket failed may take
// A link that stalls: nothing heard for kStallMs while the socket is open. A still screen sends
// nothing, so after kProbeMs of quiet the page asks the server for a pong once a second.
const kStallMs = 3000;
const kProbeMs = 1000;
const screenView = $('screen-view');

export const live = {
  ws: null,
  retry: 0,
  retryTimer: 0,
  silenceTimer: 0,
  width: 0,
  video: null, // this socket's VideoStream, where the browser decodes video
  queue: [], // updates not yet shown, in order: tiles build on what came before (a whole frame does not)
  decoding: false,
  viewTimer: 0,
  inputId: 0,
  stopped: true,
  stalled: false,
  heardAt: 0,
  probeAt: 0,
  probeTimer: 0,
  wanted() {
    return !document.hidden && !screenView.hidden;
  },
  update() {
    if (this.wanted()) this.start();
    else this.stop(document.hidden ? '已暂停（页面不在前台）' : '屏幕画面已暂停（正在使用终端）');
  },
  start() {
    this.stopped = false;
    if (this.ws || this.retryTimer) return;
    if (decodesVideo === null) {
      this.retryTimer = -2; // as a retry's wait: stop() ends it, start() leaves it
      videoSupport.then((yes) => {
        decodesVideo = yes;
        if (this.retryTimer !== -2) return;
        this.retryTimer = 0;
        if (!this.stopped) this.start();
      });
      return;
    }
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    this.width = requestWidth();
    const video = decodesVideo ? '&video=avc1' : '';
    const ws = new WebSocket(`${scheme}//${location.host}/api/live?token=${encodeURIComponent(token)}&width=${this.width}&pointer=1${video}`);
    this.video?.close();
    this.video = decodesVideo ? new VideoStream() : null;
    forgetPointer();
    ws.binaryType = 'arraybuffer';
    this.ws = ws;
    let opened = false;
    ws.onopen = () => {
      opened = true;
      screenView.removeAttribute('data-link');
      this.heard();
      this.probeTimer = setInterval(() => this.probe(), 250);
      linkChanged('open');
    };
    ws.onmessage = (event) => {
      if (this.ws !== ws) return;
      this.heard();
      if (typeof event.data === 'string') this.text(event.data);
      else this.frame(event.data);
    };
    ws.onclose = () => {
      if (this.ws !== ws) return;
      this.ws = null;
      clearTimeout(this.silenceTimer);
      this.linkLost(opened && !this.stopped ? '连接中断，正在重新连接…' : '');
      if (!this.stopped) this.reconnect(opened);
    };
  },
  stop(text) {
    this.stopped = true;
    clearTimeout(this.retryTimer);
    clearTimeout(this.silenceTimer);
    this.retryTimer = 0;
    const ws = this.ws;
    this.ws = null;
    if (ws) ws.close(1000, 'viewer away');
    this.linkLost('');
    if (text) setStatus('connecting', text);
  },
  // A refused upgrade shows the page no status: ask the API why, then retry or give up.
  async reconnect(opened) {
    let delay = Math.min(kRetryMaxMs, kRetryMs * 2 ** this.retry++);
    const asking = -1; // start() waits while we ask; stop() clears it
    this.retryTimer = asking;
    if (opened) setStatus('connecting', '连接中断，正在重新连接…');
    try {
      await api('/api/info', { signal: AbortSignal.timeout(kAskMs) }); // a hung server must not stop the retries
      if (!opened) setStatus('connecting', '正在重新连接…');
    } catch (err) {
      showFailure(err);
      if (offline(err)) delay = Math.min(delay, kOfflineMaxMs);
      if (fatal(err)) this.stop();
    }
    if (this.retryTimer !== asking) return; // stopped (and maybe started again) meanwhile
    this.retryTimer = setTimeout(() => {
      this.retryTimer = 0;
      if (!this.stopped) this.start();
    }, delay);
  },
  heard() {
    this.heardAt = performance.now();
    if (this.stalled) {
      this.stalled = false;
      screenView.removeAttribute('data-link');
      setStatus('connected', '已连接');
      linkChanged('live');
    }
    clearTimeout(this.silenceTimer);
    // A tunnel that silently dropped us: start over.
    this.silenceTimer = setTimeout(() => this.ws?.close(), kSilenceMs);
  },
  // The stall watch, while the socket is open.
  probe() {
    if (!this.isOpen()) return;
    const now = performance.now();
    const quiet = now - this.heardAt;
    if (quiet >= kStallMs && !this.stalled) {
      this.stalled = true;
      screenView.dataset.link = '网络卡顿…';
      setStatus('connecting', '网络卡顿…');
      linkChanged('stalled');
    }
    if (quiet >= kProbeMs && now - this.probeAt >= kProbeMs) {
      this.probeAt = now;
      this.send({ type: 'ping', t: Date.now() });
    }
  },
  // The socket is gone: what was typed waits for the next one; `text` over the picture, if any.
  linkLost(text) {
    clearInterval(this.probeTimer);
    this.stalled = false;
    if (text) screenView.dataset.link = text;
    else screenView.removeAttribute('data-link');
    linkChanged('down');
  },
  // Input may go out at once: the socket is open and the link is not stalled.
  healthy() {
    return this.isOpen() && !this.stalled;
  },
  isOpen() {
    return this.ws?.readyState === WebSocket.OPEN;
  },
  send(value) {
    if (!this.isOpen()) return false;
    this.ws.send(JSON.stringify(value));
    return true;
  },
  text(data) {
    let msg;
    try {
      msg = JSON.parse(data);
    } catch {
      return;
    }
    if (msg.type === 'ping') this.send({ type: 'pong', t: msg.t });
    else if (msg.type === 'error') showError({ status: msg.status, message: msg.message });
    else if (msg.type === 'input' && msg.status !== 200) toast(`操作失败：${inputFailure(msg.status, msg.error)}`);
    else if (msg.type === 'input') {
      if (msg.skipped) toast(`这些字符无法在此桌面输入：${msg.skipped}`);
      learnDisplay();
    } else if (msg.type === 'pointer' || msg.type === 'pointer-shape') showPointer(msg);
  },
  frame(buffer) {
    const update = parseUpdate(buffer);
    if (!update) return;
    update.stream = this.video;
    if (update.full) this.queue = this.queue.filter((u) => u.video); // the decoder needs every unit
    this.queue.push(update);
    if (!this.decoding) this.drain();
  },
  async drain() {
    this.decoding = true;
    while (this.queue.length) {
      const update = this.queue.shift();
      try {
        const [bitmaps, picture] = await Promise.all([
          Promise.all(update.tiles.map((t) => createImageBitmap(t.blob))),
          update.video && update.stream === this.video ? this.video?.decode(update.video, update.seq * 33333) : null,
        ]);
        if (update.video && !picture && this.video?.wantsKeyframe()) this.send({ type: 'refresh' }); // a whole frame, then one
        // A whole frame that came meanwhile covers this one.
        if (!this.queue[0]?.full) showUpdate(update, bitmaps, picture);
        for (const bitmap of bitmaps) bitmap.close();
        picture?.close();
        this.retry = 0;
        if (!this.stalled) setStatus('connected', '已连接');
      } catch {
        this.send({ type: 'refresh' }); // an undecodable tile: a whole frame mends the picture
      }
      // Acknowledged once on screen (or dropped), so the server paces to what the phone can show.
      this.send({ type: 'ack', seq: update.seq });
    }
    this.decoding = false;
    if (!this.viewTimer) this.sendWidth();
  },
  input(body) {
    return this.send({ type: 'input', id: ++this.inputId, ...body });
  },
  // A zoomed view asks for a sharper picture (and an unzoomed one for a lighter one), once the
  // fingers have settled: every new width costs a whole frame.
  viewChanged() {
    clearTimeout(this.viewTimer);
    this.viewTimer = setTimeout(() => {
      this.viewTimer = 0;
      this.sendWidth();
    }, 250);
  },
  sendWidth() {
    const width = requestWidth();
    if (width !== this.width && this.send({ type: 'view', width })) this.width = width;
  },
};
document.addEventListener('visibilitychange', () => live.update());

// The link's state for those who hold input back while it is not live: 'open' (a new socket,
// nothing of what an earlier one held down is held any more), 'live', 'stalled', 'down'.
function linkChanged(state) {
  document.dispatchEvent(new CustomEvent('zel-link', { detail: state }));
}
