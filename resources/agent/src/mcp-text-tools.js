// The MCP tools of the keyboard (keys, combinations, typing), the clipboard and the shell.
import { z } from 'zod';
import { readText } from './clipboard.js';
import { isKeyName, kMaxTypeChars } from './input-rules.js';
import { done } from './mcp-context.js';

const kTypeChunk = 500; // characters of one type_text input request, the control service's most

function registerKeyTools(server, { input }) {
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
}

function registerTyping(server, { config, input, queued, clipboardTool, copy }) {
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
    description: "Runs one command in the user's login shell (non-interactive, no input, in the home directory) and returns its exit status with its output (stdout and stderr together; at most 32 KiB, the middle left out). The command and everything it started are killed at the time-out.",
    inputSchema: {
      command: z.string().min(1).max(10000).describe('Shell command line, e.g. "ls -la ~/Downloads".'),
      timeout_seconds: z.number().int().min(1).max(600).default(30).describe('Time-out in seconds, 1..600 (default 30).'),
    },
    annotations: { destructiveHint: true, openWorldHint: true },
  }, async ({ command, timeout_seconds: seconds }, extra) => {
    const result = await runCommand(command, { timeoutMs: seconds * 1000, signal: extra.signal });
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
