// What the live view asks of the control service: whole screenshots, and the /tiles long poll of
// what changed since a change sequence.
import { ControlError, controlRequest, readAll } from './control.js';

// The /tiles answer: a JSON head line, then the JPEG or PNG files back to back.
function parseTiles(body) {
  const end = body.indexOf(10);
  if (end < 0) throw new ControlError(502, 'The control service answered tiles without a head.');
  const head = JSON.parse(body.toString('utf8', 0, end));
  let at = end + 1;
  const tiles = head.tiles.map(([x, y, width, height, bytes]) => {
    const jpeg = body.subarray(at, (at += bytes));
    return { x, y, width, height, jpeg };
  });
  if (at !== body.length) throw new ControlError(502, 'The control service answered tiles of the wrong length.');
  return { ...head, copies: head.copies ?? [], tiles };
}

// limits: tilesWaitMs, maxFrameBytes (kLiveDefaults).
export function createPictureSource(screenshotUrl, { tilesWaitMs, maxFrameBytes }) {
  async function control(pathname, params, signal, timeoutMs = 8000) {
    const target = new URL(screenshotUrl);
    target.pathname = pathname;
    for (const [k, v] of Object.entries(params)) target.searchParams.set(k, String(v));
    const res = await controlRequest(target.href, { signal, timeoutMs });
    const body = await readAll(res, maxFrameBytes);
    if (res.statusCode !== 200) {
      throw new ControlError(502, `The control service answered ${res.statusCode}: ${body.toString('utf8', 0, 200)}`, res.statusCode);
    }
    return { body, type: res.headers['content-type'] ?? '' };
  }

  return {
    // One JPEG image of the desktop.
    capture: async (width, quality, signal) => (await control('/screenshot', { format: 'jpeg', width, quality }, signal)).body,

    // What changed after `since` ({ sequence, width, height, full, copies, tiles }), or null when the
    // app has no /tiles: an older one answers a screenshot there, one that cannot track changes 501.
    async tiles(since, width, quality, copies, signal) {
      let answer;
      try {
        const params = { since, width, quality, wait: tilesWaitMs, ...(copies ? { copies: 1 } : {}) };
        answer = await control('/tiles', params, signal, tilesWaitMs + 8000);
      } catch (err) {
        if (err.controlStatus === 501) return null;
        throw err;
      }
      return answer.type.startsWith('application/x-zel-tiles') ? parseTiles(answer.body) : null;
    },
  };
}
