// The desktop's own pointer, drawn over the picture where the stream says it is and in the shape it
// has there (the stream's frames come without it). In trackpad mode the phone's pointer starts from
// it: the real place is adopted whenever no finger is on the picture. The two are one pointer to the
// user: this one is hidden while the phone's leads it (picture.js's drawCursor says which).
import { cursor, drawCursor, frame, screen, viewport } from './picture.js';

const kMinCssHeight = 16; // a pointer shrunk with a small picture is still found
const kAdoptAfterMs = 400; // after the last finger lifts, the desktop's word is final again

const el = document.createElement('img');
el.id = 'desktop-pointer';
el.alt = '';
el.hidden = true;
el.style.cssText = 'position:absolute;left:0;top:0;pointer-events:none;transform-origin:0 0';
viewport.append(el);

// x, y and the shape's sizes are picture pixels, as the server sends them.
const pointer = { x: 0, y: 0, visible: false, known: false, shape: null };
const fingers = new Set();
let liftedAt = -Infinity;

function draw() {
  const rect = screen.getBoundingClientRect();
  const shape = pointer.shape;
  if (!pointer.known || !pointer.visible || !shape || !frame.width || !rect.width || cursor.shown) {
    el.hidden = true;
    return;
  }
  const box = viewport.getBoundingClientRect();
  const k = rect.width / frame.width; // CSS pixels per picture pixel: the view's zoom and pan
  const s = k * Math.max(1, kMinCssHeight / Math.max(1, shape.height * k));
  el.style.width = `${shape.width * s}px`;
  el.style.height = `${shape.height * s}px`;
  const left = rect.left - box.left + pointer.x * k - shape.hotX * s;
  const top = rect.top - box.top + pointer.y * k - shape.hotY * s;
  el.style.transform = `translate(${left}px, ${top}px)`;
  el.hidden = false;
}

// The phone's pointer (trackpad mode's start, on the 0..1000 grid) follows the real one while no
// finger steers it.
const grid = (v, size) => Math.round(Math.max(0, Math.min(1000, (v / size) * 1000)) * 10) / 10;
function adopt() {
  cursor.real = pointer.known && pointer.visible && pointer.shape && frame.width ? [grid(pointer.x, frame.width), grid(pointer.y, frame.height)] : null;
  if (cursor.real && !fingers.size && performance.now() - liftedAt >= kAdoptAfterMs) cursor.at = cursor.real;
  drawCursor(); // draws this one too
}
cursor.onDraw = draw;

// A `pointer` or `pointer-shape` message of the live view.
export function showPointer(msg) {
  if (msg.type === 'pointer-shape') {
    if (typeof msg.url !== 'string' || !msg.url.startsWith('data:image/png;base64,')) return;
    pointer.shape = { width: +msg.width || 1, height: +msg.height || 1, hotX: +msg.hotX || 0, hotY: +msg.hotY || 0 };
    el.src = msg.url;
  } else {
    Object.assign(pointer, { x: +msg.x || 0, y: +msg.y || 0, visible: msg.visible !== false, known: true });
  }
  adopt();
}

// A new socket: nothing is known until it says.
export function forgetPointer() {
  pointer.known = false;
  adopt();
}

viewport.addEventListener('pointerdown', (event) => {
  fingers.add(event.pointerId);
  cursor.steering = true;
});
for (const name of ['pointerup', 'pointercancel']) {
  viewport.addEventListener(name, (event) => {
    fingers.delete(event.pointerId);
    cursor.steering = fingers.size > 0;
    liftedAt = performance.now();
    // Once the stroke's last move has arrived, or the desktop kept its pointer where it was.
    clearTimeout(adoptTimer);
    adoptTimer = setTimeout(adopt, kAdoptAfterMs);
  });
}
let adoptTimer = 0;
// Zoom, pan, a new frame size or a rotation restyle the picture: the pointer goes with it.
new MutationObserver(adopt).observe(screen, { attributes: true, attributeFilter: ['style', 'width', 'height'] });
