// Puts text on the desktop's clipboard with the platform's own tool, so that a paste can insert it.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const kTools = {
  darwin: [{ name: 'pbcopy', args: [] }],
  wayland: [{ name: 'wl-copy', args: [] }],
  x11: [
    { name: 'xclip', args: ['-selection', 'clipboard', '-in'] },
    { name: 'xsel', args: ['--clipboard', '--input'] },
  ],
};

function isExecutable(file) {
  try {
    fs.accessSync(file, fs.constants.X_OK);
    return fs.statSync(file).isFile();
  } catch {
    return false;
  }
}

function homeOf(env) {
  try {
    return env.HOME || os.userInfo().homedir;
  } catch {
    return '';
  }
}

// The app passes its DISPLAY on; only a server started by hand may lack it. Then the X server is
// found by its socket: the lowest-numbered local display is the desktop session in practice (test
// servers such as Xvfb take higher numbers).
export function findDisplay(env, socketDir = '/tmp/.X11-unix') {
  if (env.DISPLAY) return env.DISPLAY;
  let names = [];
  try {
    names = fs.readdirSync(socketDir);
  } catch {
    return '';
  }
  const numbers = names.map((n) => /^X(\d+)$/.exec(n)).filter(Boolean).map((m) => Number(m[1]));
  return numbers.length ? `:${Math.min(...numbers)}` : '';
}

// Environment for the clipboard tool: where the session lives, nothing else of ours.
export function sessionEnv(env, platform = process.platform) {
  const out = { PATH: env.PATH || '/usr/bin:/bin' };
  const home = homeOf(env);
  if (home) out.HOME = home;
  if (platform === 'darwin') return out;
  const runtimeDir = env.XDG_RUNTIME_DIR || `/run/user/${process.getuid?.() ?? 0}`;
  const wayland = env.WAYLAND_DISPLAY || (fs.existsSync(path.join(runtimeDir, 'wayland-0')) ? 'wayland-0' : '');
  if (wayland) {
    out.WAYLAND_DISPLAY = wayland;
    out.XDG_RUNTIME_DIR = runtimeDir;
  }
  const display = findDisplay(env);
  if (display) out.DISPLAY = display;
  const xauthority = env.XAUTHORITY || (home && path.join(home, '.Xauthority'));
  if (xauthority && fs.existsSync(xauthority)) out.XAUTHORITY = xauthority;
  return out;
}

// First tool found in the helper directory, then along PATH.
export function findClipboardTool({ helperBinDir = '', env = process.env, platform = process.platform } = {}) {
  const session = sessionEnv(env, platform);
  let kinds;
  if (platform === 'darwin') kinds = ['darwin'];
  else if (session.WAYLAND_DISPLAY) kinds = session.DISPLAY ? ['wayland', 'x11'] : ['wayland'];
  else if (session.DISPLAY) kinds = ['x11'];
  else return { error: 'No desktop display was found for the clipboard.' };
  const dirs = [helperBinDir, ...(env.PATH || '').split(':')].filter((d) => d && path.isAbsolute(d));
  for (const kind of kinds) {
    for (const tool of kTools[kind]) {
      for (const dir of dirs) {
        const file = path.join(dir, tool.name);
        if (isExecutable(file)) return { file, name: tool.name, args: tool.args, env: session };
      }
    }
  }
  const names = kinds.flatMap((k) => kTools[k].map((t) => t.name)).join(', ');
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
