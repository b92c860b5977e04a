// The picture of the desktop: the canvas that the stream's updates are drawn on, fitted to the
// viewport and zoomed by two fingers, and the phone's pointer drawn over it.
import { api } from './api.js';
import { $ } from './status.js';

export const screen = $('screen');
export const viewport = $('viewport');
const edge = $('screen-edge');
const fitButton = $('fit');

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

// Our own controls over the viewport (class over-view: the scroll strip, the fit switch, the bars
// button in landscape, the first-run hint), in viewport pixels; hidden ones have no box.
function controlRects() {
  const box = viewport.getBoundingClientRect();
  const rects = [];
  for (const el of document.querySelectorAll('.over-view')) {
    const r = el.getBoundingClientRect();
    const rect = { left: r.left - box.left, top: r.top - box.top, right: r.right - box.left, bottom: r.bottom - box.top };
    if (r.width && r.height && rect.right > 0 && rect.bottom > 0 && rect.left < box.width && rect.top < box.height) rects.push(rect);
  }
  return rects;
}

// How far a zoomed picture may go past each edge of the viewport: as deep as the controls at that
// edge reach in, so that no part of the desktop has to stay under one of them.
function edgeSlack(vw, vh) {
  const slack = { left: 0, right: 0, top: 0, bottom: 0 };
  for (const r of controlRects()) {
    const depths = { left: r.right, right: vw - r.left, top: r.bottom, bottom: vh - r.top };
    const edge = Object.keys(depths).reduce((a, b) => (depths[b] < depths[a] ? b : a));
    slack[edge] = Math.max(slack[edge], depths[edge] + 4);
  }
  return slack;
}

// Where the picture may be: at most as far as its edges (and the controls' slack), centred while
// smaller than the viewport.
function clampView(w, h, vw, vh) {
  const W = w * view.scale;
  const H = h * view.scale;
  const s = W > vw + 0.5 || H > vh + 0.5 ? edgeSlack(vw, vh) : null;
  view.ox = W <= vw ? (vw - W) / 2 : Math.min(s.left, Math.max(vw - W - s.right, view.ox));
  view.oy = H <= vh ? (vh - H) / 2 : Math.min(s.top, Math.max(vh - H - s.bottom, view.oy));
}

// Whether the picture is larger than the viewport, so that the view can move.
export function canPan() {
  const W = frame.width * view.fit * view.scale;
  const H = frame.height * view.fit * view.scale;
  return frame.width > 0 && (W > view.vw + 0.5 || H > view.vh + 0.5);
}

// Moves the view's origin so that a point of the 0..1000 grid is at least kFollowMargin inside the
// viewport and clear of our controls (unless the picture's edge stops it, in layout's clamp).
const kFollowMargin = 40;
const kControlClearance = 16;
function follow([x, y]) {
  const w = frame.width * view.fit * view.scale;
  const h = frame.height * view.fit * view.scale;
  let px = view.ox + (x / 1000) * w;
  let py = view.oy + (y / 1000) * h;
  const m = kFollowMargin;
  const dx = Math.max(0, m - px) - Math.max(0, px - (view.vw - m));
  const dy = Math.max(0, m - py) - Math.max(0, py - (view.vh - m));
  [px, py] = [px + dx, py + dy];
  view.ox += dx;
  view.oy += dy;
  const g = kControlClearance;
  for (const r of controlRects()) {
    if (px < r.left - g || px > r.right + g || py < r.top - g || py > r.bottom + g) continue;
    const ways = [[r.left - g - px, 0], [r.right + g - px, 0], [0, r.top - g - py], [0, r.bottom + g - py]]
      .filter(([mx, my]) => px + mx >= 0 && px + mx <= view.vw && py + my >= 0 && py + my <= view.vh);
    if (!ways.length) continue;
    const [mx, my] = ways.reduce((a, b) => (Math.abs(b[0]) + Math.abs(b[1]) < Math.abs(a[0]) + Math.abs(a[1]) ? b : a));
    [px, py] = [px + mx, py + my];
    view.ox += mx;
    view.oy += my;
  }
}

const inView = ([x, y]) => {
  const px = view.ox + (x / 1000) * frame.width * view.fit * view.scale;
  const py = view.oy + (y / 1000) * frame.height * view.fit * view.scale;
  return px >= 0 && py >= 0 && px <= view.vw && py <= view.vh;
};

