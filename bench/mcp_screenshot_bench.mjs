// Round trip of a screenshot on loopback: the MCP "screenshot" tool call (SDK client, image as
// base64 in the answer) against GET /api/screenshot, calls alternating, both through one agent
// server to the same control service: first the app's real handlers under a private, blank X
// server (1280x800; small JPEGs), then a stand-in serving a busy screen's JPEG (ImageMagick noise),
// where the cost of base64 and JSON shows.
// Usage: node bench/mcp_screenshot_bench.mjs [build dir] [rounds] [width]
import { execFileSync, spawn } from 'node:child_process';
import crypto from 'node:crypto';
import path from 'node:path';
import readline from 'node:readline';
import { pathToFileURL } from 'node:url';

const root = path.resolve(import.meta.dirname, '..');
const [build = 'build/release', rounds = '40', width = '1280'] = process.argv.slice(2);
const agentDir = path.join(root, 'resources/agent');
const load = (file) => import(pathToFileURL(path.join(agentDir, file)).href);
const { createAgentServer } = await load('src/app.js');
const { Client } = await load('node_modules/@modelcontextprotocol/sdk/dist/esm/client/index.js');
const { startFakeControl } = await load('test/helpers.js');
const { StreamableHTTPClientTransport } = await load('node_modules/@modelcontextprotocol/sdk/dist/esm/client/streamableHttp.js');


async function measure(title, urls) {
  const token = crypto.randomBytes(32).toString('base64url');
  const agent = await createAgentServer({ token, host: '127.0.0.1', port: 0, enableTerminal: false, helperBinDir: '', ...urls }, { log: () => {} });
  const base = `http://127.0.0.1:${(await agent.listen(0, '127.0.0.1')).port}`;
  const auth = { Authorization: `Bearer ${token}` };
  const client = new Client({ name: 'bench', version: '1.0.0' });
  await client.connect(new StreamableHTTPClientTransport(new URL(`${base}/mcp`), { requestInit: { headers: auth } }));
  const ways = {
    'GET /api/screenshot': async () => {
      const res = await fetch(`${base}/api/screenshot?format=jpeg&width=${width}`, { headers: auth });
      const bytes = Buffer.from(await res.arrayBuffer());
      if (res.status !== 200) throw new Error(`/api/screenshot: ${res.status} ${bytes}`);
      return bytes.length;
    },
    'MCP screenshot tool': async () => {
      const result = await client.callTool({ name: 'screenshot', arguments: { width: Number(width) } });
      if (result.isError) throw new Error(`screenshot tool: ${result.content[0].text}`);
      return Buffer.from(result.content[0].data, 'base64').length;
    },
  };
  const times = Object.fromEntries(Object.keys(ways).map((name) => [name, []]));
  let size = 0;
  for (let round = -3; round < Number(rounds); round++) { // three rounds of warm-up
    for (const [name, call] of Object.entries(ways)) {
      const started = process.hrtime.bigint();
      size = await call();
      if (round >= 0) times[name].push(Number(process.hrtime.bigint() - started) / 1e6);
    }
  }
  await client.close();
  await agent.close();

  const percentile = (sorted, p) => sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
  console.log(`\n== ${title}: ${rounds} alternating rounds, JPEG ${width} px wide, ${size} bytes`);
  console.log('way                     median    p90       mean');
  const medians = {};
  for (const [name, list] of Object.entries(times)) {
    const sorted = [...list].sort((a, b) => a - b);
    medians[name] = percentile(sorted, 50);
    const mean = list.reduce((a, b) => a + b, 0) / list.length;
    console.log(`${name.padEnd(22)}  ${[medians[name], percentile(sorted, 90), mean].map((v) => `${v.toFixed(2)} ms`.padEnd(10)).join('').trimEnd()}`);
  }
  console.log(`MCP minus REST (medians): ${(medians['MCP screenshot tool'] - medians['GET /api/screenshot']).toFixed(2)} ms`);
}

const real = spawn(path.resolve(root, build, 'bin/control_load_server'), [], { stdio: ['ignore', 'pipe', 'inherit'] });
const { value: line } = await readline.createInterface({ input: real.stdout })[Symbol.asyncIterator]().next();
if (!line) throw new Error(`control_load_server did not start (build it: ./scripts/build ${path.basename(build)})`);
const [port, secret] = line.split(' ');
try {
  await measure('control service with the real handlers, blank 1280x800 X screen',
    { screenshotUrl: `http://127.0.0.1:${port}/screenshot?secret=${secret}`, inputUrl: `http://127.0.0.1:${port}/input?secret=${secret}` });
} finally {
  real.kill('SIGTERM');
}

const busy = execFileSync('convert', ['-size', `${width}x${Math.floor((Number(width) * 800) / 1280)}`, 'plasma:fractal', '-attenuate', '1', '+noise', 'Gaussian', '-quality', '62', 'jpeg:-']);
const standIn = await startFakeControl({ screenshot: () => ({ status: '200 OK', type: 'image/jpeg', body: busy }) });
await measure('stand-in control service, busy screen', { screenshotUrl: standIn.screenshotUrl, inputUrl: standIn.inputUrl });
await standIn.close();
