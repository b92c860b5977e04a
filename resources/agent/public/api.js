// The agent's API as the page reaches it: the pairing token and requests that carry it.
const kTokenKey = 'zel-agent-token';

// The pairing link opens /?token=…: keep the token and take it out of the address bar and history.
function takeToken() {
  const params = new URLSearchParams(location.search);
  let token = params.get('token');
  if (token) {
    params.delete('token');
    const rest = params.toString();
    history.replaceState(null, '', location.pathname + (rest ? `?${rest}` : '') + location.hash);
    try {
      localStorage.setItem(kTokenKey, token);
    } catch {
      // private browsing: the token lives as long as the page
    }
  } else {
    try {
      token = localStorage.getItem(kTokenKey);
    } catch {
      token = null;
    }
  }
  return token;
}

export const token = takeToken();

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
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
  throw new ApiError(res.status, message);
}

// A wrong token, or the server's brake on wrong ones: trying again does not help.
export const fatal = (err) => err.status === 401 || err.status === 429;
