// What the MCP tools of every session share: input through the control service, the size of a
// screenshot of a given width, the clipboard one text at a time, and the cap on shell commands
// running at once. Failures are thrown as errors whose message the model reads.
import { z } from 'zod';
import { copyText, findClipboardTool } from './clipboard.js';
import { controlRequest, postInput, readAll, withQuery } from './control.js';
import { inputTimeoutMs } from './input-rules.js';
import { runShellCommand } from './shell-command.js';

// The control service's own words, short enough for a model's context.
export function controlMessage(status, body) {
  const text = body.toString('utf8').trim().slice(0, 500);
  return text ? `The control service answered ${status}: ${text}` : `The control service answered ${status}.`;
}

// A tool's answer of one line of text.
export const done = (text) => ({ content: [{ type: 'text', text }] });

// Tools registered on this server refuse arguments they do not know (additionalProperties: false
// in tools/list) instead of dropping them, so a misspelt argument never goes unnoticed.
export function strictTools(server) {
  const register = server.registerTool.bind(server);
  server.registerTool = (name, config, handler) => {
    const shape = config.inputSchema ?? {};
    const plain = Object.getPrototypeOf(shape) === Object.prototype;
    return register(name, { ...config, inputSchema: plain ? z.object(shape).strict() : shape }, handler);
  };
  return server;
}

// The screenshot tool's default width (what vision models take without scaling it down again), and
// the coordinate space of a session's pointer tools before its first screenshot.
export const kDefaultShotWidth = 1280;

export const kMaxShotBytes = 32 << 20;

// Width and height from the first frame header; null when the bytes are not a JPEG image.
export function jpegSize(bytes) {
  if (bytes.length < 4 || bytes[0] !== 0xff || bytes[1] !== 0xd8) return null;
  let at = 2;
  while (at + 4 <= bytes.length) {
    if (bytes[at] !== 0xff) return null;
    const marker = bytes[at + 1];
    if (marker === 0xff) {
      at += 1; // fill byte
      continue;
    }
    if (marker === 0xd9 || marker === 0xda) return null; // end of image or scan data before a frame header
    const isFrame = marker >= 0xc0 && marker <= 0xcf && marker !== 0xc4 && marker !== 0xc8 && marker !== 0xcc;
    if (isFrame) {
      if (at + 9 > bytes.length) return null;
      const height = bytes.readUInt16BE(at + 5);
      const width = bytes.readUInt16BE(at + 7);
      return width > 0 && height > 0 ? { width, height } : null;
    }
    at += 2 + bytes.readUInt16BE(at + 2);
  }
  return null;
}

// Resolves after ms, or rejects with the signal's reason as soon as it aborts.
export function pause(ms, signal) {
  return new Promise((resolve, reject) => {
    if (signal?.aborted) {
      reject(signal.reason);
      return;
    }
    const stop = () => {
      clearTimeout(timer);
      reject(signal.reason);
    };
    const timer = setTimeout(() => {
      signal?.removeEventListener('abort', stop);
      resolve();
    }, ms);
    signal?.addEventListener('abort', stop, { once: true });
  });
}

// The longest any tool waits for a window or an element to appear.
export const kMaxAppearMs = 30000;
export const appearTimeout = (what, fallback) => z.number().int().min(0).max(kMaxAppearMs).optional()
  .describe(`The longest wait for ${what} to appear, in ms (0..${kMaxAppearMs}, default ${fallback}${fallback ? '' : ': look once'}).`);

// Asks `probe` until it answers something other than null, at most every intervalMs and for about
// timeoutMs (a probe under way is let finish): { value, waitedMs }, value null when the time ran
// out. A cancelled call rejects at once, between probes or during one.
export async function pollUntil(probe, { timeoutMs, intervalMs, signal }) {
  const started = Date.now();
  for (;;) {
    signal?.throwIfAborted();
    const value = await probe();
    const waitedMs = Date.now() - started;
    if (value !== null && value !== undefined) return { value, waitedMs };
    if (waitedMs >= timeoutMs) return { value: null, waitedMs };
    await pause(Math.min(intervalMs, timeoutMs - waitedMs), signal);
  }
}

