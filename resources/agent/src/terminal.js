// The terminal tab: a login shell in a pseudo-terminal, spoken to over one WebSocket.
// Client frames are JSON: {"type":"input","data":"..."} or {"type":"resize","cols":N,"rows":N};
// server frames are the shell's output as text.
import os from 'node:os';
import { WebSocketServer } from 'ws';

const kMaxSessions = 4;
const kHighWater = 1 << 20; // pause the shell while this much output waits for a slow phone

function loginShell(env) {
  let info = {};
  try {
    info = os.userInfo();
  } catch {
    // no passwd entry: fall back on the environment
  }
  const shell = env.SHELL || info.shell || '/bin/sh';
  const home = env.HOME || info.homedir || '/';
  // The control service's secret stays with the server.
  const inherited = Object.fromEntries(Object.entries(env).filter(([k]) => !k.startsWith('ZEL_AGENT_')));
  return {
    file: shell,
    cwd: home,
    env: {
      ...inherited,
      HOME: home,
      USER: env.USER || info.username || '',
      SHELL: shell,
      TERM: 'xterm-256color',
      COLORTERM: 'truecolor',
      LANG: env.LANG || 'C.UTF-8',
    },
  };
}

function clampInt(value, min, max, fallback) {
  return Number.isInteger(value) ? Math.min(max, Math.max(min, value)) : fallback;
}

export async function createTerminalService({ env = process.env, log = () => {} } = {}) {
  const pty = await import('node-pty');
  const wss = new WebSocketServer({ noServer: true, maxPayload: 64 * 1024 });
  const sessions = new Set();

  wss.on('connection', (ws) => {
    const shell = loginShell(env);
    let term;
    try {
      term = pty.spawn(shell.file, ['-l'], { name: 'xterm-256color', cols: 80, rows: 24, cwd: shell.cwd, env: shell.env });
    } catch (err) {
      ws.close(1011, `shell failed: ${err.message}`.slice(0, 120));
      return;
    }
    sessions.add(term);
    // Once node-pty has closed the descriptor, a resize would fail with EBADF (or reach
    // whatever reused the number): from then on frames are dropped.
    let closed = false;
    term.on('close', () => (closed = true));
    // One session's fault closes that session; it never reaches the process.
    const guard = (what, fn) => (...args) => {
      try {
        fn(...args);
      } catch (err) {
        log(`Terminal ${what} failed: ${String(err?.message ?? err).slice(0, 200)}`);
        if (ws.readyState === ws.OPEN) ws.close(1011, 'terminal error');
      }
    };
    let paused = false;
    term.onData(guard('output', (data) => {
      if (ws.readyState !== ws.OPEN) return;
      ws.send(data, () => {
        if (paused && ws.bufferedAmount < kHighWater / 4) {
          paused = false;
          term.resume();
        }
      });
      if (!paused && ws.bufferedAmount > kHighWater) {
        paused = true;
        term.pause();
      }
    }));
    term.onExit(guard('exit', ({ exitCode }) => {
      closed = true;
      sessions.delete(term);
      if (ws.readyState === ws.OPEN) ws.close(1000, `exit ${exitCode}`);
    }));
    ws.on('message', guard('message', (raw, isBinary) => {
      if (closed) return;
      let msg;
      try {
        msg = JSON.parse(isBinary ? Buffer.from(raw).toString('utf8') : raw.toString());
      } catch {
        return; // a garbled frame is dropped; the session goes on
      }
      if (msg?.type === 'input' && typeof msg.data === 'string') {
        term.write(msg.data);
      } else if (msg?.type === 'resize') {
        term.resize(clampInt(msg.cols, 2, 500, 80), clampInt(msg.rows, 1, 200, 24));
      }
    }));
    ws.on('close', guard('close', () => {
      if (sessions.delete(term)) term.kill('SIGHUP');
    }));
    ws.on('error', () => {});
  });

  return {
    get busy() {
      return sessions.size >= kMaxSessions;
    },
    handleUpgrade(req, socket, head) {
      wss.handleUpgrade(req, socket, head, (ws) => wss.emit('connection', ws, req));
    },
    close() {
      for (const ws of wss.clients) ws.close(1001, 'server stopping');
      for (const term of sessions) term.kill('SIGHUP');
      sessions.clear();
      wss.close();
    },
  };
}
