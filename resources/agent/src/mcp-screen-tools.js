// The MCP tools that look closer and wait: `zoom` (an area of the screen at up to the display's own
// pixels) and `wait_until_settled` (until the screen has stopped changing, with the boxes of what
// changed), and the `settle_ms` option that every acting tool gains (addSettleOption). Both work in
// the session's coordinate space: pixels of its last screenshot, or of the default screenshot
// width when it has none; neither changes that space.
import { z } from 'zod';
import { controlRequest, controlUrl, readAll } from './control.js';
import { controlMessage, kDefaultShotWidth } from './mcp-context.js';
import { windowList, windowNamed } from './mcp-desktop-tools.js';

const kMaxZoomBytes = 32 << 20;
const kMaxZoomWidth = 2560;
const kMaxSettleAnswer = 64 << 10;
// The longest wait_until_settled may take, and what settle_ms waits at most.
const kMaxSettleLimitMs = 25000;
const settleLimitFor = (quietMs) => Math.min(10000, Math.max(2000, quietMs * 10));

// The control service's /settle answer: { settled, elapsed_ms, sequence, source, boxes, display }.
export async function settle(config, { quietMs = 0, limitMs = 0, since = 0 } = {}, signal) {
  const url = controlUrl(config.screenshotUrl, '/settle', { quiet_ms: quietMs, limit_ms: limitMs, since });
  const res = await controlRequest(url, { signal, timeoutMs: limitMs + 15000 });
  const body = await readAll(res, kMaxSettleAnswer);
  if (res.statusCode !== 200) throw new Error(controlMessage(res.statusCode, body));
  if (!String(res.headers['content-type'] ?? '').startsWith('application/json')) {
    throw new Error('This version of the app cannot wait for the screen to settle.');
  }
  return JSON.parse(body.toString('utf8'));
}

// The session's coordinate space over a display: its last screenshot, or the default width.
export function sessionSpace(session, display) {
  if (session.shot) return session.shot;
  const width = Math.min(kDefaultShotWidth, display.width);
  return { width, height: Math.max(1, Math.floor((width * display.height) / display.width)) };
}

// A box of desktop pixels as the smallest box of session pixels that covers it, inside the space.
export function boxToSpace([x, y, w, h], display, space) {
  const sx = space.width / display.width;
  const sy = space.height / display.height;
  const left = Math.max(0, Math.floor((x - display.x) * sx));
  const top = Math.max(0, Math.floor((y - display.y) * sy));
  const right = Math.min(space.width, Math.ceil((x - display.x + w) * sx));
  const bottom = Math.min(space.height, Math.ceil((y - display.y + h) * sy));
  return [left, top, Math.max(1, right - left), Math.max(1, bottom - top)];
}

// What a settle answer says, in the session's pixels.
export function describeSettle(answer, session) {
  const space = sessionSpace(session, answer.display);
  const boxes = answer.boxes.map((box) => boxToSpace(box, answer.display, space));
  const state = answer.settled
    ? `The screen settled after ${answer.elapsed_ms} ms.`
    : `The screen was still changing after ${answer.elapsed_ms} ms.`;
  const changed = boxes.length === 0
    ? ' Nothing changed on it.'
    : ` Changed areas as [x, y, width, height] in pixels of the ${space.width}x${space.height} screenshot: ${boxes.map((b) => `[${b.join(', ')}]`).join(', ')}.`;
  return { text: state + changed, boxes };
}

const settleOption = z.number().int().min(0).max(10000).optional()
  .describe('Then wait until the screen has not changed for this many ms (at most 10 s in all), and answer which areas changed.');

