#!/usr/bin/env node
// Live view figures: the real app under its own Xvfb (1920×1080; or with --desktop sway a headless
// sway of that size, run as nobody when we are root, its clients foot; or with --desktop gnome the
// tests' headless mutter with PipeWire and the desktop portal, started by bench/gnome_desktop, which
// also answers the portal's two dialogs, its clients foot) in a private network namespace
// (so 8787/8788 are ours), Debian's chromium at a phone viewport (390×844, DPR 3, touch) reaching
// the agent server through a link emulator (bench/link_relay.mjs). Prints per load × link × client:
// changes the load made/s, frames shown/s (new and identical), bytes/s on the wire, tap-to-photon latency, CPU of the serving
// side (app + agent server; x11vnc + websockify for the peer; on sway also the compositor's own, apart,
// as its copies serve either side; on GNOME mutter's and PipeWire's, apart: the portal's stream).
//
//   node bench/live_view.mjs [--build build/dev] [--desktop x11|sway|gnome] [--loads still,typing,video (or typing-fast)]
//        [--links loopback,60/20,150/5] [--clients live,live-video,poll,vnc] [--seconds 8] [--taps 12]
// Clients: live (the stream of tiles, this tree's web client in a browser without WebCodecs),
// live-video (the same client where WebCodecs decodes H.264: moving areas come as video; its
// column says how many video frames it drew a second), poll (the polling client as it was
// before the stream, from commit 2c88439, served in place of the page's files), vnc (x11vnc with
// noVNC's vnc_lite.html through websockify on the same Xvfb and relay, wayvnc on sway: the peer; its
// Debian packages are installed on first use; there is none on GNOME: no peer runs on this private
// stack).
import { execFileSync, fork, spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const kRoot = path.resolve(import.meta.dirname, '..');
const kAgent = path.join(kRoot, 'resources/agent');
const { chromium } = createRequire(path.join(kAgent, 'package.json'))('playwright-core');

const args = Object.fromEntries(process.argv.slice(2).join(' ').split('--').filter(Boolean).map((a) => a.trim().split(/\s+/)));
const opt = (name, fallback) => args[name] ?? fallback;
const loads = opt('loads', 'still,typing,video').split(',');
const links = opt('links', 'loopback,60/20,150/5').split(',');
const clients = opt('clients', 'live,live-video,poll,vnc').split(',');
const seconds = Number(opt('seconds', 8));
const taps = Number(opt('taps', 12));
const build = path.resolve(kRoot, opt('build', 'build/dev'));
const desktop = opt('desktop', 'x11');

// A private network namespace: loopback of our own, nobody else's ports.
if (!process.env.ZEL_BENCH_NETNS) {
  const child = spawn('unshare', ['-n', '--', 'sh', '-c', 'ip link set lo up && exec "$0" "$@"', process.execPath, ...process.argv.slice(1)],
    { stdio: 'inherit', env: { ...process.env, ZEL_BENCH_NETNS: '1' } });
  const [code] = await once(child, 'exit');
  process.exit(code ?? 1);
}

const fail = (message) => {
  throw new Error(message);
};
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function waitFor(what, fn, timeoutMs = 30000) {
  for (const end = Date.now() + timeoutMs; ; await sleep(200)) {
    const value = await fn().catch(() => null);
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
  }
}

const children = [];
function start(file, argv, options) {
  const child = spawn(file, argv, { stdio: 'ignore', ...options });
  children.push(child);
  return child;
}
async function cleanup() {
  const running = children.reverse().filter((child) => child.exitCode === null && child.signalCode === null);
  for (const child of running) child.kill('SIGTERM');
  // The GNOME helper ends its stack before it exits: waited for, so nothing of it outlives us.
  await Promise.race([Promise.all(running.map((child) => once(child, 'exit'))), sleep(5000)]);
}
process.on('SIGINT', () => cleanup().then(() => process.exit(130)));

// CPU seconds (user + system) of a process and its threads.
const kTick = 100;
const cpu = (pid) => {
  try {
    const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
    return (Number(fields[11]) + Number(fields[12])) / kTick;
  } catch {
    return 0;
  }
};
const childPids = (pid) => fs.readdirSync(`/proc/${pid}/task`).flatMap((tid) => fs.readFileSync(`/proc/${pid}/task/${tid}/children`, 'utf8').split(' ').filter(Boolean).map(Number));
const descendants = (pid) => childPids(pid).flatMap((child) => [child, ...descendants(child)]);
const comm = (pid) => fs.readFileSync(`/proc/${pid}/comm`, 'utf8').trim();

// ---- the desktop ------------------------------------------------------------------------------
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-live-bench-'));
const bin = path.join(dir, 'prefix/share/zel-desktop-agent/bin');
fs.mkdirSync(path.join(dir, 'prefix/bin'), { recursive: true });
fs.mkdirSync(bin, { recursive: true });
fs.copyFileSync(path.join(build, 'bin/zel-desktop-agent'), path.join(dir, 'prefix/bin/zel-desktop-agent'));
fs.chmodSync(path.join(dir, 'prefix/bin/zel-desktop-agent'), 0o755);
fs.symlinkSync(process.execPath, path.join(bin, 'node'));
fs.symlinkSync(kAgent, path.join(bin, '../agent'));
fs.copyFileSync(path.join(kRoot, 'tests/fixtures/cloudflared'), path.join(bin, 'cloudflared'));
fs.chmodSync(path.join(bin, 'cloudflared'), 0o755);
for (const sub of ['state', 'config', 'home', 'runtime']) fs.mkdirSync(path.join(dir, sub), { mode: 0o700 });

// A terminal of the desktop's at x,y (pixels), cols × rows on X11, width × height pixels on sway.
let env;
let terminal;
let sway = null;
let gnome = null;
if (desktop === 'gnome') {
  // The stack lives as long as its helper's standard input; the helper's one lasting D-Bus
  // connection clicks the dialogs, as mutter ends its remote-desktop session with the caller's.
  const helper = start(path.join(build, 'bin/gnome_desktop'), [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = readline.createInterface({ input: helper.stdout });
  const said = [];
  let heard = () => {};
  lines.on('line', (line) => (said.push(line), heard()));
  const next = async (ms) => {
    for (const end = Date.now() + ms; !said.length; ) {
      if (Date.now() > end || helper.exitCode !== null) throw new Error('the GNOME stack did not answer');
      await new Promise((resolve) => ((heard = resolve), setTimeout(resolve, 200)));
    }
    return said.shift();
  };
  const stack = JSON.parse(await next(60000));
  const tell = (line) => helper.stdin.write(`${line}\n`);
  gnome = { helper, stack, tell, next, pids: () => Object.fromEntries(descendants(helper.pid).map((pid) => [comm(pid), pid])) };
  env = { ...process.env, DISPLAY: '', WAYLAND_DISPLAY: stack.WAYLAND_DISPLAY, DBUS_SESSION_BUS_ADDRESS: stack.DBUS_SESSION_BUS_ADDRESS,
    XDG_STATE_HOME: `${dir}/state`, XDG_CONFIG_HOME: `${dir}/config`, XDG_RUNTIME_DIR: `${dir}/runtime`, HOME: `${dir}/home`,
    QT_QPA_PLATFORM: 'offscreen' };
  // No window rules on mutter: the size is asked for, the place found later in a screenshot by
  // the tap target's colour (a low red, which its reverse video turns high).
  const size = { zeltap: '400x200', zeltype: '900x500', zelvideo: '920x640' };
  terminal = (id, argv) => start('foot', ['--app-id', id, '--window-size-pixels', size[id], ...(id === 'zeltap' ? ['-o', 'colors.background=10d070'] : []), ...argv],
    { env: { ...env, XDG_RUNTIME_DIR: stack.XDG_RUNTIME_DIR } });
} else if (desktop === 'sway') {
  // sway refuses root: as root it runs as nobody in a runtime directory of nobody's; we connect to it.
  const run = path.join(dir, 'sway-run');
  fs.mkdirSync(run, { mode: 0o700 });
  fs.chmodSync(dir, 0o711);
  const root = process.getuid() === 0;
  if (root) fs.chownSync(run, 65534, 65534);
  const rules = [['zeltap', 400, 200, 100, 100], ['zeltype', 900, 500, 700, 100], ['zelvideo', 920, 640, 1000, 400]]
    .map(([id, w, h, x, y]) => `for_window [app_id=${id}] floating enable, resize set ${w} ${h}, move position ${x} ${y}`);
  fs.writeFileSync(path.join(dir, 'sway-config'), ['output HEADLESS-1 mode 1920x1080 position 0 0', 'output * bg #204080 solid_color',
    'xwayland disable', 'default_border none', 'default_floating_border none', ...rules, ''].join('\n'), { mode: 0o644 });
  const compositor = start(root ? 'setpriv' : 'env', [...(root ? ['--reuid=65534', '--regid=65534', '--clear-groups', 'env'] : []), '-i', 'PATH=/usr/bin:/bin',
    `HOME=${run}`, `XDG_RUNTIME_DIR=${run}`, 'WLR_BACKENDS=headless', 'WLR_LIBINPUT_NO_DEVICES=1', 'WLR_RENDERER=pixman', 'sway', '-c', path.join(dir, 'sway-config')]);
  const socket = await waitFor('sway', async () => fs.readdirSync(run).find((f) => /^wayland-\d+$/.test(f)));
  const ipc = await waitFor('sway ipc', async () => fs.readdirSync(run).find((f) => f.startsWith('sway-ipc.')));
  sway = { socket: path.join(run, socket), run, pid: compositor.pid };
  env = { ...process.env, DISPLAY: '', WAYLAND_DISPLAY: sway.socket, SWAYSOCK: path.join(run, ipc), XDG_STATE_HOME: `${dir}/state`,
    XDG_CONFIG_HOME: `${dir}/config`, XDG_RUNTIME_DIR: `${dir}/runtime`, HOME: `${dir}/home`, QT_QPA_PLATFORM: 'offscreen' };
  terminal = (id, argv) => start('foot', ['--app-id', id, ...argv], { env: { ...env, XDG_RUNTIME_DIR: run } });
} else {
  const xvfb = start('Xvfb', ['-displayfd', '3', '-screen', '0', '1920x1080x24', '-nolisten', 'tcp'], { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const display = `:${(await once(xvfb.stdio[3], 'data'))[0].toString().trim()}`;
  env = { ...process.env, DISPLAY: display, XDG_STATE_HOME: `${dir}/state`, XDG_CONFIG_HOME: `${dir}/config`,
    XDG_RUNTIME_DIR: `${dir}/runtime`, HOME: `${dir}/home`, QT_QPA_PLATFORM: 'xcb' };
  const geometry = { zeltap: '50x12+100+100', zeltype: '100x30+700+100', zelvideo: '133x46+1000+400' };
  terminal = (id, argv) => start('xterm', ['-geometry', geometry[id], '-title', id, '-e', ...argv], { env });
}
const xdotool = (...a) => execFileSync('xdotool', a, { env }).toString().trim();
const app = start(path.join(dir, 'prefix/bin/zel-desktop-agent'), sway || gnome ? ['--start'] : [], { env });
if (!sway && !gnome) {
  const appWindow = await waitFor('the app window', async () => xdotool('search', '--onlyvisible', '--name', '^Zel Desktop Agent$').split('\n')[0]);
  await sleep(500);
  xdotool('windowfocus', '--sync', appWindow);
  xdotool('key', 'space');
  xdotool('windowminimize', appWindow);
}
const token = await waitFor('the token', async () => JSON.parse(fs.readFileSync(`${dir}/config/zel-desktop-agent/agent.json`, 'utf8')).token);
await waitFor('the agent server', async () => (await fetch('http://127.0.0.1:8787/')).ok);
// One device for every cell: the pairing code traded once for a key, which each page starts with.
const { key } = await (await fetch('http://127.0.0.1:8787/api/pair', { method: 'POST', headers: { Authorization: `Bearer ${token}` } })).json();
const agentPid = await waitFor('the agent server process', async () => childPids(app.pid).find((pid) => /src\/server\.js/.test(fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8'))));

// The whole screen as the app captures it (1920×1080 RGB), or null while it cannot.
const agentVariable = (name) => fs.readFileSync(`/proc/${agentPid}/environ`, 'utf8').split('\0').find((v) => v.startsWith(`${name}=`))?.slice(name.length + 1);
const shotURL = agentVariable('ZEL_AGENT_SCREENSHOT_URL');
async function screen() {
  const reply = await fetch(`${shotURL}&format=png&width=1920`);
  if (!reply.ok) return null;
  fs.writeFileSync(`${dir}/shot.png`, Buffer.from(await reply.arrayBuffer()));
  const rgb = execFileSync('convert', [`${dir}/shot.png`, '-depth', '8', 'rgb:-'], { maxBuffer: 16 << 20 });
  return { rgb, at: (x, y) => [...rgb.subarray((y * 1920 + x) * 3, (y * 1920 + x) * 3 + 3)] };
}
if (gnome) await consent().catch(async (err) => {
  await cleanup();
  fs.rmSync(dir, { recursive: true, force: true });
  throw err;
});
// The portal asks twice: for the screen, then for control, as a user is asked.
async function consent() {
  // Straight to the app's control service: the pairing code is spent, and a wrong bearer counts
  // against the phone's address.
  const click = JSON.stringify({ action: 'click', coordinate: [250, 750] });
  const controlled = async () => (await (await fetch(agentVariable('ZEL_AGENT_INPUT_URL'), { method: 'POST', body: click,
    headers: { 'Content-Type': 'application/json' } })).text()).includes('"ok":true');
  for (const [dialog, answered, shown] of [['screen', async () => (await screen()) !== null, null],
    ['control', controlled, async () => (await screen())?.at(960, 540).every((c) => c > 200)]]) {
    gnome.tell(dialog);
    let reply = null;
    const reading = gnome.next(90000).then((line) => (reply = line), (err) => (reply = err.message));
    while (reply === null) {
      if (shown && (await shown().catch(() => false))) gnome.tell('shown');
      if (await answered().catch(() => false)) gnome.tell('answered');
      await sleep(300);
    }
    await reading;
    if (reply !== `answered ${dialog}`) throw new Error(`the portal's ${dialog} dialog: ${reply}`);
  }
}

// The tap target: a terminal that turns its colours around on every click (mouse reporting on).
const toggler = ["printf '\\033[?1000h'; stty -echo -icanon; on=0",
  'while IFS= read -rsn6 ev; do b=$(printf %d "\'$' + '{ev:3:1}"); if [ "$b" -ne 35 ]; then on=$((1-on));',
  "if [ $on = 1 ]; then printf '\\033[?5h'; else printf '\\033[?5l'; fi; fi; done"].join('\n');
terminal('zeltap', ['bash', '-c', toggler]);
const geom = gnome ? await waitFor('the tap target on screen', async () => {
  const shot = await screen();
  let [x0, y0, x1, y1] = [1920, 1080, -1, -1];
  for (let i = 0; i < 1920 * 1080; i++) {
    if (shot.rgb[i * 3] !== 0x10 || shot.rgb[i * 3 + 1] !== 0xd0 || shot.rgb[i * 3 + 2] !== 0x70) continue;
    const [x, y] = [i % 1920, Math.floor(i / 1920)];
    [x0, y0, x1, y1] = [Math.min(x0, x), Math.min(y0, y), Math.max(x1, x), Math.max(y1, y)];
  }
  return x1 - x0 > 200 && y1 - y0 > 100 && { X: x0, Y: y0, WIDTH: x1 - x0 + 1, HEIGHT: y1 - y0 + 1 };
}) : sway ? { X: 100, Y: 100, WIDTH: 400, HEIGHT: 200 } : await (async () => {
  const tapWindow = await waitFor('the tap target', async () => xdotool('search', '--onlyvisible', '--name', '^zeltap$').split('\n')[0]);
  return Object.fromEntries(xdotool('getwindowgeometry', '--shell', tapWindow).split('\n').map((l) => l.split('=')).map(([k, v]) => [k, Number(v)]));
})();
if (sway) await sleep(1500);
const tapAt = { x: geom.X + geom.WIDTH / 2, y: geom.Y + geom.HEIGHT / 2 };
const probeAt = { x: geom.X + geom.WIDTH / 2 + 80, y: geom.Y + geom.HEIGHT / 2 + 30 }; // away from the pointer and the text

const kWaves = `import math, sys, time
ticks = open(sys.argv[1], 'a')
sys.stdout.write('\\x1b[?25l')
t = 0
while True:
    rows = []
    for y in range(46):
        cells = []
        for x in range(133):
            r = int(2.5 + 2.5 * math.sin(x / 9 + t)); g = int(2.5 + 2.5 * math.sin(y / 5 - t * 1.3)); b = int(2.5 + 2.5 * math.sin((x + y) / 13 + t * 0.7))
            cells.append('\\x1b[48;5;%dm ' % (16 + 36 * r + 6 * g + b))
        rows.append(''.join(cells))
    sys.stdout.write('\\x1b[H' + '\\r\\n'.join(rows)); sys.stdout.flush()
    ticks.write('.'); ticks.flush()
    t += 0.15; time.sleep(1 / 30)
`;
let loadProcs = [];
// Each change the load makes adds a byte here: how many distinct frames there are to show.
const kTicks = `${dir}/load-ticks`;
const ticks = () => (fs.existsSync(kTicks) ? fs.statSync(kTicks).size : 0);
function setLoad(load) {
  for (const p of loadProcs) p.kill('SIGTERM');
  loadProcs = [];
  if (load === 'typing' || load === 'typing-fast') {
    // typing-fast: a line every 20 ms, for a typing-sized update rate above 30 a second.
    const pause = load === 'typing' ? '0.05' : '0.02';
    loadProcs.push(terminal('zeltype', ['bash', '-c', `while :; do date +"%T.%N line of a busy terminal"; printf . >>"$0"; sleep ${pause}; done`, kTicks]));
  } else if (load === 'video') {
    // ~800×600 of moving colour waves repainted 30 times a second (ico needs colour planes Xvfb lacks).
    loadProcs.push(terminal('zelvideo', ['python3', '-c', kWaves, kTicks]));
  }
  return sleep(1500);
}

// ---- link -------------------------------------------------------------------------------------
async function openLink(name, target) {
  const [rtt, mbit] = name === 'loopback' ? [0, 0] : name.split('/').map(Number);
  const relay = fork(path.join(kRoot, 'bench/link_relay.mjs'), ['0', String(target), String(rtt), String(mbit)], { stdio: ['ignore', 'pipe', 'inherit', 'ipc'] });
  children.push(relay);
  const [line] = await once(relay.stdout, 'data');
  const port = Number(/listening (\d+)/.exec(line.toString())[1]);
  const stats = async () => {
    relay.send({ type: 'stats' });
    const [msg] = await within(5000, 'the relay count', once(relay, 'message'));
    return msg.up + msg.down;
  };
  return { port, rtt, stats, close: () => relay.kill('SIGTERM') };
}

// ---- the phone --------------------------------------------------------------------------------
const kPollingClient = '2c88439';
const polling = (file) => execFileSync('git', ['show', `${kPollingClient}:resources/agent/public/${file}`], { cwd: kRoot });

// The peer: x11vnc on the Xvfb, websockify serving noVNC and bridging its WebSocket to VNC.
const kVncPackages = { [sway ? 'wayvnc' : 'x11vnc']: `/usr/bin/${sway ? 'wayvnc' : 'x11vnc'}`, novnc: '/usr/share/novnc/vnc_lite.html',
  'python3-websockify': '/usr/bin/websockify' };
function ensureVnc() {
  const missing = Object.entries(kVncPackages).filter(([, file]) => !fs.existsSync(file)).map(([name]) => name);
  if (!missing.length) return;
  console.error(`live_view: installing the benchmark's VNC peer with apt-get: ${missing.join(' ')}`);
  const sudo = process.getuid() === 0 ? [] : ['sudo'];
  execFileSync(sudo[0] ?? 'apt-get', [...sudo.slice(1), ...(sudo.length ? ['apt-get'] : []), 'install', '-y', '-qq', '--no-install-recommends', ...missing],
    { stdio: 'inherit', env: { ...process.env, DEBIAN_FRONTEND: 'noninteractive' } });
}
async function startVnc() {
  const x11vnc = sway
    ? start('wayvnc', ['127.0.0.1', '5900'], { env: { ...env, XDG_RUNTIME_DIR: sway.run } })
    : start('x11vnc', ['-display', env.DISPLAY, '-rfbport', '5900', '-localhost', '-nopw', '-forever', '-shared', '-quiet', '-ncache', '0'], { env });
  await waitFor('the VNC server', () => new Promise((resolve) => {
    const socket = net.connect(5900, '127.0.0.1', () => (socket.destroy(), resolve(true))).on('error', () => resolve(false));
  }), 15000);
  const websockify = start('websockify', ['--web', '/usr/share/novnc', '6080', '127.0.0.1:5900'], { env });
  await waitFor('websockify', async () => (await fetch('http://127.0.0.1:6080/vnc_lite.html')).ok, 15000);
  const pids = [x11vnc.pid, websockify.pid];
  return { pids, stop: () => Promise.all([x11vnc, websockify].map(end)) };
}
// Ends a child: SIGTERM, SIGKILL after 2 s (x11vnc may linger with a client), so 5900 is free after.
async function end(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const exited = once(child, 'exit');
  child.kill('SIGTERM');
  const timer = setTimeout(() => child.kill('SIGKILL'), 2000);
  await exited;
  clearTimeout(timer);
}
// The timer goes with the race: a pending one kept the benchmark alive for minutes after its last cell.
function within(ms, what, promise) {
  let timer;
  const late = new Promise((resolve, reject) => (timer = setTimeout(() => reject(new Error(`${what} took over ${ms / 1000} s`)), ms)));
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

// Every picture put on screen: its time, whether its bytes are new, and the pixel at the probe point.
// The picture is the page's #screen (an <img> in the polling client, a <canvas> the stream's tiles are
// drawn on) or noVNC's canvas; drawing on a canvas counts once per task, as its tiles land together.
const instrument = () => {
  window.__bench = { frames: [], probe: null, tapAt: 0, videoFrames: 0 };
  const b = window.__bench;
  document.addEventListener('touchend', () => (b.tapAt = performance.now()), true);
  const picture = () => document.querySelector('#screen canvas') ?? document.getElementById('screen');
  const scratch = document.createElement('canvas');
  scratch.width = scratch.height = 1;
  const g = scratch.getContext('2d', { willReadFrequently: true });
  b.read = () => {
    const el = picture();
    const [w, h] = el instanceof HTMLCanvasElement ? [el.width, el.height] : [el?.naturalWidth, el?.naturalHeight];
    if (!b.probe || !w) return null;
    g.drawImage(el, Math.floor(b.probe.x * w), Math.floor(b.probe.y * h), 1, 1, 0, 0, 1, 1);
    return g.getImageData(0, 0, 1, 1).data[0];
  };
  let marked = false;
  const mark = (ctx) => {
    if (marked || ctx.canvas !== picture()) return;
    marked = true;
    const at = performance.now();
    queueMicrotask(() => {
      marked = false;
      b.frames.push({ at, fresh: true, pixel: b.read() });
    });
  };
  for (const name of ['drawImage', 'putImageData']) {
    const original = CanvasRenderingContext2D.prototype[name];
    CanvasRenderingContext2D.prototype[name] = function (...args) {
      const result = original.apply(this, args);
      if (typeof VideoFrame === 'function' && args[0] instanceof VideoFrame && this.canvas === picture()) b.videoFrames++;
      mark(this);
      return result;
    };
  }
  // The polling client's <img>: hashed as it makes its URL, since by the time the frame is on screen
  // the URL may be revoked.
  const seen = new Set();
  const hashes = new Map();
  const createObjectURL = URL.createObjectURL.bind(URL);
  URL.createObjectURL = (blob) => {
    const url = createObjectURL(blob);
    if (blob instanceof Blob) hashes.set(url, blob.arrayBuffer().then((b) => crypto.subtle.digest('SHA-1', b)).then((d) => new Uint8Array(d).join(',')));
    return url;
  };
  new MutationObserver(async () => {
    const img = document.getElementById('screen');
    if (!(img instanceof HTMLImageElement)) return;
    const src = img.src;
    const entry = { at: performance.now(), fresh: true, pixel: img.naturalWidth ? b.read() : null };
    b.frames.push(entry);
    const hash = await hashes.get(src);
    hashes.delete(src);
    entry.fresh = !seen.has(hash);
    seen.add(hash);
  }).observe(document, { subtree: true, attributes: true, attributeFilter: ['src'] });
};

async function runCell(browser, client, link, pids) {
  const context = await browser.newContext({ viewport: { width: 390, height: 844 }, deviceScaleFactor: 3, isMobile: true, hasTouch: true });
  await context.addInitScript(instrument);
  await context.addInitScript((k) => localStorage.setItem('zel-agent-key', k), key);
  if (client === 'live') await context.addInitScript(() => delete window.VideoDecoder); // a browser without WebCodecs
  if (client === 'poll') {
    for (const [pattern, file, contentType] of [['**/app.js', 'app.js', 'text/javascript'], ['**/gestures.js', 'gestures.js', 'text/javascript'],
      ['**/style.css', 'style.css', 'text/css'], [/\/(\?.*)?$/, 'index.html', 'text/html']]) {
      await context.route(pattern, (route) => route.fulfill({ status: 200, contentType, body: polling(file) }));
    }
  }
  const page = await context.newPage();
  const cdp = await context.newCDPSession(page);
  if (client === 'vnc') {
    await page.goto(`http://127.0.0.1:${link.port}/vnc_lite.html?scale=true`);
    await page.waitForFunction(() => window.__bench.frames.length > 0, null, { timeout: 30000 });
  } else {
    // The polling client takes its bearer from the address; ours the key it keeps.
    await page.goto(`http://127.0.0.1:${link.port}/${client === 'poll' ? `?token=${key}` : ''}`);
    await page.waitForSelector('#screen.loaded', { timeout: 30000 });
  }
  await sleep(2000); // the pace settles

  const bytes0 = await link.stats();
  const served = () => pids.map(cpu);
  const drawing = () => desktopCpu(); // the compositor's copies for either side
  const cpu0 = served();
  const drawing0 = drawing();
  const frames0 = await page.evaluate(() => window.__bench.frames.length);
  const video0 = await page.evaluate(() => window.__bench.videoFrames);
  const ticks0 = ticks();
  const t0 = Date.now();
  await sleep(seconds * 1000);
  const elapsed = (Date.now() - t0) / 1000;
  const changes = (ticks() - ticks0) / elapsed;
  const bytes = (await link.stats()) - bytes0;
  const cpuUsed = served().map((c, i) => c - cpu0[i]);
  const drawingUsed = drawing().map((c, i) => c - drawing0[i]);
  const frames = (await page.evaluate(() => window.__bench.frames)).slice(frames0);
  const videoFrames = (await page.evaluate(() => window.__bench.videoFrames)) - video0;

  // Taps on the target; the photon is the first frame whose probe pixel turned.
  const box = await page.locator(client === 'vnc' ? '#screen canvas' : '#screen').boundingBox();
  const latencies = [];
  await page.evaluate((p) => (window.__bench.probe = p), { x: probeAt.x / 1920, y: probeAt.y / 1080 });
  for (let i = 0; i < taps; i++) {
    await sleep(600);
    const before = await page.evaluate(() => window.__bench.frames.length);
    const base = await page.evaluate(() => window.__bench.read());
    const point = { x: box.x + (box.width * tapAt.x) / 1920, y: box.y + (box.height * tapAt.y) / 1080 };
    await cdp.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: [point] });
    await cdp.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
    const latency = await page.waitForFunction(([n, base]) => {
      const b = window.__bench;
      const hit = b.frames.slice(n).find((f) => f.pixel !== null && Math.abs(f.pixel - base) > 80);
      return hit ? hit.at - b.tapAt : null;
    }, [before, base], { timeout: 5000, polling: 20 }).then((h) => h.jsonValue()).catch(() => null);
    latencies.push(latency);
    await sleep(client === 'poll' ? 400 : 100); // the old client holds a tap 300 ms for a double tap
  }
  await context.close();
  const fresh = frames.filter((f) => f.fresh).length;
  const got = latencies.filter((l) => l !== null).sort((a, b) => a - b);
  return {
    fresh: fresh / elapsed,
    video: videoFrames / elapsed,
    changes,
    same: (frames.length - fresh) / elapsed,
    kbps: bytes / elapsed / 1024,
    tap: got.length ? got[Math.floor(got.length / 2)] : null,
    tapsSeen: `${got.length}/${taps}`,
    cpu: cpuUsed.map((c) => (c / elapsed) * 100),
    compositor: drawingUsed.map((c) => (c / elapsed) * 100),
  };
}

// The desktop's own CPU seconds where it serves either side: sway; mutter and PipeWire on GNOME.
const desktopPids = gnome ? ['mutter', 'pipewire'].map((name) => gnome.pids()[name] ?? fail(`no ${name} under the GNOME helper`)) : sway ? [sway.pid] : [];
const desktopNames = gnome ? ['mutter', 'pipewire'] : sway ? ['sway'] : [];
const desktopCpu = () => desktopPids.map(cpu);
const desktopShare = (shares) => shares.map((c, i) => ` + ${desktopNames[i]} ${c.toFixed(1)}`).join('');

// Still-screen cost without any viewer: the floor of app + agent (and of the desktop's side).
const idle0 = cpu(app.pid) + cpu(agentPid);
const idleDesktop0 = desktopCpu();
await sleep(gnome ? 10000 : 3000);
const idleSeconds = gnome ? 10 : 3;
const idle = ((cpu(app.pid) + cpu(agentPid) - idle0) / idleSeconds) * 100;
const idleDesktop = desktopCpu().map((c, i) => ((c - idleDesktop0[i]) / idleSeconds) * 100);

if (clients.includes('vnc') && !gnome) ensureVnc();
const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update'] });
const shown = gnome ? 'headless GNOME (mutter, PipeWire, the desktop portal; our client only: no GNOME peer can run here)' : sway ? 'headless sway' : 'Xvfb';
console.log(`# live view bench: ${shown} 1920x1080, phone 390x844 DPR 3, ${seconds} s per cell, ${taps} taps; app + agent with no viewer: ${idle.toFixed(1)} % of a core${desktopShare(idleDesktop)}`);
console.log('| load | link | client | changes made/s | new frames/s | identical/s | KB/s on the wire | tap to photon ms (median, seen) | CPU serving side % (app / agent server; x11vnc or wayvnc / websockify; + the compositor on sway, + mutter and PipeWire on GNOME) |');
console.log('|---|---|---|---|---|---|---|---|---|');
try {
  for (const load of loads) {
    await setLoad(load);
    for (const linkName of links) {
      for (const client of clients) {
        if (gnome && client === 'vnc') {
          console.log(`| ${load} | ${linkName} | vnc | no GNOME peer runs here |`);
          continue;
        }
        let vnc = null;
        let link = null;
        try {
          vnc = client === 'vnc' ? await startVnc() : null;
          link = await openLink(linkName, vnc ? 6080 : 8787);
          const r = await within(180000, 'the cell', runCell(browser, client, link, vnc ? vnc.pids : [app.pid, agentPid]));
          const name = client === 'live-video' ? `live-video (${r.video.toFixed(1)} video/s)` : client;
          console.log(`| ${load} | ${linkName} | ${name} | ${r.changes.toFixed(1)} | ${r.fresh.toFixed(1)} | ${r.same.toFixed(1)} | ${r.kbps.toFixed(r.kbps < 10 ? 1 : 0)} | ${r.tap === null ? '-' : r.tap.toFixed(0)} (${r.tapsSeen}) | ${r.cpu.reduce((a, b) => a + b).toFixed(1)} (${r.cpu.map((c) => c.toFixed(1)).join(' / ')})${desktopShare(r.compositor)} |`);
        } catch (err) {
          console.log(`| ${load} | ${linkName} | ${client} | failed: ${err.message.split('\n')[0]} |`);
        } finally {
          link?.close();
          await vnc?.stop();
        }
      }
    }
  }
} finally {
  await browser.close();
  await cleanup();
  fs.rmSync(dir, { recursive: true, force: true });
}
