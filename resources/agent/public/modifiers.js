// The on-screen modifiers: a tap latches one for the next key, a double tap locks it until it is
// tapped again. A locked one is held down on the desktop (key_down … key_up), so it applies to
// pointer clicks too; a latched one goes with the next key as a combination.
import { sendInput } from './input.js';
import { onLinkOpen } from './pending-input.js';

export const kModifierOrder = ['ctrl', 'alt', 'super', 'shift'];
const kDoubleTapMs = 400;
const state = new Map(); // name -> 'latched' | 'locked'
const tappedAt = new Map();

function set(name, next) {
  const was = state.get(name);
  if (was === next) return;
  if (next) state.set(name, next);
  else state.delete(name);
  if (was === 'locked') sendInput({ action: 'key_up', key: name });
  if (next === 'locked') sendInput({ action: 'key_down', key: name });
  for (const button of document.querySelectorAll(`[data-mod="${name}"]`)) {
    button.setAttribute('aria-pressed', String(Boolean(next)));
    if (next) button.dataset.state = next;
    else delete button.dataset.state;
  }
}

export function tapModifier(name) {
  const now = performance.now();
  const double = now - (tappedAt.get(name) ?? -Infinity) < kDoubleTapMs;
  tappedAt.set(name, double ? -Infinity : now);
  const was = state.get(name);
  if (was === 'latched' && double) set(name, 'locked');
  else set(name, was ? null : 'latched');
}

// The latched ones, in the order a combination names them.
export const latchedModifiers = () => kModifierOrder.filter((name) => state.get(name) === 'latched');
export const lockedModifiers = () => kModifierOrder.filter((name) => state.get(name) === 'locked');

export function releaseLatched() {
  for (const name of latchedModifiers()) set(name, null);
}

// A new socket: the server let go of what the last one held down.
onLinkOpen(() => lockedModifiers().map((key) => ({ action: 'key_down', key })));
