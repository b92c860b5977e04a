// Touch gestures of the screen view, in client pixels: the caller maps them onto the desktop.
// One finger works on the desktop (tap, live drag, hold); two fingers move and zoom the view, or,
// where the view cannot move, scroll the desktop when they swipe up or down together (as on a
// trackpad); three fingers scroll the desktop. A gesture keeps the kind it started as until every finger is up,
// so a stray finger never turns a pan into a click. A gesture that begins off the picture (the
// letterbox) never reaches the desktop: one finger there moves the view, three do nothing.
const kLongPressMs = 550; // style.css fills the hold ring in the same time
const kTapSlop = 10; // px a finger may wander and still tap
const kTwoTapMs = 300; // two fingers down and up within this, unmoved: a two-finger tap
const kFlickMs = 200; // a finger past the slop this soon after touching down flicks the zoomed view
const kStillPx = 2; // a finger that wanders no further is resting: a hold, or a slow tap
const kPreciseTapMs = 200; // a steering finger taps only when it is this quick (or resting) and within the slop
const kTwoSlop = 12; // px two fingers travel or spread before the gesture is told a swipe or a pinch

const point = (t, event) => ({ x: t.clientX, y: t.clientY, t: event.timeStamp });
function centre(touches) {
  const list = [...touches];
  const x = list.reduce((s, t) => s + t.clientX, 0) / list.length;
  const y = list.reduce((s, t) => s + t.clientY, 0) / list.length;
  const d = list.length > 1 ? Math.hypot(list[0].clientX - list[1].clientX, list[0].clientY - list[1].clientY) : 0;
  return { x, y, d };
}

