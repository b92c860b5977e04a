// Input for the desktop goes over the live socket when it is open (in order, at once); otherwise
// requests go out one at a time so that the desktop sees them in the order they were made.
// Keys and text typed while the link stalls or is down wait in pending-input.js; pointer input
// that cannot go now is dropped and the user is told.
import { api } from './api.js';
import { live } from './live.js';
import { hold, holding, isTyped } from './pending-input.js';
import { inputFailure, offline, toast } from './status.js';

let inputChain = Promise.resolve();

export function sendInput(body) {
  if (isTyped(body) && (holding() || !live.healthy())) {
    hold(body);
    return;
  }
  if (live.stalled) {
    toast('网络卡顿，这次点按没有送到电脑。');
    return;
  }
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
