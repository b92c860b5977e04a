// An MCP client on the real app under a private X server: the screenshot it gets shows a known
// window (a red xmessage), and its click lands where it aimed, read back from the X server (a
// cancelled call's pieces: mcp.test.js; each piece at the X server: the X11 input test); the MCP
// Inspector's CLI (tests/clients, installed apart from the agent server's packages) lists the
// tools and makes a call. ZEL_E2E_SCREENS: where the screenshot is left.
import assert from 'node:assert/strict';
import { execFile, execFileSync, spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, it } from 'node:test';
import { pathToFileURL } from 'node:url';
import { promisify } from 'node:util';
import { kAgent, kRoot, sleep, startApp, waitFor } from '../support/app_under_test.mjs';

const sdk = (file) => import(pathToFileURL(path.join(kAgent, 'node_modules/@modelcontextprotocol/sdk/dist/esm/client', file)).href);
const { Client } = await sdk('index.js');
const { StreamableHTTPClientTransport } = await sdk('streamableHttp.js');

const kScreen = { width: 1280, height: 900 };
const kShotWidth = 640; // half size, so the pixel-to-screen mapping is exercised

// Bounding box of the pixels near one colour, as { x, y, width, height } in image pixels.
function colourBox(image, colour) {
  const box = execFileSync('convert', [image, '-fuzz', '20%', '-fill', 'black', '+opaque', colour, '-format', '%@', 'info:']).toString();
  const match = /^(\d+)x(\d+)\+(\d+)\+(\d+)$/.exec(box);
  assert.ok(match && Number(match[1]) > 1, `no ${colour} area in ${image}`);
  const [, width, height, x, y] = match.map(Number);
  return { x, y, width, height };
}

