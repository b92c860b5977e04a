// Installed applications by their desktop entries (the XDG application folders), found by id or
// name and started detached in the desktop session's environment. The command line comes from the
// entry's Exec key, split by its own quoting rules and never given to a shell.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { findExecutable } from './executables.js';
import { loginShell } from './login-shell.js';

const kMaxEntryBytes = 256 * 1024;
const kMaxEntries = 5000; // files read per search: a folder of millions must not hold the server
const kSpawnWaitMs = 5000;

export class ApplicationError extends Error {}

// The folders searched, most important first: $XDG_DATA_HOME, then each of $XDG_DATA_DIRS.
export function applicationDirs(env = process.env) {
  const home = env.HOME || os.homedir();
  const dataHome = env.XDG_DATA_HOME && path.isAbsolute(env.XDG_DATA_HOME) ? env.XDG_DATA_HOME : path.join(home, '.local/share');
  const dataDirs = (env.XDG_DATA_DIRS || '/usr/local/share:/usr/share').split(':').filter((d) => path.isAbsolute(d));
  return [...new Set([dataHome, ...dataDirs].map((d) => path.join(d, 'applications')))];
}

// A string value's escapes (\s \n \t \r \\); `\;` is kept for the list split.
function unescapeValue(value) {
  return value.replace(/\\([sntr\\;])/g, (match, c) => ({ s: ' ', n: '\n', t: '\t', r: '\r', '\\': '\\', ';': '\\;' })[c]);
}

// The [Desktop Entry] group as { key: value } (localised keys as "Name[de]"); null when the file has
// no such group.
export function parseDesktopEntry(text) {
  let group = null;
  let entry = null;
  for (const raw of text.split(/\r?\n/)) {
    const line = raw.trim();
    if (line === '' || line.startsWith('#')) continue;
    if (line.startsWith('[')) {
      group = line.endsWith(']') ? line.slice(1, -1) : null;
      if (group === 'Desktop Entry' && !entry) entry = {};
      continue;
    }
    if (group !== 'Desktop Entry') continue;
    const eq = line.indexOf('=');
    if (eq <= 0) continue;
    const key = line.slice(0, eq).trim();
    if (!(key in entry)) entry[key] = unescapeValue(line.slice(eq + 1).trim());
  }
  return entry;
}

const listOf = (value) => (value ? value.split(/(?<!\\);/).map((v) => v.replace(/\\;/g, ';').trim()).filter(Boolean) : []);
const isTrue = (value) => value === 'true';

// The Exec value (string escapes already undone) split into arguments: double quotes group, and
// inside them a backslash escapes " ` $ and \.
export function splitExec(exec) {
  const args = [];
  let current = null;
  for (let i = 0; i < exec.length; i += 1) {
    const c = exec[i];
    if (c === '"') {
      current ??= '';
      for (i += 1; i < exec.length && exec[i] !== '"'; i += 1) {
        if (exec[i] === '\\' && i + 1 < exec.length && '"`$\\'.includes(exec[i + 1])) i += 1;
        current += exec[i];
      }
      if (i >= exec.length) throw new ApplicationError('its Exec line has an unterminated quote');
    } else if (c === ' ' || c === '\t') {
      if (current !== null) args.push(current);
      current = null;
    } else {
      current = (current ?? '') + c;
    }
  }
  if (current !== null) args.push(current);
  return args;
}

// The command line of an entry for these files or URLs: field codes expanded as desktop entries
// define them (%f/%u one, %F/%U all, %i the icon, %c the name, %k the entry's file, %%;
// the deprecated ones dropped). Throws on an invalid field code.
export function execArguments(app, files = []) {
  if (!app.exec) throw new ApplicationError(`${app.id} has no Exec line`);
  let args;
  try {
    args = splitExec(app.exec);
  } catch (err) {
    throw new ApplicationError(`${app.id}: ${err.message}`);
  }
  const out = [];
  let usedFiles = false;
  for (const arg of args) {
    if (arg === '%F' || arg === '%U') {
      out.push(...files);
      usedFiles = true;
      continue;
    }
    if (arg === '%i') {
      if (app.icon) out.push('--icon', app.icon);
      continue;
    }
    let dropped = false;
    const expanded = arg.replace(/%(.?)/g, (match, code) => {
      switch (code) {
        case '%': return '%';
        case 'f':
        case 'u':
          usedFiles = true;
          if (files.length > 1) throw new ApplicationError(`${app.id} opens one file at a time`);
          if (files.length === 0 && arg.length === 2) dropped = true;
          return files[0] ?? '';
        case 'c': return app.name;
        case 'k': return app.file;
        case 'd': case 'D': case 'n': case 'N': case 'v': case 'm':
          if (arg.length === 2) dropped = true;
          return '';
        default:
          throw new ApplicationError(`${app.id} has an invalid field code "${match}" in its Exec line`);
      }
    });
    if (!dropped) out.push(expanded);
  }
  if (out.length === 0) throw new ApplicationError(`${app.id} has an empty Exec line`);
  if (files.length > 0 && !usedFiles) throw new ApplicationError(`${app.id} does not take files`);
  return out;
}

