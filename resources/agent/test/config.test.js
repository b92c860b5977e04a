import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { describe, it } from 'node:test';
import { promisify } from 'node:util';
import { configDir, loadConfig, loadToken } from '../src/config.js';
import { tempDir } from './helpers.js';

const kAgentDir = path.resolve(import.meta.dirname, '..');
// The desktop app's exact token query.
const kTokenQuery = ['--input-type=module', '-e', "import('./src/config.js').then(({ loadConfig }) => console.log(loadConfig().token))"];
const run = promisify(execFile);

// The app's whole environment, with a temporary config home in place of the user's.
function appEnv(extra) {
  return {
    PATH: '/nonexistent/bin:/usr/local/bin:/usr/bin:/bin',
    ZEL_AGENT_HOST: '127.0.0.1',
    ZEL_AGENT_PORT: '8787',
    ZEL_AGENT_ENABLE_TERMINAL: '1',
    ZEL_AGENT_HELPER_BIN_DIR: '/nonexistent/bin',
    ZEL_AGENT_SCREENSHOT_URL: 'http://127.0.0.1:8788/screenshot?secret=x',
    ZEL_AGENT_INPUT_URL: 'http://127.0.0.1:8788/input?secret=x',
    ...extra,
  };
}

describe('config directory', () => {
  const cases = [
    ['XDG_CONFIG_HOME wins', { XDG_CONFIG_HOME: '/x/cfg', HOME: '/home/u' }, '/x/cfg/zel-desktop-agent'],
    ['relative XDG_CONFIG_HOME is ignored', { XDG_CONFIG_HOME: 'cfg', HOME: '/home/u' }, '/home/u/.config/zel-desktop-agent'],
    ['HOME when XDG is absent', { HOME: '/home/u' }, '/home/u/.config/zel-desktop-agent'],
    ['passwd home when both are absent', {}, '/pw/home/.config/zel-desktop-agent'],
  ];
  for (const [name, env, expected] of cases) {
    it(name, () => assert.equal(configDir(env, () => '/pw/home'), expected));
  }
});

describe('access token', () => {
  it('is created once with private modes and read back unchanged', () => {
    const dir = path.join(tempDir(), 'zel-desktop-agent');
    const token = loadToken(dir);
    assert.match(token, /^[A-Za-z0-9_-]{43}$/);
    assert.equal(fs.statSync(dir).mode & 0o777, 0o700);
    assert.equal(fs.statSync(path.join(dir, 'agent.json')).mode & 0o777, 0o600);
    assert.equal(loadToken(dir), token);
    assert.deepEqual(fs.readdirSync(dir), ['agent.json']);
  });

  it('tightens loose modes without changing the token', () => {
    const dir = path.join(tempDir(), 'zel-desktop-agent');
    const token = loadToken(dir);
    fs.chmodSync(dir, 0o755);
    fs.chmodSync(path.join(dir, 'agent.json'), 0o644);
    assert.equal(loadToken(dir), token);
    assert.equal(fs.statSync(dir).mode & 0o777, 0o700);
    assert.equal(fs.statSync(path.join(dir, 'agent.json')).mode & 0o777, 0o600);
  });

  for (const [name, content] of [['empty', ''], ['not JSON', '{tok'], ['short token', '{"token":"abc"}'], ['no token', '[]']]) {
    it(`replaces a damaged file (${name})`, () => {
      const dir = path.join(tempDir(), 'zel-desktop-agent');
      fs.mkdirSync(dir, { recursive: true });
      fs.writeFileSync(path.join(dir, 'agent.json'), content);
      const token = loadToken(dir);
      assert.match(token, /^[A-Za-z0-9_-]{43}$/);
      assert.equal(loadToken(dir), token);
    });
  }

  it('the app token query prints exactly the token, without HOME', async () => {
    const home = tempDir();
    const { stdout, stderr } = await run(process.execPath, kTokenQuery, { cwd: kAgentDir, env: appEnv({ XDG_CONFIG_HOME: home }) });
    assert.equal(stderr, '');
    assert.match(stdout, /^[A-Za-z0-9_-]{43}\n$/);
    assert.equal(stdout.trim(), loadToken(path.join(home, 'zel-desktop-agent')));
    const again = await run(process.execPath, kTokenQuery, { cwd: kAgentDir, env: appEnv({ XDG_CONFIG_HOME: home }) });
    assert.equal(again.stdout, stdout);
  });

  it('the token query falls back to HOME/.config', async () => {
    const home = tempDir();
    const { stdout } = await run(process.execPath, kTokenQuery, { cwd: kAgentDir, env: appEnv({ HOME: home }) });
    assert.equal(stdout.trim(), loadToken(path.join(home, '.config', 'zel-desktop-agent')));
  });

  it('racing first runs agree on one token', async () => {
    const home = tempDir();
    const runs = Array.from({ length: 6 }, () => new Promise((resolve, reject) => {
      const child = spawn(process.execPath, kTokenQuery, { cwd: kAgentDir, env: appEnv({ XDG_CONFIG_HOME: home }) });
      let out = '';
      child.stdout.on('data', (d) => (out += d));
      child.on('error', reject);
      child.on('close', (code) => (code === 0 ? resolve(out) : reject(new Error(`exit ${code}`))));
    }));
    const outputs = await Promise.all(runs);
    assert.equal(new Set(outputs).size, 1);
    assert.deepEqual(fs.readdirSync(path.join(home, 'zel-desktop-agent')), ['agent.json']);
  });
});

describe('settings from the environment', () => {
  const base = { XDG_CONFIG_HOME: tempDir() };
  const cases = [
    ['defaults', {}, { host: '127.0.0.1', port: 8787, enableTerminal: false, screenshotUrl: '', inputUrl: '', helperBinDir: '' }],
    ['app values', appEnv({ ZEL_AGENT_PORT: '9000' }), {
      host: '127.0.0.1', port: 9000, enableTerminal: true, helperBinDir: '/nonexistent/bin',
      screenshotUrl: 'http://127.0.0.1:8788/screenshot?secret=x', inputUrl: 'http://127.0.0.1:8788/input?secret=x',
    }],
    ['terminal only for "1"', { ZEL_AGENT_ENABLE_TERMINAL: 'true' }, { enableTerminal: false }],
    ['port out of range', { ZEL_AGENT_PORT: '70000' }, { port: NaN }],
    ['port with junk', { ZEL_AGENT_PORT: '80a' }, { port: NaN }],
  ];
  for (const [name, env, expected] of cases) {
    it(name, () => {
      const config = loadConfig({ ...base, ...env });
      for (const [key, value] of Object.entries(expected)) assert.deepEqual(config[key], value, key);
    });
  }
});
