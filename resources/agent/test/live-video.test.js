// The live view's video for moving areas against a fake control service: which viewers the app is
// asked to send video for, and how an update with video reaches such a viewer.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { loadConfig } from '../src/config.js';
import { videoCodec } from '../src/live.js';
import { answer, openWs, tempDir, until, withAgent } from './helpers.js';

it('takes only the codec the web client decodes, and sends video unless told not to', () => {
  for (const [asked, codec] of [['avc1', 'avc1'], ['vp8', null], ['AVC1', null], ['', null], [null, null], ['avc1.42E028', null]]) {
    assert.equal(videoCodec(asked), codec, String(asked));
  }
  for (const [value, on] of [[undefined, true], ['1', true], ['0', false]]) {
    const env = { XDG_CONFIG_HOME: tempDir(), ...(value === undefined ? {} : { ZEL_AGENT_LIVE_VIDEO: value }) };
    assert.equal(loadConfig(env).liveVideo, on, `ZEL_AGENT_LIVE_VIDEO=${value}`);
  }
});

// A desktop whose every change is a moving area: a whole frame for 0, else a unit of video (only
// for a request that asked for video, as the app does) and no tiles.
function movingDesktop() {
  let seq = 1;
  return {
    tiles: async ({ query }) => {
      if (query.since === '0') {
        const head = { sequence: seq, width: 640, height: 360, full: true, tiles: [[0, 0, 640, 360, 5]] };
        return answer('200 OK', 'application/x-zel-tiles', `${JSON.stringify(head)}\nwhole`);
      }
      seq++;
      // Long and repetitive, as deflate would love: the socket must still leave it as it is.
      const unit = Buffer.from(`unit ${seq} ${'x'.repeat(4000)}`);
      const head = { sequence: seq, width: 640, height: 360, full: false, tiles: [], ...(query.video ? { video: [64, 32, 160, 96, seq === 2 ? 1 : 0, unit.length] } : {}) };
      const body = Buffer.concat([Buffer.from(`${JSON.stringify(head)}\n`), query.video ? unit : Buffer.alloc(0)]);
      if (!query.video) await new Promise((r) => setTimeout(r, 200)); // nothing to send: a poll that waits
      return answer('200 OK', 'application/x-zel-tiles', body);
    },
  };
}

// Each row: whether the server sends video at all, what the viewer says it decodes, whether the
// app is asked for video on its behalf.
for (const [name, video, rows] of [
  ['with video on', true, [['avc1', '&video=avc1', true], ['another codec', '&video=vp8', false], ['an empty one', '&video=', false], ['none', '', false]]],
  ['with video off', false, [['avc1', '&video=avc1', false]]],
]) describe(`live view ${name}`, () => {
  const t = withAgent({}, { live: { video, fps: 1000 } }, movingDesktop());
  for (const [said, query, asked] of rows) {
    it(`a viewer that decodes ${said} ${asked ? 'gets' : 'does not get'} video`, async () => {
      const from = t.control.requests.length;
      const ws = await openWs(`ws://127.0.0.1:${t.agent.port}/api/live?token=${t.agent.token}${query}`);
      const frames = [];
      let wire = 0;
      ws._socket.on('data', (chunk) => (wire += chunk.length));
      ws.on('message', (data, binary) => binary && frames.push(data));
      await until('the whole frame', () => frames.length >= 1);
      ws.send(JSON.stringify({ type: 'ack', seq: 1 }));
      const polls = () => t.control.requests.slice(from).filter((r) => r.path === '/tiles' && r.query.since !== '0');
      await until('a poll after the whole frame', () => polls().length >= 1);
      for (const poll of polls()) {
        if (asked) {
          assert.ok(Number(poll.query.video) >= 1e5, `asked ${poll.query.video}`);
          assert.equal(poll.query.videoWidth, '960', 'the width the viewer shows');
        } else assert.equal(poll.query.video, undefined);
      }
      if (asked) {
        await until('an update with video', () => frames.length >= 2);
        // Flags (not whole, with video), no tiles, the video's area, a keyframe, its length and bytes.
        const update = frames[1];
        assert.deepEqual([update[5], update.readUInt16BE(10), ...[14, 16, 18, 20].map((o) => update.readUInt16BE(o)), update[22], update.readUInt32BE(23),
          update.subarray(27).toString()], [2, 0, 64, 32, 160, 96, 1, 4007, `unit 2 ${'x'.repeat(4000)}`]);
        const payload = frames.reduce((sum, f) => sum + f.length, 0);
        assert.ok(wire >= payload, `video deflated: ${wire} bytes on the wire for ${payload}`);
      } else {
        assert.ok(frames.slice(1).every((f) => (f[5] & 2) === 0), 'video for a viewer that cannot decode it');
      }
      ws.close();
    });
  }
});
