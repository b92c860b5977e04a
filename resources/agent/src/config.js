// Settings of the agent server: the access token and what the app hands over in the environment.
// The token query of the app prints loadConfig().token, so nothing here may write to stdout or stderr.
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { stateDir } from './device-store.js';

const kAppDirName = 'zel-desktop-agent';
const kFileName = 'agent.json';
const kTokenPattern = /^[A-Za-z0-9_-]{43}$/;

// The app passes its own environment on, but HOME and XDG_CONFIG_HOME may still be missing (a
// service manager's start), so the passwd entry is the last resort for the home directory.
export function configDir(env = process.env, homedir = () => os.userInfo().homedir) {
  const xdg = env.XDG_CONFIG_HOME;
  if (xdg && path.isAbsolute(xdg)) return path.join(xdg, kAppDirName);
  const home = env.HOME && path.isAbsolute(env.HOME) ? env.HOME : homedir();
  return path.join(home, '.config', kAppDirName);
}

function readToken(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (err) {
    if (err.code === 'ENOENT') return null;
    throw err;
  }
  try {
    const token = JSON.parse(text)?.token;
    if (typeof token === 'string' && kTokenPattern.test(token)) return token;
  } catch {
    // fall through: a damaged file is replaced below
  }
  return undefined;
}

// Returns the stored token, creating it once. The new file is linked into place so that two
// first runs racing each other end up with the same token and nobody reads a half-written file.
export function loadToken(dir) {
  fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
  fs.chmodSync(dir, 0o700);
  const file = path.join(dir, kFileName);
  for (let attempt = 0; attempt < 3; attempt++) {
    const existing = readToken(file);
    if (existing) {
      if ((fs.statSync(file).mode & 0o777) !== 0o600) fs.chmodSync(file, 0o600);
      return existing;
    }
    const token = crypto.randomBytes(32).toString('base64url');
    const temp = path.join(dir, `.${kFileName}.${process.pid}.${crypto.randomBytes(6).toString('hex')}`);
    fs.writeFileSync(temp, JSON.stringify({ token }, null, 2) + '\n', { mode: 0o600, flag: 'wx' });
    try {
      if (existing === undefined) {
        fs.renameSync(temp, file); // damaged file: replace it
        return token;
      }
      fs.linkSync(temp, file);
      return token;
    } catch (err) {
      if (err.code !== 'EEXIST') throw err;
    } finally {
      fs.rmSync(temp, { force: true });
    }
  }
  throw new Error(`Unable to create the access token in ${file}`);
}

// A fresh token for a new connection: the app asks for one at every start, so a token that
// leaked (a phone's history keeps the pairing address) stops working with its session.
export function renewToken(dir) {
  fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
  fs.chmodSync(dir, 0o700);
  const file = path.join(dir, kFileName);
  const token = crypto.randomBytes(32).toString('base64url');
  const temp = path.join(dir, `.${kFileName}.${process.pid}.${crypto.randomBytes(6).toString('hex')}`);
  fs.writeFileSync(temp, JSON.stringify({ token }, null, 2) + '\n', { mode: 0o600, flag: 'wx' });
  try {
    fs.renameSync(temp, file);
  } finally {
    fs.rmSync(temp, { force: true });
  }
  return token;
}

function parsePort(text) {
  if (text === undefined || text === '') return 8787;
  return /^\d{1,5}$/.test(text) && Number(text) <= 65535 ? Number(text) : NaN;
}

// A token the app hands over for one session is only held in memory, so it dies with the
// session; without one, the token file is used (running by hand). A malformed one gives null,
// never a fallback to the file's token, which never changes.
function sessionToken(env) {
  const given = env.ZEL_AGENT_TOKEN;
  if (given === undefined) return loadToken(configDir(env));
  return kTokenPattern.test(given) ? given : null;
}

// No home at all (no passwd entry either): the server keeps its devices in memory only.
function stateDirOrNone(env) {
  try {
    return stateDir(env);
  } catch {
    return '';
  }
}

// A bad ZEL_AGENT_PORT gives NaN rather than an exception: the token query must keep working,
// and server.js refuses to start with a clear message.
export function loadConfig(env = process.env) {
  return {
    token: sessionToken(env),
    host: env.ZEL_AGENT_HOST || '127.0.0.1',
    port: parsePort(env.ZEL_AGENT_PORT),
    screenshotUrl: env.ZEL_AGENT_SCREENSHOT_URL || '',
    inputUrl: env.ZEL_AGENT_INPUT_URL || '',
    enableTerminal: env.ZEL_AGENT_ENABLE_TERMINAL === '1',
    liveVideo: env.ZEL_AGENT_LIVE_VIDEO !== '0', // moving areas as video for viewers that decode it
    helperBinDir: env.ZEL_AGENT_HELPER_BIN_DIR || '',
    stateDir: stateDirOrNone(env),
  };
}
