// The picture of the desktop: the canvas that the stream's updates are drawn on, fitted to the
// viewport and zoomed by two fingers, and the phone's pointer drawn over it.
import { api } from './api.js';
import { $ } from './status.js';

export const screen = $('screen');
export const viewport = $('viewport');

// The view: the picture fitted to the viewport, zoomed by `scale` about its origin at (ox, oy).
const view = { scale: 1, ox: 0, oy: 0, fit: 1, vw: 0, vh: 0 };
const kMinCssPerDesktopPx = 3; // the most zoom reaches at least this

// The picture's size in canvas pixels: the canvas keeps it between whole frames, tiles land on it.
export const frame = { width: 0, height: 0 };
const paint = screen.getContext('2d');
let desktopWidth = 0; // from /api/info once an input has told the server; unknown: assume a wide one

export function setDesktopWidth(width) {
  desktopWidth = width || 0;
  layout();
}

// The server learns the desktop's size from the first input's answer; the zoom limit and the
// picture's width follow it.
let displayAsked = false;
export function learnDisplay() {
  if (desktopWidth || displayAsked) return;
  displayAsked = true;
  api('/api/info').then((res) => res.json()).then((info) => setDesktopWidth(info.display?.width)).catch(() => (displayAsked = false));
}

function maxScale() {
  return Math.max(5, (kMinCssPerDesktopPx * (desktopWidth || 3840)) / Math.max(1, frame.width * view.fit));
}

// Where the picture may be: at most as far as its edges, centred while smaller than the viewport.
function clampView(w, h, vw, vh) {
  const W = w * view.scale;
  const H = h * view.scale;
  view.ox = W <= vw ? (vw - W) / 2 : Math.min(0, Math.max(vw - W, view.ox));
  view.oy = H <= vh ? (vh - H) / 2 : Math.min(0, Math.max(vh - H, view.oy));
}

export function layout() {
  if (!frame.width) return;
  const vw = viewport.clientWidth;
  const vh = viewport.clientHeight;
  // A rotation or a new bar keeps the desktop point at the viewport's centre where it was.
  let keep = null;
  if (view.vw && (view.vw !== vw || view.vh !== vh)) {
    const W = frame.width * view.fit * view.scale;
    const H = frame.height * view.fit * view.scale;
    keep = { fx: (view.vw / 2 - view.ox) / W, fy: (view.vh / 2 - view.oy) / H };
  }
  view.fit = Math.min(vw / frame.width, vh / frame.height);
  view.vw = vw;
  view.vh = vh;
  const w = frame.width * view.fit;
  const h = frame.height * view.fit;
  view.scale = Math.min(view.scale, maxScale());
  if (keep) {
    view.ox = vw / 2 - keep.fx * w * view.scale;
    view.oy = vh / 2 - keep.fy * h * view.scale;
  }
  clampView(w, h, vw, vh);
  screen.style.width = `${w}px`;
  screen.style.height = `${h}px`;
  screen.style.transform = `translate(${view.ox}px, ${view.oy}px) scale(${view.scale})`;
  drawCursor();
}
window.addEventListener('resize', layout);

// Two fingers: the desktop point under their centre follows it while the distance zooms.
export function moveView({ dx, dy, scale, at }) {
  if (!frame.width) return;
  const rect = viewport.getBoundingClientRect();
  const px = at.x - rect.left;
  const py = at.y - rect.top;
  const next = Math.max(1, Math.min(maxScale(), view.scale * scale));
  const k = next / view.scale;
  view.ox = px - (px - dx - view.ox) * k;
  view.oy = py - (py - dy - view.oy) * k;
  view.scale = next;
  layout();
}

// The zoomed view follows a point of the 0..1000 grid when it nears an edge.
export function keepInView([x, y]) {
  const w = frame.width * view.fit * view.scale;
  const h = frame.height * view.fit * view.scale;
  const margin = 40;
  const px = view.ox + (x / 1000) * w;
  const py = view.oy + (y / 1000) * h;
  view.ox += Math.max(0, margin - px) - Math.max(0, px - (view.vw - margin));
  view.oy += Math.max(0, margin - py) - Math.max(0, py - (view.vh - margin));
  layout();
}

export function requestWidth() {
  // Zoomed in, up to the desktop's own pixels: more would only be scaled up on the way.
  const pixels = viewport.clientWidth * (window.devicePixelRatio || 1) * view.scale;
  return Math.max(320, Math.min(desktopWidth || 2560, 2560, Math.round(pixels)));
}

// One update: the copies (a scroll moves part of the picture), then every tile, drawn in the same
// task, so the picture never shows half of it.
export function showUpdate({ full, width, height, copies, tiles }, bitmaps) {
  if (full) {
    const h = height || bitmaps[0].height;
    if (screen.width !== width || screen.height !== h) Object.assign(screen, { width, height: h });
    frame.width = width;
    frame.height = h;
  }
  if (!frame.width) return; // tiles before any whole frame: nothing to put them on
  for (const [x, y, w, h, toX, toY] of copies) paint.drawImage(screen, x, y, w, h, toX, toY, w, h);
  tiles.forEach((t, i) => paint.drawImage(bitmaps[i], t.x, t.y));
  if (!screen.classList.contains('loaded')) {
    screen.classList.add('loaded');
    $('placeholder').hidden = true;
  }
  layout();
}

// Client pixels to the desktop's 0..1000 grid; null outside the picture, or clamped to its edge.
export function normalized(p, clamp = false) {
  const rect = screen.getBoundingClientRect();
  if (!frame.width || rect.width === 0) return null;
  let x = ((p.x - rect.left) / rect.width) * 1000;
  let y = ((p.y - rect.top) / rect.height) * 1000;
  if (clamp) [x, y] = [Math.max(0, Math.min(1000, x)), Math.max(0, Math.min(1000, y))];
  if (x < 0 || y < 0 || x > 1000 || y > 1000) return null;
  return [Math.round(x * 10) / 10, Math.round(y * 10) / 10];
}

// The pointer where this phone last put it (on the 0..1000 grid), drawn larger than the desktop's
// own while the view is too small to see that one, and always in trackpad mode, where it is what
// the finger steers; the stream does not say where the pointer is otherwise.
export const cursor = { at: null, trackpad: false };
export function drawCursor() {
  const el = $('cursor');
  const cssPerDesktopPx = (frame.width * view.fit * view.scale) / (desktopWidth || 1920);
  if (!cursor.at || !frame.width || (cssPerDesktopPx >= 1 && !cursor.trackpad)) {
    el.hidden = true;
    return;
  }
  const [x, y] = cursor.at;
  const w = frame.width * view.fit * view.scale;
  const h = frame.height * view.fit * view.scale;
  el.style.transform = `translate(${view.ox + (x / 1000) * w}px, ${view.oy + (y / 1000) * h}px)`;
  el.hidden = false;
}
