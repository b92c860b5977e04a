// The terminal tab: a login shell in a pseudo-terminal, spoken to over one WebSocket.
// Client frames are JSON: {"type":"input","data":"..."} or {"type":"resize","cols":N,"rows":N};
// server frames are the shell's output as text.
import { WebSocketServer } from 'ws';
import { loginShell } from './login-shell.js';

const kMaxSessions = 4;
const kHighWater = 1 << 20; // pause the shell while this much output waits for a slow phone
const kInputHighWater = 1 << 20; // stop reading the phone while this much input waits for a busy shell
const kInputPollMs = 25; // node-pty has no drain event for its input queue
const kKillGraceMs = 1000; // after the hang-up, then SIGKILL

// Bytes node-pty still holds for the shell. Its queue is private but the only measure there is;
// each entry also counts a little, so that a stream of one-byte frames is held back too.
function queuedInput(term) {
  const queue = term._writeStream?._writeQueue;
  if (!Array.isArray(queue)) return 0;
  let bytes = queue.length * 64;
  for (let i = 0; i < queue.length && bytes < kInputHighWater; i++) bytes += queue[i].buffer.byteLength - queue[i].offset;
  return bytes;
}

// SIGHUP, and SIGKILL to the shell's process group if it is still there after the grace.
// Jobs the shell put in groups of their own get the kernel's hang-up when it dies, as on any
// closed terminal; a deliberate nohup survives.
function hangUp(term, exited) {
  term.kill('SIGHUP');
  return new Promise((resolve) => {
    const timer = setTimeout(() => {
      try {
        process.kill(-term.pid, 'SIGKILL');
      } catch {
        term.kill('SIGKILL');
      }
      resolve();
    }, kKillGraceMs);
    exited.then(() => (clearTimeout(timer), resolve()));
  });
}

function clampInt(value, min, max, fallback) {
  return Number.isInteger(value) ? Math.min(max, Math.max(min, value)) : fallback;
}

export async function createTerminalService({ env = process.env, log = () => {} } = {}) {
  const pty = await import('node-pty');
  const wss = new WebSocketServer({ noServer: true, maxPayload: 64 * 1024 });
  const sessions = new Map(); // term -> promise of its exit

  wss.on('connection', (ws) => {
    const shell = loginShell(env, { TERM: 'xterm-256color', COLORTERM: 'truecolor' });
    let term;
    try {
      term = pty.spawn(shell.file, ['-l'], { name: 'xterm-256color', cols: 80, rows: 24, cwd: shell.cwd, env: shell.env });
    } catch (err) {
      ws.close(1011, `shell failed: ${err.message}`.slice(0, 120));
      return;
    }
    let markExited;
    const exited = new Promise((r) => (markExited = r));
    sessions.set(term, exited);
    // Once node-pty has closed the descriptor, a resize would fail with EBADF (or reach
    // whatever reused the number): from then on frames are dropped.
    let closed = false;
    // node-pty goes on retrying queued input after the descriptor is closed: EBADF, or worse,
    // whatever file reused the number. Input nobody waits for any more is dropped.
    const dropInput = () => {
      const queue = term._writeStream?._writeQueue;
      if (Array.isArray(queue)) queue.length = 0;
    };
    term.on('close', () => {
      closed = true;
      dropInput();
    });
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
    // While the shell does not read, its input waits in node-pty's memory: stop reading the
    // socket (TCP then holds the phone back) until most of it has gone to the shell.
    let inputTimer = null;
    const watchInput = (ticks = 1) => {
      inputTimer = setTimeout(guard('input', () => {
        if (!closed && queuedInput(term) > kInputHighWater / 4) {
          // A paused socket does not notice its peer leaving; the failed write of a ping does.
          if (ticks % 40 === 0 && ws.readyState === ws.OPEN) ws.ping();
          return watchInput(ticks + 1);
        }
        inputTimer = null;
        ws.resume();
      }), kInputPollMs);
    };
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
      markExited();
      clearTimeout(inputTimer);
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
        if (!inputTimer && queuedInput(term) > kInputHighWater) {
          ws.pause();
          watchInput();
        }
      } else if (msg?.type === 'resize') {
        term.resize(clampInt(msg.cols, 2, 500, 80), clampInt(msg.rows, 1, 200, 24));
      }
    }));
    ws.on('close', guard('close', () => {
      clearTimeout(inputTimer);
      dropInput();
      if (sessions.delete(term)) hangUp(term, exited);
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
    // Resolves when every shell has ended, at the latest after the kill grace.
    close() {
      for (const ws of wss.clients) ws.close(1001, 'server stopping');
      const ending = [...sessions].map(([term, exited]) => hangUp(term, exited));
      sessions.clear();
      wss.close();
      return Promise.all(ending);
    },
  };
}
