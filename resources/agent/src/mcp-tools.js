// The MCP tools that see the screen and work the pointer, registered on one session's server over
// the context every session shares (mcp-context.js); the keyboard, clipboard and shell tools are in
// mcp-text-tools.js. Pointer tools take pixels of the session's last screenshot, so a model clicks
// what it sees; without one, or with screenshot_width, pixels of a screenshot of that width.
import { z } from 'zod';
import { controlRequest, readAll, withQuery } from './control.js';
import { controlMessage, done, kDefaultShotWidth, waitSeconds } from './mcp-context.js';
import { addSettleOption, registerScreenTools } from './mcp-screen-tools.js';
import { registerTextTools } from './mcp-text-tools.js';

const kMaxWaitSeconds = 60;
const pixel = (axis, what) => z.number().int().min(0).max(100000)
  .describe(`${axis} in pixels of the most recent screenshot (${axis === 'x' ? 'from its left edge' : 'from its top edge'})${what ? `: ${what}` : ''}.`);
const shotWidth = z.number().int().min(320).max(2560).optional()
  .describe(`The width asked of the screenshot whose pixels x and y are (320..2560). Without it: the session's most recent screenshot, or before any, one of the default width ${kDefaultShotWidth}.`);
const button = z.enum(['left', 'right']).default('left').describe('Mouse button, "left" unless given.');
const modifiers = z.array(z.enum(['ctrl', 'alt', 'shift', 'super'])).max(4).optional()
  .describe('Keys held down during the action, e.g. ["ctrl"] or ["ctrl","shift"].');

const at = (x, y) => `(${x}, ${y})`;

// The pixel space a pointer tool's x and y are in: a screenshot of screenshot_width when given,
// else the session's last screenshot, else a screenshot of the default width. { width, height, what }
export async function pointerSpace({ shotSize }, session, width, signal) {
  if (width === undefined && session.shot) return { ...session.shot, what: 'the last screenshot' };
  const asked = width ?? kDefaultShotWidth;
  return { ...(await shotSize(asked, signal)), what: `a screenshot ${asked} wide` };
}

// Pixels of a pointer space onto the control service's 0..1000 grid over the main display.
export function toGrid(space, x, y) {
  if (x >= space.width || y >= space.height) {
    throw new Error(`(${x}, ${y}) lies outside ${space.what}, which is ${space.width}x${space.height}: x must be 0..${space.width - 1}, y 0..${space.height - 1}.`);
  }
  const grid = (value, size) => Math.round((value * 1000 * 1000) / size) / 1000;
  return [grid(x, space.width), grid(y, space.height)];
}

function registerScreenshot(server, { screenshot }, session) {
  server.registerTool('screenshot', {
    title: 'Screenshot',
    description: 'Captures the main display as a JPEG image and returns it with its width and height in pixels. '
      + 'The x/y arguments of every pointer tool are pixels of the most recent screenshot, so call this before the first '
      + 'pointer action and again whenever the screen may have changed.',
    inputSchema: {
      width: z.number().int().min(320).max(2560).optional()
        .describe(`Width of the image in pixels (320..2560; default ${kDefaultShotWidth}). The height follows the display's aspect ratio; a display narrower than this is sent at its own width.`),
    },
    annotations: { readOnlyHint: true },
  }, async ({ width = kDefaultShotWidth }, extra) => {
    const { bytes, ...size } = await screenshot(width, { signal: extra.signal });
    session.shot = size;
    return {
      content: [
        { type: 'image', data: bytes.toString('base64'), mimeType: 'image/jpeg' },
        { type: 'text', text: `Screenshot of the main display: ${size.width}x${size.height} pixels. Pointer tools now take x 0..${size.width - 1}, y 0..${size.height - 1} of this image.` },
      ],
    };
  });
}