let desktop;
let bus;
const connect = async () => {
  const client = new Client({ name: 'zel-e2e', version: '1.0.0' });
  await client.connect(new StreamableHTTPClientTransport(new URL('http://127.0.0.1:8787/mcp'), { requestInit: { headers: { Authorization: `Bearer ${desktop.token}` } } }));
  return client;
};
before(async () => {
  // A session bus of its own, on which the app starts the accessibility bus.
  const busDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-mcp-bus-'));
  // Its own runtime folder, where the accessibility bus launcher it starts puts its socket: in
  // ~/.cache another session of the same user would take the same path.
  fs.mkdirSync(`${busDir}/runtime`, { mode: 0o700 });
  bus = { dir: busDir, daemon: spawn('dbus-daemon', ['--session', `--address=unix:path=${busDir}/bus`, '--nofork', '--nopidfile'],
    { stdio: 'ignore', env: { ...process.env, XDG_RUNTIME_DIR: `${busDir}/runtime` } }) };
  await waitFor('the session bus', async () => fs.existsSync(`${busDir}/bus`));
  desktop = await startApp({ ...kScreen,
    extraEnv: { DBUS_SESSION_BUS_ADDRESS: `unix:path=${busDir}/bus`, GSETTINGS_BACKEND: 'memory' } });
});
after(async () => {
  await desktop?.stop();
  if (bus) {
    bus.daemon.kill();
    if (bus.daemon.exitCode === null) await once(bus.daemon, 'exit');
    // The document portal the bus started unmounts its folder in the runtime one as it goes.
    fs.rmSync(bus.dir, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
  }
});

it('an MCP client sees a known window in its screenshot and its click lands where it aimed', async () => {
  // A red window stands out in a JPEG. Without a window manager the geometry is taken as given
  // and the newest window is on top.
  const { env, start, dir, xdotool } = desktop;
  start('xmessage', ['-name', 'zeltarget', '-title', 'zeltarget', '-geometry', '+700+450', '-xrm', '*background: red', 'a known window for the MCP client'], { env });
  const shellVars = (command, ...args) => Object.fromEntries(xdotool(command, '--shell', ...args).split('\n').map((l) => l.split('=')).map(([k, v]) => [k, Number(v)]));
  const id = await waitFor('the xmessage window', async () => xdotool('search', '--onlyvisible', '--name', '^zeltarget$').split('\n')[0]);
  const win = shellVars('getwindowgeometry', id);
  await sleep(500); // let it draw

  const client = await connect();
  const shot = await client.callTool({ name: 'screenshot', arguments: { width: kShotWidth } });
  assert.notEqual(shot.isError, true, JSON.stringify(shot.content));
  const screens = process.env.ZEL_E2E_SCREENS || dir; // CTest keeps it in the build tree for a person to look at
  fs.mkdirSync(screens, { recursive: true });
  const image = path.join(screens, 'mcp-screenshot.jpg');
  fs.writeFileSync(image, Buffer.from(shot.content.find((c) => c.type === 'image').data, 'base64'));
  const scale = kScreen.width / kShotWidth;

  // The red area in the screenshot is the window where the X server has it, at half size.
  const red = colourBox(image, '#ff0000');
  for (const [got, want] of [[red.x, win.X], [red.y, win.Y], [red.width, win.WIDTH], [red.height, win.HEIGHT]]) {
    assert.ok(Math.abs(got * scale - want) <= 4, `red area ${JSON.stringify(red)} against window ${JSON.stringify(win)}`);
  }

  // A click on a red pixel puts the pointer on that spot of the window.
  const aim = { x: red.x + 6, y: red.y + Math.floor(red.height / 4) };
  const clicked = await client.callTool({ name: 'click', arguments: aim });
  assert.notEqual(clicked.isError, true, JSON.stringify(clicked.content));
  const pointer = shellVars('getmouselocation');
  assert.deepEqual([pointer.X, pointer.Y], [aim.x * scale, aim.y * scale]);
  assert.ok(pointer.X >= win.X && pointer.X < win.X + win.WIDTH && pointer.Y >= win.Y && pointer.Y < win.Y + win.HEIGHT);

  // Asked wider than the 1280-pixel display, the screenshot comes at the display's own size.
  const wide = await client.callTool({ name: 'screenshot', arguments: { width: 2560 } });
  assert.match(wide.content.find((c) => c.type === 'text').text, /1280x900 pixels/);
  await client.close();
});

it('an MCP client lists the windows under a window manager, focuses one and launches an application by its desktop entry', async () => {
  const { env, start, xdotool } = desktop;
  start('openbox', [], { env });
  start('xterm', ['-title', 'zel first', '-geometry', '60x10+100+120'], { env });
  // A desktop entry in the app's own data folder, which the agent server searches first.
  const entries = path.join(env.XDG_DATA_HOME || path.join(env.HOME, '.local/share'), 'applications');
  fs.mkdirSync(entries, { recursive: true });
  fs.writeFileSync(path.join(entries, 'zel-probe.desktop'), '[Desktop Entry]\nType=Application\nName=Zel Probe Terminal\nExec=xterm -title zel-launched -geometry 40x8+500+400\n');

  const client = await connect();
  const call = async (name, args = {}) => {
    const answer = await client.callTool({ name, arguments: args });
    return { error: answer.isError === true, text: answer.content.map((c) => c.text).join('\n') };
  };
  const windows = async () => {
    const { error, text } = await call('list_windows');
    assert.equal(error, false, text);
    return JSON.parse(text.slice(text.indexOf('\n') + 1));
  };
  let launched = 0;
  try {
    await call('screenshot', { width: kShotWidth });
    let last = null;
    const listed = await waitFor('openbox managing both windows', async () => {
      const list = await windows().catch((error) => {
        last = error.message;
        throw error;
      });
      last = list;
      const first = list.find((w) => w.title === 'zel first');
      if (!first || !list.some((w) => w.own)) return null;
      // Framed: the client lies below the title bar that the bounds include.
      const clientY = Number(/Absolute upper-left Y:\s+(\d+)/.exec(execFileSync('xwininfo', ['-id', first.id], { env }).toString())[1]);
      return clientY > first.desktop_bounds.y + 10 ? list : null;
    }).catch((error) => {
      throw new Error(`${error.message}; the last list: ${JSON.stringify(last)}`);
    });
    // Each window's fields and frame: the X11 windows test. Its bounds in the half-size screenshot.
    const first = listed.find((w) => w.title === 'zel first');
    assert.equal(listed.find((w) => w.own).title, 'Zel Desktop Agent');
    assert.ok(['x', 'y', 'width', 'height'].every((k) => Math.abs(first.bounds[k] - first.desktop_bounds[k] / 2) <= 1), JSON.stringify(first));

    const focused = await call('focus_window', { id: first.id });
    assert.match(focused.text, /has the focus/);
    assert.equal(Number(xdotool('getactivewindow')), Number.parseInt(first.id, 16));
    // The launched window comes back with the call (a window that never comes:
    // mcp-accessibility.test.js; focusing our own is refused: the desktop windows unit test).
    const started = await call('launch_app', { name: 'zel probe', wait_for_window: true });
    assert.equal(started.error, false, started.text);
    launched = Number(/process (\d+)/.exec(started.text)[1]);
    const appeared = JSON.parse(started.text.slice(started.text.indexOf('\n') + 1));
    assert.deepEqual([appeared.title, appeared.pid], ['zel-launched', launched]);
  } finally {
    if (launched) process.kill(launched, 'SIGTERM');
    await client.close();
  }
});

it('the MCP Inspector CLI lists the tools and makes a call', async () => {
  const cli = path.join(kRoot, 'tests/clients/node_modules/@modelcontextprotocol/inspector/cli/build/cli.js');
  assert.ok(fs.existsSync(cli), `${cli} is missing: run ./scripts/setup`);
  const inspector = async (...args) => {
    const { stdout } = await promisify(execFile)(process.execPath, [cli, '--cli', 'http://127.0.0.1:8787/mcp', '--transport', 'http',
      '--header', `Authorization: Bearer ${desktop.token}`, ...args], { timeout: 60000 });
    return JSON.parse(stdout);
  };
  const { tools } = await inspector('--method', 'tools/list');
  assert.ok(tools.length >= 20, `${tools.length} tools`); // each strict and described: mcp.test.js
  const shot = await inspector('--method', 'tools/call', '--tool-name', 'screenshot', '--tool-arg', 'width=640');
  assert.notEqual(shot.isError, true, JSON.stringify(shot.content));
  assert.equal(shot.content[0].type, 'image');
  assert.match(shot.content[1].text, /640x450 pixels/);
});

it('an MCP client reads a GTK window\'s whole accessibility tree through the app, each time', async () => {
  const { env, start } = desktop;
  start('mousepad', [], { env });
  const client = await connect();
  const tree = async () => {
    const answer = await client.callTool({ name: 'accessibility_tree', arguments: { window: 'Mousepad' } }, undefined, { timeout: 60000 });
    const text = answer.content.map((c) => c.text).join('\n');
    assert.notEqual(answer.isError, true, text);
    return JSON.parse(text.slice(text.indexOf('{')));
  };
  try {
    await waitFor('mousepad on the accessibility bus', async () => (await tree()).nodes > 100);
    // The GUI thread once took the worker's D-Bus replies: reads came back cut or empty.
    for (let round = 0; round < 3; round++) {
      const { truncated, nodes, application } = await tree();
      assert.deepEqual([truncated, nodes > 100, application], [false, true, 'mousepad'], `round ${round}: ${nodes} nodes`);
    }
    // A button of a dialog that comes a second later, pressed by its name in one call (the wait's
    // edges: mcp-accessibility.test.js).
    const late = start('sh', ['-c', 'sleep 1; exec zenity --question --title "zel late" --text "Go on?" --ok-label Proceed'], { env });
    const exited = new Promise((resolve) => late.on('exit', resolve));
    const pressed = await client.callTool({ name: 'act_on_element', arguments: { window: 'zel late', name: 'proceed', role: 'push button', action: 'press', timeout_ms: 20000 } }, undefined, { timeout: 60000 });
    assert.match(pressed.content[0].text, /^Done: press on the push button "Proceed" .*\(waited_ms: \d+\)\.$/);
    assert.equal(await exited, 0);
  } finally {
    await client.close();
  }
});
