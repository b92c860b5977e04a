// The agent's API as the page reaches it: the device key, got once for the pairing code of the
// QR code's address, and requests that carry it.
import { kCutOffText } from './status.js';

const kKeyName = 'zel-agent-key';

// The pairing link opens /?token=<code>: take the code out of the address bar and history at once.
function takeCode() {
  const params = new URLSearchParams(location.search);
  const code = params.get('token');
  if (code) {
    params.delete('token');
    const rest = params.toString();
    history.replaceState(null, '', location.pathname + (rest ? `?${rest}` : '') + location.hash);
  }
  return code;
}

function storage(action) {
  try {
    return action(localStorage);
  } catch {
    return null; // private browsing: the key lives as long as the page
  }
}

let code = takeCode();
storage((s) => s.removeItem('zel-agent-token')); // what pages kept before device keys: a spent code
export const pairing = () => code !== null;
// The device key every request and socket carries; null until paired.
export let token = storage((s) => s.getItem(kKeyName));

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
    this.cutOff = status === 401 && message === kCutOffText; // the owner's 断开: the key stays ours
  }
}

async function failure(res) {
  let message = '';
  try {
    const text = await res.text();
    try {
      message = JSON.parse(text).error || text;
    } catch {
      message = text;
    }
  } catch {
    // no body
  }
  return new ApiError(res.status, message);
}

// Exchanges the address's pairing code (if any) for this device's key and keeps it. A code that
// no longer works on a phone paired before leaves it with its key. Throws an ApiError; a network
// failure keeps the code for the next try.
export async function pair() {
  if (!code) return;
  let res;
  try {
    res = await fetch('/api/pair', { method: 'POST', cache: 'no-store', headers: { Authorization: `Bearer ${code}`, 'Content-Type': 'application/json' }, body: '{}' });
  } catch {
    throw new ApiError(0, '网络连接中断');
  }
  if (res.ok) {
    token = (await res.json()).key;
    storage((s) => s.setItem(kKeyName, token));
  } else if (!(res.status === 401 && token)) {
    code = null;
    throw await failure(res);
  }
  code = null;
}

// The answer when it is a success; otherwise an error with the HTTP status (0: no answer at all)
// and the server's text.
export async function api(path, init = {}) {
  let res;
  try {
    res = await fetch(path, { ...init, cache: 'no-store', headers: { Authorization: `Bearer ${token}`, ...(init.headers || {}) } });
  } catch {
    throw new ApiError(0, '网络连接中断');
  }
  if (res.ok) return res;
  const err = await failure(res);
  if (res.status === 401 && !err.cutOff) storage((s) => s.removeItem(kKeyName)); // removed on the desktop: scan again
  throw err;
}

// A wrong key, the server's brake on wrong ones, or the owner's no: trying again does not help.
// A device the owner cut off keeps trying: the owner may let it back in.
export const fatal = (err) => (err.status === 401 && !err.cutOff) || err.status === 403 || err.status === 429;
