// A spawned `node src/server.js` of an agent directory (an older copy too, to compare), with a
// private config and home, the terminal on and a port of its own.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

export const temp = () => fs.mkdtempSync(path.join(os.tmpdir(), 'zel-bench-'));

export async function launchAgent(dir, env = {}) {
  const config = temp();
  const child = spawn(process.execPath, ['src/server.js'], { cwd: dir, stdio: ['ignore', 'pipe', 'inherit'],
    env: { PATH: '/usr/bin:/bin', XDG_CONFIG_HOME: config, HOME: temp(), SHELL: '/bin/sh', ZEL_AGENT_PORT: '0', ZEL_AGENT_ENABLE_TERMINAL: '1', ...env } });
  let output = '';
  child.stdout.on('data', (d) => (output += d));
  const listening = /listening on http:\/\/127\.0\.0\.1:(\d+)/;
  while (!listening.test(output)) await once(child.stdout, 'data');
  const port = Number(listening.exec(output)[1]);
  const token = JSON.parse(fs.readFileSync(path.join(config, 'zel-desktop-agent', 'agent.json'), 'utf8')).token;
  return { child, port, token, output: () => output, stop: () => child.kill('SIGKILL') };
}