// Every *.desktop file under a folder, with its desktop file id (subfolders joined by "-").
function entryFiles(dir, prefix = '', found = [], depth = 0) {
  let items;
  try {
    items = fs.readdirSync(dir, { withFileTypes: true });
  } catch {
    return found;
  }
  for (const item of items.sort((a, b) => (a.name < b.name ? -1 : 1))) {
    if (found.length >= kMaxEntries) break;
    const file = path.join(dir, item.name);
    if (item.isDirectory() && depth < 8) entryFiles(file, `${prefix}${item.name}-`, found, depth + 1);
    else if (item.name.endsWith('.desktop') && (item.isFile() || item.isSymbolicLink())) found.push({ id: prefix + item.name, file });
  }
  return found;
}

function readEntry(file) {
  try {
    const fd = fs.openSync(file, 'r');
    try {
      const buffer = Buffer.alloc(kMaxEntryBytes);
      const size = fs.readSync(fd, buffer, 0, kMaxEntryBytes, 0);
      return parseDesktopEntry(buffer.subarray(0, size).toString('utf8'));
    } finally {
      fs.closeSync(fd);
    }
  } catch {
    return null;
  }
}

// The applications a user can start: the first entry of each id wins (a Hidden one hides the id
// from the folders after it), Type=Application only, TryExec present. NoDisplay ones are kept with
// `hidden` set: they start by their exact id but are not found by name.
export function installedApplications(env = process.env) {
  const seen = new Set();
  const apps = [];
  for (const dir of applicationDirs(env)) {
    for (const { id, file } of entryFiles(dir)) {
      if (seen.has(id)) continue;
      seen.add(id);
      const entry = readEntry(file);
      if (!entry || entry.Type !== 'Application' || isTrue(entry.Hidden)) continue;
      if (entry.TryExec && !findExecutable(entry.TryExec, env)) continue;
      const names = Object.entries(entry).filter(([k]) => k === 'Name' || k.startsWith('Name[')).map(([, v]) => v);
      apps.push({
        id,
        file,
        name: entry.Name || id.replace(/\.desktop$/, ''),
        names,
        genericName: entry.GenericName || '',
        keywords: listOf(entry.Keywords),
        exec: entry.Exec || '',
        icon: entry.Icon || '',
        path: entry.Path || '',
        terminal: isTrue(entry.Terminal),
        hidden: isTrue(entry.NoDisplay),
      });
    }
  }
  return apps;
}

// The one application `query` means: an id (".desktop" optional), else a name, case-insensitively;
// else the one whose name, generic name or keywords contain it. Throws with the candidates when
// none or several match.
export function findApplication(apps, query) {
  const q = String(query).trim().toLowerCase();
  if (!q) throw new ApplicationError('Give an application name or desktop entry id.');
  const byId = apps.find((a) => a.id.toLowerCase() === q || a.id.toLowerCase() === `${q}.desktop`);
  if (byId) return byId;
  const shown = apps.filter((a) => !a.hidden);
  const exact = shown.filter((a) => a.names.some((n) => n.toLowerCase() === q));
  if (exact.length === 1) return exact[0];
  const partial = exact.length > 1 ? exact : shown.filter((a) => [...a.names, a.genericName, ...a.keywords].some((n) => n.toLowerCase().includes(q)));
  if (partial.length === 1) return partial[0];
  const list = (some) => some.slice(0, 10).map((a) => `${a.name} (${a.id})`).join(', ');
  if (partial.length > 1) throw new ApplicationError(`"${query}" matches several applications: ${list(partial)}. Give one of the ids.`);
  throw new ApplicationError(`No installed application matches "${query}" (searched ${apps.length} desktop entries).`);
}

// Starts the application in a session of its own, detached from the server, with the desktop's
// environment (without the agent's own variables). Resolves { app, pid, argv } once it runs;
// rejects when the program cannot be started.
export async function launchApplication(app, { files = [], env = process.env } = {}) {
  for (const f of files) {
    if (!path.isAbsolute(f) && !/^[a-z][a-z0-9+.-]*:/i.test(f)) {
      throw new ApplicationError(`"${f}" is neither an absolute path nor a URL.`);
    }
  }
  let argv = execArguments(app, files);
  const shell = loginShell(env);
  if (app.terminal) {
    const terminal = findExecutable('x-terminal-emulator', shell.env) || findExecutable('xterm', shell.env);
    if (!terminal) throw new ApplicationError(`${app.name} runs in a terminal, and no terminal emulator (x-terminal-emulator, xterm) is installed.`);
    argv = [terminal, '-e', ...argv];
  }
  const program = findExecutable(argv[0], shell.env);
  if (!program) throw new ApplicationError(`${app.name} cannot start: its program "${argv[0]}" is not installed.`);
  const cwd = app.path && path.isAbsolute(app.path) && fs.existsSync(app.path) ? app.path : shell.cwd;
  return new Promise((resolve, reject) => {
    const child = spawn(program, argv.slice(1), { argv0: argv[0], cwd, env: shell.env, detached: true, stdio: 'ignore' });
    const timer = setTimeout(() => reject(new ApplicationError(`${app.name} did not start within ${kSpawnWaitMs / 1000} s.`)), kSpawnWaitMs);
    child.once('spawn', () => {
      clearTimeout(timer);
      child.unref();
      resolve({ app, pid: child.pid, argv });
    });
    child.once('error', (err) => {
      clearTimeout(timer);
      reject(new ApplicationError(`${app.name} cannot start: ${err.message}`));
    });
  });
}
