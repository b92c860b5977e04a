// What the page tells the user: the status line, short notes that pass, and errors in words.
export const $ = (id) => document.getElementById(id);

// The server's own words for a device the owner cut off (its key is kept: the owner may let it back).
export const kCutOffText = '电脑的主人断开了这台设备，需等主人在电脑上重新允许。';
const kOfflineText = '电脑暂时离线，正在等待…';

// No answer, or the tunnel's word that nothing listens behind it: the computer's server is away
// (restarting, or the computer asleep) and will be back by itself. navigator.onLine is no help
// here: browsers report false on links they do not recognise.
export const offline = (err) => [0, 502, 503, 504, 530].includes(err.status);

// The desktop's sharing dialogs: the server's own words (in Chinese, naming the dialog's buttons)
// say that it waits for its user, that the user said no or ended the sharing, or that the desktop
// failed, after whatever the relays put before them; shown as they are.
const kDesktopWords = /电脑(正在等待|上拒绝了|上的共享已停止|的桌面共享服务出错)/;
const desktopText = (message) => {
  const at = typeof message === 'string' ? message.search(kDesktopWords) : -1;
  return at < 0 ? '' : message.slice(at);
};
const waiting = (text) => text.startsWith('电脑正在等待');
// The app's refusals of input meant for its own window, written for the user: "Main app input
// failed: 这个位置是 Zel Desktop Agent 自己的窗口：…".
const kOwnWindow = /(?:这个位置是 )?Zel Desktop Agent (?:自己的窗口|的窗口正在接收键盘输入)[^"]*/;
const ownWindowText = (message) => (typeof message === 'string' && message.match(kOwnWindow)?.[0]) || '';

// The status line for a failure; a desktop waiting for its user is not an error.
export function showError(err) {
  const text = describeError(err);
  setStatus(waiting(text) ? 'connecting' : 'error', text);
}

// The status line for a request that failed and will be tried again.
export function showFailure(err) {
  if (offline(err) && !desktopText(err.message)) setStatus('connecting', kOfflineText);
  else showError(err);
}

export function setStatus(kind, text) {
  const status = $('status');
  status.className = `state-${kind}`;
  status.textContent = text;
}

let toastTimer = 0;
export function toast(text, kind = 'error') {
  const el = $('toast');
  el.textContent = text;
  el.className = kind;
  el.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => (el.hidden = true), 4000);
}

// The server's own texts are English and for the log: the user reads what they mean, in Chinese.
export function describeError(err) {
  if (err.message) console.warn(`agent error ${err.status}: ${err.message}`);
  if (desktopText(err.message)) return desktopText(err.message);
  if (err.status === 401 && err.message === kCutOffText) return kCutOffText;
  switch (err.status) {
    case 0: return '网络连接中断，正在重试…';
    case 401: return '访问令牌无效，请重新扫描电脑上的二维码。';
    case 429: return '尝试次数过多，请稍后再试。';
    case 502: case 503: case 504: return '电脑端服务暂不可用，请确认电脑上的应用已开启。';
    default: return `出错了（错误码 ${err.status}）。`;
  }
}

// What went wrong with an input, in words for the user; the server's own (English) text goes to
// the console only.
export function inputFailure(status, detail) {
  if (detail) console.warn('input failed', status, detail);
  if (status === 0) return '网络已断开，这次操作没有送到电脑，请恢复连接后再试。';
  if (desktopText(detail)) return desktopText(detail);
  if (ownWindowText(detail)) return ownWindowText(detail);
  if (status === 500) return '电脑没能执行这次操作。';
  if (status === 401 && detail === kCutOffText) return kCutOffText;
  return describeError({ status, message: '' });
}
