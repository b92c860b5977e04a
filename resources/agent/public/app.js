// Web client: the live desktop screen with touch control, a key bar and a terminal tab.
import { attachGestures } from './gestures.js';

const $ = (id) => document.getElementById(id);
const kTokenKey = 'zel-agent-token';
const kScrollStepPx = 30; // finger travel per wheel step

// The pairing link opens /?token=…: keep the token and take it out of the address bar and history.
function takeToken() {
  const params = new URLSearchParams(location.search);
  let token = params.get('token');
  if (token) {
    params.delete('token');
    const rest = params.toString();
    history.replaceState(null, '', location.pathname + (rest ? `?${rest}` : '') + location.hash);
    try {
      localStorage.setItem(kTokenKey, token);
    } catch {
      // private browsing: the token lives as long as the page
    }
  } else {
    try {
      token = localStorage.getItem(kTokenKey);
    } catch {
      token = null;
    }
  }
  return token;
}

const token = takeToken();
const screen = $('screen');
const viewport = $('viewport');
let activeTab = 'screen';
let features = null;

function setStatus(kind, text) {
  const status = $('status');
  status.className = `state-${kind}`;
  status.textContent = text;
}

let toastTimer = 0;
function toast(text, kind = 'error') {
  const el = $('toast');
  el.textContent = text;
  el.className = kind;
  el.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => (el.hidden = true), 4000);
}

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

async function api(path, init = {}) {
  let res;
  try {
    res = await fetch(path, { ...init, cache: 'no-store', headers: { Authorization: `Bearer ${token}`, ...(init.headers || {}) } });
  } catch {
    throw new ApiError(0, '网络连接中断');
  }
  if (res.ok) return res;
  let message = '';
  try {
    const text = await res.text();
    try {
      message = JSON.parse(text).error || text;
    } catch {
      message = text;
    }
  } catch {
    // no body
  }
  throw new ApiError(res.status, message);
}

// The server's own texts are English and for the log: the user reads what they mean, in Chinese.
function describeError(err) {
  if (err.message) console.warn(`agent error ${err.status}: ${err.message}`);
  switch (err.status) {
    case 0: return '网络连接中断，正在重试…';
    case 401: return '访问令牌无效，请重新扫描电脑上的二维码。';
    case 429: return '尝试次数过多，请稍后再试。';
    case 502: case 503: case 504: return '电脑端服务暂不可用，请确认电脑上的应用已开启。';
    default: return `出错了（错误码 ${err.status}）。`;
  }
}

const fatal = (err) => err.status === 401 || err.status === 429;

// ---- screen ------------------------------------------------------------

// The view: the picture fitted to the viewport, zoomed by `scale` about its origin at (ox, oy).
const view = { scale: 1, ox: 0, oy: 0, fit: 1, vw: 0, vh: 0 };
const kMinCssPerDesktopPx = 3; // the most zoom reaches at least this

// The picture's size in canvas pixels: the canvas keeps it between whole frames, tiles land on it.
const frame = { width: 0, height: 0 };
const paint = screen.getContext('2d');
let desktopWidth = 0; // from /api/info once an input has told the server; unknown: assume a wide one

// The server learns the desktop's size from the first input's answer; the zoom limit and the
// picture's width follow it.
let displayAsked = false;
function learnDisplay() {
  if (desktopWidth || displayAsked) return;
  displayAsked = true;
  api('/api/info').then((res) => res.json()).then((info) => {
    desktopWidth = info.display?.width || 0;
    layout();
  }).catch(() => (displayAsked = false));
}

function maxScale() {
  return Math.max(5, (kMinCssPerDesktopPx * (desktopWidth || 3840)) / Math.max(1, frame.width * view.fit));
}

// Where the picture may be: at most as far as its edges, centred while smaller than the viewport.
function clampView(w, h, vw, vh) {
  const W = w * view.scale;
  const H = h * view.scale;
  view.ox = W <= vw ? (vw - W) / 2 : Math.min(0, Math.max(vw - W, view.ox));
  view.oy = H <= vh ? (vh - H) / 2 : Math.min(0, Math.max(vh - H, view.oy));
}

