import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import { findDisplay } from '../src/clipboard.js';
import { startAgent, startFakeControl, tempDir } from './helpers.js';

// A stand-in for xclip: records its arguments, DISPLAY and stdin; fails when told to.
function standInTool(dir, name = 'xclip') {
  const file = path.join(dir, name);
  fs.writeFileSync(file, `#!/bin/sh
if [ -f "${dir}/fail" ]; then echo "Error: Can't open display: nowhere" >&2; exit 1; fi
cat > "${dir}/clip.tmp" && printf '%s|%s' "$*" "$DISPLAY" > "${dir}/args" && mv "${dir}/clip.tmp" "${dir}/clip"
`, { mode: 0o755 });
  return file;
}

describe('display discovery', () => {
  const sockets = tempDir();
  for (const name of ['X12', 'X3', 'Xjunk', 'other']) fs.writeFileSync(path.join(sockets, name), '');
  const cases = [
    ['DISPLAY from the environment wins', { DISPLAY: ':7' }, sockets, ':7'],
    ['lowest local X socket', {}, sockets, ':3'],
    ['no socket directory', {}, path.join(sockets, 'missing'), ''],
  ];
  for (const [name, env, dir, expected] of cases) it(name, () => assert.equal(findDisplay(env, dir), expected));
});

describe('typing text through the clipboard', () => {
  let control;
  let agent;
  let bin;
  let clipAtPaste;
  before(async () => {
    bin = tempDir();
    standInTool(bin);
    control = await startFakeControl({
      input: () => {
        clipAtPaste = fs.existsSync(path.join(bin, 'clip')) ? fs.readFileSync(path.join(bin, 'clip'), 'utf8') : null;
        return { status: '200 OK', type: 'application/json; charset=utf-8', body: '{"ok":true,"action":"paste"}' };
      },
    });
    agent = await startAgent({ inputUrl: control.inputUrl, helperBinDir: bin }, { env: { PATH: '/usr/bin:/bin', DISPLAY: ':42' } });
  });
  after(async () => {
    await agent.close();
    await control.close();
  });

  it('copies the text first, then sends one paste', async () => {
    const text = '你好，世界\nline two "quoted" $HOME `x`';
    const res = await agent.fetch('/api/type', { method: 'POST', body: JSON.stringify({ text }) });
    assert.equal(res.status, 200);
    assert.deepEqual(await res.json(), { ok: true, action: 'paste' });
    assert.equal(clipAtPaste, text, 'the clipboard held the text when the paste arrived');
    assert.equal(fs.readFileSync(path.join(bin, 'args'), 'utf8'), '-selection clipboard -in|:42');
    assert.deepEqual(JSON.parse(control.requests.at(-1).body), { action: 'paste' });
  });

  it('rejects bad text without touching the clipboard or the desktop', async () => {
    const count = control.requests.length;
    for (const body of ['{}', '{"text":""}', '{"text":42}', JSON.stringify({ text: 'x'.repeat(10001) }), 'text=hi']) {
      const res = await agent.fetch('/api/type', { method: 'POST', body });
      assert.equal(res.status, 400, body.slice(0, 20));
    }
    assert.equal(control.requests.length, count);
  });

  it('reports a failing clipboard tool and does not paste', async () => {
    fs.writeFileSync(path.join(bin, 'fail'), '');
    const count = control.requests.length;
    try {
      const res = await agent.fetch('/api/type', { method: 'POST', body: '{"text":"abc"}' });
      assert.equal(res.status, 502);
      assert.match((await res.json()).error, /xclip failed: Error: Can't open display/);
      assert.equal(control.requests.length, count);
    } finally {
      fs.rmSync(path.join(bin, 'fail'));
    }
  });

  it('says so when no clipboard tool exists', async () => {
    const bare = await startAgent({ inputUrl: control.inputUrl, helperBinDir: tempDir() }, { env: { PATH: tempDir(), DISPLAY: ':42' } });
    try {
      const res = await bare.fetch('/api/type', { method: 'POST', body: '{"text":"abc"}' });
      assert.equal(res.status, 503);
      assert.match((await res.json()).error, /No clipboard tool was found \(looked for xclip, xsel\)/);
      assert.equal((await (await bare.fetch('/api/info')).json()).features.type, false);
    } finally {
      await bare.close();
    }
  });
});
