// The MCP endpoint (Streamable HTTP, official SDK): tools that see the screen and work the pointer
// and keyboard through the control service, as the phone does. Pointer tools take pixels of the
// session's last screenshot, so a model clicks what it sees.
import crypto from 'node:crypto';
import { McpServer } from '@modelcontextprotocol/sdk/server/mcp.js';
import { StreamableHTTPServerTransport } from '@modelcontextprotocol/sdk/server/streamableHttp.js';
import { isInitializeRequest } from '@modelcontextprotocol/sdk/types.js';
import { z } from 'zod';
import { copyText, findClipboardTool, readText } from './clipboard.js';
import { controlRequest, postInput, readAll } from './control.js';
import { inputTimeoutMs, isKeyName, kMaxTypeChars } from './input-rules.js';
import { readLimited } from './read-limited.js';
import { runShellCommand } from './shell-command.js';

export const kMcpDefaults = {
  maxSessions: 8, // at the cap, a new session ends the least recently used one
  idleMs: 30 * 60 * 1000,
  maxBody: 256 * 1024,
  maxCommands: 2, // run_command processes at a time, all sessions together
};
const kDefaultShotWidth = 1280; // what vision models take without scaling it down again
const kTypeChunk = 500; // characters of one type_text input request, the control service's most
const kMaxShotBytes = 32 << 20;

const kInstructions = `Operates the desktop of this computer. Call "screenshot" first: every x/y argument is a pixel \
of the most recent screenshot of this session (0,0 is its top-left corner), and the server maps it onto the screen. \
Take a new screenshot after anything that may change the screen, and before acting on it.`;

// Width and height from the first frame header; null when the bytes are not a JPEG image.
export function jpegSize(bytes) {
  if (bytes.length < 4 || bytes[0] !== 0xff || bytes[1] !== 0xd8) return null;
  let at = 2;
  while (at + 4 <= bytes.length) {
    if (bytes[at] !== 0xff) return null;
    const marker = bytes[at + 1];
    if (marker === 0xff) {
      at += 1; // fill byte
      continue;
    }
    if (marker === 0xd9 || marker === 0xda) return null; // end of image or scan data before a frame header
    const isFrame = marker >= 0xc0 && marker <= 0xcf && marker !== 0xc4 && marker !== 0xc8 && marker !== 0xcc;
    if (isFrame) {
      if (at + 9 > bytes.length) return null;
      const height = bytes.readUInt16BE(at + 5);
      const width = bytes.readUInt16BE(at + 7);
      return width > 0 && height > 0 ? { width, height } : null;
    }
    at += 2 + bytes.readUInt16BE(at + 2);
  }
  return null;
}

// The control service's own words, short enough for a model's context.
function controlMessage(status, body) {
  const text = body.toString('utf8').trim().slice(0, 500);
  return text ? `The control service answered ${status}: ${text}` : `The control service answered ${status}.`;
}

const done = (text) => ({ content: [{ type: 'text', text }] });

const pixel = (axis, what) => z.number().int().min(0).max(100000)
  .describe(`${axis} in pixels of the most recent screenshot (${axis === 'x' ? 'from its left edge' : 'from its top edge'})${what ? `: ${what}` : ''}.`);
const button = z.enum(['left', 'right']).default('left').describe('Mouse button, "left" unless given.');