function registerPointerTools(server, context, session) {
  const { input } = context;
  const spaceOf = (width, extra) => pointerSpace(context, session, width, extra.signal);

  server.registerTool('click', {
    title: 'Click',
    description: 'Moves the pointer to a pixel of the most recent screenshot and clicks there: one click of the left, right or middle button, or a double or triple click (left button), optionally with modifier keys held.',
    inputSchema: {
      x: pixel('x', 'where to click'),
      y: pixel('y', 'where to click'),
      button: z.enum(['left', 'right', 'middle']).default('left').describe('Mouse button, "left" unless given.'),
      double: z.boolean().default(false).describe('true for a double click; left button only.'),
      triple: z.boolean().default(false).describe('true for a triple click (selects a line or paragraph); left button only.'),
      modifiers,
      screenshot_width: shotWidth,
    },
  }, async ({ x, y, button: which, double, triple, modifiers: held, screenshot_width: width }, extra) => {
    if ((double || triple) && which !== 'left') throw new Error('Double and triple clicks are made with the left button only.');
    if (double && triple) throw new Error('Give double or triple, not both.');
    const action = triple ? 'triple_click' : double ? 'double_click' : `${which}_click`;
    await input({ action, coordinate: toGrid(await spaceOf(width, extra), x, y), ...(held?.length ? { modifiers: held } : {}) });
    const how = triple ? 'Triple-clicked' : double ? 'Double-clicked' : `Clicked the ${which} button`;
    return done(`${how}${held?.length ? ` holding ${held.join('+')}` : ''} at ${at(x, y)} of the screenshot.`);
  });

  server.registerTool('move_pointer', {
    title: 'Move pointer',
    description: 'Moves the pointer to a pixel of the most recent screenshot, for hovering. With "holding", '
      + 'sends a move with that button held down: the middle steps of a drag started with button_down.',
    inputSchema: {
      x: pixel('x'),
      y: pixel('y'),
      holding: z.enum(['left', 'right']).optional().describe('The button held down since button_down, if any.'),
      screenshot_width: shotWidth,
    },
  }, async ({ x, y, holding, screenshot_width: width }, extra) => {
    await input({ action: holding ? `${holding}_drag` : 'move', coordinate: toGrid(await spaceOf(width, extra), x, y) });
    return done(`Moved the pointer to ${at(x, y)} of the screenshot${holding ? ` with the ${holding} button held` : ''}.`);
  });

  server.registerTool('drag', {
    title: 'Drag',
    description: 'Drags with the left button from one pixel of the most recent screenshot to another: press at the start, move in small steps, release at the end. For moving windows and items, selecting text, sliders.',
    inputSchema: {
      start_x: pixel('x', 'where the drag starts'),
      start_y: pixel('y', 'where the drag starts'),
      end_x: pixel('x', 'where the drag ends'),
      end_y: pixel('y', 'where the drag ends'),
      modifiers,
      screenshot_width: shotWidth,
    },
  }, async ({ start_x: sx, start_y: sy, end_x: ex, end_y: ey, modifiers: held, screenshot_width: width }, extra) => {
    const space = await spaceOf(width, extra);
    await input({ action: 'drag', from: toGrid(space, sx, sy), to: toGrid(space, ex, ey), ...(held?.length ? { modifiers: held } : {}) });
    return done(`Dragged from ${at(sx, sy)} to ${at(ex, ey)} of the screenshot.`);
  });

  for (const [name, state, verb] of [['button_down', 'down', 'Pressed'], ['button_up', 'up', 'Released']]) {
    server.registerTool(name, {
      title: name === 'button_down' ? 'Press and hold a button' : 'Release a button',
      description: name === 'button_down'
        ? 'Moves the pointer to a pixel of the most recent screenshot and presses a mouse button without releasing it. Follow with move_pointer (holding) and button_up; for a simple drag use the drag tool.'
        : 'Moves the pointer to a pixel of the most recent screenshot and releases a mouse button pressed with button_down.',
      inputSchema: { x: pixel('x'), y: pixel('y'), button, screenshot_width: shotWidth },
    }, async ({ x, y, button: which, screenshot_width: width }, extra) => {
      await input({ action: `${which}_${state}`, coordinate: toGrid(await spaceOf(width, extra), x, y) });
      return done(`${verb} the ${which} button at ${at(x, y)} of the screenshot.`);
    });
  }

  server.registerTool('scroll', {
    title: 'Scroll',
    description: 'Scrolls the content under the pointer up, down, left or right. Give x and y to move the pointer there first (pixels of the most recent screenshot); without them it scrolls where the pointer is.',
    inputSchema: {
      direction: z.enum(['up', 'down', 'left', 'right']).describe('"up" shows content above, "down" content below, "left" and "right" content to that side.'),
      modifiers,
      amount: z.number().int().min(1).max(20).default(3).describe('Wheel steps, 1..20 (default 3).'),
      x: pixel('x', 'where to scroll').optional(),
      y: pixel('y', 'where to scroll').optional(),
      screenshot_width: shotWidth,
    },
  }, async ({ direction, amount, x, y, modifiers: held, screenshot_width: width }, extra) => {
    if ((x === undefined) !== (y === undefined)) throw new Error('Give both x and y, or neither.');
    if (x !== undefined) await input({ action: 'move', coordinate: toGrid(await spaceOf(width, extra), x, y) });
    await input({ action: 'scroll', direction, amount, ...(held?.length ? { modifiers: held } : {}) });
    return done(`Scrolled ${direction} by ${amount} step${amount === 1 ? '' : 's'}${x === undefined ? '' : ` at ${at(x, y)} of the screenshot`}.`);
  });
}

