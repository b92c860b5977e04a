// One terminal session: a login shell in a pseudo-terminal, its output to the socket that holds it
// (the shell paused while a slow phone lags behind), the socket's input to the shell (the socket
// paused while a busy shell lags behind), and what happens when the socket goes.
import crypto from 'node:crypto';
import { loginShell } from './login-shell.js';

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
export function hangUp(term, exited) {
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

// Recent output, at most `limit` characters, starting at a line so that a replay does not begin
// inside an escape sequence.
class Scrollback {
  constructor(limit) {
    this.limit = limit;
    this.chunks = [];
    this.length = 0;
  }

  add(text) {
    this.chunks.push(text);
    this.length += text.length;
    while (this.length - this.chunks[0].length >= this.limit) this.length -= this.chunks.shift().length;
    if (this.length > this.limit) {
      const head = this.chunks[0];
      const line = head.indexOf('\n', this.length - this.limit);
      const cut = line < 0 ? head.length : line + 1;
      this.chunks[0] = head.slice(cut);
      this.length -= cut;
    }
  }

  text() {
    return this.chunks.join('');
  }
}

// A new shell, entered in sessions. context: pty (node-pty), env, log, limits, sessions (id -> session).
export function startSession({ pty, env, log, limits, sessions }, resumable) {
  const shell = loginShell(env, { TERM: 'xterm-256color', COLORTERM: 'truecolor' });
  const term = pty.spawn(shell.file, ['-l'], { name: 'xterm-256color', cols: 80, rows: 24, cwd: shell.cwd, env: shell.env });
  const session = {
    id: crypto.randomBytes(18).toString('base64url'),
    resumable,
    term,
    ws: null,
    // Once node-pty has closed the descriptor, a resize would fail with EBADF (or reach
    // whatever reused the number): from then on frames are dropped.
    closed: false,
    outputPaused: false,
    detachTimer: null,
    detachedAt: 0,
    scrollback: resumable ? new Scrollback(limits.scrollback) : null,
  };
  session.exited = new Promise((r) => (session.markExited = r));
  sessions.set(session.id, session);
  // node-pty goes on retrying queued input after the descriptor is closed: EBADF, or worse,
  // whatever file reused the number. Input nobody waits for any more is dropped.
  session.dropInput = () => {
    const queue = term._writeStream?._writeQueue;
    if (Array.isArray(queue)) queue.length = 0;
  };
  const resumeOutput = () => {
    if (session.outputPaused) {
      session.outputPaused = false;
      term.resume();
    }
  };
  session.resumeOutput = resumeOutput;
  term.on('close', () => {
    session.closed = true;
    session.dropInput();
  });
  // One session's fault closes its socket; it never reaches the process.
  session.guard = (what, fn) => (...args) => {
    try {
      fn(...args);
    } catch (err) {
      log(`Terminal ${what} failed: ${String(err?.message ?? err).slice(0, 200)}`);
      const { ws } = session;
      if (ws && ws.readyState === ws.OPEN) ws.close(1011, 'terminal error');
    }
  };
  term.onData(session.guard('output', (data) => {
    session.scrollback?.add(data);
    const { ws } = session;
    if (!ws || ws.readyState !== ws.OPEN) return;
    ws.send(data, () => {
      if (session.outputPaused && (session.ws !== ws || ws.bufferedAmount < kHighWater / 4)) resumeOutput();
    });
    if (!session.outputPaused && ws.bufferedAmount > kHighWater) {
      session.outputPaused = true;
      term.pause();
    }
  }));
  term.onExit(session.guard('exit', ({ exitCode }) => {
    session.closed = true;
    session.markExited();
    clearTimeout(session.detachTimer);
    sessions.delete(session.id);
    const { ws } = session;
    if (ws && ws.readyState === ws.OPEN) ws.close(1000, `exit ${exitCode}`);
  }));
  return session;
}

// The socket becomes the session's; a socket that still held it (a connection that dropped
// without the server noticing yet) is closed. context: limits, sessions, end(session), stopping().
export function attachSocket({ limits, sessions, end, stopping }, session, ws, resumed) {
  const previous = session.ws;
  session.ws = ws;
  clearTimeout(session.detachTimer);
  session.detachTimer = null;
  if (previous && previous.readyState <= previous.OPEN) previous.close(4001, 'taken over by another connection');
  if (session.resumable) {
    ws.send(JSON.stringify({ type: 'session', id: session.id, resumed }));
    if (resumed && session.scrollback.length > 0) ws.send(session.scrollback.text());
  }
  session.resumeOutput();
  const { term, guard } = session;
  ws.alive = true;
  ws.on('pong', () => (ws.alive = true));
  // While the shell does not read, its input waits in node-pty's memory: stop reading the
  // socket (TCP then holds the phone back) until most of it has gone to the shell.
  let inputTimer = null;
  const watchInput = (ticks = 1) => {
    inputTimer = setTimeout(guard('input', () => {
      if (!session.closed && session.ws === ws && queuedInput(term) > kInputHighWater / 4) {
        // A paused socket does not notice its peer leaving; the failed write of a ping does.
        if (ticks % 40 === 0 && ws.readyState === ws.OPEN) ws.ping();
        return watchInput(ticks + 1);
      }
      inputTimer = null;
      ws.alive = true; // its pongs went unread while it was paused
      ws.resume();
    }), kInputPollMs);
  };
  ws.inputPaused = () => inputTimer !== null;
  ws.on('message', guard('message', (raw, isBinary) => {
    if (session.closed || session.ws !== ws) return;
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
    if (session.ws !== ws) return;
    session.ws = null;
    if (!sessions.has(session.id)) return; // the shell has ended
    if (!session.resumable || stopping()) {
      session.dropInput();
      end(session);
      return;
    }
    // Waiting for its client: output goes on into the scrollback.
    session.resumeOutput();
    session.detachedAt = Date.now();
    session.detachTimer = setTimeout(() => end(session), limits.detachedMs);
  }));
  ws.on('error', () => {});
}