// Every tool registered after this that acts (not read-only) takes an optional `settle_ms`: the
// tool runs, then the answer waits for the screen to settle and adds the boxes of what changed
// from just before the action on.
export function addSettleOption(server, { config }, session) {
  const register = server.registerTool.bind(server);
  server.registerTool = (name, definition, handler) => {
    if (definition.annotations?.readOnlyHint) return register(name, definition, handler);
    const { inputSchema } = definition;
    const withOption = inputSchema === undefined
      ? { settle_ms: settleOption }
      : typeof inputSchema.extend === 'function'
        ? inputSchema.extend({ settle_ms: settleOption })
        : { ...inputSchema, settle_ms: settleOption };
    return register(name, { ...definition, inputSchema: withOption }, async (args, extra) => {
      const { settle_ms: quietMs, ...rest } = args;
      const run = () => (inputSchema === undefined ? handler(extra) : handler(rest, extra));
      if (quietMs === undefined) return run();
      const before = await settle(config, {}, extra.signal);
      const result = await run();
      if (result?.isError) return result;
      const after = await settle(config, { quietMs, limitMs: settleLimitFor(quietMs), since: before.sequence }, extra.signal);
      const { text } = describeSettle(after, session);
      return { ...result, content: [...(result.content ?? []), { type: 'text', text }] };
    });
  };
}

const pngSize = (bytes) => (bytes.length >= 24 && bytes.toString('latin1', 12, 16) === 'IHDR'
  ? { width: bytes.readUInt32BE(16), height: bytes.readUInt32BE(20) } : null);

function registerZoom(server, { config }, session) {
  const coordinate = (what) => z.number().int().min(0).max(100000).describe(what);
  server.registerTool('zoom', {
    title: 'Zoom',
    description: 'Captures an area of the screen at up to the display\'s own resolution, for reading small text or details that the screenshot shrinks. '
      + 'The area is given in pixels of the most recent screenshot (the same space the pointer tools use), or as a window (what the screen shows where it is); '
      + 'that space stays as it was, so keep clicking with screenshot pixels.',
    inputSchema: {
      x: coordinate('Left edge of the area, in pixels of the most recent screenshot.').optional(),
      y: coordinate('Top edge of the area, in pixels of the most recent screenshot.').optional(),
      width: z.number().int().min(1).max(100000).optional().describe('Width of the area, in pixels of the most recent screenshot.'),
      height: z.number().int().min(1).max(100000).optional().describe('Height of the area, in pixels of the most recent screenshot.'),
      window: z.string().min(1).max(200).optional()
        .describe('Instead of an area: words of a window title or application name (case-insensitive); the topmost such window, frame included.'),
      max_width: z.number().int().min(16).max(kMaxZoomWidth).optional()
        .describe('Widest image to return; the area comes at the display\'s own pixels unless that is wider.'),
      format: z.enum(['jpeg', 'png']).default('png').describe('"png" (default, exact pixels for text) or "jpeg" (smaller).'),
    },
    annotations: { readOnlyHint: true },
  }, async ({ x, y, width, height, window, max_width: maxWidth, format }, extra) => {
    const area = [x, y, width, height];
    if (window !== undefined ? area.some((v) => v !== undefined) : area.some((v) => v === undefined)) {
      throw new Error('Give x, y, width and height, or window.');
    }
    const { display } = await settle(config, {}, extra.signal);
    const space = sessionSpace(session, display);
    let region;
    let shown;
    let what;
    if (window !== undefined) {
      const { windows } = await windowList(config, extra.signal);
      const found = windows.find((w) => windowNamed(window)(w) && !w.minimized);
      if (!found) throw new Error(`No window matching "${window}" is shown; see list_windows.`);
      const b = found.bounds ?? { x: 0, y: 0, width: 0, height: 0 };
      const left = Math.max(display.x, b.x);
      const top = Math.max(display.y, b.y);
      const right = Math.min(display.x + display.width, b.x + b.width);
      const bottom = Math.min(display.y + display.height, b.y + b.height);
      if (right <= left || bottom <= top) throw new Error(`The window "${found.title}" is not on the main display.`);
      region = [left, top, right - left, bottom - top];
      shown = boxToSpace(region, display, space);
      what = `The window "${found.title}" (${found.id}), area [${shown.join(', ')}] of the ${space.width}x${space.height} screenshot,`;
    } else {
      if (x >= space.width || y >= space.height) {
        throw new Error(`(${x}, ${y}) lies outside the screenshot, which is ${space.width}x${space.height}.`);
      }
      // Session pixels onto desktop pixels, rounded outward so that the whole area is inside.
      const sx = display.width / space.width;
      const sy = display.height / space.height;
      const left = Math.floor(x * sx);
      const top = Math.floor(y * sy);
      const right = Math.min(display.width, Math.ceil(Math.min(space.width, x + width) * sx));
      const bottom = Math.min(display.height, Math.ceil(Math.min(space.height, y + height) * sy));
      region = [display.x + left, display.y + top, right - left, bottom - top];
      shown = [x, y, Math.min(width, space.width - x), Math.min(height, space.height - y)];
      what = `Area [${shown.join(', ')}] of the ${space.width}x${space.height} screenshot`;
    }
    const outWidth = Math.min(region[2], maxWidth ?? kMaxZoomWidth);
    const url = controlUrl(config.screenshotUrl, '/screenshot', { format, width: outWidth, quality: 90, region: region.join(',') });
    const res = await controlRequest(url, { signal: extra.signal });
    const body = await readAll(res, kMaxZoomBytes);
    if (res.statusCode !== 200) throw new Error(controlMessage(res.statusCode, body));
    const size = format === 'png' ? pngSize(body)
      : { width: outWidth, height: Math.max(1, Math.floor((outWidth * region[3]) / region[2])) };
    if (!size) throw new Error('The control service did not send a PNG image.');
    const factor = Math.round((size.width / shown[2]) * 100) / 100;
    return {
      content: [
        { type: 'image', data: body.toString('base64'), mimeType: `image/${format}` },
        { type: 'text', text: `${what} at ${size.width}x${size.height} pixels (${factor}x). Pointer tools still take pixels of the screenshot.` },
      ],
    };
  });
}