// handlers: tap(p), longPress(p), hold(p | null) (a long press is filling at p; null: it stopped),
// press(p, held), move(p), release(p) (a live drag; held: it began with a long press), view({ dx, dy, scale, at }), scroll(p, dy) (p: where
// the fingers came down),
// twoFingerTap(p), finger(p | null) (where the one finger is on the glass while it works the desktop),
// reaches(p) (a gesture beginning at p may act on the desktop), pannable() (the view is larger than
// the viewport: a one-finger flick moves it), precise() (one finger steers a pointer by its travel:
// press and move from the first pixel, and a tap is told by time and distance together).
// Points carry the event's time as t.
export function attachGestures(element, handlers) {
  let state = null;
  let timer = 0;
  const scrollOrNothing = (touches) => (handlers.reaches(centre(touches)) ? { mode: 'scroll', start: centre(touches), last: centre(touches) } : { mode: 'done' });

  const stopHold = () => {
    clearTimeout(timer);
    handlers.finger(null);
    if (state?.holding) handlers.hold(null);
    if (state) state.holding = false;
  };

  element.addEventListener('touchstart', (event) => {
    event.preventDefault();
    const touches = event.touches;
    if (!state) {
      if (touches.length === 2) state = { mode: 'view', first: centre(touches), last: centre(touches), at: performance.now(), moved: false };
      else if (touches.length === 3) state = scrollOrNothing(touches);
      else if (touches.length > 3) state = { mode: 'done' };
      if (state) return;
      const p = point(touches[0], event);
      if (!handlers.reaches(p)) {
        state = { mode: 'pan', last: p };
        return;
      }
      state = { mode: 'one', start: p, last: p, holding: true, far: 0, precise: handlers.precise(), gliding: false };
      handlers.hold(p);
      handlers.finger(p);
      timer = setTimeout(() => {
        if (state?.mode !== 'one' || state.far > kStillPx) return;
        state.mode = 'held';
        navigator.vibrate?.(30);
      }, kLongPressMs);
      return;
    }
    if (state.mode === 'drag' || state.gliding) handlers.release(state.last); // a second finger ends the drag
    stopHold();
    if (touches.length === 2 && ['one', 'held', 'drag', 'pan'].includes(state.mode)) {
      state = { mode: 'view', first: centre(touches), last: centre(touches), at: performance.now(), moved: false };
    } else if (touches.length === 3 && state.mode === 'view') {
      state = scrollOrNothing(touches);
    } else {
      state = { mode: 'done' };
    }
  }, { passive: false });

  // A steering finger moves the pointer from its first pixel; past a rest it drags.
  function preciseMove(p, travel) {
    if (state.far > kStillPx && state.holding) stopHold();
    if (state.mode === 'held' && travel > kStillPx) {
      stopHold();
      state.mode = 'drag';
      handlers.press(state.start, true);
    } else if (state.mode === 'one' && !state.gliding) {
      state.gliding = true;
      handlers.press(state.start, false);
    }
    if (state.mode !== 'held') handlers.move(p);
  }

  element.addEventListener('touchmove', (event) => {
    event.preventDefault();
    if (!state) return;
    const touches = event.touches;
    if (state.mode === 'pan' && touches.length === 1) {
      const p = point(touches[0], event);
      handlers.view({ dx: p.x - state.last.x, dy: p.y - state.last.y, scale: 1, at: p });
      state.last = p;
    } else if (['one', 'held', 'drag'].includes(state.mode) && touches.length === 1) {
      const p = point(touches[0], event);
      state.last = p;
      handlers.finger(p);
      const travel = Math.hypot(p.x - state.start.x, p.y - state.start.y);
      state.far = Math.max(state.far, travel);
      if (state.precise) preciseMove(p, travel);
      else if (state.mode !== 'drag' && travel > kTapSlop) {
        const held = state.mode === 'held';
        stopHold();
        if (!held && handlers.pannable() && p.t - state.start.t < kFlickMs) {
          // A quick swipe on a zoomed view moves the view; a finger that rested first drags.
          state = { mode: 'pan', last: state.start };
          handlers.view({ dx: p.x - state.last.x, dy: p.y - state.last.y, scale: 1, at: p });
          state.last = p;
          return;
        }
        state.mode = 'drag';
        handlers.press(state.start, held);
      }
      if (state.mode === 'drag' && !state.precise) handlers.move(p);
    } else if (state.mode === 'view' && touches.length === 2) {
      const c = centre(touches);
      const { last, first } = state;
      // Told once per gesture: a spread zooms; an upright swipe scrolls where the view cannot move.
      if (!state.kind) {
        const [dx, dy] = [c.x - first.x, c.y - first.y];
        state.moved = state.moved || Math.hypot(dx, dy) > 2 || Math.abs(c.d - first.d) > 2;
        if (Math.abs(c.d - first.d) > kTwoSlop) state.kind = 'view';
        else if (Math.hypot(dx, dy) > kTwoSlop) state.kind = Math.abs(dy) > Math.abs(dx) && !handlers.pannable() && handlers.reaches(first) ? 'scroll' : 'view';
        if (!state.kind) return;
      }
      if (state.kind === 'scroll') {
        handlers.scroll(first, c.y - last.y);
        state.last = c;
      } else if (Math.hypot(c.x - last.x, c.y - last.y) > 0 || c.d !== last.d) {
        state.moved = state.moved || Math.hypot(c.x - last.x, c.y - last.y) > 2 || Math.abs(c.d - last.d) > 2;
        handlers.view({ dx: c.x - last.x, dy: c.y - last.y, scale: last.d > 0 ? c.d / last.d : 1, at: c });
        state.last = c;
      }
    } else if (state.mode === 'scroll' && touches.length === 3) {
      const c = centre(touches);
      handlers.scroll(state.start, c.y - state.last.y);
      state.last = c;
    }
  }, { passive: false });

  element.addEventListener('touchend', (event) => {
    event.preventDefault();
    if (!state) return;
    if (event.touches.length > 0) {
      // Fewer fingers than the gesture began with: it goes on as it was, but no longer moves.
      if (state.mode === 'view' && !state.moved && performance.now() - state.at < kTwoTapMs) state.tapAt = state.last;
      if (state.mode !== 'view' && state.mode !== 'done') state = { mode: 'done' };
      else if (state.mode === 'view') state.mode = 'lifting';
      return;
    }
    const ended = state;
    stopHold();
    state = null;
    if (ended.mode === 'one' && ended.precise) {
      const quick = event.timeStamp - ended.start.t < kPreciseTapMs;
      if (ended.far < kTapSlop && (quick || ended.far <= kStillPx)) handlers.tap(ended.start);
      else if (ended.gliding) handlers.release(ended.last);
    } else if (ended.mode === 'one') handlers.tap(ended.start);
    else if (ended.mode === 'held') handlers.longPress(ended.start);
    else if (ended.mode === 'drag') handlers.release(ended.last);
    else if (ended.mode === 'lifting' && ended.tapAt) handlers.twoFingerTap(ended.tapAt);
    else if (ended.mode === 'view' && !ended.moved && performance.now() - ended.at < kTwoTapMs) handlers.twoFingerTap(ended.last);
  }, { passive: false });

  element.addEventListener('touchcancel', (event) => {
    event.preventDefault();
    if (state?.mode === 'drag' || state?.gliding) handlers.release(state.last);
    stopHold();
    state = null;
  }, { passive: false });

  // Mouse, for a desktop browser; touches never get here because their default is prevented.
  element.addEventListener('click', (e) => handlers.tap({ x: e.clientX, y: e.clientY }));
  element.addEventListener('contextmenu', (e) => {
    e.preventDefault();
    handlers.longPress({ x: e.clientX, y: e.clientY });
  });
  element.addEventListener('wheel', (e) => {
    e.preventDefault();
    const at = { x: e.clientX, y: e.clientY };
    if (e.ctrlKey) handlers.view({ dx: 0, dy: 0, scale: Math.exp(-e.deltaY / 200), at });
    else handlers.scroll(at, -e.deltaY);
  }, { passive: false });
}
