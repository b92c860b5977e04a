// The MCP tools that see the desktop as windows and applications rather than pixels: the window
// list (with bounds in the session's screenshot pixels), focusing a window, and starting an
// installed application by its desktop entry.
import { z } from 'zod';
import { ApplicationError, findApplication, installedApplications, launchApplication } from './applications.js';
import { controlRequest, controlUrl, readAll } from './control.js';
import { controlMessage, done, kDefaultShotWidth } from './mcp-context.js';


async function askControl(config, route, { body, signal } = {}) {
  const res = await controlRequest(controlUrl(config.inputUrl, route), { method: body === undefined ? 'GET' : 'POST', body, signal });
  const answer = await readAll(res, 4 << 20);
  if (res.statusCode !== 200) throw new Error(controlMessage(res.statusCode, answer));
  return JSON.parse(answer.toString('utf8'));
}

// The pixel space pointer tools take: the session's last screenshot, else the default screenshot
// of the display.
function shotSpace(session, display) {
  if (session.shot) return session.shot;
  const width = Math.min(kDefaultShotWidth, Math.round(display.width));
  return { width, height: Math.round((display.height * width) / display.width) };
}

// Desktop bounds into screenshot pixels, cut to the screenshot; null when none of it is there.
export function toShot(bounds, display, shot) {
  if (!bounds || !display || !(display.width > 0) || !(display.height > 0)) return null;
  const sx = shot.width / display.width;
  const sy = shot.height / display.height;
  const left = Math.max(0, Math.round((bounds.x - display.x) * sx));
  const top = Math.max(0, Math.round((bounds.y - display.y) * sy));
  const right = Math.min(shot.width, Math.round((bounds.x + bounds.width - display.x) * sx));
  const bottom = Math.min(shot.height, Math.round((bounds.y + bounds.height - display.y) * sy));
  if (right <= left || bottom <= top) return null;
  return { x: left, y: top, width: right - left, height: bottom - top };
}

export function registerDesktopTools(server, { config, env }, session) {
  server.registerTool('list_windows', {
    title: 'List windows',
    description: 'Lists the top-level windows of the desktop, the topmost first: id (for focus_window), title, application, '
      + 'process id, whether it has the focus or is minimized, and its bounds in pixels of the most recent screenshot '
      + '(the default screenshot size when there is none; null when the window is off the main display), '
      + 'besides its bounds in desktop pixels. Windows marked own belong to this agent and cannot be focused.',
    inputSchema: z.strictObject({}),
    annotations: { readOnlyHint: true },
  }, async (_args, extra) => {
    const answer = await askControl(config, '/windows', { signal: extra.signal });
    const display = answer.display || null;
    const shot = display ? shotSpace(session, display) : null;
    const windows = (answer.windows || []).map((w) => ({
      id: w.id,
      title: w.title,
      application: w.application,
      pid: w.pid,
      focused: w.focused,
      minimized: w.minimized,
      ...(w.own ? { own: true } : {}),
      bounds: shot ? toShot(w.bounds, display, shot) : null,
      desktop_bounds: w.bounds,
    }));
    const space = shot ? `Bounds are pixels of a ${shot.width}x${shot.height} screenshot${session.shot ? '' : ' (the default size; no screenshot yet in this session)'}.` : 'The display size is unknown: only desktop bounds are given.';
    return done(`${windows.length} window${windows.length === 1 ? '' : 's'}. ${space}\n${JSON.stringify(windows, null, 1)}`);
  });

  server.registerTool('focus_window', {
    title: 'Focus window',
    description: 'Raises a window and gives it the keyboard focus (showing it first when minimized), by its id from list_windows. '
      + 'Take a new screenshot afterwards.',
    inputSchema: z.strictObject({
      id: z.string().min(1).max(64).describe('The window id from list_windows.'),
    }),
  }, async ({ id }, extra) => {
    const answer = await askControl(config, '/windows/focus', { body: JSON.stringify({ id }), signal: extra.signal });
    return done(answer.focused
      ? `Window ${id} is in front and has the focus.`
      : `Asked the window manager to focus window ${id}, but it has not taken the focus (yet); check with list_windows.`);
  });

  server.registerTool('launch_app', {
    title: 'Launch application',
    description: 'Starts an installed application by the name it has in the desktop\'s menus (e.g. "Mousepad", "Terminal") or its '
      + 'desktop entry id (e.g. "org.xfce.mousepad"), case-insensitively; a part of the name or a keyword works when only '
      + 'one application matches. Optionally opens files (absolute paths) or URLs with it. Returns once the program runs; '
      + 'its window may take a moment: check with list_windows or a screenshot.',
    inputSchema: z.strictObject({
      name: z.string().min(1).max(200).describe('Application name or desktop entry id.'),
      files: z.array(z.string().min(1).max(4096)).max(32).optional().describe('Absolute paths or URLs to open with it.'),
    }),
  }, async ({ name, files = [] }) => {
    try {
      const app = findApplication(installedApplications(env), name);
      const { pid } = await launchApplication(app, { files, env });
      return done(`Started ${app.name} (${app.id}), process ${pid}.`);
    } catch (err) {
      if (err instanceof ApplicationError) throw new Error(err.message);
      throw err;
    }
  });
}