export function layout() {
  if (!frame.width) return;
  const vw = viewport.clientWidth;
  const vh = viewport.clientHeight;
  const fit = Math.min(vw / frame.width, vh / frame.height);
  // A new size (a rotation, a bar, the soft keyboard) keeps the zoom the user chose, in CSS pixels
  // per desktop pixel (the whole desktop stays whole across a rotation), the desktop point at the
  // viewport's centre where it was, and the caret's area (the pointer, the last tap) in sight.
  let keep = null;
  if (view.vw && (view.vw !== vw || view.vh !== vh)) {
    const W = frame.width * view.fit * view.scale;
    const H = frame.height * view.fit * view.scale;
    keep = { fx: (view.vw / 2 - view.ox) / W, fy: (view.vh / 2 - view.oy) / H, caret: cursor.at && inView(cursor.at) };
    if (!(view.scale <= 1 && view.vw !== vw)) view.scale = Math.max(1, W / (frame.width * fit));
  }
  view.fit = fit;
  view.vw = vw;
  view.vh = vh;
  const w = frame.width * view.fit;
  const h = frame.height * view.fit;
  view.scale = Math.min(view.scale, maxScale());
  if (keep) {
    view.ox = vw / 2 - keep.fx * w * view.scale;
    view.oy = vh / 2 - keep.fy * h * view.scale;
    if (keep.caret) follow(cursor.at);
  }
  clampView(w, h, vw, vh);
  screen.style.width = `${w}px`;
  screen.style.height = `${h}px`;
  screen.style.transform = `translate(${view.ox}px, ${view.oy}px) scale(${view.scale})`;
  // The picture's edge, drawn outside it in two tones so that it shows on any desktop.
  edge.style.width = `${w * view.scale}px`;
  edge.style.height = `${h * view.scale}px`;
  edge.style.transform = `translate(${view.ox}px, ${view.oy}px)`;
  edge.hidden = false;
  fitButton.setAttribute('aria-pressed', String(Math.abs(h * view.scale - vh) < 1 && w * view.scale > vw + 0.5));
  drawCursor();
}
// The viewport's own size: rotations and window resizes, bars and panels, the soft keyboard.
new ResizeObserver(() => layout()).observe(viewport);

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

// Portrait: the picture as high as the viewport, moved sideways by a finger; again: the whole desktop.
export function toggleFillHeight() {
  if (!frame.width) return;
  const fill = view.vh / (frame.height * view.fit);
  const filled = fitButton.getAttribute('aria-pressed') === 'true';
  const next = filled || fill <= 1 ? 1 : fill;
  moveView({ dx: 0, dy: 0, scale: next / view.scale, at: centreOf(viewport) });
}
function centreOf(el) {
  const r = el.getBoundingClientRect();
  return { x: r.left + r.width / 2, y: r.top + r.height / 2 };
}

// The zoomed view follows a point of the 0..1000 grid when it nears an edge or one of our controls.
export function keepInView(point) {
  follow(point);
  layout();
}

export function requestWidth() {
  // Zoomed in, up to the desktop's own pixels: more would only be scaled up on the way.
  const pixels = viewport.clientWidth * (window.devicePixelRatio || 1) * view.scale;
  return Math.max(320, Math.min(desktopWidth || 2560, 2560, Math.round(pixels)));
}

// One update: the copies (a scroll moves part of the picture), then every tile, then the video's
// frame (`picture`) at its area, drawn in the same task, so the picture never shows half of it.
export function showUpdate({ full, width, height, copies, tiles, video }, bitmaps, picture = null) {
  if (full) {
    const h = height || bitmaps[0].height;
    if (screen.width !== width || screen.height !== h) Object.assign(screen, { width, height: h });
    frame.width = width;
    frame.height = h;
  }
  if (!frame.width) return; // tiles before any whole frame: nothing to put them on
  for (const [x, y, w, h, toX, toY] of copies) paint.drawImage(screen, x, y, w, h, toX, toY, w, h);
  tiles.forEach((t, i) => paint.drawImage(bitmaps[i], t.x, t.y));
  if (picture) paint.drawImage(picture, video.x, video.y, video.width, video.height);
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
// the finger steers. Where the stream tells the desktop's real pointer (`real`, kept by pointer.js),
// that one is the pointer the user sees, and this one only while it leads: from the moment it is
// moved off the real one until, with no finger steering, the real one has caught up. Never both.
export const cursor = { at: null, trackpad: false, real: null, steering: false, leading: false, shown: false, onDraw: null };
const kSamePlace = 3; // grid units apart that still count as one place: the round trip's rounding
export function drawCursor() {
  const el = $('cursor');
  const cssPerDesktopPx = (frame.width * view.fit * view.scale) / (desktopWidth || 1920);
  const ahead = cursor.at && cursor.real && Math.max(...cursor.at.map((v, i) => Math.abs(v - cursor.real[i]))) > kSamePlace;
  if (ahead) cursor.leading = true;
  else if (!cursor.steering) cursor.leading = false;
  const wanted = cursor.at && frame.width && (cssPerDesktopPx < 1 || cursor.trackpad);
  cursor.shown = Boolean(wanted && (!cursor.real || cursor.leading));
  el.hidden = !cursor.shown;
  if (cursor.shown) {
    const [x, y] = cursor.at;
    const w = frame.width * view.fit * view.scale;
    const h = frame.height * view.fit * view.scale;
    el.style.transform = `translate(${view.ox + (x / 1000) * w}px, ${view.oy + (y / 1000) * h}px)`;
  }
  cursor.onDraw?.();
}
