// The input rules the agent server, MCP and the web client's server side share. The control
// service keeps the same tables in C++; a test there holds the two together.

// Unknown actions get a 400 here, before they reach the control service.
export const kInputActions = new Set([
  'triple_click', 'middle_click',
  'move', 'left_click', 'click', 'double_click', 'right_click', 'left_down', 'left_drag', 'left_up',
  'right_down', 'right_drag', 'right_up', 'drag', 'scroll', 'paste', 'key', 'key_combo', 'type_text',
  'key_down', 'key_up',
]);

// The names "key" and "key_combo" accept, matched trimmed and lower-cased (so xdotool's Return,
// BackSpace, Page_Down work). One meaning each: "delete" is the forward Delete.
export const kKeyNames = [
  'return', 'enter', 'tab', 'space', 'backspace', 'delete', 'del', 'escape', 'esc',
  'left', 'right', 'down', 'up', 'insert', 'ins', 'home', 'end', 'page_up', 'pageup', 'prior',
  'page_down', 'pagedown', 'menu', 'f1', 'f2', 'f3', 'f4', 'f5', 'f6', 'f7', 'f8', 'f9', 'f10',
  'f11', 'f12', 'ctrl', 'control', 'alt', 'super', 'win', 'shift',
];
const kKeyNameSet = new Set(kKeyNames);

export function isKeyName(name) {
  return typeof name === 'string' && kKeyNameSet.has(name.trim().toLowerCase());
}

// xdotool's names (X keysyms, lower-cased) that the table above lacks: other names of its keys, and
// the names of characters. The MCP key tools take them as well.
export const kXdotoolKeys = new Map([
  ['next', 'page_down'], ['kp_enter', 'return'], ['iso_left_tab', 'tab'],
  ['control_l', 'ctrl'], ['control_r', 'ctrl'], ['shift_l', 'shift'], ['shift_r', 'shift'],
  ['alt_l', 'alt'], ['alt_r', 'alt'], ['super_l', 'super'], ['super_r', 'super'],
  ['minus', '-'], ['plus', '+'], ['equal', '='], ['comma', ','], ['period', '.'], ['slash', '/'],
  ['backslash', '\\'], ['semicolon', ';'], ['colon', ':'], ['apostrophe', "'"], ['quotedbl', '"'],
  ['grave', '`'], ['asciitilde', '~'], ['bracketleft', '['], ['bracketright', ']'], ['braceleft', '{'],
  ['braceright', '}'], ['parenleft', '('], ['parenright', ')'], ['less', '<'], ['greater', '>'],
  ['question', '?'], ['exclam', '!'], ['at', '@'], ['numbersign', '#'], ['dollar', '$'],
  ['percent', '%'], ['asciicircum', '^'], ['ampersand', '&'], ['asterisk', '*'], ['underscore', '_'],
  ['bar', '|'],
]);
const kModifierNames = new Set(['ctrl', 'control', 'alt', 'super', 'win', 'shift']);

// One key as the tables above name it: { key } (a name of kKeyNames, lower-cased) or { character }
// (as given: a letter names its key whatever its case), or { error }.
export function keyPart(text) {
  const trimmed = text.trim();
  const name = trimmed.toLowerCase();
  const known = kXdotoolKeys.get(name) ?? name;
  if (kKeyNameSet.has(known)) return { key: known };
  const characters = [...(kXdotoolKeys.has(name) ? known : trimmed)];
  if (characters.length === 1 && !/[\0-\x1f\x7f-\x9f]/.test(characters[0])) return { character: characters[0] };
  return { error: trimmed ? `Unknown key "${trimmed}".` : 'A key name is empty (the plus key is written "ctrl++").' };
}

// A combination as "ctrl+shift+t" (split at each +; a + after a separator is the plus key: "ctrl++")
// onto its parts for the key_combo action: { parts } or { error }.
export function comboParts(text) {
  const names = [];
  for (let start = 0; start <= text.length;) {
    let plus = text.indexOf('+', start);
    if (plus === start && (start === 0 || text[start - 1] === '+') && (plus + 1 === text.length || text[plus + 1] === '+')) {
      names.push('+');
      start = plus + 2;
      continue;
    }
    if (plus === -1) plus = text.length;
    names.push(text.slice(start, plus));
    start = plus + 1;
  }
  if (names.length > 5) return { error: 'A key combination has at most four modifiers and one key.' };
  const parts = [];
  for (const [at, name] of names.entries()) {
    const part = keyPart(name);
    if (part.error) return part;
    if (at < names.length - 1 && !kModifierNames.has(part.key)) {
      return { error: `Only ctrl, alt, super and shift go before the last key, not "${name.trim()}".` };
    }
    parts.push(part.key ?? part.character);
  }
  return { parts };
}

// Characters of one typing request through the agent server; the control service takes 500 at a
// time, so longer texts go in pieces.
export const kMaxTypeChars = 10000;

// Typing takes 10 ms a character, and up to 200 ms more for one waiting for a lent key.
export function inputTimeoutMs(request) {
  const typing = typeof request?.action === 'string' && request.action.trim() === 'type_text' && typeof request.text === 'string';
  return typing ? 15000 + 250 * request.text.length : 15000;
}
