// Keys and text typed while the link is not live: held in order, shown over the keyboard field,
// and sent once when it is back (over the live socket, or by requests while the socket is down).
// Pointer input is never held: a click replayed seconds later lands on a screen that has moved.
import { api } from './api.js';
import { layout } from './picture.js';
import { live } from './live.js';
import { $, inputFailure, offline, toast } from './status.js';

const kTypedActions = new Set(['type_text', 'key', 'key_combo', 'key_down', 'key_up']);
const queue = []; // request bodies, oldest first
let posting = false; // a request of the queue is on its way
let httpDown = false; // the last request found no server: wait for the socket to come back
const openHooks = [];

// fn() gives the requests every new live socket starts with, before what is held goes out on it.
export function onLinkOpen(fn) {
  openHooks.push(fn);
}

export const isTyped = (body) => kTypedActions.has(body.action);
export const holding = () => queue.length > 0;

export function hold(body) {
  const last = queue.at(-1);
  // Characters typed one by one go out as one text.
  if (!posting && last?.action === 'type_text' && body.action === 'type_text' && last.text.length + body.text.length <= 400) last.text += body.text;
  else queue.push({ ...body });
  render();
  flush();
}

function post(body) {
  return api('/api/input', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
}

// Sends what is held, in order, each once: it leaves the queue as it is handed to the socket or
// as its request is answered.
function flush() {
  while (queue.length && !posting) {
    if (live.healthy()) {
      live.input(queue.shift());
      continue;
    }
    if (live.isOpen() || httpDown) break; // stalled, or no server: wait for the link
    posting = true;
    post(queue[0]).then(() => queue.shift(), (err) => {
      if (offline(err)) httpDown = true;
      else {
        queue.shift(); // refused: sending it again would not help
        toast(`操作失败：${inputFailure(err.status, err.message)}`);
      }
    }).finally(() => {
      posting = false;
      render();
      flush();
    });
  }
  render();
}

// What waits, as the user typed it.
const kKeyMarks = { return: '⏎', backspace: '⌫', tab: '⇥', delete: '⌦', left: '←', right: '→', up: '↑', down: '↓', space: ' ' };
function describe(body) {
  if (body.action === 'type_text') return body.text;
  if (body.action === 'key') return kKeyMarks[body.key] ?? `[${body.key}]`;
  if (body.action === 'key_combo') return `[${body.keys}]`;
  return '';
}
const strip = $('pending');
function render() {
  const shown = !strip.hidden;
  strip.hidden = queue.length === 0;
  $('pending-text').textContent = queue.map(describe).join('');
  if (shown !== !strip.hidden) layout();
}

// Clearing drops what was typed; keys held down and their release stay, so none is left down.
$('pending-clear').addEventListener('click', () => {
  const keep = queue.filter((body) => body.action === 'key_down' || body.action === 'key_up');
  queue.splice(0, queue.length, ...keep);
  flush();
});

document.addEventListener('zel-link', ({ detail }) => {
  if (detail === 'open') {
    httpDown = false;
    queue.unshift(...openHooks.flatMap((fn) => fn()));
  }
  flush();
});
