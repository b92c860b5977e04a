import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { describe, it } from 'node:test';
import { findDisplay } from '../src/clipboard.js';
import { answer, expectError, tempDir, withAgent } from './helpers.js';

describe('typing text through the clipboard', () => {
  const bin = tempDir();
  let clipAtPaste;
  // A stand-in xclip: records its arguments, DISPLAY and stdin; fails when told to.
  fs.writeFileSync(path.join(bin, 'xclip'), `#!/bin/sh
if [ -f "${bin}/fail" ]; then echo "Error: Can't open display: nowhere" >&2; exit 1; fi
cat > "${bin}/clip.tmp" && printf '%s|%s' "$*" "$DISPLAY" > "${bin}/args" && mv "${bin}/clip.tmp" "${bin}/clip"
`, { mode: 0o755 });
  const t = withAgent({ helperBinDir: bin }, { env: { PATH: '/usr/bin:/bin', DISPLAY: ':42' } }, {
    input: () => {
      clipAtPaste = fs.readFileSync(path.join(bin, 'clip'), 'utf8');
      return answer('200 OK', 'application/json; charset=utf-8', '{"ok":true,"action":"paste"}');
    },
  });
  const bare = withAgent({ inputUrl: 'http://127.0.0.1:1/input', helperBinDir: tempDir() }, { env: { PATH: tempDir(), DISPLAY: ':42' } });
  const type = (body, to = t.agent) => to.fetch('/api/type', { method: 'POST', body });

  it('finds a display: the environment first, else the lowest local X socket', () => {
    const sockets = tempDir();
    for (const name of ['X12', 'X3', 'Xjunk', 'other']) fs.writeFileSync(path.join(sockets, name), '');
    assert.deepEqual([findDisplay({ DISPLAY: ':7' }, sockets), findDisplay({}, sockets), findDisplay({}, `${sockets}/no`)], [':7', ':3', '']);
  });

  it('copies the text first, then sends one paste', async () => {
    const text = '你好，世界\nline two "quoted" $HOME `x`';
    const res = await type(JSON.stringify({ text }));
    assert.deepEqual([res.status, await res.json()], [200, { ok: true, action: 'paste' }]);
    assert.equal(clipAtPaste, text, 'the clipboard held the text when the paste arrived');
    assert.equal(fs.readFileSync(path.join(bin, 'args'), 'utf8'), '-selection clipboard -in|:42');
    assert.deepEqual(JSON.parse(t.control.requests.at(-1).body), { action: 'paste' });
  });

  it('pastes nothing on bad text or a failing tool', async () => {
    const count = t.control.requests.length;
    for (const body of ['{}', '{"text":""}', '{"text":42}', JSON.stringify({ text: 'x'.repeat(10001) }), 'text=hi']) {
      assert.equal((await type(body)).status, 400, body.slice(0, 20));
    }
    fs.writeFileSync(path.join(bin, 'fail'), '');
    await expectError(await type('{"text":"abc"}'), 502, /xclip failed: Error: Can't open display/).finally(() => fs.rmSync(path.join(bin, 'fail')));
    assert.equal(t.control.requests.length, count);
  });

  it('says so when no clipboard tool exists', async () => {
    await expectError(await type('{"text":"abc"}', bare.agent), 503, /No clipboard tool was found \(looked for xclip, xsel\)/);
    assert.equal((await (await bare.agent.fetch('/api/info')).json()).features.type, false);
  });
});
