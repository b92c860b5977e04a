#!/usr/bin/env node
// An agent benchmark that needs no model: a scripted agent (the official MCP SDK client, Streamable
// HTTP) works the real app's agent server on a real desktop (the built app under its own 1920x1080
// Xvfb with openbox, a private D-Bus session bus and so the accessibility bus; GTK apps: mousepad,
// zenity dialogs; xterm) through 8 tasks, twice: structure-aware (windows, accessibility tree, waits
// for a window or an element to appear) and pixel-only (screenshots read by tesseract, clicks and keys by coordinates, run_command
// to start a program; no tree or window tools). Prints per task and way: success (checked from
// outside: the X server, the dialogs' answers, the editor's text), tool calls, wall time (the
// agent's OCR included: it is how a pixel agent sees).
// --figures adds per-action figures (median and worst of 10): screenshot, zoom, click, type_text per
// character, tree fetch through MCP, against the agent kits' process-per-action way (xdotool, scrot)
// on the same desktop.
//
//   node bench/agent_tasks.mjs [--build build/dev] [--ways structure,pixel] [--tasks open_app,…] [--figures] [--rounds 10]
// It runs itself in a private network namespace (8787/8788 are ours), as
//   unshare -n -- sh -c 'ip link set lo up && exec "$@"' sh node bench/agent_tasks.mjs …
import { execFile, execFileSync, spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { promisify } from 'node:util';

const kRoot = path.resolve(import.meta.dirname, '..');
const argv = process.argv.slice(2);
const flag = (name) => argv.includes(`--${name}`);
const opt = (name, fallback) => (argv.includes(`--${name}`) ? argv[argv.indexOf(`--${name}`) + 1] : fallback);

if (!process.env.ZEL_BENCH_NETNS) {
  const child = spawn('unshare', ['-n', '--', 'sh', '-c', 'ip link set lo up && exec "$0" "$@"', process.execPath, ...process.argv.slice(1)],
    { stdio: 'inherit', env: { ...process.env, ZEL_BENCH_NETNS: '1' } });
  const [code] = await once(child, 'exit');
  process.exit(code ?? 1);
}

const { kAgent, sleep, startApp, waitFor } = await import('../tests/support/app_under_test.mjs');
const sdk = (file) => import(pathToFileURL(path.join(kAgent, 'node_modules/@modelcontextprotocol/sdk/dist/esm/client', file)).href);
const { Client } = await sdk('index.js');
const { StreamableHTTPClientTransport } = await sdk('streamableHttp.js');
const run = promisify(execFile);

const kScreen = { width: 1920, height: 1080 };
const build = path.resolve(kRoot, opt('build', 'build/dev'));
const ways = opt('ways', 'structure,pixel').split(',');
const rounds = Number(opt('rounds', 10));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-agent-tasks-'));

// A session bus of our own, so that the app can start the accessibility bus on it.
const busAddress = `unix:path=${work}/bus`;
// Its own runtime folder too: services it starts (the accessibility bus launcher) put their
// sockets there, where another session of the same user would take the same path in ~/.cache.
fs.mkdirSync(`${work}/runtime`, { mode: 0o700 });
const bus = spawn('dbus-daemon', ['--session', `--address=${busAddress}`, '--nofork', '--nopidfile'],
  { stdio: 'ignore', env: { ...process.env, XDG_RUNTIME_DIR: `${work}/runtime` } });
await waitFor('the session bus', async () => fs.existsSync(`${work}/bus`));
const desktop = await startApp({ binary: path.join(build, 'bin/zel-desktop-agent'), ...kScreen, extraEnv: { DBUS_SESSION_BUS_ADDRESS: busAddress, GSETTINGS_BACKEND: 'memory' } });
const { env } = desktop;
const cleanup = async () => {
  await desktop.stop();
  bus.kill('SIGTERM');
  if (bus.exitCode === null) await once(bus, 'exit');
  // The document portal the bus started unmounts its folder in the runtime one as it goes.
  fs.rmSync(work, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
};
process.on('SIGINT', () => cleanup().finally(() => process.exit(130)));

// No blinking cursors: the screen is still when nothing happens, as settle needs to see.
fs.mkdirSync(`${env.XDG_CONFIG_HOME}/gtk-3.0`, { recursive: true });
fs.writeFileSync(`${env.XDG_CONFIG_HOME}/gtk-3.0/settings.ini`, '[Settings]\ngtk-cursor-blink=false\ngtk-enable-animations=false\n');
desktop.start('openbox', [], { env });
await sleep(1000);

const xdotool = (...args) => execFileSync('xdotool', args, { env }).toString().trim();
const visible = (pattern, by = '--name') => {
  try {
    return xdotool('search', '--onlyvisible', by, pattern).split('\n').filter(Boolean);
  } catch {
    return [];
  }
};
// Programs the scenes start, ended when their scene is over.
let sceneChildren = [];
function scene(file, args) {
  const child = spawn(file, args, { env, stdio: ['ignore', 'pipe', 'ignore'] });
  child.output = '';
  child.stdout.on('data', (d) => (child.output += d));
  child.exited = once(child, 'exit').then(([code]) => code);
  sceneChildren.push(child);
  return child;
}
async function endScene() {
  for (const child of sceneChildren) if (child.exitCode === null) child.kill('SIGKILL');
  sceneChildren = [];
  // Editors launched through the app are not our children: end those on this display only, so
  // another run's editors on another display live on.
  for (const id of visible('mousepad', '--class')) {
    try {
      process.kill(Number(xdotool('getwindowpid', id)), 'SIGKILL');
    } catch {}
  }
  await waitFor('no mousepad window', async () => visible('mousepad', '--class').length === 0);
}
const place = (id, x, y, w, h) => {
  xdotool('windowsize', '--sync', id, String(w), String(h));
  xdotool('windowmove', '--sync', id, String(x), String(y));
};
async function mousepad() {
  scene('mousepad', []);
  const [id] = await waitFor('the mousepad window', async () => visible('mousepad', '--class').length && visible('mousepad', '--class'));
  await sleep(400);
  return id;
}
// A window by its title, once drawn and in the accessibility tree.
async function windowNamed(title) {
  const [id] = await waitFor(`the window ${title}`, async () => visible(`^${title}$`).length && visible(`^${title}$`));
  await sleep(Number(process.env.ZEL_BENCH_SCENE_MS ?? 500));
  return id;
}

// The pairing code traded once for a device key, as the phone and the AI clients do.
const { key } = await (await fetch('http://127.0.0.1:8787/api/pair', { method: 'POST', headers: { Authorization: `Bearer ${desktop.token}` } })).json();
async function connect(name) {
  const client = new Client({ name, version: '1.0.0' });
  await client.connect(new StreamableHTTPClientTransport(new URL('http://127.0.0.1:8787/mcp'), { requestInit: { headers: { Authorization: `Bearer ${key}` } } }));
  return client;
}
// The agent: every tool call counted; an error answer throws.
function agentOn(client) {
  const agent = {
    calls: 0,
    async call(name, args = {}) {
      agent.calls++;
      const answer = await client.callTool({ name, arguments: args }, undefined, { timeout: 60000 });
      const text = answer.content.filter((c) => c.type === 'text').map((c) => c.text).join('\n');
      if (answer.isError) throw new Error(`${name}: ${text}`);
      const image = answer.content.find((c) => c.type === 'image');
      return { text, image: image && Buffer.from(image.data, 'base64') };
    },
    async windows() {
      const { text } = await agent.call('list_windows');
      return JSON.parse(text.slice(text.indexOf('\n') + 1));
    },
    // The tree of a window once it is on the bus, asked again while a slow answer comes back cut
    // before what is wanted.
    async tree(window, want = () => true) {
      for (let tries = 0; ; tries++) {
        const answer = await agent.call('accessibility_tree', { window, timeout_ms: 5000 });
        const tree = JSON.parse(answer.text);
        if ([...nodes(tree.window)].some(want) || !tree.truncated || tries === 3) return tree.window;
      }
    },
  };
  return agent;
}
const checker = agentOn(await connect('zel-bench-checker')); // reads the truth where the X server cannot tell it

// The tree's nodes, depth first.
function* nodes(node) {
  yield node;
  for (const child of node.children ?? []) yield* nodes(child);
}
const button = (name) => (n) => n.role === 'push button' && n.name === name;
const findNode = (tree, pred, what) => {
  for (const node of nodes(tree)) if (pred(node)) return node;
  if (process.env.ZEL_BENCH_DUMP) console.log(JSON.stringify(tree, null, 1).slice(0, 6000));
  throw new Error(`no ${what} in the tree`);
};
const centre = ([x, y, w, h]) => ({ x: Math.round(x + w / 2), y: Math.round(y + h / 2) });

// The pixel agent's eyes: tesseract's words with their boxes, in the image's own pixels.
let ocrCount = 0;
async function ocr(image, scale = 2, negate = false) {
  const file = path.join(work, `ocr-${++ocrCount}.png`);
  const big = `${file}.big.png`;
  fs.writeFileSync(file, image);
  // Xvfb's black root window throws tesseract's page layout: made white first.
  // Light text on a dark or coloured ground (a selection, a title bar) is read from the negative.
  await run('convert', [file, '-fuzz', '8%', '-fill', 'white', '-opaque', 'black', '-colorspace', 'Gray', '-resize', `${scale * 100}%`,
    ...(negate ? ['-negate'] : []), big]);
  const { stdout } = await run('tesseract', [big, 'stdout', '--psm', '11', 'tsv'], { maxBuffer: 16 << 20 });
  const words = [];
  for (const line of stdout.split('\n').slice(1)) {
    const f = line.split('\t');
    if (f.length < 12 || !f[11].trim() || Number(f[10]) < 0) continue;
    words.push({ text: f[11].trim(), x: Number(f[6]) / scale, y: Number(f[7]) / scale, w: Number(f[8]) / scale, h: Number(f[9]) / scale });
  }
  return words;
}
const wordAt = (words, pattern) => words.filter((w) => pattern.test(w.text));
const lowest = (list) => list.sort((a, b) => b.y - a.y)[0];
const middle = (w) => ({ x: Math.round(w.x + w.w / 2), y: Math.round(w.y + w.h / 2) });
// At the screen's own pixels: at 1280 a title bar's letters are too small for tesseract. Without
// `pattern` the words of one pass; with it, the negative too when the first pass misses it.
async function look(agent, pattern) {
  const shot = await agent.call('screenshot', { width: kScreen.width });
  const words = await ocr(shot.image);
  return pattern && !wordAt(words, pattern).length ? [...words, ...(await ocr(shot.image, 2, true))] : words;
}
// Screenshots until a word shows (the pixel agent's only way to wait).
async function lookFor(agent, pattern, timeoutMs = 15000) {
  for (const end = Date.now() + timeoutMs; Date.now() < end;) {
    const words = await look(agent, pattern);
    const hits = wordAt(words, pattern);
    if (hits.length) return { words, hits };
  }
  throw new Error(`${pattern} never showed`);
}
// The structure-aware agent presses a button by its window and accessible name, which waits for a
// window that comes late.
const press = (agent, window, name) => agent.call('act_on_element', { window, name, role: 'push button', action: 'press', timeout_ms: 10000 });
const digits = (n) => Array.from({ length: n }, () => 2 + Math.floor(Math.random() * 8)).join('');

// Each task: `scene` sets the desktop up (not counted) and returns what the check needs;
// `structure` and `pixel` are the two agents; `check` says from outside whether it was done.
const tasks = [
  {
    name: 'open_app',
    what: 'open Mousepad by its name',
    scene: async () => ({}),
    structure: async (agent) => {
      await agent.call('launch_app', { name: 'Mousepad', wait_for_window: true });
    },
    pixel: async (agent) => {
      await agent.call('run_command', { command: 'setsid mousepad >/dev/null 2>&1 &' });
      await lookFor(agent, /Mousepad/);
    },
    check: async () => visible('mousepad', '--class').length > 0,
  },
  {
    name: 'press_button',
    what: 'press the dialog\'s "Discard" button',
    scene: async () => {
      const dialog = scene('zenity', ['--question', '--title', 'Draft', '--text', 'Delete the draft?', '--ok-label', 'Discard', '--cancel-label', 'Keep']);
      await windowNamed('Draft');
      return { dialog };
    },
    structure: async (agent) => {
      await press(agent, 'Draft', 'Discard');
    },
    pixel: async (agent) => {
      const { hits } = await lookFor(agent, /^Discard$/);
      await agent.call('click', middle(hits[0]));
      await lookGone(agent, /^Discard$/);
    },
    check: async ({ dialog }) => (await dialog.exited) === 0,
  },
  {
    name: 'fill_field',
    what: 'put "Lisbon" in the form\'s City field and send it',
    scene: async () => {
      const form = scene('zenity', ['--forms', '--title', 'Shipping', '--text', 'Shipping address', '--add-entry', 'Name', '--add-entry', 'City', '--ok-label', 'Send']);
      place(await windowNamed('Shipping'), 600, 300, 420, 260);
      return { form };
    },
    structure: async (agent) => {
      const tree = await agent.tree('Shipping', button('Send'));
      const label = findNode(tree, (n) => n.role === 'label' && n.name === 'City', 'City label');
      const row = (n) => n.bounds && Math.abs(centre(n.bounds).y - centre(label.bounds).y) <= 8;
      const field = findNode(tree, (n) => n.role === 'text' && n.states?.includes('editable') && row(n), 'City field');
      await agent.call('act_on_element', { id: field.id, action: 'set_text', text: 'Lisbon' });
      await agent.call('act_on_element', { id: findNode(tree, button('Send'), 'Send button').id, action: 'press' });
    },
    pixel: async (agent) => {
      const { words } = await lookFor(agent, /^City$/);
      const city = wordAt(words, /^City$/)[0];
      await agent.call('click', { x: Math.round(city.x + city.w + 120), y: middle(city).y });
      await agent.call('type_text', { text: 'Lisbon' });
      await agent.call('click', middle(lowest(wordAt(words, /^Send$/))));
    },
    check: async ({ form }) => (await form.exited) === 0 && form.output.trim() === '|Lisbon',
  },
  {
    name: 'read_label',
    what: 'read the build number in a terminal\'s small print',
    scene: async () => {
      const code = `${digits(5)}-${digits(4)}`;
      scene('xterm', ['-title', 'Build log', '-fa', 'DejaVu Sans Mono', '-fs', '6', '-geometry', '48x4+1250+700', '-e', 'sh', '-c', `printf 'build %s ok\\n' ${code}; exec sleep 3600`]);
      await windowNamed('Build log');
      return { code };
    },
    structure: async (agent) => {
      return readCode(await agent.call('zoom', { window: 'Build log' }));
    },
    pixel: async (agent) => {
      const { hits } = await lookFor(agent, /^log$/);
      const title = hits[0];
      // The window's text lies below its title bar: zoom into the area under the title.
      return readCode(await agent.call('zoom', { x: Math.max(0, Math.round(title.x - 200)), y: Math.round(title.y), width: 420, height: 80 }));
    },
    check: async ({ code }, answer) => answer === code,
  },
  {
    name: 'wait_dialog',
    what: 'press Export, wait for the "Export finished" dialog (1.5 s later) and close it',
    scene: async () => {
      const marker = path.join(work, 'exported');
      fs.rmSync(marker, { force: true });
      scene('sh', ['-c', `zenity --question --title Export --text 'Export the report?' --ok-label Export --cancel-label Cancel && sleep 1.5 && zenity --info --title 'Export finished' --text 'The report is exported.' && touch ${marker}`]);
      await windowNamed('Export');
      return { marker };
    },
    structure: async (agent) => {
      await press(agent, 'Export', 'Export');
      await press(agent, 'Export finished', 'OK');
    },
    pixel: async (agent) => {
      const { hits } = await lookFor(agent, /^Export$/);
      await agent.call('click', middle(lowest(hits)));
      const { hits: ok } = await lookFor(agent, /^OK$/);
      await agent.call('click', middle(lowest(ok)));
    },
    check: async ({ marker }) => waitFor('the marker', async () => fs.existsSync(marker), 3000).catch(() => false),
  },
  {
    name: 'drag',
    what: 'drag the Mousepad window by its title bar to the right half of the screen',
    scene: async () => {
      const id = await mousepad();
      place(id, 100, 150, 700, 450);
      return { id };
    },
    structure: async (agent) => {
      const editor = (await agent.windows()).find((w) => /mousepad/i.test(w.application));
      const { x, y, width } = editor.bounds; // pixels of the default 1280-wide screenshot
      const from = { x: x + Math.round(width / 2), y: y + 8 };
      await agent.call('drag', { start_x: from.x, start_y: from.y, end_x: from.x + 600, end_y: from.y, settle_ms: 200 });
    },
    pixel: async (agent) => {
      const { hits } = await lookFor(agent, /Mousepad/);
      const word = hits.sort((a, b) => a.y - b.y)[0];
      // The bar beside the title's last word: the pointer stays where it grabbed, and on the word
      // it hid it from the look that follows.
      const title = { x: Math.round(word.x + word.w + 40), y: middle(word).y };
      await agent.call('drag', { start_x: title.x, start_y: title.y, end_x: title.x + 900, end_y: title.y }); // screen pixels
      await lookFor(agent, /Mousepad/);
    },
    check: async ({ id }) => {
      const geometry = xdotool('getwindowgeometry', '--shell', id);
      return Number(/X=(-?\d+)/.exec(geometry)[1]) >= 960;
    },
  },
  {
    name: 'switch_window',
    what: 'bring Mousepad, hidden behind a terminal, to the front',
    scene: async () => {
      const id = await mousepad();
      place(id, 100, 150, 700, 450);
      scene('xterm', ['-title', 'Terminal', '-geometry', '140x45+40+60']);
      const term = await windowNamed('Terminal');
      xdotool('windowactivate', '--sync', term);
      return { id };
    },
    structure: async (agent) => {
      const editor = (await agent.windows()).find((w) => /mousepad/i.test(w.application));
      await agent.call('focus_window', { id: editor.id });
    },
    pixel: async (agent) => {
      // Nothing of it shows: cycle the windows until its title does.
      for (let tries = 0; tries < 6; tries++) {
        if (wordAt(await look(agent), /Mousepad/).length) return;
        await agent.call('key_combo', { keys: 'alt+Tab' });
      }
      throw new Error('Mousepad never came up');
    },
    check: async ({ id }) => Number(xdotool('getactivewindow')) === Number(id),
  },
  {
    name: 'copy_text',
    what: 'copy the order number from a dialog into Mousepad',
    scene: async () => {
      const order = `ORDER ${digits(5)}`;
      const id = await mousepad();
      place(id, 100, 150, 700, 450);
      scene('zenity', ['--entry', '--title', 'Order', '--text', 'Order number', '--entry-text', order]);
      place(await windowNamed('Order'), 1450, 700, 400, 160); // clear of the app's own window
      return { order };
    },
    structure: async (agent) => {
      const filled = (n) => n.role === 'text' && n.text;
      const field = findNode(await agent.tree('Order', filled), filled, 'order field');
      await agent.call('write_clipboard', { text: field.text });
      const editor = (await agent.windows()).find((w) => /mousepad/i.test(w.application));
      await agent.call('focus_window', { id: editor.id });
      await agent.call('paste');
    },
    pixel: async (agent) => {
      const { words, hits: [order] } = await lookFor(agent, /ORDER/i);
      await agent.call('click', middle(order));
      await agent.call('key_combo', { keys: 'ctrl+a' });
      await agent.call('key_combo', { keys: 'ctrl+c' });
      const title = wordAt(words, /Mousepad/).sort((a, b) => a.y - b.y)[0];
      await agent.call('click', { x: middle(title).x, y: Math.round(title.y + 150) }); // into its text
      await agent.call('paste');
    },
    check: async ({ order }) => {
      const tree = await checker.tree('Mousepad', (n) => n.text?.includes(order));
      return [...nodes(tree)].some((n) => n.text?.includes(order));
    },
  },
];

async function lookGone(agent, pattern) {
  for (let tries = 0; tries < 10; tries++) if (!wordAt(await look(agent), pattern).length) return;
  throw new Error(`${pattern} is still there`);
}
// The digits of a build number in a zoomed image.
async function readCode({ image }) {
  const text = (await ocr(image, 3)).map((w) => w.text).join(' ');
  return /(\d{5}-\d{4})/.exec(text)?.[1] ?? `unread: ${text}`;
}

const only = opt('tasks', '') ? new Set(opt('tasks', '').split(',')) : null;
const results = [];
for (const way of ways) {
  const client = await connect(`zel-bench-${way}`);
  for (const task of tasks.filter((t) => !only || only.has(t.name))) {
    await endScene();
    const state = await task.scene();
    const agent = agentOn(client);
    const started = performance.now();
    let answer;
    let error = '';
    try {
      answer = await Promise.race([task[way](agent), sleep(45000).then(() => Promise.reject(new Error('took over 45 s')))]);
    } catch (e) {
      error = e.message;
    }
    const ms = performance.now() - started;
    const ok = !error && (await task.check(state, answer).catch(() => false));
    results.push({ way, task: task.name, ok, calls: agent.calls, ms, error: error || (ok ? '' : `wrong result ${answer ?? ''}`) });
    console.log(`${way.padEnd(9)} ${task.name.padEnd(13)} ${ok ? 'ok  ' : 'FAIL'} ${String(agent.calls).padStart(3)} calls ${ms.toFixed(0).padStart(6)} ms  ${ok ? '' : error || `wrong: ${answer}`}`);
  }
  await endScene();
  await client.close();
}

console.log(`\n== ${results.length / ways.length} tasks on a 1920x1080 Xvfb with openbox (mousepad, zenity, xterm): success, tool calls, wall time`);
console.log(`${'task'.padEnd(14)}${ways.map((w) => `${w.padEnd(26)}`).join('')}`);
for (const task of tasks.filter((t) => !only || only.has(t.name))) {
  const cells = ways.map((way) => {
    const r = results.find((x) => x.way === way && x.task === task.name);
    return `${r.ok ? 'ok  ' : 'FAIL'} ${String(r.calls).padStart(3)} calls ${r.ms.toFixed(0).padStart(6)} ms   `;
  });
  console.log(`${task.name.padEnd(14)}${cells.join('')}`);
}
const totals = ways.map((way) => {
  const mine = results.filter((r) => r.way === way);
  return `${String(mine.filter((r) => r.ok).length).padStart(2)}/${mine.length} ${String(mine.reduce((s, r) => s + r.calls, 0)).padStart(3)} calls ${mine.reduce((s, r) => s + r.ms, 0).toFixed(0).padStart(6)} ms   `;
});
console.log(`${'total'.padEnd(14)}${totals.join('')}`);

if (flag('figures')) await figures();
await cleanup();
process.exit(results.every((r) => r.ok) ? 0 : 1);

// Per-action figures through MCP against a process per action (xdotool, scrot), on the same desktop.
async function figures() {
  await endScene();
  const id = await mousepad();
  place(id, 100, 150, 900, 600);
  xdotool('windowactivate', '--sync', id);
  const client = await connect('zel-bench-figures');
  const agent = agentOn(client);
  const shotFile = path.join(work, 'scrot.png');
  const text = 'abcdefghijklmnopqrstuvwxyz0123456789'.repeat(2).slice(0, 50);
  const cells = [
    ['screenshot (1280 JPEG)', () => agent.call('screenshot'), () => run('scrot', ['-o', shotFile], { env })],
    ['screenshot (full 1920)', () => agent.call('screenshot', { width: 1920 }), () => run('scrot', ['-o', shotFile], { env })],
    ['zoom 400x300 (PNG)', () => agent.call('zoom', { x: 100, y: 100, width: 400, height: 300 }),
      () => run('scrot', ['-o', '-a', '150,150,600,450', shotFile], { env })],
    ['click', () => agent.call('click', { x: 400, y: 350 }),
      () => run('xdotool', ['mousemove', '600', '525', 'click', '1'], { env })],
    [`type_text, per char (${text.length})`, () => agent.call('type_text', { text }),
      () => run('xdotool', ['type', '--delay', '0', text], { env }), text.length],
    ['tree fetch (Mousepad)', () => agent.call('accessibility_tree', { window: 'Mousepad' }), null],
    ['list_windows', () => agent.call('list_windows'), () => run('xdotool', ['search', '--onlyvisible', '--name', '.'], { env })],
  ];
  const stats = async (fn, per = 1) => {
    const times = [];
    for (let i = -1; i < rounds; i++) { // one warm-up
      const started = performance.now();
      await fn();
      if (i >= 0) times.push((performance.now() - started) / per);
    }
    times.sort((a, b) => a - b);
    return `${times[Math.floor(times.length / 2)].toFixed(2).padStart(8)} ${times.at(-1).toFixed(2).padStart(8)}`;
  };
  console.log(`\n== per action, ms, median and worst of ${rounds} (MCP through the agent server; a process per action: xdotool, scrot)`);
  console.log(`${'action'.padEnd(28)}${'MCP med'.padStart(8)} ${'worst'.padStart(8)}   ${'process med'.padStart(11)} ${'worst'.padStart(8)}`);
  for (const [name, mcp, proc, per = 1] of cells) {
    const ours = await stats(mcp, per);
    const theirs = proc ? await stats(proc, per) : `${'—'.padStart(8)} ${'—'.padStart(8)}`;
    console.log(`${name.padEnd(28)}${ours}   ${theirs.padStart(20)}`);
  }
  await client.close();
  await endScene();
}
