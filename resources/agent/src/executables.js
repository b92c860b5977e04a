// Programs on this machine, found as the kernel would run them.
import fs from 'node:fs';
import path from 'node:path';

export function isExecutable(file) {
  try {
    fs.accessSync(file, fs.constants.X_OK);
    return fs.statSync(file).isFile();
  } catch {
    return false;
  }
}

// The executable's path: as given when it has a slash, else found on $PATH; null when missing.
export function findExecutable(name, env = process.env) {
  if (name.includes('/')) return path.isAbsolute(name) && isExecutable(name) ? name : null;
  for (const dir of (env.PATH || '/usr/local/bin:/usr/bin:/bin').split(':')) {
    if (dir && path.isAbsolute(dir) && isExecutable(path.join(dir, name))) return path.join(dir, name);
  }
  return null;
}
