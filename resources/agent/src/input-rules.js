// The input rules the agent server, MCP and the web client's server side share. The control
// service keeps the same tables in C++; a test there holds the two together.

// Unknown actions get a 400 here, before they reach the control service.
export const kInputActions = new Set([
  'triple_click', 'middle_click',
  'move', 'left_click', 'click', 'double_click', 'right_click', 'left_down', 'left_drag', 'left_up',
  'right_down', 'right_drag', 'right_up', 'drag', 'scroll', 'paste', 'key', 'key_combo', 'type_text',
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

// Characters of one typing request through the agent server; the control service takes 500 at a
// time, so longer texts go in pieces.
export const kMaxTypeChars = 10000;

// Typing takes 10 ms a character, and up to 200 ms more for one waiting for a lent key.
export function inputTimeoutMs(request) {
  const typing = typeof request?.action === 'string' && request.action.trim() === 'type_text' && typeof request.text === 'string';
  return typing ? 15000 + 250 * request.text.length : 15000;
}
