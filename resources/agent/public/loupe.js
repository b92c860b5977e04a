// Aids to aim a finger at the picture: the long press's ring and the loupe.
import { frame, screen, viewport } from './picture.js';
import { $ } from './status.js';

// A ring at the finger fills while a long press builds up.
export function showHold(p) {
  const ring = $('hold-ring'); // an SVG element: no `hidden` property, the attribute it is
  ring.setAttribute('hidden', '');
  if (!p) return;
  const rect = viewport.getBoundingClientRect();
  ring.style.left = `${p.x - rect.left}px`;
  ring.style.top = `${p.y - rect.top}px`;
  void ring.getBoundingClientRect(); // restart the fill
  ring.removeAttribute('hidden');
}

// A magnifier above the finger while it rests or drags, when the view is too small to aim by eye.
const kLoupeZoom = 3; // CSS px per picture pixel in the loupe, at the least
const loupe = { el: $('loupe'), timer: 0, at: null };

export function showLoupe(p) {
  clearTimeout(loupe.timer);
  loupe.at = p;
  if (!p) {
    loupe.el.hidden = true;
    return;
  }
  // A quick tap shows nothing: the loupe comes once the finger stays a moment.
  if (loupe.el.hidden) loupe.timer = setTimeout(drawLoupe, 200);
  else drawLoupe();
}

function drawLoupe() {
  const p = loupe.at;
  const rect = screen.getBoundingClientRect();
  const cssPerPixel = rect.width / Math.max(1, frame.width);
  if (!p || !frame.width || cssPerPixel >= kLoupeZoom / 1.5) {
    loupe.el.hidden = true;
    return;
  }
  const size = loupe.el.clientWidth || 120;
  const dpr = window.devicePixelRatio || 1;
  if (loupe.el.width !== size * dpr) Object.assign(loupe.el, { width: size * dpr, height: size * dpr });
  const zoom = Math.max(kLoupeZoom, cssPerPixel * 2);
  const span = size / zoom; // picture pixels across the loupe
  const fx = ((p.x - rect.left) / rect.width) * frame.width;
  const fy = ((p.y - rect.top) / rect.height) * frame.height;
  const g = loupe.el.getContext('2d');
  g.fillStyle = '#000';
  g.fillRect(0, 0, loupe.el.width, loupe.el.height);
  g.imageSmoothingEnabled = false;
  g.drawImage(screen, fx - span / 2, fy - span / 2, span, span, 0, 0, loupe.el.width, loupe.el.height);
  g.strokeStyle = '#ff5252';
  g.lineWidth = dpr;
  const c = loupe.el.width / 2;
  g.strokeRect(c - 3 * dpr, c - 3 * dpr, 6 * dpr, 6 * dpr);
  const box = viewport.getBoundingClientRect();
  // Above the finger, below it near the top edge.
  const top = p.y - box.top - size - 50 < 0 ? p.y - box.top + 50 : p.y - box.top - size - 50;
  loupe.el.style.transform = `translate(${p.x - box.left - size / 2}px, ${top}px)`;
  loupe.el.hidden = false;
}
