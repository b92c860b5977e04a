// The terminal tab: xterm.js, loaded on first use, over a WebSocket to a shell on the desktop.
import { token } from './api.js';
import { $ } from './status.js';

// What the key bar's keys send to the shell.
const kTerminalKeys = {
  escape: '\x1b', tab: '\t', backspace: '\x7f', return: '\r', 'ctrl-c': '\x03',
  left: '\x1b[D', up: '\x1b[A', down: '\x1b[B', right: '\x1b[C',
};

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
const terminalView = $('terminal-view');

export const terminal = {
  term: null,
  fit: null,
  ws: null,
  session: sessionStorage.getItem(kSessionKey),
  retries: 0,
  retry: null,
  dropped: false,
  shown() {
    return !terminalView.hidden;
  },
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
      window.addEventListener('resize', () => this.shown() && this.fit.fit());
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
    if (this.dropped && this.shown()) this.connect();
  },
  message(value) {
    if (this.ws?.readyState === WebSocket.OPEN) this.ws.send(JSON.stringify(value));
  },
  send(data) {
    this.message({ type: 'input', data });
  },
  // A key of the bar: the keys a shell knows go to it, and the focus stays in the terminal.
  pressKey(name) {
    if (kTerminalKeys[name]) this.send(kTerminalKeys[name]);
    this.term?.focus();
  },
};

$('terminal-state').addEventListener('click', () => terminal.connect());
window.addEventListener('online', () => terminal.reconnectIfDropped());
document.addEventListener('visibilitychange', () => document.visibilityState === 'visible' && terminal.reconnectIfDropped());