function registerWait(server) {
  server.registerTool('wait', {
    title: 'Wait',
    description: 'Waits a number of seconds and returns: for an application to start, a page to load or an animation to end '
      + 'before the next screenshot. Reports progress every second when given a progress token; a cancelled call returns at once.',
    inputSchema: { seconds: z.number().min(0.1).max(kMaxWaitSeconds).describe(`How long, 0.1..${kMaxWaitSeconds} seconds.`) },
    annotations: { readOnlyHint: true },
  }, async ({ seconds }, extra) => {
    await waitSeconds(seconds, extra);
    return done(`Waited ${seconds} s.`);
  });
}

// cursor_position: where the pointer is, from the control service's /pointer (the change source's
// view of it), in the session's screenshot pixels and the display's own.
function registerCursorPosition(server, { config }, session) {
  server.registerTool('cursor_position', {
    title: 'Cursor position',
    description: 'Tells where the mouse pointer is: in pixels of the most recent screenshot (what the pointer tools take) and in the display\'s own pixels.',
    inputSchema: {},
    annotations: { readOnlyHint: true },
  }, async (_args, extra) => {
    const url = new URL(withQuery(config.screenshotUrl, { since: 0, wait: 2000 }));
    url.pathname = '/pointer';
    const res = await controlRequest(url.href, { signal: extra.signal, timeoutMs: 10000 });
    const body = await readAll(res, 4096);
    if (res.statusCode !== 200 || !String(res.headers['content-type']).startsWith('application/json')) {
      throw new Error(res.statusCode === 200 ? 'This app cannot tell where the pointer is.' : controlMessage(res.statusCode, body));
    }
    const p = JSON.parse(body.toString('utf8'));
    if (!p.sequence) throw new Error('The pointer\'s position is not known yet; try again.');
    const own = `(${p.x}, ${p.y}) of the ${p.width}x${p.height} display`;
    if (!p.visible) return done(`The pointer is off the main display, at ${own}.`);
    const { shot } = session;
    if (!shot) return done(`The pointer is at ${own}; no screenshot yet in this session.`);
    const scaled = (v, from, to) => Math.min(to - 1, Math.round((v * to) / from));
    return done(`The pointer is at ${at(scaled(p.x, p.width, shot.width), scaled(p.y, p.height, shot.height))} of the last screenshot (${shot.width}x${shot.height}), ${own}.`);
  });
}

// session.shot: the size of the session's last screenshot, which the pointer tools map from unless
// told another width.
// Returns the tools that can be switched off: { runCommand } (null when the terminal is off).
export function registerTools(server, context, session) {
  addSettleOption(server, context, session);
  registerScreenTools(server, context, session);
  registerScreenshot(server, context, session);
  registerPointerTools(server, context, session);
  registerWait(server);
  registerCursorPosition(server, context, session);
  return registerTextTools(server, context);
}
