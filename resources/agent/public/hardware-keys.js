// A hardware keyboard (a Bluetooth one on a phone or tablet): every key with the modifiers held as
// they are, whenever no text field of ours has the focus, and in the keyboard panel's field for the
// keys that type no text (its text comes through the field's input events, so an input method
// works as on any page). Alt and Super stay down on the desktop while they are down here
// (key_down … key_up), so Alt held across several Tabs walks a window switcher; Ctrl and Shift go
// with each key as a combination.
import { sendInput } from './input.js';
import { field, pressKey, typeText } from './keyboard.js';
import { terminal } from './terminal.js';

const kNamedKeys = { Enter: 'return', Tab: 'tab', Escape: 'escape', Backspace: 'backspace', Delete: 'delete',
  Insert: 'insert', Home: 'home', End: 'end', PageUp: 'page_up', PageDown: 'page_down', ArrowLeft: 'left',
  ArrowRight: 'right', ArrowUp: 'up', ArrowDown: 'down', ContextMenu: 'menu' };
for (let i = 1; i <= 12; i++) kNamedKeys[`F${i}`] = `f${i}`;
const kModifierKeys = { Control: 'ctrl', Alt: 'alt', Meta: 'super', OS: 'super', Shift: 'shift' };
const kHeldModifiers = ['alt', 'super'];

// What a keydown means: { text } for a key that types (Shift is in its character already), or
// { name, modifiers } for one to press; null for what we leave alone (a modifier alone, dead keys,
// media keys).
export function strokeOf(event) {
  if (kModifierKeys[event.key]) return null;
  const altGraph = event.getModifierState?.('AltGraph');
  const modifiers = [];
  if (event.ctrlKey && !altGraph) modifiers.push('ctrl');
  if (event.altKey && !altGraph) modifiers.push('alt');
  if (event.metaKey) modifiers.push('super');
  if (event.shiftKey) modifiers.push('shift');
  let name = kNamedKeys[event.key];
  if (!name) {
    if ([...event.key].length !== 1) return null;
    if (!modifiers.some((m) => m !== 'shift')) return { text: event.key };
    // Ctrl+A on any layout: the key's place names it, as the desktop's shortcuts expect.
    const place = /^(?:Key|Digit)(.)$/.exec(event.code);
    name = place ? place[1].toLowerCase() : event.key.toLowerCase();
  }
  return { name, modifiers };
}

const down = new Set(); // modifiers we pressed on the desktop and have not released
function release(name) {
  if (down.delete(name)) sendInput({ action: 'key_up', key: name });
}
function releaseAll() {
  for (const name of [...down]) release(name);
}

function send(stroke) {
  if (stroke.text) {
    typeText(stroke.text);
    return;
  }
  for (const name of stroke.modifiers) {
    if (!kHeldModifiers.includes(name) || down.has(name)) continue;
    down.add(name);
    sendInput({ action: 'key_down', key: name });
  }
  pressKey(stroke.name, stroke.modifiers.filter((m) => !down.has(m)));
}

function ours(event) {
  if (terminal.shown() || document.querySelector('dialog[open]')) return false; // they take their keys themselves
  const target = event.target;
  return target === field || !target?.closest?.('input, textarea, select, [contenteditable]');
}

window.addEventListener('keydown', (event) => {
  if (event.defaultPrevented || event.isComposing || event.keyCode === 229 || !ours(event)) return;
  // A release we missed (the key came up while another window had the focus).
  if (down.has('alt') && !event.altKey) release('alt');
  if (down.has('super') && !event.metaKey) release('super');
  const stroke = strokeOf(event);
  if (!stroke || (stroke.text && event.target === field)) return;
  event.preventDefault();
  send(stroke);
});
window.addEventListener('keyup', (event) => {
  const name = kModifierKeys[event.key];
  if (name) release(name);
});
window.addEventListener('blur', releaseAll);
document.addEventListener('zel-link', ({ detail }) => detail === 'open' && down.clear()); // the server let go of the last socket's
document.addEventListener('visibilitychange', () => document.hidden && releaseAll());

// In full screen the browser lets the page have the keys it keeps otherwise (Ctrl+W, Ctrl+T…).
document.addEventListener('fullscreenchange', () => {
  if (document.fullscreenElement) navigator.keyboard?.lock?.().catch(() => {});
  else navigator.keyboard?.unlock?.();
});
