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
function toast(text) {
  const el = $('toast');
  el.textContent = text;
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

function describeError(err) {
  switch (err.status) {
    case 0: return '网络连接中断，正在重试…';
    case 401: return '访问令牌无效，请重新扫描电脑上的二维码。';
    case 429: return '尝试次数过多，请稍后再试。';
    case 502: case 503: case 504: return `电脑端服务暂不可用：${err.message}`;
    default: return `出错了（${err.status}）：${err.message}`;
  }
}

const fatal = (err) => err.status === 401 || err.status === 429;

// ---- screen ------------------------------------------------------------

const view = { scale: 1, x: 0, y: 0, fit: 1, left: 0, top: 0 };

// The picture's size in canvas pixels: the canvas keeps it between whole frames, tiles land on it.
const frame = { width: 0, height: 0 };
const paint = screen.getContext('2d');

function layout() {
  if (!frame.width) return;
  const vw = viewport.clientWidth;
  const vh = viewport.clientHeight;
  view.fit = Math.min(vw / frame.width, vh / frame.height);
  const w = frame.width * view.fit;
  const h = frame.height * view.fit;
  view.left = (vw - w) / 2;
  view.top = (vh - h) / 2;
  screen.style.width = `${w}px`;
  screen.style.height = `${h}px`;
  screen.style.transform = `translate(${view.left + view.x}px, ${view.top + view.y}px) scale(${view.scale})`;
}
window.addEventListener('resize', layout);

function requestWidth() {
  const pixels = viewport.clientWidth * (window.devicePixelRatio || 1) * Math.min(view.scale, 2);
  return Math.max(320, Math.min(2560, Math.round(pixels)));
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// One update: every tile drawn in the same task, so the picture never shows half of it.
function showUpdate({ full, width, height, tiles }, bitmaps) {
  if (full) {
    const h = height || bitmaps[0].height;
    if (screen.width !== width || screen.height !== h) Object.assign(screen, { width, height: h });
    frame.width = width;
    frame.height = h;
  }
  if (!frame.width) return; // tiles before any whole frame: nothing to put them on
  tiles.forEach((t, i) => paint.drawImage(bitmaps[i], t.x, t.y));
  if (!screen.classList.contains('loaded')) {
    screen.classList.add('loaded');
    $('placeholder').hidden = true;
  }
  layout();
}

// [u32 seq][u8 quality][u8 flags][u16 width][u16 height][u16 count], count × [u16 x, y, w, h][u32 bytes], JPEGs.
function parseUpdate(buffer) {
  const data = new DataView(buffer);
  if (buffer.byteLength < 12) return null;
  const count = data.getUint16(10);
  let at = 12 + 12 * count;
  const tiles = [];
  for (let i = 0; i < count; i++) {
    const o = 12 + 12 * i;
    const bytes = data.getUint32(o + 8);
    tiles.push({ x: data.getUint16(o), y: data.getUint16(o + 2), blob: new Blob([new Uint8Array(buffer, at, bytes)], { type: 'image/jpeg' }) });
    at += bytes;
  }
  if (at > buffer.byteLength) return null;
  return { seq: data.getUint32(0), full: (data.getUint8(5) & 1) === 1, width: data.getUint16(6), height: data.getUint16(8), tiles };
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
    else if (msg.type === 'input' && msg.status !== 200) toast(`操作失败：${msg.status === 500 ? msg.error : describeError({ status: msg.status, message: msg.error })}`);
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
    const width = requestWidth();
    if (width !== this.width && this.send({ type: 'view', width })) this.width = width;
  },
  input(body) {
    return this.send({ type: 'input', id: ++this.inputId, ...body });
  },
};
document.addEventListener('visibilitychange', () => live.update());

// Client pixels to the desktop's 0..1000 grid; null outside the picture.
function normalized(p) {
  const rect = screen.getBoundingClientRect();
  if (!frame.width || rect.width === 0) return null;
  const x = ((p.x - rect.left) / rect.width) * 1000;
  const y = ((p.y - rect.top) / rect.height) * 1000;
  if (x < 0 || y < 0 || x > 1000 || y > 1000) return null;
  return [Math.round(x * 10) / 10, Math.round(y * 10) / 10];
}

// Input goes over the live socket when it is open (in order, at once); otherwise requests go out
// one at a time so that the desktop sees them in the order they were made.
let inputChain = Promise.resolve();
function sendInput(body, path = '/api/input') {
  if (path === '/api/input' && live.input(body)) return inputChain;
  inputChain = inputChain.then(async () => {
    try {
      await api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
    } catch (err) {
      toast(`操作失败：${err.status === 0 || err.status >= 400 && err.status !== 500 ? describeError(err) : err.message}`);
    }
  });
  return inputChain;
}

function pointerAction(action) {
  return (p) => {
    const coordinate = normalized(p);
    if (coordinate) sendInput({ action, coordinate });
  };
}

let scrollPx = 0;
let scrollQueued = false;
attachGestures(viewport, {
  tap: pointerAction('click'), // a double tap is two of these; the desktop makes it a double click
  longPress: (p) => {
    navigator.vibrate?.(30);
    pointerAction('right_click')(p);
  },
  drag: (from, to) => {
    const a = normalized(from);
    const b = normalized(to);
    if (a && b) sendInput({ action: 'drag', from: a, to: b });
  },
  // Fingers moving up pull the content up, like scrolling a page on the phone.
  scroll: (dy) => {
    scrollPx += dy;
    if (scrollQueued || Math.abs(scrollPx) < kScrollStepPx) return;
    scrollQueued = true;
    // Steps gather while an earlier request is on its way.
    (live.ws?.readyState === WebSocket.OPEN ? Promise.resolve() : inputChain).then(() => {
      const steps = Math.trunc(scrollPx / kScrollStepPx);
      scrollPx -= steps * kScrollStepPx;
      scrollQueued = false;
      if (steps !== 0) sendInput({ action: 'scroll', direction: steps > 0 ? 'up' : 'down', amount: Math.min(20, Math.abs(steps)) });
    });
  },
  pinch: ({ scale, start, now, phase }) => {
    if (!view.pinch) view.pinch = { scale: view.scale, x: view.x, y: view.y };
    const base = view.pinch;
    const next = Math.max(1, Math.min(5, base.scale * scale));
    // Keep the desktop point under the fingers' first centre under their current centre.
    const ox = view.left + base.x;
    const oy = view.top + base.y;
    const rect = viewport.getBoundingClientRect();
    const sx = start.x - rect.left;
    const sy = start.y - rect.top;
    view.x = sx - ((sx - ox) * next) / base.scale + (now.x - start.x) - view.left;
    view.y = sy - ((sy - oy) * next) / base.scale + (now.y - start.y) - view.top;
    view.scale = next;
    if (next === 1) {
      view.x = 0;
      view.y = 0;
    }
    if (phase === 'end') view.pinch = null;
    layout();
  },
});

// ---- key bar and text ----------------------------------------------------

const kTerminalKeys = {
  escape: '\x1b', tab: '\t', backspace: '\x7f', return: '\r', 'ctrl-c': '\x03',
  left: '\x1b[D', up: '\x1b[A', down: '\x1b[B', right: '\x1b[C',
};

// A key-bar button must not take the focus from the terminal: what is typed next would go to
// the button (a space presses it), and the phone's keyboard would close.
$('keys').addEventListener('mousedown', (event) => {
  if (activeTab === 'terminal' && event.target.closest('button')) event.preventDefault();
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
  if (key) sendInput({ action: 'key', key });
  else if (action === 'paste') sendInput({ action: 'paste' });
  else if (action === 'type') {
    $('type-text').value = '';
    $('type-dialog').showModal();
    $('type-text').focus();
  }
});

$('type-dialog').addEventListener('close', () => {
  const text = $('type-text').value;
  if ($('type-dialog').returnValue === 'send' && text) sendInput({ text }, '/api/type');
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
  if (name === 'terminal') terminal.open().catch(() => toast('终端组件加载失败。'));
  if (token && features) live.update();
}
$('tab-screen').addEventListener('click', () => showTab('screen'));
$('tab-terminal').addEventListener('click', () => showTab('terminal'));

// ---- start -----------------------------------------------------------------

async function start() {
  if (!token) {
    setStatus('error', '缺少访问令牌，请用手机扫描电脑上的二维码打开此页面。');
    $('placeholder').textContent = '未配对';
    return;
  }
  for (;;) {
    try {
      features = (await (await api('/api/info')).json()).features || {};
      break;
    } catch (err) {
      setStatus('error', describeError(err));
      if (fatal(err)) return;
      await sleep(2000);
    }
  }
  $('tab-terminal').hidden = !features.terminal;
  if (!features.type) {
    const button = document.querySelector('[data-action="type"]');
    button.dataset.unavailable = '';
    button.hidden = true;
  }
  live.update();
}

start();