function layout() {
  if (!frame.width) return;
  const vw = viewport.clientWidth;
  const vh = viewport.clientHeight;
  // A rotation or a new bar keeps the desktop point at the viewport's centre where it was.
  let keep = null;
  if (view.vw && (view.vw !== vw || view.vh !== vh)) {
    const W = frame.width * view.fit * view.scale;
    const H = frame.height * view.fit * view.scale;
    keep = { fx: (view.vw / 2 - view.ox) / W, fy: (view.vh / 2 - view.oy) / H };
  }
  view.fit = Math.min(vw / frame.width, vh / frame.height);
  view.vw = vw;
  view.vh = vh;
  const w = frame.width * view.fit;
  const h = frame.height * view.fit;
  view.scale = Math.min(view.scale, maxScale());
  if (keep) {
    view.ox = vw / 2 - keep.fx * w * view.scale;
    view.oy = vh / 2 - keep.fy * h * view.scale;
  }
  clampView(w, h, vw, vh);
  screen.style.width = `${w}px`;
  screen.style.height = `${h}px`;
  screen.style.transform = `translate(${view.ox}px, ${view.oy}px) scale(${view.scale})`;
  drawCursor();
}
window.addEventListener('resize', layout);

// Two fingers: the desktop point under their centre follows it while the distance zooms.
function moveView({ dx, dy, scale, at }) {
  if (!frame.width) return;
  const rect = viewport.getBoundingClientRect();
  const px = at.x - rect.left;
  const py = at.y - rect.top;
  const next = Math.max(1, Math.min(maxScale(), view.scale * scale));
  const k = next / view.scale;
  view.ox = px - (px - dx - view.ox) * k;
  view.oy = py - (py - dy - view.oy) * k;
  view.scale = next;
  layout();
}

