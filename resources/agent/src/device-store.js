// The paired devices on disk, so that a device key works again after a restart of the server, the
// app or the computer: $XDG_STATE_HOME/zel-desktop-agent/devices.json (folder 0700, file 0600).
// It holds each device's id, name, kind, times, whether the owner lets it in, and the SHA-256 hash
// of its key; never a code or a key. Every save replaces the file whole (a temp file in the same
// folder, fsync, rename, fsync of the folder), so a crash at any point leaves the old or the new
// list. A file that cannot be read or makes no sense is set aside, never read again nor deleted.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const kAppDirName = 'zel-desktop-agent';
const kFileName = 'devices.json';
const kTempPrefix = `.${kFileName}.`;
const kHashPattern = /^[A-Za-z0-9_-]{43}$/;
const kKinds = new Set(['browser', 'mcp', 'api']);

// As configDir (config.js): HOME or the passwd entry when XDG_STATE_HOME is missing.
export function stateDir(env = process.env, homedir = () => os.userInfo().homedir) {
  const xdg = env.XDG_STATE_HOME;
  if (xdg && path.isAbsolute(xdg)) return path.join(xdg, kAppDirName);
  const home = env.HOME && path.isAbsolute(env.HOME) ? env.HOME : homedir();
  return path.join(home, '.local', 'state', kAppDirName);
}

const isTime = (value) => Number.isSafeInteger(value) && value >= 0;

// One kept device as the file holds it, or null when anything about it is off.
function readRecord(value) {
  if (!value || typeof value !== 'object') return null;
  const { id, name, kind, named, pairedAt, lastSeen, keyHash, allowed } = value;
  const ok = typeof id === 'string' && /^d[1-9]\d{0,14}$/.test(id) && typeof name === 'string' && name.length <= 200
    && kKinds.has(kind) && typeof named === 'boolean' && isTime(pairedAt) && isTime(lastSeen)
    && typeof keyHash === 'string' && kHashPattern.test(keyHash) && typeof allowed === 'boolean';
  return ok ? { id, name, kind, named, pairedAt, lastSeen, keyHash, allowed } : null;
}

// The records of a file's text, or null when it is damaged.
function parse(text) {
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    return null;
  }
  if (!value || value.version !== 1 || !Array.isArray(value.devices)) return null;
  const records = value.devices.map(readRecord);
  const ids = new Set(records.map((r) => r?.id));
  return records.every(Boolean) && ids.size === records.length ? records : null;
}

export class DeviceStore {
  // dir: the app's state folder (stateDir()); log: one line, never the file's content.
  constructor(dir, { log = () => {} } = {}) {
    this.dir = dir;
    this.file = path.join(dir, kFileName);
    this.log = log;
    this.serial = 0;
  }

  // The kept devices; none when there is no file yet, or when it is damaged (then set aside). A
  // folder it cannot use leaves the devices in memory, with a line in the log.
  load() {
    try {
      fs.mkdirSync(this.dir, { recursive: true, mode: 0o700 });
      fs.chmodSync(this.dir, 0o700);
      this.#dropTemps();
    } catch (err) {
      this.log(`Devices: cannot use ${this.dir} (${err.message}); paired devices last only until the server stops`);
      return [];
    }
    let text;
    try {
      text = fs.readFileSync(this.file, 'utf8');
    } catch (err) {
      if (err.code === 'ENOENT') return [];
      this.#setAside(`cannot be read (${err.code ?? err.message})`);
      return [];
    }
    const records = parse(text);
    if (records) return records;
    this.#setAside('is damaged');
    return [];
  }

  // Replaces the file with these records; false (and a line in the log) when it could not.
  save(records) {
    const temp = path.join(this.dir, `${kTempPrefix}${process.pid}.${++this.serial}`);
    const text = `${JSON.stringify({ version: 1, devices: records.map(readRecord) }, null, 1)}\n`;
    let fd = null;
    try {
      fd = fs.openSync(temp, 'wx', 0o600);
      fs.writeFileSync(fd, text);
      fs.fsyncSync(fd);
      fs.closeSync(fd);
      fd = null;
      fs.renameSync(temp, this.file);
      syncDir(this.dir);
      return true;
    } catch (err) {
      this.log(`Devices: cannot save the paired devices in ${this.file}: ${err.message}`);
      try {
        if (fd !== null) fs.closeSync(fd);
        fs.rmSync(temp, { force: true });
      } catch {
        // nothing was made, or the next load drops it
      }
      return false;
    }
  }

  // Temp files of a writer that died before its rename: the file itself is whole.
  #dropTemps() {
    for (const name of fs.readdirSync(this.dir)) {
      if (name.startsWith(kTempPrefix)) fs.rmSync(path.join(this.dir, name), { force: true, recursive: true });
    }
  }

  #setAside(why) {
    const aside = `${this.file}.damaged-${new Date().toISOString().replace(/[:.]/g, '-')}`;
    try {
      fs.renameSync(this.file, aside);
      this.log(`Devices: ${this.file} ${why}; kept as ${path.basename(aside)}, starting with no paired devices`);
    } catch (err) {
      this.log(`Devices: ${this.file} ${why} and cannot be set aside (${err.message}); starting with no paired devices`);
    }
  }
}

function syncDir(dir) {
  const fd = fs.openSync(dir, 'r');
  try {
    fs.fsyncSync(fd);
  } finally {
    fs.closeSync(fd);
  }
}
