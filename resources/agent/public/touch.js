// The fingers on the picture, in two modes: touch, where the desktop is worked where the finger
// is, and trackpad, where one finger steers the pointer; and the scroll strip beside it.
import { attachGestures } from './gestures.js';
import { inputSent, sendInput } from './input.js';
import { live } from './live.js';
import { showHold, showLoupe } from './loupe.js';
import { canPan, cursor, drawCursor, keepInView, moveView, normalized, screen, viewport } from './picture.js';
import { $, toast } from './status.js';

const kScrollStepPx = 30; // finger travel per wheel step

function pointer(action, p, clamp = false) {
  const coordinate = normalized(p, clamp);
  if (!coordinate) return false;
  cursor.at = coordinate;
  drawCursor();
  sendPointer(action, coordinate);
  return true;
}

// A tap is a press and a release sent together, not the API's "click": that one waits 20 ms between
// moving and pressing and holds the button 40 ms, which would add to every tap's round trip (most
// controls act on the release). Two quick taps are still a double click to the desktop.
function sendPointer(action, coordinate) {
  for (const one of action === 'tap' ? ['left_down', 'left_up'] : [action]) sendInput({ action: one, coordinate });
}

// Moves of a live drag go out at most every kDragMoveMs; the release carries the last position.
const kDragMoveMs = 50;
const drag = { on: false, sentAt: 0, pending: null, timer: 0 };
function dragMove(p) {
  if (!drag.on) return;
  drag.pending = p;
  const wait = drag.sentAt + kDragMoveMs - performance.now();
  if (wait > 0) {
    drag.timer ||= setTimeout(() => ((drag.timer = 0), dragMove(drag.pending)), wait);
    return;
  }
  drag.sentAt = performance.now();
  drag.pending = null;
  pointer('left_drag', p, true);
}

// Two taps at the same spot make a double click only when both clicks land on the same desktop
// pixel: the second one of two quick taps within a finger's wobble lands on the first one's spot.
const kTapSlop = 10;
const kDoubleTapMs = 400;
let lastTap = null;

let scrollPx = 0;
let scrollQueued = false;
const touchMode = {
  reaches: (p) => normalized(p) !== null,
  pannable: canPan,
  precise: () => false,
  tap: (p) => {
    const now = performance.now();
    const near = lastTap && now - lastTap.at < kDoubleTapMs && Math.hypot(p.x - lastTap.p.x, p.y - lastTap.p.y) <= kTapSlop;
    const at = near ? lastTap.p : p;
    lastTap = near ? null : { p, at: now };
    pointer('tap', at);
  },
  longPress: (p) => pointer('right_click', p),
  hold: showHold,
  finger: showLoupe,
  press: (p) => {
    drag.on = pointer('left_down', p);
    drag.sentAt = performance.now();
  },
  move: dragMove,
  release: (p) => {
    if (!drag.on) return;
    clearTimeout(drag.timer);
    Object.assign(drag, { on: false, timer: 0, pending: null });
    pointer('left_up', p, true);
  },
  view: (change) => {
    moveView(change);
    live.viewChanged();
  },
  twoFingerTap: () => {},
  // Fingers moving up pull the content up, like scrolling a page on the phone; the wheel turns
  // where the fingers are.
  scroll: (p, dy) => {
    if (p && !normalized(p)) return; // off the picture: no desktop there to scroll
    scrollPx += dy;
    if (scrollQueued || Math.abs(scrollPx) < kScrollStepPx) return;
    scrollQueued = true;
    // Steps gather while an earlier request is on its way.
    inputSent().then(() => {
      const steps = Math.trunc(scrollPx / kScrollStepPx);
      scrollPx -= steps * kScrollStepPx;
      scrollQueued = false;
      if (steps === 0) return;
      const coordinate = p && normalized(p, true);
      if (coordinate && String(coordinate) !== String(cursor.at)) pointer('move', p, true);
      sendInput({ action: 'scroll', direction: steps > 0 ? 'up' : 'down', amount: Math.min(20, Math.abs(steps)) });
    });
  },
};

// The scroll strip, for phones whose system takes three-finger swipes for itself.
{
  let lastY = null;
  const wheel = $('wheel');
  wheel.addEventListener('touchstart', (event) => {
    event.preventDefault();
    lastY = event.touches[0].clientY;
  }, { passive: false });
  wheel.addEventListener('touchmove', (event) => {
    event.preventDefault();
    if (lastY === null) return;
    const y = event.touches[0].clientY;
    touchMode.scroll(null, y - lastY);
    lastY = y;
  }, { passive: false });
  wheel.addEventListener('touchend', () => (lastY = null));
}