function requestWidth() {
  // Zoomed in, up to the desktop's own pixels: more would only be scaled up on the way.
  const pixels = viewport.clientWidth * (window.devicePixelRatio || 1) * view.scale;
  return Math.max(320, Math.min(desktopWidth || 2560, 2560, Math.round(pixels)));
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// One update: the copies (a scroll moves part of the picture), then every tile, drawn in the same
// task, so the picture never shows half of it.
function showUpdate({ full, width, height, copies, tiles }, bitmaps) {
  if (full) {
    const h = height || bitmaps[0].height;
    if (screen.width !== width || screen.height !== h) Object.assign(screen, { width, height: h });
    frame.width = width;
    frame.height = h;
  }
  if (!frame.width) return; // tiles before any whole frame: nothing to put them on
  for (const [x, y, w, h, toX, toY] of copies) paint.drawImage(screen, x, y, w, h, toX, toY, w, h);
  tiles.forEach((t, i) => paint.drawImage(bitmaps[i], t.x, t.y));
  if (!screen.classList.contains('loaded')) {
    screen.classList.add('loaded');
    $('placeholder').hidden = true;
  }
  layout();
}

// [u32 seq][u8 quality][u8 flags][u16 width][u16 height][u16 count][u16 copies],
// copies × [u16 x, y, w, h, toX, toY], count × [u16 x, y, w, h][u32 bytes], then JPEG or PNG files.
function parseUpdate(buffer) {
  const data = new DataView(buffer);
  if (buffer.byteLength < 14) return null;
  const count = data.getUint16(10);
  const copyCount = data.getUint16(12);
  const tilesAt = 14 + 12 * copyCount;
  let at = tilesAt + 12 * count;
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
  return { seq: data.getUint32(0), full: (data.getUint8(5) & 1) === 1, width: data.getUint16(6), height: data.getUint16(8), copies, tiles };
}

// The live view: updates pushed by the server over one WebSocket, each acknowledged once shown;
// the same socket carries input. It runs only while the screen tab is visible.
const kSilenceMs = 25000; // the server sends a ping every 10 s at the latest
const live = {
  ws: null,
  retry: 0,
  retryTimer: 0,
  silenceTimer: 0,
  width: 0,
  queue: [], // updates not yet shown, in order: tiles build on what came before (a whole frame does not)
  decoding: false,
  viewTimer: 0,
  inputId: 0,
  stopped: true,
  wanted() {
    return !document.hidden && activeTab === 'screen';
  },
  update() {
    if (this.wanted()) this.start();
    else this.stop('已暂停（页面不在前台）');
  },
  start() {
    this.stopped = false;
    if (this.ws || this.retryTimer) return;
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    this.width = requestWidth();
    const ws = new WebSocket(`${scheme}//${location.host}/api/live?token=${encodeURIComponent(token)}&width=${this.width}`);
    ws.binaryType = 'arraybuffer';
    this.ws = ws;
    let opened = false;
    ws.onopen = () => {
      opened = true;
      this.heard();
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
    if (text) setStatus('connecting', text);
  },
  // A refused upgrade shows the page no status: ask the API why, then retry or give up.
  async reconnect(opened) {
    const delay = Math.min(5000, 500 * 2 ** this.retry++);
    this.retryTimer = setTimeout(() => {
      this.retryTimer = 0;
      if (!this.stopped) this.start();
    }, delay);
    if (opened) setStatus('connecting', '连接中断，正在重新连接…');
    try {
      await api('/api/info');
      if (!opened) setStatus('connecting', '正在重新连接…');
    } catch (err) {
      setStatus('error', describeError(err));
      if (fatal(err)) this.stop();
    }
  },
  heard() {
    clearTimeout(this.silenceTimer);
    // A tunnel that silently dropped us: start over.
    this.silenceTimer = setTimeout(() => this.ws?.close(), kSilenceMs);
  },
  send(value) {
    if (this.ws?.readyState !== WebSocket.OPEN) return false;
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
    else if (msg.type === 'error') setStatus('error', describeError({ status: msg.status, message: msg.message }));
    else if (msg.type === 'input' && msg.status !== 200) toast(`操作失败：${inputFailure(msg.status, msg.error)}`);
    else if (msg.type === 'input') learnDisplay();
  },
  frame(buffer) {
    const update = parseUpdate(buffer);
    if (!update) return;
    if (update.full) this.queue = [];
    this.queue.push(update);
    if (!this.decoding) this.drain();
  },
  async drain() {
    this.decoding = true;
    while (this.queue.length) {
      const update = this.queue.shift();
      try {
        const bitmaps = await Promise.all(update.tiles.map((t) => createImageBitmap(t.blob)));
        // A whole frame that came meanwhile covers this one.
        if (!this.queue[0]?.full) showUpdate(update, bitmaps);
        for (const bitmap of bitmaps) bitmap.close();
        this.retry = 0;
        setStatus('connected', '已连接');
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

// Client pixels to the desktop's 0..1000 grid; null outside the picture, or clamped to its edge.
function normalized(p, clamp = false) {
  const rect = screen.getBoundingClientRect();
  if (!frame.width || rect.width === 0) return null;
  let x = ((p.x - rect.left) / rect.width) * 1000;
  let y = ((p.y - rect.top) / rect.height) * 1000;
  if (clamp) [x, y] = [Math.max(0, Math.min(1000, x)), Math.max(0, Math.min(1000, y))];
  if (x < 0 || y < 0 || x > 1000 || y > 1000) return null;
  return [Math.round(x * 10) / 10, Math.round(y * 10) / 10];
}

// What went wrong with an input, in words for the user; the server's own (English) text goes to
// the console only.
function inputFailure(status, detail) {
  if (detail) console.warn('input failed', status, detail);
  if (status === 0) return '网络已断开，这次操作没有送到电脑，请恢复连接后再试。';
  if (status === 500) return '电脑没能执行这次操作。';
  return describeError({ status, message: '' });
}

// Input goes over the live socket when it is open (in order, at once); otherwise requests go out
// one at a time so that the desktop sees them in the order they were made. Nothing is queued for
// later: input that cannot go now is refused and the user is told.
let inputChain = Promise.resolve();
function sendInput(body, path = '/api/input') {
  if (path === '/api/input' && live.input(body)) return inputChain;
  if (path === '/api/input' && live.ws === null && !navigator.onLine) {
    toast(inputFailure(0));
    return inputChain;
  }
  inputChain = inputChain.then(async () => {
    try {
      await api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
    } catch (err) {
      toast(`操作失败：${inputFailure(err.status, err.message)}`);
    }
  });
  return inputChain;
}

// The pointer where this phone last put it, drawn larger than the desktop's own while the view
// is too small to see that one; the stream does not say where the pointer is otherwise.
const cursor = { at: null };
function drawCursor() {
  const el = $('cursor');
  const cssPerDesktopPx = (frame.width * view.fit * view.scale) / (desktopWidth || 1920);
  if (!cursor.at || !frame.width || (cssPerDesktopPx >= 1 && !pad.on)) {
    el.hidden = true;
    return;
  }
  const [x, y] = cursor.at;
  const w = frame.width * view.fit * view.scale;
  const h = frame.height * view.fit * view.scale;
  el.style.transform = `translate(${view.ox + (x / 1000) * w}px, ${view.oy + (y / 1000) * h}px)`;
  el.hidden = false;
}

function pointer(action, p, clamp = false) {
  const coordinate = normalized(p, clamp);
  if (!coordinate) return false;
  cursor.at = coordinate;
  drawCursor();
  sendPointer(action, coordinate);
  return true;
}

// A tap is a press and a release sent together, not the API's "click": that one waits 20 ms between
// moving and pressing and holds the button 40 ms, which would add to every tap's round trip (most
// controls act on the release). Two quick taps are still a double click to the desktop.
function sendPointer(action, coordinate) {
  for (const one of action === 'tap' ? ['left_down', 'left_up'] : [action]) sendInput({ action: one, coordinate });
}

// Moves of a live drag go out at most every kDragMoveMs; the release carries the last position.
const kDragMoveMs = 50;
const drag = { on: false, sentAt: 0, pending: null, timer: 0 };
function dragMove(p) {
  if (!drag.on) return;
  drag.pending = p;
  const wait = drag.sentAt + kDragMoveMs - performance.now();
  if (wait > 0) {
    drag.timer ||= setTimeout(() => ((drag.timer = 0), dragMove(drag.pending)), wait);
    return;
  }
  drag.sentAt = performance.now();
  drag.pending = null;
  pointer('left_drag', p, true);
}

// A ring at the finger fills while a long press builds up.
function showHold(p) {
  const ring = $('hold-ring'); // an SVG element: no `hidden` property, the attribute it is
  ring.setAttribute('hidden', '');
  if (!p) return;
  const rect = viewport.getBoundingClientRect();
  ring.style.left = `${p.x - rect.left}px`;
  ring.style.top = `${p.y - rect.top}px`;
  void ring.getBoundingClientRect(); // restart the fill
  ring.removeAttribute('hidden');
}

// A magnifier above the finger while it rests or drags, when the view is too small to aim by eye.
const kLoupeZoom = 3; // CSS px per picture pixel in the loupe, at the least
const loupe = { el: $('loupe'), timer: 0, at: null };
function showLoupe(p) {
  clearTimeout(loupe.timer);
  loupe.at = p;
  if (!p) {
    loupe.el.hidden = true;
    return;
  }
  // A quick tap shows nothing: the loupe comes once the finger stays a moment.
  if (loupe.el.hidden) loupe.timer = setTimeout(drawLoupe, 200);
  else drawLoupe();
}
function drawLoupe() {
  const p = loupe.at;
  const rect = screen.getBoundingClientRect();
  const cssPerPixel = rect.width / Math.max(1, frame.width);
  if (!p || !frame.width || cssPerPixel >= kLoupeZoom / 1.5) {
    loupe.el.hidden = true;
    return;
  }
  const size = loupe.el.clientWidth || 120;
  const dpr = window.devicePixelRatio || 1;
  if (loupe.el.width !== size * dpr) Object.assign(loupe.el, { width: size * dpr, height: size * dpr });
  const zoom = Math.max(kLoupeZoom, cssPerPixel * 2);
  const span = size / zoom; // picture pixels across the loupe
  const fx = ((p.x - rect.left) / rect.width) * frame.width;
  const fy = ((p.y - rect.top) / rect.height) * frame.height;
  const g = loupe.el.getContext('2d');
  g.fillStyle = '#000';
  g.fillRect(0, 0, loupe.el.width, loupe.el.height);
  g.imageSmoothingEnabled = false;
  g.drawImage(screen, fx - span / 2, fy - span / 2, span, span, 0, 0, loupe.el.width, loupe.el.height);
  g.strokeStyle = '#ff5252';
  g.lineWidth = dpr;
  const c = loupe.el.width / 2;
  g.strokeRect(c - 3 * dpr, c - 3 * dpr, 6 * dpr, 6 * dpr);
  const box = viewport.getBoundingClientRect();
  // Above the finger, below it near the top edge.
  const top = p.y - box.top - size - 50 < 0 ? p.y - box.top + 50 : p.y - box.top - size - 50;
  loupe.el.style.transform = `translate(${p.x - box.left - size / 2}px, ${top}px)`;
  loupe.el.hidden = false;
}

// Two taps at the same spot make a double click only when both clicks land on the same desktop
// pixel: the second one of two quick taps within a finger's wobble lands on the first one's spot.
const kTapSlop = 10;
const kDoubleTapMs = 400;
let lastTap = null;

let scrollPx = 0;
let scrollQueued = false;
const touchMode = {
  tap: (p) => {
    const now = performance.now();
    const near = lastTap && now - lastTap.at < kDoubleTapMs && Math.hypot(p.x - lastTap.p.x, p.y - lastTap.p.y) <= kTapSlop;
    const at = near ? lastTap.p : p;
    lastTap = near ? null : { p, at: now };
    pointer('tap', at);
  },
  longPress: (p) => pointer('right_click', p),
  hold: showHold,
  finger: showLoupe,
  press: (p) => {
    drag.on = pointer('left_down', p);
    drag.sentAt = performance.now();
  },
  move: dragMove,
  release: (p) => {
    if (!drag.on) return;
    clearTimeout(drag.timer);
    Object.assign(drag, { on: false, timer: 0, pending: null });
    pointer('left_up', p, true);
  },
  view: (change) => {
    moveView(change);
    live.viewChanged();
  },
  twoFingerTap: () => {},
  // Fingers moving up pull the content up, like scrolling a page on the phone; the wheel turns
  // where the fingers are.
  scroll: (p, dy) => {
    scrollPx += dy;
    if (scrollQueued || Math.abs(scrollPx) < kScrollStepPx) return;
    scrollQueued = true;
    // Steps gather while an earlier request is on its way.
    (live.ws?.readyState === WebSocket.OPEN ? Promise.resolve() : inputChain).then(() => {
      const steps = Math.trunc(scrollPx / kScrollStepPx);
      scrollPx -= steps * kScrollStepPx;
      scrollQueued = false;
      if (steps === 0) return;
      const coordinate = p && normalized(p, true);
      if (coordinate && String(coordinate) !== String(cursor.at)) pointer('move', p, true);
      sendInput({ action: 'scroll', direction: steps > 0 ? 'up' : 'down', amount: Math.min(20, Math.abs(steps)) });
    });
  },
};

// The scroll strip, for phones whose system takes three-finger swipes for itself.
{
  let lastY = null;
  const wheel = $('wheel');
  wheel.addEventListener('touchstart', (event) => {
    event.preventDefault();
    lastY = event.touches[0].clientY;
  }, { passive: false });
  wheel.addEventListener('touchmove', (event) => {
    event.preventDefault();
    if (lastY === null) return;
    const y = event.touches[0].clientY;
    touchMode.scroll(null, y - lastY);
    lastY = y;
  }, { passive: false });
  wheel.addEventListener('touchend', () => (lastY = null));
}

// Trackpad mode: one finger moves the pointer by how far it travels, wherever it is on the screen;
// a tap clicks where the pointer is, a two-finger tap right-clicks there, a hold then a slide drags.
const kTrackpadGain = 1.5; // pointer travel per finger travel, in picture pixels
const pad = { on: false, last: null, button: false, sentAt: 0, timer: 0, sent: '' };
const at = () => cursor.at ?? [500, 500];
function padSend(action) {
  pad.sent = String(at());
  sendPointer(action, at());
}
function padMoved() {
  clearTimeout(pad.timer);
  const wait = pad.sentAt + kDragMoveMs - performance.now();
  if (wait > 0) {
    pad.timer = setTimeout(padMoved, wait);
    return;
  }
  if (pad.sent === String(at())) return; // held at an edge
  pad.sentAt = performance.now();
  padSend(pad.button ? 'left_drag' : 'move');
}
// The zoomed view follows the pointer when it nears an edge.
function followCursor() {
  const [x, y] = at();
  const w = frame.width * view.fit * view.scale;
  const h = frame.height * view.fit * view.scale;
  const margin = 40;
  const px = view.ox + (x / 1000) * w;
  const py = view.oy + (y / 1000) * h;
  view.ox += Math.max(0, margin - px) - Math.max(0, px - (view.vw - margin));
  view.oy += Math.max(0, margin - py) - Math.max(0, py - (view.vh - margin));
  layout();
}
const trackpadMode = {
  tap: () => padSend('tap'),
  longPress: () => padSend('right_click'),
  twoFingerTap: () => padSend('right_click'),
  hold: showHold,
  finger: () => {},
  press: (p, held) => {
    pad.last = p;
    pad.button = held;
    cursor.at = at();
    if (held) padSend('left_down');
  },
  move: (p) => {
    const rect = screen.getBoundingClientRect();
    if (!pad.last || !rect.width) return;
    const [x, y] = at();
    const k = (1000 * kTrackpadGain) / rect.width;
    const clamp = (v) => Math.round(Math.max(0, Math.min(1000, v)) * 10) / 10;
    cursor.at = [clamp(x + (p.x - pad.last.x) * k), clamp(y + ((p.y - pad.last.y) * 1000 * kTrackpadGain) / rect.height)];
    pad.last = p;
    followCursor();
    padMoved();
  },
  release: () => {
    clearTimeout(pad.timer);
    if (pad.button) padSend('left_up');
    else if (pad.sent !== String(at())) padSend('move'); // the last position, if the rate limit held it back
    Object.assign(pad, { last: null, button: false });
  },
  view: touchMode.view,
  scroll: (p, dy) => touchMode.scroll(null, dy), // where the pointer is
};
attachGestures(viewport, Object.fromEntries(Object.keys(trackpadMode).map((name) => [name, (...args) => (pad.on ? trackpadMode : touchMode)[name](...args)])));

// ---- key bar and text ----------------------------------------------------

const kTerminalKeys = {
  escape: '\x1b', tab: '\t', backspace: '\x7f', return: '\r', 'ctrl-c': '\x03',
  left: '\x1b[D', up: '\x1b[A', down: '\x1b[B', right: '\x1b[C',
};

// A button must never take the focus: what is typed next would go to the button (a space
// presses it) instead of the terminal or the text field, and the phone's keyboard would close.
document.addEventListener('mousedown', (event) => {
  if (event.target.closest('button')) event.preventDefault();
});

// Sticky modifiers: a tap holds one down for the next key, which then goes out as a combination.
const modifiers = new Set();
function setModifier(name, on) {
  if (on) modifiers.add(name);
  else modifiers.delete(name);
  const button = document.querySelector(`[data-mod="${name}"]`);
  button?.setAttribute('aria-pressed', String(on));
}
function releaseModifiers() {
  for (const name of [...modifiers]) setModifier(name, false);
}

// Typed text waits a moment for more, so a burst (an input method's word) goes as one request;
// any key first sends what was typed before it.
const typing = { text: '', timer: 0 };
function flushText() {
  clearTimeout(typing.timer);
  typing.timer = 0;
  const text = typing.text;
  typing.text = '';
  for (let i = 0; i < text.length; i += 400) sendInput({ action: 'type_text', text: text.slice(i, i + 400) });
}
function typeText(text) {
  if (!text) return;
  if (modifiers.size && [...text].length === 1) {
    pressKey(text.toLowerCase() === text.toUpperCase() ? text : text.toLowerCase());
    return;
  }
  typing.text += text.replace(/\r\n?/g, '\n');
  typing.timer ||= setTimeout(flushText, 30);
}
// `name` is a key_combo key name or one character; a key the old `key` action knows, without
// modifiers, goes as that action.
const kPlainKeys = new Set(['escape', 'tab', 'backspace', 'left', 'up', 'down', 'right', 'return', 'space']);
function pressKey(name) {
  flushText();
  if (modifiers.size) {
    sendInput({ action: 'key_combo', keys: [...modifiers, name].join('+') });
    releaseModifiers();
  } else if (kPlainKeys.has(name)) {
    sendInput({ action: 'key', key: name });
  } else {
    sendInput({ action: 'key_combo', keys: name });
  }
}

// The text field: what the phone's keyboard commits goes to the desktop as keystrokes at once; an
// input method's composition stays in the field until it is committed.
const field = $('kbd-text');
const kFieldKeys = { Enter: 'return', Backspace: 'backspace', Tab: 'tab', Escape: 'escape',
  ArrowLeft: 'left', ArrowRight: 'right', ArrowUp: 'up', ArrowDown: 'down', Delete: 'delete',
  Home: 'home', End: 'end', PageUp: 'page_up', PageDown: 'page_down' };
field.addEventListener('keydown', (event) => {
  if (event.isComposing || event.keyCode === 229) return;
  const name = kFieldKeys[event.key];
  if (!name) return;
  event.preventDefault();
  pressKey(name);
});
field.addEventListener('beforeinput', (event) => {
  if (event.isComposing || event.inputType === 'insertCompositionText') return;
  if (event.inputType === 'insertText' || event.inputType === 'insertFromPaste' || event.inputType === 'insertReplacementText') {
    event.preventDefault();
    typeText(event.data ?? event.dataTransfer?.getData('text/plain') ?? '');
  } else if (event.inputType === 'insertLineBreak' || event.inputType === 'insertParagraph') {
    event.preventDefault();
    pressKey('return');
  } else if (event.inputType === 'deleteContentBackward') {
    event.preventDefault();
    pressKey('backspace');
  } else if (event.inputType === 'deleteContentForward') {
    event.preventDefault();
    pressKey('delete');
  }
});
field.addEventListener('compositionend', (event) => {
  typeText(event.data);
  // The committed text has been sent: the field starts empty for the next word.
  setTimeout(() => (field.value = ''), 0);
});

$('kbd').addEventListener('click', (event) => {
  const button = event.target.closest('button');
  if (!button) return;
  if (button.dataset.mod) setModifier(button.dataset.mod, !modifiers.has(button.dataset.mod));
  else if (button.dataset.combo) pressKey(button.dataset.combo);
});

$('keys').addEventListener('click', (event) => {
  const button = event.target.closest('button');
  if (!button) return;
  const { key, action } = button.dataset;
  if (activeTab === 'terminal') {
    if (key && kTerminalKeys[key]) terminal.send(kTerminalKeys[key]);
    terminal.term?.focus();
    return;
  }
  if (key) pressKey(key);
  else if (action === 'keyboard') {
    const panel = $('kbd');
    panel.hidden = !panel.hidden;
    $('keys').querySelector('[data-action="keyboard"]').setAttribute('aria-pressed', String(!panel.hidden));
    if (!panel.hidden) field.focus();
    layout();
  } else if (action === 'trackpad') {
    pad.on = !pad.on;
    button.setAttribute('aria-pressed', String(pad.on));
    cursor.at = at();
    drawCursor();
    toast(pad.on ? '触控板模式：单指滑动移动指针，轻点单击，双指轻点右键，按住再滑动拖动。' : '触摸模式：手指点在哪里就操作哪里。', 'info');
  } else if (action === 'paste') pastePhoneClipboard();
  else if (action === 'copy') copyDesktopClipboard();
});

// ---- clipboard both ways -----------------------------------------------------

const kClipboardMax = 10000;
async function offerText(text) {
  if (text.length > kClipboardMax) {
    toast(`文字太长（${text.length} 字），一次最多 ${kClipboardMax} 字。`);
    return;
  }
  try {
    await api('/api/clipboard', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ text, paste: true }) });
    toast('已粘贴到电脑。', 'info');
  } catch (err) {
    toast(`粘贴失败：${inputFailure(err.status, err.message)}`);
  }
}

// The phone's clipboard when the browser lets the page read it; otherwise the user pastes into a
// field of ours.
async function pastePhoneClipboard() {
  let text = null;
  try {
    text = await navigator.clipboard.readText();
  } catch {
    text = null;
  }
  if (text) {
    offerText(text);
    return;
  }
  openClipDialog('paste', '把要发送到电脑的文字粘贴到这里（手机上长按输入框，选“粘贴”）：', '');
}

async function copyDesktopClipboard() {
  let text;
  try {
    text = (await (await api('/api/clipboard')).json()).text;
  } catch (err) {
    toast(`读取电脑剪贴板失败：${inputFailure(err.status, err.message)}`);
    return;
  }
  if (text === null || text === '') {
    toast('电脑剪贴板里没有文字。', 'info');
    return;
  }
  try {
    await navigator.clipboard.writeText(text);
    toast('已复制到手机剪贴板。', 'info');
  } catch {
    openClipDialog('show', '电脑剪贴板的内容（浏览器不允许直接写入手机剪贴板，请长按选择并复制）：', text);
  }
}

function openClipDialog(mode, label, text) {
  const dialog = $('clip-dialog');
  dialog.dataset.mode = mode;
  $('clip-label').textContent = label;
  const area = $('clip-text');
  area.value = text;
  area.readOnly = mode === 'show';
  $('clip-send').hidden = mode === 'show';
  dialog.showModal();
  if (mode === 'show') area.select();
  else area.focus();
}

$('clip-dialog').addEventListener('close', () => {
  const dialog = $('clip-dialog');
  const text = $('clip-text').value;
  if (dialog.dataset.mode === 'paste' && dialog.returnValue === 'send' && text) offerText(text);
});

// ---- terminal -------------------------------------------------------------

function loadScript(src) {
  return new Promise((resolve, reject) => {
    const el = document.createElement('script');
    el.src = src;
    el.onload = resolve;
    el.onerror = () => reject(new Error(src));
    document.head.append(el);
  });
}

// The shell outlives a dropped connection on the server for a while: the client comes back with
// its session id (kept for reloads of the page too) and gets the shell with its recent output.
const kSessionKey = 'zel-terminal-session';

const terminal = {
  term: null,
  fit: null,
  ws: null,
  session: sessionStorage.getItem(kSessionKey),
  retries: 0,
  retry: null,
  dropped: false,
  async open() {
    if (!this.term) {
      const css = document.createElement('link');
      css.rel = 'stylesheet';
      css.href = '/vendor/xterm.css';
      document.head.append(css);
      await loadScript('/vendor/xterm.js');
      await loadScript('/vendor/addon-fit.js');
      this.term = new window.Terminal({ fontSize: 13, cursorBlink: true, scrollback: 5000, theme: { background: '#111418' } });
      this.fit = new window.FitAddon.FitAddon();
      this.term.loadAddon(this.fit);
      this.term.open($('terminal'));
      this.term.onData((data) => this.send(data));
      this.term.onResize(({ cols, rows }) => this.message({ type: 'resize', cols, rows }));
      window.addEventListener('resize', () => activeTab === 'terminal' && this.fit.fit());
    }
    this.fit.fit();
    if (!this.ws || this.ws.readyState > WebSocket.OPEN) this.connect();
    this.term.focus();
  },
  connect() {
    clearTimeout(this.retry);
    this.dropped = false;
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const session = encodeURIComponent(this.session || 'new');
    const ws = new WebSocket(`${scheme}//${location.host}/api/terminal?token=${encodeURIComponent(token)}&session=${session}`);
    this.ws = ws;
    const state = $('terminal-state');
    state.hidden = true;
    let first = true;
    ws.onopen = () => this.message({ type: 'resize', cols: this.term.cols, rows: this.term.rows });
    ws.onmessage = (event) => {
      if (!first) {
        this.term.write(event.data);
        return;
      }
      // The first frame names the session; the shell's recent output follows when it was kept.
      first = false;
      const { id, resumed } = JSON.parse(event.data);
      if (this.session) this.term.reset();
      if (this.session && !resumed) this.term.write('\x1b[33m（原来的终端已结束，这是新的终端）\x1b[0m\r\n');
      this.session = id;
      sessionStorage.setItem(kSessionKey, id);
      this.retries = 0;
    };
    ws.onclose = (event) => {
      if (this.ws !== ws) return;
      if (event.code === 1000 || event.code === 4001 || event.code === 1011) {
        if (event.code !== 4001) {
          this.session = null;
          sessionStorage.removeItem(kSessionKey);
        }
        state.textContent = { 1000: '终端已结束，点此重新打开。', 4001: '终端已在别处打开，点此接回。' }[event.code] ?? '终端出错，点此重新打开。';
        state.hidden = false;
        return;
      }
      // Dropped: come back by ourselves, sooner when the page is seen or the network returns.
      state.textContent = '终端连接已断开，正在重新连接…（点此立即重试）';
      state.hidden = false;
      this.dropped = true;
      this.retry = setTimeout(() => this.ws === ws && this.connect(), Math.min(10000, 1000 * 2 ** this.retries++));
    };
  },
  reconnectIfDropped() {
    if (this.dropped && activeTab === 'terminal') this.connect();
  },
  message(value) {
    if (this.ws?.readyState === WebSocket.OPEN) this.ws.send(JSON.stringify(value));
  },
  send(data) {
    this.message({ type: 'input', data });
  },
};

$('terminal-state').addEventListener('click', () => terminal.connect());
window.addEventListener('online', () => terminal.reconnectIfDropped());
document.addEventListener('visibilitychange', () => document.visibilityState === 'visible' && terminal.reconnectIfDropped());

function showTab(name) {
  activeTab = name;
  $('screen-view').hidden = name !== 'screen';
  $('terminal-view').hidden = name !== 'terminal';
  $('tab-screen').classList.toggle('active', name === 'screen');
  $('tab-terminal').classList.toggle('active', name === 'terminal');
  for (const el of document.querySelectorAll('.screen-only')) el.hidden = name !== 'screen' || 'unavailable' in el.dataset;
  for (const el of document.querySelectorAll('.terminal-only')) el.hidden = name !== 'terminal';
  if (name !== 'screen') $('kbd').hidden = true;
  if (name === 'terminal') terminal.open().catch(() => toast('终端组件加载失败。'));
  if (token && features) live.update();
}
$('tab-screen').addEventListener('click', () => showTab('screen'));
$('tab-terminal').addEventListener('click', () => showTab('terminal'));

// ---- start -----------------------------------------------------------------

async function start() {
  let info;
  if (!token) {
    setStatus('error', '缺少访问令牌，请用手机扫描电脑上的二维码打开此页面。');
    $('placeholder').textContent = '未配对';
    return;
  }
  for (;;) {
    try {
      info = await (await api('/api/info')).json();
      features = info.features || {};
      break;
    } catch (err) {
      setStatus('error', describeError(err));
      if (fatal(err)) return;
      await sleep(2000);
    }
  }
  $('tab-terminal').hidden = !features.terminal;
  desktopWidth = info.display?.width || 0;
  if (!features.clipboard) {
    for (const button of document.querySelectorAll('[data-action="paste"], [data-action="copy"]')) {
      button.dataset.unavailable = '';
      button.hidden = true;
    }
  }
  live.update();
}

start();

// Landscape hides the bars (and asks for full screen); this button brings them back.
$('bars').addEventListener('click', () => {
  const show = document.body.classList.toggle('show-bars');
  $('bars').setAttribute('aria-pressed', String(show));
  if (!show && !document.fullscreenElement) document.documentElement.requestFullscreen?.().catch(() => {});
  layout();
});
