// The clipboard both ways: the phone's text typed on the desktop (its clipboard left as it is; a
// long text goes through it and is pasted), the desktop's text onto the phone, offered with one tap
// when it changed while the page was away; a dialog stands in where the browser keeps the phone's
// clipboard from the page.
import { api } from './api.js';
import { sendInput } from './input.js';
import { $, inputFailure, toast } from './status.js';

const kClipboardMax = 10000;
const kTypeMax = 500; // typing takes 10 ms a character: longer texts are pasted
let desktopText = null; // the desktop's clipboard as we last saw it

async function offerText(text) {
  if (text.length > kClipboardMax) {
    toast(`文字太长（${text.length} 字），一次最多 ${kClipboardMax} 字。`);
    return;
  }
  text = text.replace(/\r\n?/g, '\n');
  if (text.length <= kTypeMax) {
    sendInput({ action: 'type_text', text });
    toast('已键入到电脑。', 'info');
    return;
  }
  try {
    await api('/api/clipboard', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ text, paste: true }) });
    desktopText = text;
    toast('已粘贴到电脑。', 'info');
  } catch (err) {
    toast(`粘贴失败：${inputFailure(err.status, err.message)}`);
  }
}

// The phone's clipboard when the browser lets the page read it; otherwise the user pastes into a
// field of ours.
export async function pastePhoneClipboard() {
  let text = null;
  try {
    text = await navigator.clipboard.readText();
  } catch {
    text = null;
  }
  if (text) {
    offerText(text);
    return;
  }
  openClipDialog('paste', '把要发送到电脑的文字粘贴到这里（手机上长按输入框，选“粘贴”）：', '');
}

export async function copyDesktopClipboard() {
  let text;
  try {
    text = desktopText = (await (await api('/api/clipboard')).json()).text;
  } catch (err) {
    toast(`读取电脑剪贴板失败：${inputFailure(err.status, err.message)}`);
    return;
  }
  copyToPhone(text);
}

async function copyToPhone(text) {
  if (text === null || text === '') {
    toast('电脑剪贴板里没有文字。', 'info');
    return;
  }
  try {
    await navigator.clipboard.writeText(text);
    toast('已复制到手机剪贴板。', 'info');
  } catch {
    openClipDialog('show', '电脑剪贴板的内容（浏览器不允许直接写入手机剪贴板，请长按选择并复制）：', text);
  }
}

const dialog = $('clip-dialog');
const area = $('clip-text');

function openClipDialog(mode, label, text) {
  dialog.dataset.mode = mode;
  $('clip-label').textContent = label;
  area.value = text;
  area.readOnly = mode === 'show';
  $('clip-send').hidden = mode === 'show';
  dialog.showModal();
  if (mode === 'show') area.select();
  else area.focus();
}

dialog.addEventListener('close', () => {
  const text = area.value;
  if (dialog.dataset.mode === 'paste' && dialog.returnValue === 'send' && text) offerText(text);
});

// When the page comes back to the front and the desktop's clipboard holds something new, one tap
// copies it (the tap lets the page write the phone's clipboard).
const offer = $('clip-offer');
let offered = '';
let offerTimer = 0;
async function checkDesktopClipboard(first) {
  let text;
  try {
    text = (await (await api('/api/clipboard')).json()).text;
  } catch {
    return; // the link is down: the next return to the front asks again
  }
  const changed = !first && text && text !== desktopText;
  desktopText = text;
  if (!changed) return;
  offered = text;
  offer.hidden = false;
  clearTimeout(offerTimer);
  offerTimer = setTimeout(() => (offer.hidden = true), 15000);
}
offer.addEventListener('click', () => {
  offer.hidden = true;
  copyToPhone(offered);
});

export function watchDesktopClipboard() {
  checkDesktopClipboard(true);
  document.addEventListener('visibilitychange', () => {
    if (document.hidden) offer.hidden = true;
    else checkDesktopClipboard(false);
  });
}
