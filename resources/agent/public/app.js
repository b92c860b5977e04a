// Web client: the live desktop screen with touch control, a key bar and a terminal tab. This entry
// module wires the parts: the tabs, the key bar and the start.
import { api, fatal, pair, pairing, token } from './api.js';
import { copyDesktopClipboard, pastePhoneClipboard, watchDesktopClipboard } from './clipboard.js';
import './hardware-keys.js';
import { pressKey, toggleKeyboard, toggleKeypad } from './keyboard.js';
import { live } from './live.js';
import { layout, setDesktopWidth } from './picture.js';
import { $, describeError, setStatus, showFailure, toast } from './status.js';
import { terminal } from './terminal.js';
import { toggleTrackpad } from './touch.js';
import './page.js';

let features = null;

// A button must never take the focus: what is typed next would go to the button (a space
// presses it) instead of the terminal or the text field, and the phone's keyboard would close.
document.addEventListener('mousedown', (event) => {
  if (event.target.closest('button')) event.preventDefault();
});

$('keys').addEventListener('click', (event) => {
  const button = event.target.closest('button');
  if (!button) return;
  const { key, action } = button.dataset;
  if (terminal.shown()) terminal.pressKey(key);
  else if (key) pressKey(key);
  else if (action === 'keyboard') toggleKeyboard();
  else if (action === 'keypad') toggleKeypad();
  else if (action === 'trackpad') toggleTrackpad(button);
  else if (action === 'paste') pastePhoneClipboard();
  else if (action === 'copy') copyDesktopClipboard();
});

function showTab(name) {
  $('screen-view').hidden = name !== 'screen';
  $('terminal-view').hidden = name !== 'terminal';
  $('tab-screen').classList.toggle('active', name === 'screen');
  $('tab-terminal').classList.toggle('active', name === 'terminal');
  for (const el of document.querySelectorAll('.screen-only')) el.hidden = name !== 'screen' || 'unavailable' in el.dataset;
  for (const el of document.querySelectorAll('.terminal-only')) el.hidden = name !== 'terminal';
  if (name !== 'screen') $('kbd').hidden = true;
  if (name === 'terminal') terminal.open().catch(() => toast('终端组件加载失败。'));
  if (token && features) live.update();
}
$('tab-screen').addEventListener('click', () => showTab('screen'));
$('tab-terminal').addEventListener('click', () => showTab('terminal'));

// Landscape hides the bars (and asks for full screen); this button brings them back.
$('bars').addEventListener('click', () => {
  const show = document.body.classList.toggle('show-bars');
  $('bars').setAttribute('aria-pressed', String(show));
  if (!show && !document.fullscreenElement) document.documentElement.requestFullscreen?.().catch(() => {});
  layout();
});

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function start() {
  let info;
  for (;;) {
    try {
      if (pairing()) setStatus('connecting', '正在配对，电脑上若有确认请点允许…');
      await pair();
      break;
    } catch (err) {
      // The owner's refusal, or no answer on the desktop: the server says which.
      setStatus('error', err.status === 403 && err.message ? err.message : describeError(err));
      if (fatal(err)) return;
      await sleep(2000);
    }
  }
  if (!token) {
    setStatus('error', '缺少访问令牌，请用手机扫描电脑上的二维码打开此页面。');
    $('placeholder').textContent = '未配对';
    return;
  }
  for (;;) {
    try {
      info = await (await api('/api/info')).json();
      features = info.features || {};
      break;
    } catch (err) {
      showFailure(err);
      if (fatal(err)) return;
      await sleep(1500);
    }
  }
  $('tab-terminal').hidden = !features.terminal;
  setDesktopWidth(info.display?.width);
  if (!features.clipboard) {
    for (const button of document.querySelectorAll('[data-action="paste"], [data-action="copy"]')) {
      button.dataset.unavailable = '';
      button.hidden = true;
    }
  } else watchDesktopClipboard();
  live.update();
}

start();
