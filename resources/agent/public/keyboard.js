// The keyboard panel: a text field whose committed text goes to the desktop as keystrokes, the
// on-screen modifiers (modifiers.js) and the extra keys. Every key goes out through pressKey, the
// key bar's and a hardware keyboard's too (hardware-keys.js).
import { sendInput } from './input.js';
import { kModifierOrder, latchedModifiers, releaseLatched, tapModifier } from './modifiers.js';
import { layout } from './picture.js';
import { $ } from './status.js';

// Typed text waits a moment for more, so a burst (an input method's word) goes as one request;
// any key first sends what was typed before it.
const typing = { text: '', timer: 0 };
function flushText() {
  clearTimeout(typing.timer);
  typing.timer = 0;
  const text = typing.text;
  typing.text = '';
  for (let i = 0; i < text.length; i += 400) sendInput({ action: 'type_text', text: text.slice(i, i + 400) });
}
export function typeText(text) {
  if (!text) return;
  if (latchedModifiers().length && [...text].length === 1) {
    pressKey(text.toLowerCase() === text.toUpperCase() ? text : text.toLowerCase());
    return;
  }
  typing.text += text.replace(/\r\n?/g, '\n');
  typing.timer ||= setTimeout(flushText, 30);
}

// `name` is a key_combo key name or one character, `held` the modifiers held with it (a hardware
// keyboard's); the latched ones join them. A key the old `key` action knows, without modifiers,
// goes as that action.
const kPlainKeys = new Set(['escape', 'tab', 'backspace', 'left', 'up', 'down', 'right', 'return', 'space']);
export function pressKey(name, held = []) {
  flushText();
  const modifiers = kModifierOrder.filter((m) => held.includes(m) || latchedModifiers().includes(m));
  if (modifiers.length) {
    sendInput({ action: 'key_combo', keys: [...modifiers, name].join('+') });
    releaseLatched();
  } else if (kPlainKeys.has(name)) {
    sendInput({ action: 'key', key: name });
  } else {
    sendInput({ action: 'key_combo', keys: name });
  }
}

// The text field: what the phone's keyboard commits goes to the desktop as keystrokes at once; an
// input method's composition stays in the field until it is committed. Keys that type no text
// (Enter, arrows, Ctrl+A…) are hardware-keys.js's.
export const field = $('kbd-text');
field.addEventListener('beforeinput', (event) => {
  if (event.isComposing || event.inputType === 'insertCompositionText') return;
  if (event.inputType === 'insertText' || event.inputType === 'insertFromPaste' || event.inputType === 'insertReplacementText') {
    event.preventDefault();
    typeText(event.data ?? event.dataTransfer?.getData('text/plain') ?? '');
  } else if (event.inputType === 'insertLineBreak' || event.inputType === 'insertParagraph') {
    event.preventDefault();
    pressKey('return');
  } else if (event.inputType === 'deleteContentBackward') {
    event.preventDefault();
    pressKey('backspace');
  } else if (event.inputType === 'deleteContentForward') {
    event.preventDefault();
    pressKey('delete');
  }
});
field.addEventListener('compositionend', (event) => {
  typeText(event.data);
  // The committed text has been sent: the field starts empty for the next word.
  setTimeout(() => (field.value = ''), 0);
});

const panel = $('kbd');
panel.addEventListener('click', (event) => {
  const button = event.target.closest('button');
  if (!button) return;
  if (button.dataset.mod) tapModifier(button.dataset.mod);
  else if (button.dataset.combo) pressKey(button.dataset.combo);
});

function showPanel(shown) {
  panel.hidden = !shown;
  // A hidden field keeps the focus until the browser notices: keys typed meanwhile would vanish in it.
  if (!shown && document.activeElement === field) field.blur();
  for (const action of ['keyboard', 'keypad']) $('keys').querySelector(`[data-action="${action}"]`)?.setAttribute('aria-pressed', String(shown));
  layout();
}

// 键盘: the panel with the phone's keyboard up (the field focused), or closed.
export function toggleKeyboard() {
  const typing = !panel.hidden && document.activeElement === field;
  showPanel(!typing);
  if (!typing) field.focus();
}

// Fn: the panel's modifiers and keys without the phone's keyboard (the field left), or closed.
export function toggleKeypad() {
  if (!panel.hidden && document.activeElement !== field) {
    showPanel(false);
    return;
  }
  field.blur();
  showPanel(true);
}
