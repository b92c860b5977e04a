// The terminal tab: a login shell in a pseudo-terminal, spoken to over a WebSocket.
// Client frames are JSON: {"type":"input","data":"..."} or {"type":"resize","cols":N,"rows":N};
// server frames are the shell's output as text. A client that asks for a session (?session=new,
// or the id it was given) gets {"type":"session","id":…,"resumed":…} first; its shell then
// outlives a dropped socket for a while, and a client that comes back with the id gets it again
// with the output it missed.
//
// Here: the sessions, their limits and the liveness pings; one session's shell and socket are
// terminal-session.js.
import { WebSocketServer } from 'ws';
import { attachSocket, hangUp, startSession } from './terminal-session.js';

const kMaxSessions = 4;
const kTerminalDefaults = {
  detachedMs: 5 * 60 * 1000, // how long a shell waits for its client to come back
  scrollback: 256 * 1024, // characters of recent output replayed to a client that comes back
  pingMs: 15000, // a socket that has not answered the last ping by the next is dropped
};

export async function createTerminalService({ env = process.env, log = () => {}, options = {} } = {}) {
  const limits = { ...kTerminalDefaults, ...options };
  const pty = await import('node-pty');
  const wss = new WebSocketServer({ noServer: true, maxPayload: 64 * 1024 });
  const sessions = new Map(); // id -> session; only resumable ones are found by their id
  let stopping = false;
  const context = { pty, env, log, limits, sessions, end, stopping: () => stopping };

  function end(session) {
    sessions.delete(session.id);
    clearTimeout(session.detachTimer);
    return hangUp(session.term, session.exited);
  }

  // A device resumes only the shells it started.
  function find(id, owner) {
    const session = id ? sessions.get(id) : undefined;
    return session?.resumable && session.owner === owner ? session : undefined;
  }

  // A dropped connection often goes unnoticed by TCP for many minutes: one that neither answers
  // a ping nor takes output until the next is closed, so its shell waits for the client to come
  // back. (On a slow link the ping waits behind the output; output flowing is a sign of life.)
  // A socket paused for a busy shell's input reads no pongs and is left alone, and so is one
  // without a session, whose shell would go with it.
  const pinger = setInterval(() => {
    for (const session of sessions.values()) {
      const { ws } = session;
      if (!session.resumable || !ws || ws.readyState !== ws.OPEN || ws.inputPaused?.()) continue;
      const flowing = ws.bufferedAmount > 0 && ws.bufferedAmount < (ws.lastBuffered ?? 0);
      if (!ws.alive && !flowing) {
        ws.terminate();
        continue;
      }
      ws.alive = false;
      ws.lastBuffered = ws.bufferedAmount;
      ws.ping();
    }
  }, limits.pingMs);
  pinger.unref();

  return {
    // Whether a connection asking for this session (null: none, "new", or an id) can be taken.
    busy(sessionParam = null, owner = null) {
      if (find(sessionParam, owner) || sessions.size < kMaxSessions) return false;
      return ![...sessions.values()].some((s) => !s.ws);
    },
    // owner: the device whose shell it is.
    handleUpgrade(req, socket, head, sessionParam = null, owner = null) {
      wss.handleUpgrade(req, socket, head, (ws) => {
        let session = find(sessionParam, owner);
        const resumed = Boolean(session);
        if (!session) {
          // At the cap, the shell that has waited longest for its client gives way.
          const waiting = [...sessions.values()].filter((s) => !s.ws).sort((a, b) => a.detachedAt - b.detachedAt);
          if (sessions.size >= kMaxSessions && waiting.length > 0) end(waiting[0]);
          try {
            session = startSession(context, sessionParam !== null);
            session.owner = owner;
          } catch (err) {
            ws.close(1011, `shell failed: ${err.message}`.slice(0, 120));
            return;
          }
        }
        attachSocket(context, session, ws, resumed);
      });
    },
    // Ends the shells of a device (null: every shell), waiting for their client or not.
    endOwned(owner = null) {
      for (const session of [...sessions.values()]) {
        if (owner !== null && session.owner !== owner) continue;
        const { ws } = session;
        if (ws && ws.readyState === ws.OPEN) ws.close(1000, 'closed on the desktop');
        end(session);
      }
    },
    // Resolves when every shell has ended, at the latest after the kill grace.
    close() {
      stopping = true;
      clearInterval(pinger);
      for (const ws of wss.clients) ws.close(1001, 'server stopping');
      const ending = [...sessions.values()].map((session) => end(session));
      wss.close();
      return Promise.all(ending);
    },
  };
}