// notifications/progress for the request of this handler's extra, when its client gave a token;
// otherwise a no-op. Never throws: a progress that cannot be sent is no reason to stop the work.
export function progressOf(extra) {
  const token = extra?._meta?.progressToken;
  if (token === undefined) return () => {};
  return (progress, total, message) => {
    extra.sendNotification({ method: 'notifications/progress', params: { progressToken: token, progress, total, message } }).catch(() => {});
  };
}

// Waits the seconds, sending progress about every second; rejects as soon as the call is cancelled.
export async function waitSeconds(seconds, extra) {
  const progress = progressOf(extra);
  const end = Date.now() + seconds * 1000;
  for (let left = end - Date.now(); left > 0; left = end - Date.now()) {
    await pause(Math.min(left, 1000), extra.signal);
    progress(Math.min(seconds, Math.round((seconds * 1000 - (end - Date.now())) / 100) / 10), seconds);
  }
}

export function createToolContext(config, { env, maxCommands }) {
  let typing = Promise.resolve(); // clipboard + paste pairs must not interleave
  let commands = 0;
  let display = null; // the display's bounds as the last input answer told them
  const shotSizes = new Map(); // requested width -> the size of the image it gave, for this display

  const noteDisplay = (bounds) => {
    if (!bounds || typeof bounds !== 'object') return;
    if (display && (display.width !== bounds.width || display.height !== bounds.height)) shotSizes.clear();
    display = bounds;
  };

  // A screenshot of the main display as { bytes, width, height }. Its size is kept as the size of
  // every screenshot of that width until the display changes.
  async function screenshot(width, { signal, quality } = {}) {
    const res = await controlRequest(withQuery(config.screenshotUrl, { format: 'jpeg', width, ...(quality ? { quality } : {}) }), { signal });
    const body = await readAll(res, kMaxShotBytes);
    if (res.statusCode !== 200) throw new Error(controlMessage(res.statusCode, body));
    const size = jpegSize(body);
    if (!size) throw new Error('The control service did not send a JPEG image.');
    shotSizes.set(width, size);
    return { bytes: body, ...size };
  }

  return {
    config,

    // The control service's answer as an object.
    async input(request) {
      const answer = await postInput(config.inputUrl, JSON.stringify(request), { timeoutMs: inputTimeoutMs(request) });
      if (answer.status !== 200) throw new Error(controlMessage(answer.status, answer.body));
      try {
        const parsed = JSON.parse(answer.body.toString('utf8'));
        noteDisplay(parsed.display);
        return parsed;
      } catch {
        return {};
      }
    },

    screenshot,

    // The size of a screenshot of this width: what one gave before, else one taken now to see.
    async shotSize(width, signal) {
      return shotSizes.get(width) ?? screenshot(width, { signal, quality: 25 }).then(({ width: w, height: h }) => ({ width: w, height: h }));
    },

    // One text at a time, so that two sessions' texts (or a text and a paste) never interleave.
    // A call cancelled while it waits does nothing.
    queued(work, signal) {
      const run = typing.then(() => {
        signal?.throwIfAborted();
        return work();
      });
      typing = run.catch(() => {});
      return run;
    },

    clipboardTool(read = false) {
      const tool = findClipboardTool({ helperBinDir: config.helperBinDir, env, read });
      if (!tool.file) throw new Error(tool.error);
      return tool;
    },

    async copy(tool, text) {
      try {
        await copyText(tool, text);
      } catch (err) {
        throw new Error(`Clipboard: ${err.message}`);
      }
    },

    // runShellCommand's result, unless maxCommands run already.
    async runCommand(command, { timeoutMs, signal }) {
      signal?.throwIfAborted();
      if (commands >= maxCommands) throw new Error(`${maxCommands} commands are running already; try again when one has finished.`);
      commands += 1;
      try {
        return await runShellCommand(command, { timeoutMs, env, signal });
      } finally {
        commands -= 1;
      }
    },
  };
}