function registerWaitUntilSettled(server, { config }, session) {
  server.registerTool('wait_until_settled', {
    title: 'Wait until the screen settles',
    description: 'Waits until nothing on the screen has changed for quiet_ms (or timeout_ms has passed), watching the desktop\'s own change reports rather than sleeping, '
      + 'and tells which areas changed meanwhile (in pixels of the most recent screenshot). Use it after an action whose effect takes time: a window opening, a page loading.',
    inputSchema: {
      quiet_ms: z.number().int().min(0).max(10000).default(500).describe('How long the screen must stay unchanged, in ms (default 500).'),
      timeout_ms: z.number().int().min(0).max(kMaxSettleLimitMs).default(5000).describe(`The longest wait, in ms (default 5000, at most ${kMaxSettleLimitMs}).`),
      until_change: z.boolean().default(false).describe('First wait for something on the screen to change (a dialog to appear), then for it to settle; '
        + 'within timeout_ms all told.'),
    },
    annotations: { readOnlyHint: true },
  }, async ({ quiet_ms: quietMs, timeout_ms: limitMs, until_change: untilChange }, extra) => {
    // A still screen settles at once: waiting for a change asks again from where the last answer
    // left off until something changed or the time is up.
    const end = Date.now() + limitMs;
    let answer = await settle(config, { quietMs, limitMs }, extra.signal);
    while (untilChange && answer.boxes.length === 0 && Date.now() < end) {
      answer = await settle(config, { quietMs, limitMs: Math.max(0, end - Date.now()), since: answer.sequence }, extra.signal);
    }
    const { text } = describeSettle(answer, session);
    return { content: [{ type: 'text', text }] };
  });
}

export function registerScreenTools(server, context, session) {
  registerZoom(server, context, session);
  registerWaitUntilSettled(server, context, session);
}
