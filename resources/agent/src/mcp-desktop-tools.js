// The MCP tools that see the desktop as windows and applications rather than pixels: the window
// list (with bounds in the session's screenshot pixels), focusing a window, and starting an
// installed application by its desktop entry.
import { z } from 'zod';
import { ApplicationError, findApplication, installedApplications, launchApplication } from './applications.js';
import { controlRequest, controlUrl, readAll } from './control.js';
import { appearTimeout, controlMessage, done, kDefaultShotWidth, pollUntil } from './mcp-context.js';

// How often a wait for a window asks the window manager again: a list is a few round trips.
const kWindowPollMs = 100;
const kWindowWaitMs = 10000;

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

// The control service's window list: { display, windows } with desktop bounds.
export async function windowList(config, signal) {
  const answer = await askControl(config, '/windows', { signal });
  return { display: answer.display || null, windows: answer.windows || [] };
}

// Whether a window is one that `words` name: in its title or application name, case-insensitively.
// The app's own windows are never meant.
export const windowNamed = (words) => {
  const wanted = words.toLowerCase();
  return (w) => !w.own && [w.title, w.application].some((text) => String(text ?? '').toLowerCase().includes(wanted));
};

// Polls the window list until `pick` finds a window in it, for at most timeoutMs:
// { display, windows, found, waitedMs }; found is null when none came.
export async function waitForWindow(config, pick, { timeoutMs, signal }) {
  let last = null;
  const { value, waitedMs } = await pollUntil(async () => {
    last = await windowList(config, signal);
    return last.windows.find((w) => pick(w)) ?? null;
  }, { timeoutMs, intervalMs: kWindowPollMs, signal });
  return { ...last, found: value, waitedMs };
}

export function registerDesktopTools(server, { config, env }, session) {
  const describeWindows = (display, list) => {
    const shot = display ? shotSpace(session, display) : null;
    const windows = list.map((w) => ({
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
    return { windows, space };
  };

  server.registerTool('list_windows', {
    title: 'List windows',
    description: 'Lists the top-level windows of the desktop, the topmost first: id (for focus_window), title, application, '
      + 'process id, whether it has the focus or is minimized, and its bounds in pixels of the most recent screenshot '
      + '(the default screenshot size when there is none; null when the window is off the main display), '
      + 'besides its bounds in desktop pixels. Windows marked own belong to this agent and cannot be focused.',
    inputSchema: z.strictObject({
      wait_for: z.string().min(1).max(200).optional()
        .describe('Words of a window title or application name (case-insensitive): answer once such a window is listed, waiting up to timeout_ms.'),
      timeout_ms: appearTimeout('the wait_for window', kWindowWaitMs),
    }),
    annotations: { readOnlyHint: true },
  }, async ({ wait_for: words, timeout_ms: asked }, extra) => {
    if (words === undefined && asked !== undefined) throw new Error('"timeout_ms" belongs to wait_for.');
    const timeoutMs = asked ?? kWindowWaitMs;
    let listed;
    let waited = '';
    if (words === undefined) {
      listed = await windowList(config, extra.signal);
    } else {
      listed = await waitForWindow(config, windowNamed(words), { timeoutMs, signal: extra.signal });
      if (!listed.found) throw new Error(`No window matching "${words}" appeared within ${timeoutMs} ms.`);
      waited = ` Window ${listed.found.id} ("${listed.found.title}") matches "${words}" (waited_ms: ${listed.waitedMs}).`;
    }
    const { windows, space } = describeWindows(listed.display, listed.windows);
    return done(`${windows.length} window${windows.length === 1 ? '' : 's'}.${waited} ${space}\n${JSON.stringify(windows, null, 1)}`);
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
      + 'with wait_for_window, once its window is listed, answering that window as list_windows does.',
    inputSchema: z.strictObject({
      name: z.string().min(1).max(200).describe('Application name or desktop entry id.'),
      files: z.array(z.string().min(1).max(4096)).max(32).optional().describe('Absolute paths or URLs to open with it.'),
      wait_for_window: z.boolean().default(false).describe('Wait until a new window of the application is listed, and return it.'),
      timeout_ms: appearTimeout('its window (with wait_for_window)', kWindowWaitMs),
    }),
  }, async ({ name, files = [], wait_for_window: waitWindow, timeout_ms: asked }, extra) => {
    if (!waitWindow && asked !== undefined) throw new Error('"timeout_ms" belongs to wait_for_window.');
    const timeoutMs = asked ?? kWindowWaitMs;
    let app;
    try {
      app = findApplication(installedApplications(env), name);
    } catch (err) {
      if (err instanceof ApplicationError) throw new Error(err.message);
      throw err;
    }
    // Windows there before are not the new one; an application that hands its files to a running
    // instance opens its window in that instance's process, known by its name.
    const before = waitWindow ? new Set((await windowList(config, extra.signal)).windows.map((w) => w.id)) : null;
    let pid;
    try {
      ({ pid } = await launchApplication(app, { files, env }));
    } catch (err) {
      if (err instanceof ApplicationError) throw new Error(err.message);
      throw err;
    }
    const started = `Started ${app.name} (${app.id}), process ${pid}.`;
    if (!waitWindow) return done(started);
    const names = [app.name, app.id.replace(/\.desktop$/, '').split('.').at(-1)].map((n) => n.toLowerCase());
    const ours = (w) => !w.own && !before.has(w.id)
      && (w.pid === pid || names.some((n) => [w.title, w.application].some((text) => String(text ?? '').toLowerCase().includes(n))));
    const listed = await waitForWindow(config, ours, { timeoutMs, signal: extra.signal });
    if (!listed.found) throw new Error(`${started} No window of it appeared within ${timeoutMs} ms.`);
    const { windows, space } = describeWindows(listed.display, [listed.found]);
    return done(`${started} Its window appeared (waited_ms: ${listed.waitedMs}). ${space}\n${JSON.stringify(windows[0], null, 1)}`);
  });
}
