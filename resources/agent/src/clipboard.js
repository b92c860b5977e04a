// The desktop's clipboard through the platform's own tools: text put on it (for a paste) and read
// from it (for the phone).
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { isExecutable } from './executables.js';

const kTools = {
  darwin: [{ name: 'pbcopy', args: [] }],
  wayland: [{ name: 'wl-copy', args: [] }],
  x11: [
    { name: 'xclip', args: ['-selection', 'clipboard', '-in'] },
    { name: 'xsel', args: ['--clipboard', '--input'] },
  ],
};

// Readers ask for UTF-8 text; an empty clipboard, or one holding no text, is an error of theirs.
const kReaders = {
  darwin: [{ name: 'pbpaste', args: [] }],
  wayland: [{ name: 'wl-paste', args: ['--no-newline', '--type', 'text'] }],
  x11: [
    { name: 'xclip', args: ['-selection', 'clipboard', '-out', '-target', 'UTF8_STRING'] },
    { name: 'xsel', args: ['--clipboard', '--output'] },
  ],
};
const kNoText = /target \S+ not available|No selection|not available as requested type|Nothing is copied/i;

function homeOf(env) {
  try {
    return env.HOME || os.userInfo().homedir;
  } catch {
    return '';
  }
}

// Environment for the clipboard tool: the app's own session (it passes its environment on),
// nothing else of ours. Wayland where WAYLAND_DISPLAY is set, X11 (XWayland too) where DISPLAY is;
// neither is guessed from sockets, which may be another display's.
function sessionEnv(env, platform = process.platform) {
  const out = { PATH: env.PATH || '/usr/bin:/bin' };
  const home = homeOf(env);
  if (home) out.HOME = home;
  if (platform === 'darwin') return out;
  if (env.WAYLAND_DISPLAY) {
    out.WAYLAND_DISPLAY = env.WAYLAND_DISPLAY;
    out.XDG_RUNTIME_DIR = env.XDG_RUNTIME_DIR || `/run/user/${process.getuid?.() ?? 0}`;
  }
  if (env.DISPLAY) {
    out.DISPLAY = env.DISPLAY;
    const xauthority = env.XAUTHORITY || (home && path.join(home, '.Xauthority'));
    if (xauthority && fs.existsSync(xauthority)) out.XAUTHORITY = xauthority;
  }
  return out;
}

// First tool found in the helper directory, then along PATH; `read` looks for a reader.
export function findClipboardTool({ helperBinDir = '', env = process.env, platform = process.platform, read = false } = {}) {
  const tools = read ? kReaders : kTools;
  const session = sessionEnv(env, platform);
  let kinds;
  if (platform === 'darwin') kinds = ['darwin'];
  else if (session.WAYLAND_DISPLAY) kinds = session.DISPLAY ? ['wayland', 'x11'] : ['wayland'];
  else if (session.DISPLAY) kinds = ['x11'];
  else return { error: 'No desktop display was found for the clipboard.' };
  const dirs = [helperBinDir, ...(env.PATH || '').split(':')].filter((d) => d && path.isAbsolute(d));
  for (const kind of kinds) {
    for (const tool of tools[kind]) {
      for (const dir of dirs) {
        const file = path.join(dir, tool.name);
        if (isExecutable(file)) return { file, name: tool.name, args: tool.args, env: session };
      }
    }
  }
  const names = kinds.flatMap((k) => tools[k].map((t) => t.name)).join(', ');
  return { error: `No clipboard tool was found (looked for ${names}).` };
}

// The X11 and Wayland tools fork a child that keeps serving the selection, so the tool's own exit
// (not the end of its output streams, which the child holds) marks success.
export function copyText(tool, text, timeoutMs = 5000) {
  return new Promise((resolve, reject) => {
    const child = spawn(tool.file, tool.args, { env: tool.env, stdio: ['pipe', 'ignore', 'pipe'], detached: false });
    let stderr = '';
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`${tool.name} did not finish within ${timeoutMs / 1000} s.`));
    }, timeoutMs);
    child.stderr.on('data', (d) => {
      if (stderr.length < 2000) stderr += d;
    });
    child.stderr.on('error', () => {});
    child.stdin.on('error', () => {}); // a tool that exits early reports through its status
    child.on('error', (err) => {
      clearTimeout(timer);
      reject(new Error(`${tool.name} could not be started: ${err.message}`));
    });
    child.on('exit', (code, signal) => {
      clearTimeout(timer);
      child.stderr.destroy();
      if (code === 0) resolve();
      else {
        const detail = stderr.trim().slice(0, 300) || (signal ? `signal ${signal}` : `exit status ${code}`);
        reject(new Error(`${tool.name} failed: ${detail}`));
      }
    });
    child.stdin.end(text);
  });
}

// The clipboard's text, or null when it holds none (empty, or only an image, say). Rejects when the
// tool fails otherwise, takes longer than the time-out or gives more than `limit` bytes.
export function readText(tool, { timeoutMs = 5000, limit = 4 << 20 } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(tool.file, tool.args, { env: tool.env, stdio: ['ignore', 'pipe', 'pipe'] });
    const chunks = [];
    let bytes = 0;
    let stderr = '';
    let failure = null;
    const fail = (message) => {
      failure ??= new Error(message);
      child.kill('SIGKILL');
    };
    const timer = setTimeout(() => fail(`${tool.name} did not finish within ${timeoutMs / 1000} s.`), timeoutMs);
    child.stdout.on('data', (d) => {
      bytes += d.length;
      if (bytes > limit) fail(`The clipboard holds more than ${limit >> 20} MiB of text.`);
      else chunks.push(d);
    });
    child.stderr.on('data', (d) => {
      if (stderr.length < 2000) stderr += d;
    });
    child.on('error', (err) => {
      clearTimeout(timer);
      reject(new Error(`${tool.name} could not be started: ${err.message}`));
    });
    // 'close', not 'exit': the output must be read to its end.
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      if (failure) reject(failure);
      else if (code === 0) resolve(bytes > 0 ? Buffer.concat(chunks).toString('utf8') : null);
      else if (kNoText.test(stderr)) resolve(null);
      else {
        const detail = stderr.trim().slice(0, 300) || (signal ? `signal ${signal}` : `exit status ${code}`);
        reject(new Error(`${tool.name} failed: ${detail}`));
      }
    });
  });
}
