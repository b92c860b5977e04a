// The MCP tools that see the screen and work the pointer, registered on one session's server over
// the context every session shares (mcp-context.js); the keyboard, clipboard and shell tools are in
// mcp-text-tools.js. Pointer tools take pixels of the session's last screenshot, so a model clicks
// what it sees.
import { z } from 'zod';
import { controlRequest, readAll, withQuery } from './control.js';
import { controlMessage, done } from './mcp-context.js';
import { registerTextTools } from './mcp-text-tools.js';
import { addSettleOption, registerScreenTools } from './mcp-screen-tools.js';

const kDefaultShotWidth = 1280; // what vision models take without scaling it down again
const kMaxShotBytes = 32 << 20;

// Width and height from the first frame header; null when the bytes are not a JPEG image.
function jpegSize(bytes) {
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

const pixel = (axis, what) => z.number().int().min(0).max(100000)
  .describe(`${axis} in pixels of the most recent screenshot (${axis === 'x' ? 'from its left edge' : 'from its top edge'})${what ? `: ${what}` : ''}.`);
const button = z.enum(['left', 'right']).default('left').describe('Mouse button, "left" unless given.');
const modifiers = z.array(z.enum(['ctrl', 'alt', 'shift', 'super'])).max(4).optional()
  .describe('Keys held down during the action, e.g. ["ctrl"] or ["ctrl","shift"].');

const at = (x, y) => `(${x}, ${y})`;

// A pixel of the last screenshot onto the control service's 0..1000 grid over the main display.
function toGrid(session, x, y) {
  const { shot } = session;
  if (!shot) throw new Error('No screenshot yet in this session: call the "screenshot" tool first; x and y are pixels of that image.');
  if (x >= shot.width || y >= shot.height) {
    throw new Error(`(${x}, ${y}) lies outside the last screenshot, which is ${shot.width}x${shot.height}: x must be 0..${shot.width - 1}, y 0..${shot.height - 1}.`);
  }
  const grid = (value, size) => Math.round((value * 1000 * 1000) / size) / 1000;
  return [grid(x, shot.width), grid(y, shot.height)];
}

function registerScreenshot(server, { config }, session) {
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
    const res = await controlRequest(withQuery(config.screenshotUrl, { format: 'jpeg', width }), { signal: extra.signal });
    const body = await readAll(res, kMaxShotBytes);
    if (res.statusCode !== 200) throw new Error(controlMessage(res.statusCode, body));
    const size = jpegSize(body);
    if (!size) throw new Error('The control service did not send a JPEG image.');
    session.shot = size;
    return {
      content: [
        { type: 'image', data: body.toString('base64'), mimeType: 'image/jpeg' },
        { type: 'text', text: `Screenshot of the main display: ${size.width}x${size.height} pixels. Pointer tools now take x 0..${size.width - 1}, y 0..${size.height - 1} of this image.` },
      ],
    };
  });
}

function registerPointerTools(server, { input }, session) {
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
    },
  }, async ({ x, y, button: which, double, triple, modifiers: held }) => {
    if ((double || triple) && which !== 'left') throw new Error('Double and triple clicks are made with the left button only.');
    if (double && triple) throw new Error('Give double or triple, not both.');
    const action = triple ? 'triple_click' : double ? 'double_click' : `${which}_click`;
    await input({ action, coordinate: toGrid(session, x, y), ...(held?.length ? { modifiers: held } : {}) });
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
    },
  }, async ({ x, y, holding }) => {
    await input({ action: holding ? `${holding}_drag` : 'move', coordinate: toGrid(session, x, y) });
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
    },
  }, async ({ start_x: sx, start_y: sy, end_x: ex, end_y: ey, modifiers: held }) => {
    await input({ action: 'drag', from: toGrid(session, sx, sy), to: toGrid(session, ex, ey), ...(held?.length ? { modifiers: held } : {}) });
    return done(`Dragged from ${at(sx, sy)} to ${at(ex, ey)} of the screenshot.`);
  });

  for (const [name, state, verb] of [['button_down', 'down', 'Pressed'], ['button_up', 'up', 'Released']]) {
    server.registerTool(name, {
      title: name === 'button_down' ? 'Press and hold a button' : 'Release a button',
      description: name === 'button_down'
        ? 'Moves the pointer to a pixel of the most recent screenshot and presses a mouse button without releasing it. Follow with move_pointer (holding) and button_up; for a simple drag use the drag tool.'
        : 'Moves the pointer to a pixel of the most recent screenshot and releases a mouse button pressed with button_down.',
      inputSchema: { x: pixel('x'), y: pixel('y'), button },
    }, async ({ x, y, button: which }) => {
      await input({ action: `${which}_${state}`, coordinate: toGrid(session, x, y) });
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
    },
  }, async ({ direction, amount, x, y, modifiers: held }) => {
    if ((x === undefined) !== (y === undefined)) throw new Error('Give both x and y, or neither.');
    if (x !== undefined) await input({ action: 'move', coordinate: toGrid(session, x, y) });
    await input({ action: 'scroll', direction, amount, ...(held?.length ? { modifiers: held } : {}) });
    return done(`Scrolled ${direction} by ${amount} step${amount === 1 ? '' : 's'}${x === undefined ? '' : ` at ${at(x, y)} of the screenshot`}.`);
  });
}

// session.shot: the size of the session's last screenshot, which the pointer tools map from.
// Returns the tools that can be switched off: { runCommand } (null when the terminal is off).
export function registerTools(server, context, session) {
  addSettleOption(server, context, session);
  registerScreenTools(server, context, session);
  registerScreenshot(server, context, session);
  registerPointerTools(server, context, session);
  return registerTextTools(server, context);
}
