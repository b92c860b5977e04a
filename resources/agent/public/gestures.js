// Touch gestures of the screen view, in client pixels: the caller maps them onto the desktop.
const kTapSlop = 10; // px a finger may wander and still tap
const kLongPressMs = 550;
const kDoubleTapMs = 400;
const kDoubleTapSlop = 30;
const kPinchThreshold = 0.12; // relative change of finger distance that makes two fingers a pinch
const kScrollThreshold = 12;

function centre(touches) {
  const [a, b] = [touches[0], touches[1]];
  return { x: (a.clientX + b.clientX) / 2, y: (a.clientY + b.clientY) / 2, d: Math.hypot(a.clientX - b.clientX, a.clientY - b.clientY) };
}

// handlers: tap(p), longPress(p), drag(from, to), scroll(dy), pinch({ scale, start, now, phase })
export function attachGestures(element, handlers) {
  let state = null;
  let lastTap = null;
  let longTimer = 0;

  const cancelLong = () => clearTimeout(longTimer);

  element.addEventListener('touchstart', (event) => {
    event.preventDefault();
    const touches = event.touches;
    if (touches.length === 1 && !state) {
      const p = { x: touches[0].clientX, y: touches[0].clientY };
      state = { mode: 'one', start: p, last: p };
      longTimer = setTimeout(() => {
        if (state?.mode === 'one') {
          state.mode = 'done';
          handlers.longPress(state.start);
        }
      }, kLongPressMs);
    } else if (touches.length === 2 && (!state || state.mode === 'one' || state.mode === 'drag')) {
      cancelLong();
      const c = centre(touches);
      state = { mode: 'two', start: c, last: c };
    } else if (state) {
      cancelLong();
      if (state.mode === 'pinch') handlers.pinch({ scale: state.last.d / state.start.d, start: state.start, now: state.last, phase: 'end' });
      state.mode = 'done'; // three fingers or more: ignore until all are lifted
    }
  }, { passive: false });

  element.addEventListener('touchmove', (event) => {
    event.preventDefault();
    if (!state) return;
    const touches = event.touches;
    if ((state.mode === 'one' || state.mode === 'drag') && touches.length === 1) {
      const p = { x: touches[0].clientX, y: touches[0].clientY };
      state.last = p;
      if (state.mode === 'one' && Math.hypot(p.x - state.start.x, p.y - state.start.y) > kTapSlop) {
        cancelLong();
        state.mode = 'drag';
      }
    } else if (['two', 'pinch', 'scroll'].includes(state.mode) && touches.length >= 2) {
      const c = centre(touches);
      const scale = c.d / Math.max(1, state.start.d);
      if (state.mode === 'two') {
        if (Math.abs(scale - 1) > kPinchThreshold) state.mode = 'pinch';
        else if (Math.abs(c.y - state.start.y) > kScrollThreshold) state.mode = 'scroll';
      }
      if (state.mode === 'pinch') handlers.pinch({ scale, start: state.start, now: c, phase: 'move' });
      if (state.mode === 'scroll') handlers.scroll(c.y - state.last.y);
      if (state.mode !== 'two') state.last = c;
    }
  }, { passive: false });

  const finish = (event) => {
    event.preventDefault();
    if (!state || event.touches.length > 0) {
      if (state && state.mode === 'one') state.mode = 'done';
      return;
    }
    cancelLong();
    const { mode, start, last } = state;
    state = null;
    if (mode === 'drag') handlers.drag(start, last);
    else if (mode === 'pinch') handlers.pinch({ scale: last.d / start.d, start, now: last, phase: 'end' });
    else if (mode === 'one') tap(start);
  };
  element.addEventListener('touchend', finish, { passive: false });
  element.addEventListener('touchcancel', (event) => {
    cancelLong();
    state = null;
    event.preventDefault();
  }, { passive: false });

  // A tap goes out at once. A second tap soon after and close by lands on the first one's spot,
  // so that the desktop, which sees two clicks in quick succession, makes them a double click.
  function tap(p) {
    const now = performance.now();
    const near = lastTap && now - lastTap.at < kDoubleTapMs && Math.hypot(p.x - lastTap.p.x, p.y - lastTap.p.y) < kDoubleTapSlop;
    const at = near ? lastTap.p : p;
    lastTap = near ? null : { p, at: now };
    handlers.tap(at);
  }

  // Mouse, for a desktop browser; touches never get here because their default is prevented.
  element.addEventListener('click', (e) => tap({ x: e.clientX, y: e.clientY }));
  element.addEventListener('contextmenu', (e) => {
    e.preventDefault();
    handlers.longPress({ x: e.clientX, y: e.clientY });
  });
  element.addEventListener('wheel', (e) => {
    e.preventDefault();
    handlers.scroll(-e.deltaY);
  }, { passive: false });
}
