// The live view: one WebSocket per viewer over which the screen is pushed as it changes — tiles of the
// changed regions from the control service's /tiles long poll (a whole frame on join and on a width
// change) — paced by the viewer's acknowledgements, with the viewer's input coming back on the same
// socket. While the link allows, the picture is the desktop's own pixels (the page scales it): a scroll
// then travels as a copy of an area of the viewer's picture and text as small lossless PNG tiles;
// narrower frames are JPEG only. Without /tiles (an older app, or one that cannot track changes and
// answers it 501) it falls back to whole screenshots compared by hash.
//
// server → viewer: binary updates [u32 seq][u8 quality][u8 flags: 1 whole frame][u16 width][u16 height]
//                  [u16 count][u16 copies] + copies × [u16 x][u16 y][u16 w][u16 h][u16 toX][u16 toY]
//                  + count × [u16 x][u16 y][u16 w][u16 h][u32 bytes] + the JPEG or PNG files; the copies
//                  are drawn first, in order, within the picture, then the tiles; with flags & 2
//                  (a viewer that decodes video) [u16 x][u16 y][u16 w][u16 h][u8 key][u32 bytes]
//                  after the tile table and an H.264 access unit after the files, drawn last;
//                  text JSON {type:"ping",t}, {type:"input",id,status[,error]}, {type:"error",status,message}
// viewer → server: text JSON {type:"ack",seq}, {type:"view",width}, {type:"refresh"}, {type:"pong",t},
//                  {type:"input",id, ...an /api/input request}
// An ack of a sequence number not yet sent closes the socket (1008, "ack of an update never sent").
//
// Here: the viewers and their upgrades. One viewer's socket: live-viewer.js; what it is sent when:
// live-stream.js, paced by live-pacer.js; what is asked of the control service: live-source.js.
import { WebSocketServer } from 'ws';
import { LiveStream } from './live-stream.js';
import { createPictureSource } from './live-source.js';
import { LiveViewer } from './live-viewer.js';

export const kLiveDefaults = {
  maxViewers: 4,
  minInFlight: 2, // updates always allowed unacknowledged
  maxInFlight: 16, // and never more, however long and wide the link
  fps: 30, // the capture rate while the screen changes
  frameFps: 60, // and at most this where each change is a whole frame of the compositor's, while the link carries it
  inputFps: 60, // and for a moment after an input, so that its effect does not wait a whole frame
  inputBurstMs: 300,
  stillAfterMs: 1000, // unchanged this long: poll slowly
  stillIntervalMs: 250,
  tilesWaitMs: 8000, // one long poll of /tiles; a still screen answers empty after this
  keepAliveMs: 10000, // a still screen sends no frames; the tunnel and the viewer need a sign of life
  maxPendingInputs: 64,
  maxFrameBytes: 8 << 20,
  maxBufferedBytes: 4 << 20, // held for a viewer not reading: no update is added beyond it
  video: false, // a moving area as H.264 for a viewer that decodes it (the server's own: on unless ZEL_AGENT_LIVE_VIDEO=0)
};

// The video a viewer said it decodes (video=avc1: H.264, what its VideoDecoder took), or null: tiles only.
export function videoCodec(asked) {
  return asked === 'avc1' ? 'avc1' : null;
}

export function createLiveService({ screenshotUrl, forwardInput, inputActions, log = () => {}, options = {} }) {
  const limits = { ...kLiveDefaults, ...options };
  // permessage-deflate with its window kept from one message to the next (what updates it applies to:
  // LiveViewer.push); maxPayload bounds what the viewer's messages inflate to.
  const wss = new WebSocketServer({ noServer: true, maxPayload: 16 * 1024, perMessageDeflate: { zlibDeflateOptions: { level: 6 } } });
  const source = createPictureSource(screenshotUrl, limits);
  const viewers = new Set();

  wss.on('connection', (ws, req, width) => {
    // pointer=1: the viewer draws the desktop's pointer itself, from pointer messages.
    const query = new URL(req.url, 'http://localhost').searchParams;
    const drawsPointer = query.get('pointer') === '1';
    const video = limits.video ? videoCodec(query.get('video')) : null;
    const viewer = new LiveViewer(ws, width, { limits, forwardInput, inputActions, log, drawsPointer, video, onClose: () => viewers.delete(viewer) });
    viewers.add(viewer);
    new LiveStream(viewer, source, limits).run().catch((err) => {
      log(`Live stream failed: ${String(err?.message ?? err).slice(0, 200)}`);
      if (ws.readyState === ws.OPEN) ws.close(1011, 'stream error');
    });
  });

  return {
    get busy() {
      return viewers.size >= limits.maxViewers;
    },
    handleUpgrade(req, socket, head, width) {
      wss.handleUpgrade(req, socket, head, (ws) => wss.emit('connection', ws, req, width));
    },
    close() {
      for (const { ws } of viewers) ws.close(1001, 'server stopping');
      wss.close();
    },
  };
}
