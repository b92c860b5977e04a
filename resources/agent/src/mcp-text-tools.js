// The MCP tools of the keyboard (keys, combinations, typing), the clipboard and the shell.
import { z } from 'zod';
import { readText } from './clipboard.js';
import { comboParts, keyPart, kMaxTypeChars } from './input-rules.js';
import { done, progressOf, waitSeconds } from './mcp-context.js';

// Characters of one type_text input request. At about 10 ms a character, a cancelled text stops
// within 100 ms, and other input (the phone's taps) waits no longer than that behind it.
export const kTypePiece = 10;
const kMaxHoldSeconds = 30;
const kCommandProgressMs = 5000;

// A key or combination as the key tools take it, for the key_combo action.
const keysArgument = z.string().min(1).max(100).superRefine((text, ctx) => {
  const { error } = comboParts(text);
  if (error) ctx.addIssue({ code: 'custom', message: `${error} See the tool's description for the names.` });
});

const kKeysHelp = 'Names are matched case-insensitively, as xdotool writes them or in short: Return/enter, Tab, space, '
  + 'BackSpace (deletes before the cursor), Delete/del (the forward Delete), Escape/esc, Left, Right, Up, Down, Home, End, '
  + 'Page_Up/Prior, Page_Down/Next, Insert, Menu, F1..F12, and the modifiers ctrl/Control_L, alt/Alt_L, super/Super_L, shift/Shift_L; '
  + 'a character is one key (a letter names its key: "ctrl+S" is Control with s; add shift for Shift), also by its keysym name '
  + '(minus, plus, comma, period, slash, ...). The plus key is written "ctrl++" or "ctrl+plus".';

// Runs the work with a hold on the key; the key goes up again however the work ends.
async function holdingKey(input, key, work) {
  await input({ action: 'key_down', key });
  try {
    return await work();
  } finally {
    await input({ action: 'key_up', key });
  }
}

function registerKeyTools(server, { input }) {
  const press = async (keys) => {
    await input({ action: 'key_combo', keys: comboParts(keys).parts });
    return done(`Pressed ${keys}.`);
  };
  server.registerTool('key_combo', {
    title: 'Press a key or a key combination',
    description: 'Presses a key or a key combination at the keyboard focus, e.g. "Return", "ctrl+s", "ctrl+shift+t", "alt+Tab", '
      + '"ctrl+alt+Delete", "super", "F5", "shift+End". Modifiers come first, joined by "+", are held down in that order and '
      + `released after the key. ${kKeysHelp} To enter text use type_text.`,
    inputSchema: { keys: keysArgument.describe('The key or combination, e.g. "ctrl+s" or "Return".') },
  }, ({ keys }) => press(keys));

  server.registerTool('press_key', {
    title: 'Press a key',
    description: `The same as key_combo, with the argument called "key": presses a key or combination at the keyboard focus. ${kKeysHelp}`,
    inputSchema: { key: keysArgument.describe('The key or combination, e.g. "Return" or "ctrl+s".') },
  }, ({ key }) => press(key));

  server.registerTool('hold_key', {
    title: 'Hold a key down',
    description: 'Holds one key down for a number of seconds, then releases it: to repeat a key, or to keep a modifier down while '
      + `other tool calls click or scroll. The key is released at the end, when the call is cancelled and when the session ends. ${kKeysHelp}`,
    inputSchema: {
      key: z.string().min(1).max(40).refine((text) => !keyPart(text).error, 'Unknown key; see the tool\'s description.').describe('One key, e.g. "shift" or "Right".'),
      seconds: z.number().min(0.1).max(kMaxHoldSeconds).describe(`How long to hold it, 0.1..${kMaxHoldSeconds} seconds.`),
    },
  }, async ({ key, seconds }, extra) => {
    const part = keyPart(key);
    const started = Date.now();
    await holdingKey(input, part.key ?? part.character, () => waitSeconds(seconds, extra).catch(() => {}));
    const held = extra.signal.aborted ? ` for ${((Date.now() - started) / 1000).toFixed(1)} s (cancelled)` : ` for ${seconds} s`;
    return done(`Held ${key}${held} and released it.`);
  });

  server.registerTool('paste', {
    title: 'Paste',
    description: 'Presses the paste shortcut (Ctrl+V), inserting what is already on the clipboard at the keyboard focus. To enter new text use type_text.',
    inputSchema: {},
  }, async () => {
    await input({ action: 'paste' });
    return done('Pasted the clipboard at the keyboard focus.');
  });
}