// options: kMcpDefaults overrides, and now() for the idle clock.
export function createMcpService(config, { env = process.env, version = '0.0.0', options = {} } = {}) {
  const { now = Date.now, ...limits } = { ...kMcpDefaults, ...options };
  const sessions = new Map(); // session id -> { id, transport, server, lastUsed, shot }
  let typing = Promise.resolve(); // clipboard + paste pairs must not interleave
  let commands = 0;

  function drop(session) {
    if (sessions.get(session.id) === session) sessions.delete(session.id);
    session.server.close().catch(() => {});
  }

  function sweep() {
    const limit = now() - limits.idleMs;
    for (const session of sessions.values()) if (session.lastUsed < limit) drop(session);
  }
  const sweeper = setInterval(sweep, Math.min(limits.idleMs, 60000));
  sweeper.unref();

  // The control service's answer as an object.
  async function input(request) {
    const answer = await postInput(config.inputUrl, JSON.stringify(request), { timeoutMs: inputTimeoutMs(request) });
    if (answer.status !== 200) throw new Error(controlMessage(answer.status, answer.body));
    try {
      return JSON.parse(answer.body.toString('utf8'));
    } catch {
      return {};
    }
  }

  // One text at a time, so that two sessions' texts (or a text and a paste) never interleave.
  function queued(work) {
    const run = typing.then(work);
    typing = run.catch(() => {});
    return run;
  }

  function clipboardTool(read = false) {
    const tool = findClipboardTool({ helperBinDir: config.helperBinDir, env, read });
    if (!tool.file) throw new Error(tool.error);
    return tool;
  }

  async function copy(tool, text) {
    try {
      await copyText(tool, text);
    } catch (err) {
      throw new Error(`Clipboard: ${err.message}`);
    }
  }

  // A pixel of the last screenshot onto the control service's 0..1000 grid over the main display.
  function toGrid(session, x, y) {
    const { shot } = session;
    if (!shot) throw new Error('No screenshot yet in this session: call the "screenshot" tool first; x and y are pixels of that image.');
    if (x >= shot.width || y >= shot.height) {
      throw new Error(`(${x}, ${y}) lies outside the last screenshot, which is ${shot.width}x${shot.height}: x must be 0..${shot.width - 1}, y 0..${shot.height - 1}.`);
    }
    const grid = (value, size) => Math.round((value * 1000 * 1000) / size) / 1000;
    return [grid(x, shot.width), grid(y, shot.height)];
  }

  const at = (x, y) => `(${x}, ${y})`;

  function registerTools(server, session) {
    server.registerTool('screenshot', {
      title: 'Screenshot',
      description: 'Captures the main display as a JPEG image and returns it with its width and height in pixels. '
        + 'The x/y arguments of every pointer tool are pixels of the most recent screenshot, so call this before the first '
        + 'pointer action and again whenever the screen may have changed.',
      inputSchema: {
        width: z.number().int().min(320).max(2560).optional()
          .describe(`Width of the image in pixels (320..2560; default ${kDefaultShotWidth}). The height follows the display's aspect ratio; a display narrower than this is sent at its own width.`),
      },
      annotations: { readOnlyHint: true },
    }, async ({ width = kDefaultShotWidth }, extra) => {
      let url = config.screenshotUrl;
      try {
        const target = new URL(url);
        target.searchParams.set('format', 'jpeg');
        target.searchParams.set('width', String(width));
        url = target.href;
      } catch {
        // controlRequest reports the missing or bad address
      }
      const res = await controlRequest(url, { signal: extra.signal });
      const body = await readAll(res, kMaxShotBytes);
      if (res.statusCode !== 200) throw new Error(controlMessage(res.statusCode, body));
      const size = jpegSize(body);
      if (!size) throw new Error('The control service did not send a JPEG image.');
      session.shot = size;
      return {
        content: [
          { type: 'image', data: body.toString('base64'), mimeType: 'image/jpeg' },
          { type: 'text', text: `Screenshot of the main display: ${size.width}x${size.height} pixels. Pointer tools now take x 0..${size.width - 1}, y 0..${size.height - 1} of this image.` },
        ],
      };
    });

    server.registerTool('click', {
      title: 'Click',
      description: 'Moves the pointer to a pixel of the most recent screenshot and clicks there: one click of the left or right button, or a double click (left button).',
      inputSchema: {
        x: pixel('x', 'where to click'),
        y: pixel('y', 'where to click'),
        button,
        double: z.boolean().default(false).describe('true for a double click; left button only.'),
      },
    }, async ({ x, y, button: which, double }) => {
      if (double && which !== 'left') throw new Error('A double click is made with the left button only.');
      const action = double ? 'double_click' : `${which}_click`;
      await input({ action, coordinate: toGrid(session, x, y) });
      return done(`${double ? 'Double-clicked' : `Clicked the ${which} button`} at ${at(x, y)} of the screenshot.`);
    });

    server.registerTool('move_pointer', {
      title: 'Move pointer',
      description: 'Moves the pointer to a pixel of the most recent screenshot, for hovering. With "holding", '
        + 'sends a move with that button held down: the middle steps of a drag started with button_down.',
      inputSchema: {
        x: pixel('x'),
        y: pixel('y'),
        holding: z.enum(['left', 'right']).optional().describe('The button held down since button_down, if any.'),
      },
    }, async ({ x, y, holding }) => {
      await input({ action: holding ? `${holding}_drag` : 'move', coordinate: toGrid(session, x, y) });
      return done(`Moved the pointer to ${at(x, y)} of the screenshot${holding ? ` with the ${holding} button held` : ''}.`);
    });

    server.registerTool('drag', {
      title: 'Drag',
      description: 'Drags with the left button from one pixel of the most recent screenshot to another: press at the start, move in small steps, release at the end. For moving windows and items, selecting text, sliders.',
      inputSchema: {
        start_x: pixel('x', 'where the drag starts'),
        start_y: pixel('y', 'where the drag starts'),
        end_x: pixel('x', 'where the drag ends'),
        end_y: pixel('y', 'where the drag ends'),
      },
    }, async ({ start_x: sx, start_y: sy, end_x: ex, end_y: ey }) => {
      await input({ action: 'drag', from: toGrid(session, sx, sy), to: toGrid(session, ex, ey) });
      return done(`Dragged from ${at(sx, sy)} to ${at(ex, ey)} of the screenshot.`);
    });

    for (const [name, state, verb] of [['button_down', 'down', 'Pressed'], ['button_up', 'up', 'Released']]) {
      server.registerTool(name, {
        title: name === 'button_down' ? 'Press and hold a button' : 'Release a button',
        description: name === 'button_down'
          ? 'Moves the pointer to a pixel of the most recent screenshot and presses a mouse button without releasing it. Follow with move_pointer (holding) and button_up; for a simple drag use the drag tool.'
          : 'Moves the pointer to a pixel of the most recent screenshot and releases a mouse button pressed with button_down.',
        inputSchema: { x: pixel('x'), y: pixel('y'), button },
      }, async ({ x, y, button: which }) => {
        await input({ action: `${which}_${state}`, coordinate: toGrid(session, x, y) });
        return done(`${verb} the ${which} button at ${at(x, y)} of the screenshot.`);
      });
    }

    server.registerTool('scroll', {
      title: 'Scroll',
      description: 'Scrolls the content under the pointer up or down. Give x and y to move the pointer there first (pixels of the most recent screenshot); without them it scrolls where the pointer is.',
      inputSchema: {
        direction: z.enum(['up', 'down']).describe('"up" shows content above, "down" content below.'),
        amount: z.number().int().min(1).max(20).default(3).describe('Wheel steps, 1..20 (default 3).'),
        x: pixel('x', 'where to scroll').optional(),
        y: pixel('y', 'where to scroll').optional(),
      },
    }, async ({ direction, amount, x, y }) => {
      if ((x === undefined) !== (y === undefined)) throw new Error('Give both x and y, or neither.');
      if (x !== undefined) await input({ action: 'move', coordinate: toGrid(session, x, y) });
      await input({ action: 'scroll', direction, amount });
      return done(`Scrolled ${direction} by ${amount} step${amount === 1 ? '' : 's'}${x === undefined ? '' : ` at ${at(x, y)} of the screenshot`}.`);
    });

    server.registerTool('press_key', {
      title: 'Press a key',
      description: 'Presses and releases one named key at the keyboard focus: return/enter, tab, space, backspace (deletes '
        + 'before the cursor), delete/del (the forward Delete), escape/esc, left, right, up, down, home, end, page_up, page_down, '
        + 'insert, menu, f1..f12, or a modifier (ctrl, alt, super, shift) alone. Names are matched case-insensitively, so '
        + 'xdotool\'s Return, BackSpace and Page_Down work too. To enter text use type_text; for combinations key_combo.',
      inputSchema: { key: z.string().refine(isKeyName, 'Unknown key name; see the tool\'s description.').describe('The key name.') },
    }, async ({ key }) => {
      await input({ action: 'key', key });
      return done(`Pressed ${key}.`);
    });

    server.registerTool('key_combo', {
      title: 'Press a key combination',
      description: 'Presses a key or a key combination at the keyboard focus, e.g. "ctrl+s", "ctrl+shift+t", "alt+tab", "ctrl+alt+delete", '
        + '"super", "f5", "shift+end". Modifiers (ctrl, alt, super, shift) come first, joined by "+", are held down in that order '
        + 'and released after the key. The key is one character (a letter names its key: "ctrl+S" is Control with s; add shift '
        + 'for Shift) or a name: return/enter, tab, space, backspace, delete (the forward Delete), escape/esc, left, right, up, '
        + 'down, home, end, page_up, page_down, insert, menu, f1..f12, or a modifier alone. The plus key is written "ctrl++".',
      inputSchema: { keys: z.string().min(1).max(100).describe('The combination, e.g. "ctrl+s".') },
    }, async ({ keys }) => {
      await input({ action: 'key_combo', keys });
      return done(`Pressed ${keys}.`);
    });

    server.registerTool('paste', {
      title: 'Paste',
      description: 'Presses the paste shortcut (Ctrl+V), inserting what is already on the clipboard at the keyboard focus. To enter new text use type_text.',
      inputSchema: {},
    }, async () => {
      await input({ action: 'paste' });
      return done('Pasted the clipboard at the keyboard focus.');
    });

    server.registerTool('type_text', {
      title: 'Type text',
      description: `Types text at the keyboard focus as keystrokes, as a user typing on the keyboard (any language; a line break presses Return, a tab Tab), `
        + `so it works in terminals too and leaves the clipboard alone. Click the field first. At most ${kMaxTypeChars} characters, about 100 a second. `
        + 'With via "clipboard" the text is put on the clipboard and pasted with Ctrl+V instead: quicker for long texts, but not for terminals.',
      inputSchema: {
        text: z.string().min(1).max(kMaxTypeChars).describe('The text to enter.'),
        via: z.enum(['keys', 'clipboard']).default('keys').describe('"keys" (default) types keystrokes; "clipboard" pastes.'),
      },
    }, async ({ text, via }) => {
      if (!config.inputUrl) throw new Error('The control service is not configured.');
      const plural = (n) => `${n} character${n === 1 ? '' : 's'}`;
      if (via === 'clipboard') {
        const tool = clipboardTool();
        await queued(async () => (await copy(tool, text), input({ action: 'paste' })));
        return done(`Typed ${plural(text.length)} through the clipboard.`);
      }
      // The control service takes CR LF as one Return; the pieces must not split the pair.
      const characters = [...text.replace(/\r\n?/g, '\n')];
      const control = characters.find((c) => /[\0-\x08\x0b-\x1f\x7f-\x9f]/.test(c));
      if (control) {
        const code = control.codePointAt(0).toString(16).toUpperCase().padStart(4, '0');
        throw new Error(`The text holds a control character that cannot be typed: U+${code}. Press keys with press_key or key_combo.`);
      }
      const { typed, skipped } = await queued(async () => {
        const sum = { typed: 0, skipped: 0 };
        for (let at = 0; at < characters.length; at += kTypeChunk) {
          const answer = await input({ action: 'type_text', text: characters.slice(at, at + kTypeChunk).join('') });
          sum.typed += answer.typed ?? 0;
          sum.skipped += answer.skipped ?? 0;
        }
        return sum;
      });
      return done(`Typed ${plural(typed)} as keystrokes.${skipped ? ` Left out ${plural(skipped)} that this keyboard cannot make.` : ''}`);
    });

    server.registerTool('read_clipboard', {
      title: 'Read the clipboard',
      description: "Returns the text on the desktop's clipboard (what was copied last), or says that it holds no text.",
      inputSchema: {},
      annotations: { readOnlyHint: true },
    }, async () => {
      const text = await readText(clipboardTool(true)).catch((err) => {
        throw new Error(`Clipboard: ${err.message}`);
      });
      return done(text ?? 'The clipboard holds no text.');
    });

    server.registerTool('write_clipboard', {
      title: 'Put text on the clipboard',
      description: "Puts text on the desktop's clipboard, replacing what was there, for the user or a later paste.",
      inputSchema: { text: z.string().min(1).max(kMaxTypeChars).describe('The text.') },
    }, async ({ text }) => {
      const tool = clipboardTool();
      await queued(() => copy(tool, text));
      return done(`Put ${text.length} character${text.length === 1 ? '' : 's'} on the clipboard.`);
    });

    if (!config.enableTerminal) return;
    server.registerTool('run_command', {
      title: 'Run a shell command',
      description: "Runs one command in the user's login shell (non-interactive, no input, in the home directory) and returns its exit status with its output (stdout and stderr together; at most 32 KiB, the middle left out). The command and everything it started are killed at the time-out.",
      inputSchema: {
        command: z.string().min(1).max(10000).describe('Shell command line, e.g. "ls -la ~/Downloads".'),
        timeout_seconds: z.number().int().min(1).max(600).default(30).describe('Time-out in seconds, 1..600 (default 30).'),
      },
      annotations: { destructiveHint: true, openWorldHint: true },
    }, async ({ command, timeout_seconds: seconds }, extra) => {
      if (commands >= limits.maxCommands) throw new Error(`${limits.maxCommands} commands are running already; try again when one has finished.`);
      commands += 1;
      try {
        const result = await runShellCommand(command, { timeoutMs: seconds * 1000, env, signal: extra.signal });
        const how = result.timedOut ? `Killed after the time-out of ${seconds} s.`
          : result.signal ? `Ended by signal ${result.signal}.` : `Exit status ${result.status}.`;
        return { content: [{ type: 'text', text: `${how}\n${result.output || '(no output)'}` }], isError: result.timedOut };
      } finally {
        commands -= 1;
      }
    });
  }

  async function open() {
    const session = { id: null, lastUsed: now(), shot: null };
    session.server = new McpServer({ name: 'zel-desktop-agent', version }, { instructions: kInstructions });
    registerTools(session.server, session);
    session.transport = new StreamableHTTPServerTransport({
      sessionIdGenerator: () => crypto.randomUUID(),
      onsessioninitialized: (id) => {
        session.id = id;
        if (sessions.size >= limits.maxSessions) {
          drop([...sessions.values()].reduce((a, b) => (b.lastUsed < a.lastUsed ? b : a)));
        }
        sessions.set(id, session);
      },
    });
    session.transport.onclose = () => {
      if (sessions.get(session.id) === session) sessions.delete(session.id);
    };
    await session.server.connect(session.transport);
    return session;
  }

  function rpcError(res, status, code, message, headers = {}) {
    const body = JSON.stringify({ jsonrpc: '2.0', error: { code, message }, id: null });
    res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body), 'Cache-Control': 'no-store', ...headers });
    res.end(body);
  }

  // undefined when an error has been answered already.
  async function readMessage(req, res) {
    let body;
    try {
      if (Number(req.headers['content-length']) > limits.maxBody) throw Object.assign(new Error(), { tooLarge: true });
      body = await readLimited(req, limits.maxBody, {
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
      rpcError(res, 413, -32600, `The request body is larger than ${limits.maxBody} bytes.`, { Connection: 'close' });
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

  return {
    // Called after the bearer token has been checked.
    async handle(req, res) {
      sweep();
      let message;
      if (req.method === 'POST') {
        message = await readMessage(req, res);
        if (message === undefined) return;
      }
      const id = req.headers['mcp-session-id'];
      if (id !== undefined) {
        const session = sessions.get(id);
        if (!session) {
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
      const session = await open();
      await session.transport.handleRequest(req, res, message);
      if (!session.id) await session.server.close(); // the initialize failed: nothing to keep
    },

    async close() {
      clearInterval(sweeper);
      await Promise.allSettled([...sessions.values()].map((s) => s.server.close()));
      sessions.clear();
    },
  };
}
