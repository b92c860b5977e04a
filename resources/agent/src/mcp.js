// The MCP endpoint (Streamable HTTP, official SDK): sessions, their transport and the HTTP around
// it. The tools, which see the screen and work the pointer and keyboard through the control service
// as the phone does, are mcp-tools.js.
import crypto from 'node:crypto';
import { McpServer } from '@modelcontextprotocol/sdk/server/mcp.js';
import { StreamableHTTPServerTransport } from '@modelcontextprotocol/sdk/server/streamableHttp.js';
import { isInitializeRequest } from '@modelcontextprotocol/sdk/types.js';
import { registerAccessibilityTools } from './mcp-accessibility-tools.js';
import { createToolContext, strictTools } from './mcp-context.js';
import { registerDesktopTools } from './mcp-desktop-tools.js';
import { registerTools } from './mcp-tools.js';
import { readLimited } from './read-limited.js';

const kMcpDefaults = {
  maxSessions: 8, // at the cap, a new session ends the least recently used one
  idleMs: 30 * 60 * 1000,
  maxBody: 256 * 1024,
  maxCommands: 2, // run_command processes at a time, all sessions together
};

const kInstructions = `Operates the desktop of this computer. Call "screenshot" first: every x/y argument is a pixel \
of the most recent screenshot of this session (0,0 is its top-left corner), and the server maps it onto the screen; \
before any screenshot, and with screenshot_width, a pixel of a screenshot of that width (default 1280). \
Take a new screenshot after anything that may change the screen, and before acting on it. \
Long calls (type_text, run_command, wait) report progress when given a progress token and stop when cancelled.`;

function rpcError(res, status, code, message, headers = {}) {
  const body = JSON.stringify({ jsonrpc: '2.0', error: { code, message }, id: null });
  res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body), 'Cache-Control': 'no-store', ...headers });
  res.end(body);
}

// The JSON-RPC message of a POST; undefined when an error has been answered already.
async function readMessage(req, res, maxBody) {
  let body;
  try {
    if (Number(req.headers['content-length']) > maxBody) throw Object.assign(new Error(), { tooLarge: true });
    body = await readLimited(req, maxBody, {
      tooLarge: () => Object.assign(new Error(), { tooLarge: true }),
      brokenOff: (err) => err,
      onExcess: (stream) => stream.pause(),
    });
  } catch (err) {
    if (!err.tooLarge) {
      res.destroy();
      return undefined;
    }
    // The rest of the body is not read: answer, then close the connection.
    rpcError(res, 413, -32600, `The request body is larger than ${maxBody} bytes.`, { Connection: 'close' });
    res.on('finish', () => req.destroy());
    return undefined;
  }
  try {
    return JSON.parse(body.toString('utf8'));
  } catch {
    rpcError(res, 400, -32700, 'Parse error: the request body is not valid JSON.');
    return undefined;
  }
}

// options: kMcpDefaults overrides, and now() for the idle clock.
// devices: the DeviceRegistry; each session is its device's, and run_command follows the owner's
// terminal switch (disabled tools leave the list, and clients are told that it changed).
export function createMcpService(config, { env = process.env, devices, version = '0.0.0', options = {} } = {}) {
  const { now = Date.now, ...limits } = { ...kMcpDefaults, ...options };
  const sessions = new Map(); // session id -> { id, transport, server, lastUsed, shot }
  const context = createToolContext(config, { env, maxCommands: limits.maxCommands });

  function drop(session) {
    if (sessions.get(session.id) === session) sessions.delete(session.id);
    session.untrack?.();
    session.server.close().catch(() => {});
  }

  const commandsAllowed = () => devices.settings.terminal;
  const switched = () => {
    for (const { tools } of sessions.values()) tools.runCommand?.[commandsAllowed() ? 'enable' : 'disable']();
  };
  devices.on('settings', switched);

  function sweep() {
    const limit = now() - limits.idleMs;
    for (const session of sessions.values()) if (session.lastUsed < limit) drop(session);
  }
  const sweeper = setInterval(sweep, Math.min(limits.idleMs, 60000));
  sweeper.unref();

  async function open(device) {
    const session = { id: null, device, lastUsed: now(), shot: null, untrack: null };
    session.server = strictTools(new McpServer({ name: 'zel-desktop-agent', version }, { instructions: kInstructions }));
    session.tools = registerTools(session.server, context, session);
    registerAccessibilityTools(session.server, context, session);
    registerDesktopTools(session.server, { config, env }, session);
    if (!commandsAllowed()) session.tools.runCommand?.disable();
    session.transport = new StreamableHTTPServerTransport({
      sessionIdGenerator: () => crypto.randomUUID(),
      onsessioninitialized: (id) => {
        session.id = id;
        if (sessions.size >= limits.maxSessions) {
          drop([...sessions.values()].reduce((a, b) => (b.lastUsed < a.lastUsed ? b : a)));
        }
        sessions.set(id, session);
        session.untrack = devices.track(device, 'mcp', () => drop(session));
      },
    });
    session.transport.onclose = () => {
      if (sessions.get(session.id) === session) sessions.delete(session.id);
      session.untrack?.();
    };
    await session.server.connect(session.transport);
    return session;
  }

  return {
    // Called after the bearer has been checked: device is whose it is.
    async handle(req, res, device) {
      sweep();
      let message;
      if (req.method === 'POST') {
        message = await readMessage(req, res, limits.maxBody);
        if (message === undefined) return;
      }
      const id = req.headers['mcp-session-id'];
      if (id !== undefined) {
        const session = sessions.get(id);
        if (!session || session.device !== device) {
          rpcError(res, 404, -32001, 'Session not found (ended, idle for too long, or replaced); start a new one with initialize.');
          return;
        }
        // An open event stream (GET) alone is no sign of use: it stays open while a client is gone.
        if (req.method !== 'GET') session.lastUsed = now();
        await session.transport.handleRequest(req, res, message);
        return;
      }
      if (req.method !== 'POST' || !isInitializeRequest(message)) {
        rpcError(res, 400, -32000, 'Bad request: without an Mcp-Session-Id header only an initialize request is accepted.');
        return;
      }
      devices.nameMcpClient(device, message.params?.clientInfo?.name);
      const session = await open(device);
      await session.transport.handleRequest(req, res, message);
      if (!session.id) await session.server.close(); // the initialize failed: nothing to keep
    },

    async close() {
      clearInterval(sweeper);
      devices.off('settings', switched);
      await Promise.allSettled([...sessions.values()].map((s) => s.server.close()));
      sessions.clear();
    },
  };
}