function registerTyping(server, { config, input, queued, clipboardTool, copy }) {
  server.registerTool('type_text', {
    title: 'Type text',
    description: `Types text at the keyboard focus as keystrokes, as a user typing on the keyboard (any language; a line break presses Return, a tab Tab), `
      + `so it works in terminals too and leaves the clipboard alone. Click the field first. At most ${kMaxTypeChars} characters, about 100 a second. `
      + 'It reports progress when given a progress token, and a cancelled call stops typing at once. '
      + 'With via "clipboard" the text is put on the clipboard and pasted with Ctrl+V instead: quicker for long texts, but not for terminals.',
    inputSchema: {
      text: z.string().min(1).max(kMaxTypeChars).describe('The text to enter.'),
      via: z.enum(['keys', 'clipboard']).default('keys').describe('"keys" (default) types keystrokes; "clipboard" pastes.'),
    },
  }, async ({ text, via }, extra) => {
    if (!config.inputUrl) throw new Error('The control service is not configured.');
    const { signal } = extra;
    const plural = (n) => `${n} character${n === 1 ? '' : 's'}`;
    if (via === 'clipboard') {
      const tool = clipboardTool();
      await queued(async () => (await copy(tool, text), input({ action: 'paste' })), signal);
      return done(`Typed ${plural(text.length)} through the clipboard.`);
    }
    // The control service takes CR LF as one Return; the pieces must not split the pair.
    const characters = [...text.replace(/\r\n?/g, '\n')];
    const control = characters.find((c) => /[\0-\x08\x0b-\x1f\x7f-\x9f]/.test(c));
    if (control) {
      const code = control.codePointAt(0).toString(16).toUpperCase().padStart(4, '0');
      throw new Error(`The text holds a control character that cannot be typed: U+${code}. Press keys with press_key or key_combo.`);
    }
    // The text goes in pieces, each its own request: the cancellation is checked between them,
    // and the control service takes other input in between.
    const progress = progressOf(extra);
    const { typed, skipped } = await queued(async () => {
      const sum = { typed: 0, skipped: 0 };
      for (let at = 0; at < characters.length; at += kTypePiece) {
        signal.throwIfAborted();
        const answer = await input({ action: 'type_text', text: characters.slice(at, at + kTypePiece).join('') });
        sum.typed += answer.typed ?? 0;
        sum.skipped += answer.skipped ?? 0;
        const sent = Math.min(at + kTypePiece, characters.length);
        progress(sent, characters.length, `Typed ${sent} of ${characters.length} characters.`);
      }
      return sum;
    }, signal);
    return done(`Typed ${plural(typed)} as keystrokes.${skipped ? ` Left out ${plural(skipped)} that this keyboard cannot make.` : ''}`);
  });
}

function registerClipboardTools(server, { queued, clipboardTool, copy }) {
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
}

function registerCommandTool(server, { runCommand }) {
  return server.registerTool('run_command', {
    title: 'Run a shell command',
    description: "Runs one command in the user's login shell (non-interactive, no input, in the home directory) and returns its exit status with its output (stdout and stderr together; at most 32 KiB, the middle left out). The command and everything it started are killed at the time-out or when the call is cancelled; progress is reported every few seconds when the client gave a progress token.",
    inputSchema: {
      command: z.string().min(1).max(10000).describe('Shell command line, e.g. "ls -la ~/Downloads".'),
      timeout_seconds: z.number().int().min(1).max(600).default(30).describe('Time-out in seconds, 1..600 (default 30).'),
    },
    annotations: { destructiveHint: true, openWorldHint: true },
  }, async ({ command, timeout_seconds: seconds }, extra) => {
    // Progress keeps a client that resets its time-out on progress waiting as long as the command runs.
    const progress = progressOf(extra);
    const started = Date.now();
    const ticker = setInterval(() => {
      const elapsed = Math.round((Date.now() - started) / 1000);
      progress(elapsed, seconds, `Running for ${elapsed} s.`);
    }, kCommandProgressMs);
    let result;
    try {
      result = await runCommand(command, { timeoutMs: seconds * 1000, signal: extra.signal });
    } finally {
      clearInterval(ticker);
    }
    const how = result.timedOut ? `Killed after the time-out of ${seconds} s.`
      : result.signal ? `Ended by signal ${result.signal}.` : `Exit status ${result.status}.`;
    return { content: [{ type: 'text', text: `${how}\n${result.output || '(no output)'}` }], isError: result.timedOut };
  });
}

export function registerTextTools(server, context) {
  registerKeyTools(server, context);
  registerTyping(server, context);
  registerClipboardTools(server, context);
  return { runCommand: context.config.enableTerminal ? registerCommandTool(server, context) : null };
}
