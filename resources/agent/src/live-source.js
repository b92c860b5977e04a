// What the live view asks of the control service: whole screenshots, and the /tiles long poll of
// what changed since a change sequence.
import { ControlError, controlRequest, controlUrl, readAll } from './control.js';

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
  let video = null;
  if (Array.isArray(head.video)) {
    const [x, y, width, height, key, bytes] = head.video;
    video = { x, y, width, height, key: key === 1, chunk: body.subarray(at, (at += bytes)) };
  }
  if (at !== body.length) throw new ControlError(502, 'The control service answered tiles of the wrong length.');
  return { ...head, copies: head.copies ?? [], tiles, video };
}

// The /pointer/shape answer: a JSON head line, then the PNG.
function parseShape(body) {
  const end = body.indexOf(10);
  if (end < 0) throw new ControlError(502, 'The control service answered a pointer shape without a head.');
  return { ...JSON.parse(body.toString('utf8', 0, end)), png: body.subarray(end + 1) };
}

// limits: tilesWaitMs, maxFrameBytes (kLiveDefaults).
export function createPictureSource(screenshotUrl, { tilesWaitMs, maxFrameBytes }) {
  async function control(pathname, params, signal, timeoutMs = 8000) {
    const res = await controlRequest(controlUrl(screenshotUrl, pathname, params), { signal, timeoutMs });
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
    // pointer: the viewer draws the pointer itself (frames without it, its moves no change).
    // video: { bitrate, width } for a moving area as H.264 ({ x, y, width, height, key, chunk }),
    // encoded at most at the scale of the viewer's width; null: tiles only.
    // wait: how long the app may wait for a change (after a video, a short while: a still screen
    // then ends it, and its area comes as exact tiles).
    async tiles(since, width, quality, copies, signal, pointer = false, video = null, wait = tilesWaitMs) {
      let answer;
      try {
        const params = {
          since, width, quality, wait, ...(copies ? { copies: 1 } : {}), ...(pointer ? { pointer: 1 } : {}), ...(video ? { video: video.bitrate, videoWidth: video.width } : {}),
        };
        answer = await control('/tiles', params, signal, wait + 8000);
      } catch (err) {
        if (err.controlStatus === 501) return null;
        throw err;
      }
      return answer.type.startsWith('application/x-zel-tiles') ? parseTiles(answer.body) : null;
    },

    // The pointer once it moved or changed shape after pointer sequence `since` (or after `wait` ms
    // as it is): { sequence, x, y, visible, serial, width, height } in the desktop's pixels (width ×
    // height); null when the app cannot tell it (an older one answers a screenshot there).
    async pointer(since, signal, wait = tilesWaitMs) {
      let answer;
      try {
        answer = await control('/pointer', { since, wait }, signal, wait + 8000);
      } catch (err) {
        if (err.controlStatus === 501) return null;
        throw err;
      }
      return answer.type.startsWith('application/json') ? JSON.parse(answer.body.toString('utf8')) : null;
    },

    // The pointer's shape now: { serial, width, height, hotX, hotY, png }.
    pointerShape: async (signal) => parseShape((await control('/pointer/shape', {}, signal)).body),
  };
}
