// Input for the desktop goes over the live socket when it is open (in order, at once); otherwise
// requests go out one at a time so that the desktop sees them in the order they were made.
// Nothing is queued for later: input that cannot go now is refused and the user is told.
import { api } from './api.js';
import { live } from './live.js';
import { inputFailure, toast } from './status.js';

let inputChain = Promise.resolve();

export function sendInput(body) {
  if (live.input(body)) return;
  if (live.ws === null && !navigator.onLine) {
    toast(inputFailure(0));
    return;
  }
  inputChain = inputChain.then(async () => {
    try {
      await api('/api/input', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
    } catch (err) {
      toast(`操作失败：${inputFailure(err.status, err.message)}`);
    }
  });
}

// Settles once the input sent so far has gone out: at once on the live socket, else after the
// requests on their way.
export function inputSent() {
  return live.isOpen() ? Promise.resolve() : inputChain;
}
