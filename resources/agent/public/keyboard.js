// The keyboard panel: a text field whose committed text goes to the desktop as keystrokes, sticky
// modifiers and the extra keys. Every key goes out through pressKey, the key bar's too.
import { sendInput } from './input.js';
import { layout } from './picture.js';
import { $ } from './status.js';

// Sticky modifiers: a tap holds one down for the next key, which then goes out as a combination.
const modifiers = new Set();
function setModifier(name, on) {
  if (on) modifiers.add(name);
  else modifiers.delete(name);
  const button = document.querySelector(`[data-mod="${name}"]`);
  button?.setAttribute('aria-pressed', String(on));
}
function releaseModifiers() {
  for (const name of [...modifiers]) setModifier(name, false);
}

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
function typeText(text) {
  if (!text) return;
  if (modifiers.size && [...text].length === 1) {
    pressKey(text.toLowerCase() === text.toUpperCase() ? text : text.toLowerCase());
    return;
  }
  typing.text += text.replace(/\r\n?/g, '\n');
  typing.timer ||= setTimeout(flushText, 30);
}

// `name` is a key_combo key name or one character; a key the old `key` action knows, without
// modifiers, goes as that action.
const kPlainKeys = new Set(['escape', 'tab', 'backspace', 'left', 'up', 'down', 'right', 'return', 'space']);
export function pressKey(name) {
  flushText();
  if (modifiers.size) {
    sendInput({ action: 'key_combo', keys: [...modifiers, name].join('+') });
    releaseModifiers();
  } else if (kPlainKeys.has(name)) {
    sendInput({ action: 'key', key: name });
  } else {
    sendInput({ action: 'key_combo', keys: name });
  }
}

// The text field: what the phone's keyboard commits goes to the desktop as keystrokes at once; an
// input method's composition stays in the field until it is committed.
const field = $('kbd-text');
const kFieldKeys = { Enter: 'return', Backspace: 'backspace', Tab: 'tab', Escape: 'escape',
  ArrowLeft: 'left', ArrowRight: 'right', ArrowUp: 'up', ArrowDown: 'down', Delete: 'delete',
  Home: 'home', End: 'end', PageUp: 'page_up', PageDown: 'page_down' };
field.addEventListener('keydown', (event) => {
  if (event.isComposing || event.keyCode === 229) return;
  const name = kFieldKeys[event.key];
  if (!name) return;
  event.preventDefault();
  pressKey(name);
});
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
  if (button.dataset.mod) setModifier(button.dataset.mod, !modifiers.has(button.dataset.mod));
  else if (button.dataset.combo) pressKey(button.dataset.combo);
});

export function toggleKeyboard() {
  panel.hidden = !panel.hidden;
  $('keys').querySelector('[data-action="keyboard"]').setAttribute('aria-pressed', String(!panel.hidden));
  if (!panel.hidden) field.focus();
  layout();
}
