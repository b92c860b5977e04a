// The desktop as the phone's API and live view reach it: input through the control service (which
// also tells the display's bounds, kept for /api/info) and the clipboard, one text at a time.
import { copyText, findClipboardTool } from './clipboard.js';
import { ControlError, postInput } from './control.js';
import { HttpError } from './http-util.js';
import { inputTimeoutMs } from './input-rules.js';

export function createDesktop(config, env) {
  let lastDisplay = null;
  let typing = Promise.resolve(); // clipboard + paste pairs must not interleave

  const clipboardTool = (read = false) => findClipboardTool({ helperBinDir: config.helperBinDir, env, read });

  // One input request (JSON text); the control service's answer whole.
  async function forwardInput(json) {
    let timeoutMs = 15000;
    try {
      timeoutMs = inputTimeoutMs(JSON.parse(json));
    } catch {
      // the control service names what is wrong with it
    }
    const answer = await postInput(config.inputUrl, json, { timeoutMs });
    if (answer.status === 200 && /json/.test(answer.contentType)) {
      try {
        const display = JSON.parse(answer.body.toString('utf8')).display;
        if (display && typeof display === 'object') lastDisplay = display;
      } catch {
        // passed through as it came
      }
    }
    return answer;
  }

  // Puts the text on the clipboard and, when asked, pastes it: the control service's answer to the
  // paste, else nothing. One at a time, so that a paste inserts its own text.
  async function copyToClipboard(text, paste) {
    if (paste && !config.inputUrl) throw new ControlError(503, 'The control service is not configured.');
    const tool = clipboardTool();
    if (!tool.file) throw new HttpError(503, tool.error);
    const run = typing.then(async () => {
      try {
        await copyText(tool, text);
      } catch (err) {
        throw new HttpError(502, `Clipboard: ${err.message}`);
      }
      return paste ? forwardInput(JSON.stringify({ action: 'paste' })) : null;
    });
    typing = run.catch(() => {});
    return run;
  }

  return {
    forwardInput,
    copyToClipboard,
    clipboardTool,
    // The display's bounds as the last input answer gave them, or null.
    get display() {
      return lastDisplay;
    },
  };
}
