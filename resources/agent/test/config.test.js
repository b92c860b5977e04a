import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { describe, it } from 'node:test';
import { promisify } from 'node:util';
import { configDir, loadConfig, loadToken } from '../src/config.js';
import { kAgentDir, tempDir } from './helpers.js';

const kTokenQuery = ['--input-type=module', '-e', "import('./src/config.js').then(({ loadConfig }) => console.log(loadConfig().token))"];
const tokenQuery = (env) => promisify(execFile)(process.execPath, kTokenQuery, { cwd: kAgentDir, env: { PATH: '/usr/bin:/bin', ...env } });
const mode = (file) => fs.statSync(file).mode & 0o777;

describe('config directory', () => {
  for (const [env, expected] of [
    [{ XDG_CONFIG_HOME: '/x/cfg', HOME: '/home/u' }, '/x/cfg/zel-desktop-agent'],
    [{ XDG_CONFIG_HOME: 'cfg', HOME: '/home/u' }, '/home/u/.config/zel-desktop-agent'],
    [{}, '/pw/home/.config/zel-desktop-agent'],
  ]) it(JSON.stringify(env), () => assert.equal(configDir(env, () => '/pw/home'), expected));
});

describe('access token', () => {
  it('is created once with private modes, which are tightened again, and kept', () => {
    const dir = path.join(tempDir(), 'zel-desktop-agent');
    const file = path.join(dir, 'agent.json');
    const token = loadToken(dir);
    assert.match(token, /^[A-Za-z0-9_-]{43}$/);
    assert.deepEqual([mode(dir), mode(file), fs.readdirSync(dir)], [0o700, 0o600, ['agent.json']]);
    fs.chmodSync(dir, 0o755);
    fs.chmodSync(file, 0o644);
    assert.equal(loadToken(dir), token);
    assert.deepEqual([mode(dir), mode(file)], [0o700, 0o600]);
  });

  it('replaces a damaged file', () => {
    for (const content of ['', '{tok', '{"token":"abc"}']) {
      const dir = tempDir();
      fs.writeFileSync(path.join(dir, 'agent.json'), content);
      const token = loadToken(dir);
      assert.match(token, /^[A-Za-z0-9_-]{43}$/, content);
      assert.equal(loadToken(dir), token);
    }
  });

  it('the app token query prints exactly the token, and racing first runs agree on one', async () => {
    const home = tempDir();
    const runs = await Promise.all(Array.from({ length: 6 }, () => tokenQuery({ XDG_CONFIG_HOME: home })));
    assert.deepEqual(new Set(runs.map((r) => r.stdout + r.stderr)), new Set([`${loadToken(path.join(home, 'zel-desktop-agent'))}\n`]));
    assert.deepEqual(fs.readdirSync(path.join(home, 'zel-desktop-agent')), ['agent.json']);
  });
});

describe('settings from the environment', () => {
  for (const [env, expected] of [
    [{}, { host: '127.0.0.1', port: 8787, enableTerminal: false, screenshotUrl: '', inputUrl: '', helperBinDir: '' }],
    [{ ZEL_AGENT_PORT: '9000', ZEL_AGENT_ENABLE_TERMINAL: '1' }, { port: 9000, enableTerminal: true }],
    [{ ZEL_AGENT_ENABLE_TERMINAL: 'true', ZEL_AGENT_PORT: '80a' }, { enableTerminal: false, port: NaN }],
  ]) {
    it(JSON.stringify(env), () => {
      const config = loadConfig({ XDG_CONFIG_HOME: tempDir(), ...env });
      for (const [key, value] of Object.entries(expected)) assert.deepEqual(config[key], value, key);
    });
  }
});
