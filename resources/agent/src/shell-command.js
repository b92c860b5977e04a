// One command in the user's login shell, for the MCP run_command tool: time-limited, output bounded.
import { spawn } from 'node:child_process';
import { loginShell } from './login-shell.js';

// After the shell exits, output still held open by a process it left in the background is
// not waited for beyond this.
const kDrainMs = 500;

// Keeps the first and the last half of the limit: the start says what ran, the end how it ended.
class BoundedOutput {
  constructor(limit) {
    this.half = Math.floor(limit / 2);
    this.head = [];
    this.headSize = 0;
    this.tail = Buffer.alloc(0);
    this.total = 0;
  }

  add(chunk) {
    this.total += chunk.length;
    if (this.headSize < this.half) {
      const part = chunk.subarray(0, this.half - this.headSize);
      this.head.push(part);
      this.headSize += part.length;
      chunk = chunk.subarray(part.length);
    }
    if (chunk.length > 0) this.tail = Buffer.concat([this.tail, chunk]).subarray(-this.half);
  }

  text() {
    const omitted = this.total - this.headSize - this.tail.length;
    const gap = omitted > 0 ? `\n[... ${omitted} bytes of output left out ...]\n` : '';
    return Buffer.concat(this.head).toString('utf8') + gap + this.tail.toString('utf8');
  }
}

// Resolves with { status, signal, timedOut, output }; rejects only when the shell cannot start.
// The command gets its own process group so that a time-out ends everything it started.
export function runShellCommand(command, { timeoutMs, maxOutput = 32 * 1024, env = process.env, signal } = {}) {
  const shell = loginShell(env);
  return new Promise((resolve, reject) => {
    const child = spawn(shell.file, ['-l', '-c', command], { cwd: shell.cwd, env: shell.env, stdio: ['ignore', 'pipe', 'pipe'], detached: true });
    const output = new BoundedOutput(maxOutput);
    let timedOut = false;
    let exit = null;
    let drain = null;
    let done = false;
    const killGroup = () => {
      try {
        process.kill(-child.pid, 'SIGKILL');
      } catch {
        // already gone
      }
    };
    const timer = setTimeout(() => {
      timedOut = true;
      killGroup();
    }, timeoutMs);
    signal?.addEventListener('abort', killGroup, { once: true });
    for (const stream of [child.stdout, child.stderr]) {
      stream.on('data', (chunk) => output.add(chunk));
      stream.on('error', () => {});
    }
    const finish = () => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      clearTimeout(drain);
      signal?.removeEventListener('abort', killGroup);
      resolve({ ...exit, timedOut, output: output.text() });
    };
    child.on('error', (err) => {
      clearTimeout(timer);
      reject(new Error(`${shell.file} could not be started: ${err.message}`));
    });
    child.on('exit', (status, sig) => {
      exit = { status, signal: sig };
      drain = setTimeout(() => {
        child.stdout.destroy();
        child.stderr.destroy();
        finish();
      }, kDrainMs);
    });
    child.on('close', () => exit && finish());
  });
}
