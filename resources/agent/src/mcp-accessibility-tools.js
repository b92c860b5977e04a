// The MCP tools that read an application's accessibility tree and act on its elements by id,
// over the control service's /accessibility routes (AT-SPI). Bounds come in pixels of the
// session's screenshot space as well as the desktop's, so that a model can also click what it finds.
import { z } from 'zod';
import { controlRequest, controlUrl, readAll } from './control.js';
import { controlMessage, kDefaultShotWidth } from './mcp-context.js';

const kMaxTreeBytes = 16 << 20;
const kTimeoutMs = 20000; // the app cuts a slow tree at 10 s

async function ask(url, { body, signal } = {}) {
  const res = await controlRequest(url, { method: body === undefined ? 'GET' : 'POST', body, signal, timeoutMs: kTimeoutMs });
  const bytes = await readAll(res, kMaxTreeBytes);
  if (res.statusCode !== 200) throw new Error(controlMessage(res.statusCode, bytes));
  return JSON.parse(bytes.toString('utf8'));
}

// Desktop pixels onto the session's screenshot: its last one, else the default width over the display.
export function screenshotSpace(shot, display) {
  if (!display || !(display.width > 0) || !(display.height > 0)) return null;
  const width = shot?.width ?? Math.min(kDefaultShotWidth, display.width);
  const height = shot?.height ?? Math.round((width * display.height) / display.width);
  const sx = width / display.width;
  const sy = height / display.height;
  return ([x, y, w, h]) => [
    Math.round((x - display.x) * sx), Math.round((y - display.y) * sy),
    Math.max(1, Math.round(w * sx)), Math.max(1, Math.round(h * sy)),
  ];
}

// Every node's bounds in both spaces: `bounds` in screenshot pixels, `desktop_bounds` as the app gave them.
export function mapTree(node, toShot) {
  const { bounds, children, ...rest } = node;
  const out = { ...rest };
  if (bounds) {
    if (toShot) out.bounds = toShot(bounds);
    out.desktop_bounds = bounds;
  }
  if (children) out.children = children.map((child) => mapTree(child, toShot));
  return out;
}

export function registerAccessibilityTools(server, { config }, session) {
  server.registerTool('accessibility_tree', {
    title: 'Accessibility tree',
    description: 'Returns the accessibility tree of the focused window (or of a window named by title, application name or process id) '
      + 'as JSON: each element with its id, role, name, states, actions, text and bounds [x, y, width, height] in pixels of this '
      + "session's screenshot space (desktop_bounds: the desktop's own pixels). Breadth first, cut at max_depth and max_nodes "
      + '("children_omitted" says where). Works for applications that expose AT-SPI (GTK, Qt, Chromium, LibreOffice) and were started after the accessibility bus. '
      + 'Use the ids with act_on_element.',
    inputSchema: z.strictObject({
      window: z.string().min(1).max(200).optional()
        .describe('Words of the window title or of the application name (case-insensitive); omitted: the window that has the focus.'),
      pid: z.number().int().min(1).max(0x3fffffff).optional().describe('Only windows of this process.'),
      max_depth: z.number().int().min(1).max(64).default(12).describe('Levels below the window included (1 = the window alone), 1..64, default 12.'),
      max_nodes: z.number().int().min(1).max(5000).default(400).describe('Elements included at most, 1..5000, default 400.'),
    }),
    annotations: { readOnlyHint: true },
  }, async ({ window, pid, max_depth: depth, max_nodes: limit }, extra) => {
    const tree = await ask(controlUrl(config.screenshotUrl, '/accessibility', { window: window ?? 'focused', pid, depth, limit }), { signal: extra.signal });
    const toShot = screenshotSpace(session.shot, tree.display);
    const answer = {
      application: tree.application,
      pid: tree.pid,
      nodes: tree.nodes,
      truncated: tree.truncated,
      screenshot_space: toShot ? (session.shot ? 'the last screenshot' : `the default ${kDefaultShotWidth}-pixel-wide screenshot`) : 'unknown: bounds are desktop pixels',
      window: mapTree(tree.window, toShot),
    };
    return { content: [{ type: 'text', text: JSON.stringify(answer) }] };
  });

  server.registerTool('act_on_element', {
    title: 'Act on an element',
    description: 'Acts on an element of the accessibility tree by its id (from accessibility_tree): "press" does its default action '
      + '(click a button, open a menu, choose a menu item), "focus" gives it the keyboard focus, "set_text" replaces the text of an '
      + 'editable element with `text`. The app\'s own window cannot be acted on.',
    inputSchema: z.strictObject({
      id: z.string().min(1).max(1000).describe('The element id from accessibility_tree.'),
      action: z.enum(['press', 'focus', 'set_text']).describe('What to do.'),
      text: z.string().max(100000).optional().describe('For set_text: the new text, replacing what is there.'),
    }),
  }, async ({ id, action, text }, extra) => {
    if (action === 'set_text' && text === undefined) throw new Error('set_text needs "text".');
    if (action !== 'set_text' && text !== undefined) throw new Error('"text" belongs to set_text only.');
    const body = JSON.stringify(action === 'set_text' ? { id, action, text } : { id, action });
    const done = await ask(controlUrl(config.screenshotUrl, '/accessibility/act'), { body, signal: extra.signal });
    const how = done.performed ? ` (its "${done.performed}" action)` : '';
    return { content: [{ type: 'text', text: `Done: ${action} on ${id}${how}.` }] };
  });
}
