// Input for the desktop goes over the live socket when it is open (in order, at once); otherwise
// requests go out one at a time so that the desktop sees them in the order they were made.
// Keys and text typed while the link stalls or is down wait in pending-input.js; pointer input
// that cannot go now is dropped and the user is told.
import { api } from './api.js';
import { live } from './live.js';
import { hold, holding, isTyped } from './pending-input.js';
import { inputFailure, offline, toast } from './status.js';

let inputChain = Promise.resolve();
// Buttons pressed on the desktop: their release is held like a key, so none stays down; a release
// whose press was dropped is dropped too.
const kReleases = { left_up: 'left_down', right_up: 'right_down' };
const buttonsDown = new Set();

export function sendInput(body) {
  const press = kReleases[body.action];
  const release = press && buttonsDown.delete(press);
  if ((isTyped(body) || release) && (holding() || !live.healthy())) {
    hold(body);
    return;
  }
  if (live.stalled || (press && !release)) {
    if (live.stalled) toast('网络卡顿，这次点按没有送到电脑。');
    return;
  }
  if (body.action in { left_down: 1, right_down: 1 }) buttonsDown.add(body.action);
  if (live.input(body)) return;
  if (live.ws === null && !navigator.onLine) {
    toast(inputFailure(0));
    return;
  }
  inputChain = inputChain.then(async () => {
    try {
      await api('/api/input', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
    } catch (err) {
      toast(offline(err) ? '网络已断开，这次点按没有送到电脑。' : `操作失败：${inputFailure(err.status, err.message)}`);
    }
  });
}

// Settles once the input sent so far has gone out: at once on the live socket, else after the
// requests on their way.
export function inputSent() {
  return live.isOpen() ? Promise.resolve() : inputChain;
}