// Trackpad mode: one finger moves the pointer by how far it travels, wherever it is on the screen;
// a tap clicks where the pointer is, a two-finger tap right-clicks there, a hold then a slide drags.
// Travel counts from the first pixel: a slow finger moves the pointer as far as it goes on the
// picture (1:1), a fast one up to kMaxGain times as far.
const kSlowPxPerMs = 0.15;
const kFastPxPerMs = 1.2;
const kMaxGain = 3;
const pad = { last: null, lastAt: 0, speed: 0, origin: null, button: false, sentAt: 0, timer: 0, sent: '' };
const at = () => cursor.at ?? [500, 500];
function padSend(action) {
  pad.sent = String(at());
  sendPointer(action, at());
}
function padMoved() {
  clearTimeout(pad.timer);
  const wait = pad.sentAt + kDragMoveMs - performance.now();
  if (wait > 0) {
    pad.timer = setTimeout(padMoved, wait);
    return;
  }
  if (pad.sent === String(at())) return; // held at an edge
  pad.sentAt = performance.now();
  padSend(pad.button ? 'left_drag' : 'move');
}
function padDone() {
  clearTimeout(pad.timer);
  Object.assign(pad, { last: null, origin: null, button: false, timer: 0 });
}
const trackpadMode = {
  reaches: () => true,
  pannable: () => false,
  precise: () => true,
  // A tap's wobble does not move the pointer: it clicks where the pointer was.
  tap: () => {
    if (pad.origin) cursor.at = pad.origin;
    padDone();
    drawCursor();
    padSend('tap');
  },
  longPress: () => (padDone(), padSend('right_click')),
  twoFingerTap: () => padSend('right_click'),
  hold: showHold,
  finger: () => {},
  press: (p, held) => {
    if (!pad.last) Object.assign(pad, { last: p, lastAt: p.t ?? performance.now(), speed: 0, origin: at() });
    pad.button = held;
    cursor.at = at();
    if (held) padSend('left_down');
  },
  move: (p) => {
    const rect = screen.getBoundingClientRect();
    if (!pad.last || !rect.width) return;
    const now = p.t ?? performance.now();
    const speed = Math.hypot(p.x - pad.last.x, p.y - pad.last.y) / Math.max(8, now - pad.lastAt);
    pad.speed = pad.speed ? 0.6 * speed + 0.4 * pad.speed : speed;
    const gain = 1 + (kMaxGain - 1) * Math.max(0, Math.min(1, (pad.speed - kSlowPxPerMs) / (kFastPxPerMs - kSlowPxPerMs)));
    const [x, y] = at();
    const clamp = (v) => Math.round(Math.max(0, Math.min(1000, v)) * 10) / 10;
    cursor.at = [clamp(x + ((p.x - pad.last.x) * 1000 * gain) / rect.width), clamp(y + ((p.y - pad.last.y) * 1000 * gain) / rect.height)];
    pad.last = p;
    pad.lastAt = now;
    keepInView(cursor.at);
    padMoved();
  },
  release: () => {
    clearTimeout(pad.timer);
    if (pad.button) padSend('left_up');
    else if (pad.sent !== String(at())) padSend('move'); // the last position, if the rate limit held it back
    padDone();
  },
  view: touchMode.view,
  scroll: (p, dy) => touchMode.scroll(null, dy), // where the pointer is
};
attachGestures(viewport, Object.fromEntries(Object.keys(trackpadMode).map((name) => [name, (...args) => (cursor.trackpad ? trackpadMode : touchMode)[name](...args)])));

export function toggleTrackpad(button) {
  cursor.trackpad = !cursor.trackpad;
  button.setAttribute('aria-pressed', String(cursor.trackpad));
  cursor.at = at();
  drawCursor();
  toast(cursor.trackpad ? '触控板模式：单指滑动移动指针，轻点单击，双指轻点右键，按住再滑动拖动。' : '触摸模式：手指点在哪里就操作哪里。', 'info');
}

// Where the desktop's pointer is, on the 0..1000 grid: trackpad mode steers it from there. A stroke
// under way keeps the position it is steering.
export function setTrackpadPointer(x, y) {
  if (pad.last) return;
  cursor.at = [x, y];
  drawCursor();
}
