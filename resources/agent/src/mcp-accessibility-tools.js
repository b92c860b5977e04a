// The MCP tools that read an application's accessibility tree and act on its elements by id,
// over the control service's /accessibility routes (AT-SPI). Bounds come in pixels of the
// session's screenshot space as well as the desktop's, so that a model can also click what it finds.
import { z } from 'zod';
import { controlRequest, controlUrl, readAll } from './control.js';
import { appearTimeout, controlMessage, kDefaultShotWidth, pollUntil } from './mcp-context.js';

const kMaxTreeBytes = 16 << 20;
const kTimeoutMs = 20000; // the app cuts a slow tree at 10 s
// A tree read asks every application on the bus: a wait asks again at a gentler pace than the
// window list's.
const kTreePollMs = 200;
// What the control service says while no window of the name (or none with the focus) is on the bus.
const kNoWindowYet = /No window (of an application on the accessibility bus matches|that exposes its accessibility tree has the focus)/;

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

// The tree of the window `window` names (or the focused one), read again while no such window is
// on the bus, for at most timeoutMs: { tree, waitedMs }, tree null when none came. `accept` may
// ask for more than the window (an element in it): null reads again.
async function treeWhenThere(config, { window, pid, depth, limit, timeoutMs, signal }, accept = (tree) => tree) {
  const url = controlUrl(config.screenshotUrl, '/accessibility', { window: window ?? 'focused', pid, depth, limit });
  let tree = null;
  const { value, waitedMs } = await pollUntil(async () => {
    try {
      tree = await ask(url, { signal });
    } catch (err) {
      if (timeoutMs > 0 && kNoWindowYet.test(err.message)) return null;
      throw err;
    }
    return accept(tree);
  }, { timeoutMs, intervalMs: kTreePollMs, signal });
  return { tree, found: value, waitedMs };
}

// The first element breadth first whose name is `name` (case-insensitive, spaces trimmed) and
// whose role is `role` when given; a showing one before one that is not.
export function findElement(root, name, role) {
  const wanted = name.trim().toLowerCase();
  let hidden = null;
  for (let level = [root]; level.length; level = level.flatMap((n) => n.children ?? [])) {
    for (const node of level) {
      if (String(node.name ?? '').trim().toLowerCase() !== wanted || (role && node.role !== role)) continue;
      if (node.states?.includes('showing')) return node;
      hidden ??= node;
    }
  }
  return hidden;
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
      timeout_ms: appearTimeout('the window (a dialog that comes late)', 0),
    }),
    annotations: { readOnlyHint: true },
  }, async ({ window, pid, max_depth: depth, max_nodes: limit, timeout_ms: timeoutMs = 0 }, extra) => {
    const { tree, waitedMs } = await treeWhenThere(config, { window, pid, depth, limit, timeoutMs, signal: extra.signal });
    if (!tree) throw new Error(`No window ${window === undefined ? 'with the focus exposing its tree' : `matching "${window}"`} appeared within ${timeoutMs} ms.`);
    const toShot = screenshotSpace(session.shot, tree.display);
    const answer = {
      application: tree.application,
      pid: tree.pid,
      nodes: tree.nodes,
      truncated: tree.truncated,
      screenshot_space: toShot ? (session.shot ? 'the last screenshot' : `the default ${kDefaultShotWidth}-pixel-wide screenshot`) : 'unknown: bounds are desktop pixels',
      ...(timeoutMs > 0 ? { waited_ms: waitedMs } : {}),
      window: mapTree(tree.window, toShot),
    };
    return { content: [{ type: 'text', text: JSON.stringify(answer) }] };
  });

  server.registerTool('act_on_element', {
    title: 'Act on an element',
    description: 'Acts on an element of the accessibility tree: "press" does its default action (click a button, open a menu, '
      + 'choose a menu item), "focus" gives it the keyboard focus, "set_text" replaces the text of an editable element with `text`. '
      + 'The element is named by its id (from accessibility_tree), or by `window` and its accessible `name` (and `role`), '
      + 'which may wait up to timeout_ms for it to appear: a dialog that comes late is one call. After focus and set_text the answer shows the '
      + 'element as it is then (states, text). The app\'s own window cannot be acted on.',
    inputSchema: z.strictObject({
      id: z.string().min(1).max(1000).optional().describe('The element id from accessibility_tree.'),
      window: z.string().min(1).max(200).optional()
        .describe('Instead of id: words of the window title or application name (case-insensitive) the element is in.'),
      name: z.string().min(1).max(500).optional().describe('With window: the element\'s accessible name (case-insensitive, whole).'),
      role: z.string().min(1).max(100).optional().describe('With window: the element\'s role, e.g. "push button", "text", "menu item".'),
      timeout_ms: appearTimeout('the element (with window and name)', 0),
      action: z.enum(['press', 'focus', 'set_text']).describe('What to do.'),
      text: z.string().max(100000).optional().describe('For set_text: the new text, replacing what is there.'),
    }),
  }, async ({ id, window, name, role, timeout_ms: timeoutMs, action, text }, extra) => {
    if (action === 'set_text' && text === undefined) throw new Error('set_text needs "text".');
    if (action !== 'set_text' && text !== undefined) throw new Error('"text" belongs to set_text only.');
    const byName = window !== undefined || name !== undefined || role !== undefined || timeoutMs !== undefined;
    if (id !== undefined && byName) throw new Error('Give "id", or "window" and "name" (with "role" and "timeout_ms" if wanted), not both.');
    if (id === undefined && (window === undefined || name === undefined)) throw new Error('Give "id" from accessibility_tree, or "window" and "name".');
    let what = id;
    let waited = '';
    if (id === undefined) {
      const wait = timeoutMs ?? 0;
      const { tree, found, waitedMs } = await treeWhenThere(config, { window, depth: 32, limit: 2000, timeoutMs: wait, signal: extra.signal },
        (answer) => findElement(answer.window, name, role));
      const element = `${role ? `${role} ` : 'element '}named "${name}"`;
      if (!found) {
        throw new Error(tree
          ? `No ${element} in the window "${tree.window.name}" (${tree.application})${wait ? ` within ${wait} ms` : ''}; read it with accessibility_tree.`
          : `No window matching "${window}" appeared within ${wait} ms.`);
      }
      id = found.id;
      what = `the ${found.role} "${found.name}" (${id})`;
      if (wait > 0) waited = ` (waited_ms: ${waitedMs})`;
    }
    const body = JSON.stringify(action === 'set_text' ? { id, action, text } : { id, action });
    const done = await ask(controlUrl(config.screenshotUrl, '/accessibility/act'), { body, signal: extra.signal });
    const how = done.performed ? ` (its "${done.performed}" action)` : '';
    // After focus and set_text the element as it is now (its states, its text), so that the agent
    // need not read the tree again to see what it did.
    const { bounds, ...now } = done.element ?? {};
    const after = done.element ? `\nThe element now: ${JSON.stringify(now)}` : '';
    return { content: [{ type: 'text', text: `Done: ${action} on ${what}${how}${waited}.${after}` }] };
  });
}
