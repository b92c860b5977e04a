// The MCP endpoint through the SDK's own client, over a fake control service that serves real JPEGs.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { describe, it } from 'node:test';
import { answer, blankImage, mcpClient as connect, sleep, tempDir, toolText, withAgent } from './helpers.js';

// The fake display is 1600x900; like the control service, it never scales an image up.
const kDisplay = { width: 1600, height: 900 };
const jpegCache = new Map();
function screenJpeg(request) {
  if (request.query.width === '321') return blankImage(16, 9); // an image that is no JPEG
  const width = Math.min(Number(request.query.width), kDisplay.width);
  const height = Math.floor((width * kDisplay.height) / kDisplay.width);
  if (!jpegCache.has(width)) jpegCache.set(width, execFileSync('convert', ['-size', `${width}x${height}`, 'gradient:white-navy', 'jpeg:-']));
  return answer('200 OK', 'image/jpeg', jpegCache.get(width));
}

// Decodes the whole image, not just its header.
const decodedSize = (base64) => execFileSync('convert', ['jpeg:-', '-format', '%wx%h', 'info:'], { input: Buffer.from(base64, 'base64') }).toString();


const inputsSince = (control, count) => control.requests.slice(count).filter((r) => r.path === '/input').map((r) => JSON.parse(r.body));

describe('MCP endpoint', () => {
  // Like the control service, typing answers with what it typed; U+FFFF stands for a character the keyboard lacks.
  const typed = (text) => answer('200 OK', 'application/json', JSON.stringify({ ok: true, typed: [...text.replace(/\uffff/g, '')].length, skipped: text.split('\uffff').length - 1 }));
  const t = withAgent({}, {}, {
    screenshot: screenJpeg,
    // Typing "z" takes a while, so that a call can be cancelled half-way.
    input: async ({ body }) => {
      const { keys, action, text } = JSON.parse(body);
      if (keys?.[0] === 'tab') return answer('500 Internal Server Error', 'text/plain; charset=utf-8', 'Main app input failed: no focus');
      if (text?.startsWith('z')) await sleep(20);
      return action === 'type_text' ? typed(text) : undefined;
    },
  });
  const shell = withAgent({ enableTerminal: true }, { env: { PATH: '/usr/bin:/bin', HOME: tempDir(), SHELL: '/bin/sh', ZEL_AGENT_INPUT_URL: 'the-secret' } });
  const small = withAgent({}, { mcp: { maxSessions: 2, idleMs: 60000, now: () => small.clock } });
  small.clock = 0;

  it('refuses a client without the token and lists the tools to one with it', async () => {
    await assert.rejects(connect(t.agent, { headers: {} }), { code: 401 }); // the API's own check; its cases are in api.test.js
    // Every other tool is called below; run_command is there only with the terminal on.
    const lists = [];
    for (const agent of [t, shell]) {
      const client = await connect(agent.agent);
      lists.push((await client.listTools()).tools);
      await client.close();
    }
    const names = lists.map((tools) => tools.map((tool) => tool.name));
    assert.deepEqual(names[1].filter((name) => !names[0].includes(name)), ['run_command']);
    // Each described, and strict: an unknown argument is refused, not ignored.
    for (const { name, description, inputSchema } of lists[1]) {
      assert.deepEqual([/^[a-z_]+$/.test(name), description?.length > 20, inputSchema.type, inputSchema.additionalProperties], [true, true, 'object', false], name);
    }
  });

  it('returns a screenshot that decodes at the size it states, defaulting to 1280 wide and never past the display', async () => {
    const client = await connect(t.agent);
    for (const [args, requested, size] of [[{}, '1280', '1280x720'], [{ width: 2560 }, '2560', '1600x900']]) {
      const result = await client.callTool({ name: 'screenshot', arguments: args });
      const image = result.content.find((c) => c.type === 'image');
      assert.equal(t.control.requests.at(-1).query.width, requested);
      assert.deepEqual([result.isError, image.mimeType, decodedSize(image.data)], [undefined, 'image/jpeg', size]);
      assert.match(toolText(result), new RegExp(`\\b${size}\\b`));
    }
    await client.close();
  });

  it('maps pixels of the session\'s screenshot (the default 1280 wide before one) onto the control service grid for every input action', async () => {
    const client = await connect(t.agent);
    const expectInputs = async (list) => {
      for (const [name, args, inputs] of list) {
        const count = t.control.requests.length;
        const result = await client.callTool({ name, arguments: args });
        assert.equal(result.isError, undefined, `${name}: ${toolText(result)}`);
        assert.deepEqual(inputsSince(t.control, count), inputs, `${name} ${JSON.stringify(args)}`);
      }
    };
    // Before any screenshot: 1280 wide is 1280x720 of the 1600x900 display; 2560 wide comes at its own size.
    await expectInputs([
      ['click', { x: 640, y: 360 }, [{ action: 'left_click', coordinate: [500, 500] }]],
      ['click', { x: 800, y: 450, screenshot_width: 2560 }, [{ action: 'left_click', coordinate: [500, 500] }]],
      ['click', { x: 1279, y: 0 }, [{ action: 'left_click', coordinate: [999.219, 0] }]],
    ]);
    await client.callTool({ name: 'screenshot', arguments: { width: 640 } }); // 640x360: one pixel is 1000/640 by 1000/360
    await expectInputs([
      ['click', { x: 320, y: 90 }, [{ action: 'left_click', coordinate: [500, 250] }]],
      ['click', { x: 0, y: 359, button: 'right' }, [{ action: 'right_click', coordinate: [0, 997.222] }]],
      ['click', { x: 639, y: 0, double: true }, [{ action: 'double_click', coordinate: [998.438, 0] }]],
      ['click', { x: 320, y: 90, button: 'middle' }, [{ action: 'middle_click', coordinate: [500, 250] }]],
      ['click', { x: 320, y: 90, triple: true }, [{ action: 'triple_click', coordinate: [500, 250] }]],
      ['click', { x: 320, y: 90, modifiers: ['ctrl', 'shift'] }, [{ action: 'left_click', coordinate: [500, 250], modifiers: ['ctrl', 'shift'] }]],
      ['move_pointer', { x: 160, y: 180 }, [{ action: 'move', coordinate: [250, 500] }]],
      ['move_pointer', { x: 160, y: 180, holding: 'left' }, [{ action: 'left_drag', coordinate: [250, 500] }]],
      ['drag', { start_x: 64, start_y: 36, end_x: 576, end_y: 324, modifiers: ['alt'] }, [{ action: 'drag', from: [100, 100], to: [900, 900], modifiers: ['alt'] }]],
      ['button_down', { x: 32, y: 18 }, [{ action: 'left_down', coordinate: [50, 50] }]],
      ['button_up', { x: 32, y: 18, button: 'right' }, [{ action: 'right_up', coordinate: [50, 50] }]],
      ['scroll', { direction: 'up' }, [{ action: 'scroll', direction: 'up', amount: 3 }]],
      ['scroll', { direction: 'down', amount: 7, x: 320, y: 180 }, [{ action: 'move', coordinate: [500, 500] }, { action: 'scroll', direction: 'down', amount: 7 }]],
      ['scroll', { direction: 'right', modifiers: ['shift'] }, [{ action: 'scroll', direction: 'right', amount: 3, modifiers: ['shift'] }]],
      ['paste', {}, [{ action: 'paste' }]],
      // One key tool under two names; xdotool's names, one meaning each.
      ['press_key', { key: 'Return' }, [{ action: 'key_combo', keys: ['return'] }]],
      ['key_combo', { keys: 'ctrl+S' }, [{ action: 'key_combo', keys: ['ctrl', 'S'] }]],
      ['key_combo', { keys: 'DELETE' }, [{ action: 'key_combo', keys: ['delete'] }]],
      ['key_combo', { keys: 'Control_L+Next' }, [{ action: 'key_combo', keys: ['ctrl', 'page_down'] }]],
      ['press_key', { key: 'ctrl+minus' }, [{ action: 'key_combo', keys: ['ctrl', '-'] }]],
      ['key_combo', { keys: 'ctrl++' }, [{ action: 'key_combo', keys: ['ctrl', '+'] }]],
      ['key_combo', { keys: 'BackSpace' }, [{ action: 'key_combo', keys: ['backspace'] }]],
      ['hold_key', { key: 'Shift_L', seconds: 0.1 }, [{ action: 'key_down', key: 'shift' }, { action: 'key_up', key: 'shift' }]],
      // CR LF is one Return; pieces of 10 characters never split one (nor a surrogate pair).
      ['type_text', { text: `${'a'.repeat(9)}\r\n你好` }, [{ action: 'type_text', text: `${'a'.repeat(9)}\n` }, { action: 'type_text', text: '你好' }]],
      ['type_text', { text: '😀'.repeat(21) }, [10, 10, 1].map((n) => ({ action: 'type_text', text: '😀'.repeat(n) }))],
      // screenshot_width names another space without changing the session's.
      ['click', { x: 80, y: 45, screenshot_width: 320 }, [{ action: 'left_click', coordinate: [250, 250] }]],
      ['click', { x: 160, y: 90 }, [{ action: 'left_click', coordinate: [250, 250] }]],
    ]);
    await client.callTool({ name: 'screenshot', arguments: { width: 320 } }); // a new size changes the mapping
    await expectInputs([['click', { x: 80, y: 45 }, [{ action: 'left_click', coordinate: [250, 250] }]]]);
    const skipped = await client.callTool({ name: 'type_text', arguments: { text: 'a\uffffb' } });
    assert.equal(toolText(skipped), 'Typed 2 characters as keystrokes. Left out 1 character that this keyboard cannot make.');
    await client.close();
  });

  it('answers bad arguments and failures with tool errors, sending the control service nothing it should not get', async () => {
    const fresh = await connect(t.agent);
    const shot = await connect(t.agent);
    await shot.callTool({ name: 'screenshot', arguments: { width: 640 } });
    for (const [client, name, args, message, inputs = []] of [
      [fresh, 'click', { x: 1280, y: 1 }, /outside a screenshot 1280 wide, which is 1280x720/],
      [shot, 'click', { x: 640, y: 10 }, /outside the last screenshot, which is 640x360: x must be 0\.\.639/],
      [shot, 'click', { x: 1, y: 1, buton: 'right' }, /Input validation error.*Unrecognized key.*buton/],
      [shot, 'paste', { now: true }, /Input validation error.*Unrecognized key.*now/],
      [shot, 'key_combo', { keys: 'ctrl+a+b' }, /Only ctrl, alt, super and shift go before the last key, not "a"/],
      [shot, 'hold_key', { key: 'shift', seconds: 31 }, /Input validation error.*seconds/],
      [shot, 'wait', { seconds: 0 }, /Input validation error.*seconds/],
      [shot, 'click', { x: 1.5, y: 10 }, /Input validation error.*x/],
      [shot, 'click', { x: 1, y: 1, button: 'middle', double: true }, /left button only/],
      [shot, 'click', { x: 1, y: 1, double: true, triple: true }, /double or triple, not both/],
      [shot, 'click', { x: 1, y: 1, modifiers: ['hyper'] }, /modifiers/],
      [shot, 'scroll', { direction: 'up', x: 5 }, /both x and y/],
      [shot, 'press_key', { key: 'f13' }, /Input validation error.*Unknown key "f13"/],
      [shot, 'press_key', { key: 'tab' }, /The control service answered 500: Main app input failed: no focus/, [{ action: 'key_combo', keys: ['tab'] }]],
      [shot, 'type_text', { text: 'x'.repeat(10001) }, /Input validation error.*text/],
      [shot, 'type_text', { text: 'ok\x1b[A' }, /control character that cannot be typed: U\+001B\. Press keys with press_key or key_combo/],
      [shot, 'screenshot', { width: 321 }, /did not send a JPEG/],
    ]) {
      const count = t.control.requests.length;
      const result = await client.callTool({ name, arguments: args });
      assert.deepEqual([result.isError, inputsSince(t.control, count)], [true, inputs], name);
      assert.match(toolText(result), message, name);
    }
    await Promise.all([fresh, shot].map((c) => c.close()));
  });

  it('keeps long calls under control: progress per piece, a cancel stops within one piece and releases held keys', async () => {
    const client = await connect(t.agent);
    const typing = (r) => r.path === '/input' && JSON.parse(r.body).action === 'type_text';
    for (const [name, args, stopAfter, within] of [
      ['type_text', { text: 'z'.repeat(300) }, 3, [{ action: 'type_text', text: 'z'.repeat(10) }]],
      ['wait', { seconds: 30 }, 1, []],
      ['hold_key', { key: 'Right', seconds: 30 }, 1, [{ action: 'key_down', key: 'right' }, { action: 'key_up', key: 'right' }]],
    ]) {
      const count = t.control.requests.length;
      const abort = new AbortController();
      const progress = [];
      const call = client.callTool({ name, arguments: args }, undefined, {
        signal: abort.signal,
        onprogress: (p) => progress.push(p) === stopAfter && abort.abort(),
      });
      await assert.rejects(call, /abort/i, name);
      const started = Date.now();
      await sleep(150); // what was in flight has landed
      const inputs = inputsSince(t.control, count);
      if (name === 'type_text') {
        assert.deepEqual(progress.map((p) => [p.progress, p.total]), [[10, 300], [20, 300], [30, 300]]);
        assert.ok(inputs.length >= stopAfter && inputs.length <= stopAfter + 1, `${inputs.length} pieces typed`);
        assert.deepEqual(inputs[0], within[0]);
      } else {
        assert.deepEqual([progress[0].total, inputs], [30, within], name);
      }
      // Nothing of the cancelled call holds the next one up.
      const next = await client.callTool({ name: 'type_text', arguments: { text: 'ok' } });
      assert.ok(Date.now() - started < 1000 && t.control.requests.filter(typing).at(-1).body.includes('"ok"'), name);
      assert.equal(next.isError, undefined);
    }
    // A key held when its session ends goes up.
    const count = t.control.requests.length;
    const held = client.callTool({ name: 'hold_key', arguments: { key: 'shift', seconds: 30 } }).catch(() => {});
    await sleep(100);
    await client.transport.terminateSession();
    await client.close();
    await held;
    await sleep(100);
    assert.deepEqual(inputsSince(t.control, count), [{ action: 'key_down', key: 'shift' }, { action: 'key_up', key: 'shift' }]);
  });

  it('runs a command in the login shell with its status, bounded output, time-out, and without the server secrets', async () => {
    const client = await connect(shell.agent);
    for (const [args, isError, message] of [
      [{ command: 'echo "out $HOME"; echo err >&2; exit 3' }, false, /^Exit status 3\.\nout \/.*\nerr\n$/],
      [{ command: 'echo "[${ZEL_AGENT_INPUT_URL}]"' }, false, /^Exit status 0\.\n\[\]\n$/],
      [{ command: 'head -c 200000 /dev/zero | tr "\\0" a; echo END' }, false, /^Exit status 0\.\na{16384}\n\[\.\.\. 167236 bytes of output left out \.\.\.\]\na{16380}END\n$/],
      [{ command: 'sleep 5 & echo started' }, false, /^Exit status 0\.\nstarted\n$/],
      [{ command: 'echo before; sleep 30', timeout_seconds: 1 }, true, /^Killed after the time-out of 1 s\.\nbefore\n$/],
    ]) {
      const result = await client.callTool({ name: 'run_command', arguments: args });
      assert.equal(result.isError, isError, args.command);
      assert.match(toolText(result), message, args.command);
    }
    await client.close();
  });

  it('keeps sessions bounded: the least recently used one gives way at the cap, and idle ones end', async () => {
    const [first, second] = [await connect(small.agent), await connect(small.agent)];
    small.clock = 1000;
    await first.listTools(); // now second is the least recently used
    const third = await connect(small.agent);
    await assert.rejects(second.listTools(), /Session not found/);
    await Promise.all([first.listTools(), third.listTools()]);
    small.clock = 1000 + 60001;
    await assert.rejects(first.listTools(), /Session not found/);
    await assert.rejects(third.listTools(), /Session not found/);
    const fourth = await connect(small.agent);
    await fourth.listTools();
    await Promise.all([first, second, third, fourth].map((c) => c.close()));
  });

  it('answers requests outside a session with protocol errors, not crashes', async () => {
    const post = (body, headers = {}) => t.agent.fetch('/mcp', { method: 'POST', body, headers: { 'Content-Type': 'application/json', Accept: 'application/json, text/event-stream', ...headers } });
    for (const [res, status, message] of [
      [await post('{"jsonrpc":"2.0","id":1,"method":'), 400, /Parse error/],
      [await post('{"jsonrpc":"2.0","id":1,"method":"tools/list"}'), 400, /only an initialize request/],
      [await post('{"jsonrpc":"2.0","id":1,"method":"tools/list"}', { 'Mcp-Session-Id': 'made-up' }), 404, /Session not found/],
      [await post(JSON.stringify({ pad: 'x'.repeat(300 * 1024) })), 413, /larger than/],
      [await t.agent.fetch('/mcp'), 400, /only an initialize request/],
    ]) {
      assert.equal(res.status, status);
      assert.match((await res.json()).error.message, message);
    }
    assert.equal((await t.agent.fetch('/api/info')).status, 200);
  });
});

describe('MCP screen tools', () => {
  // The control service's /settle: one change of 160x90 desktop pixels at (800, 450) of the 1600x900
  // display, or a JPEG as an app from before /settle answers; a region as a PNG of its size.
  const settled = (request) => answer('200 OK', 'application/json', JSON.stringify({
    settled: request.query.quiet_ms !== '9999', elapsed_ms: 120, sequence: 7, source: 'changes',
    // quiet_ms 50: nothing changed until asked again from sequence 7 (a dialog coming late).
    boxes: request.query.quiet_ms === '0' || (request.query.quiet_ms === '50' && request.query.since === '0') ? [] : [[800, 450, 160, 90]],
    display: { x: 0, y: 0, ...kDisplay } }));
  const region = ({ query }) => {
    const [, , w, h] = query.region.split(',').map(Number);
    const width = Math.min(Number(query.width), w);
    return answer('200 OK', 'image/png', execFileSync('convert', ['-size', `${width}x${Math.floor((width * h) / w)}`, 'xc:red', 'png:-']));
  };
  // A terminal half off the display's bottom right corner, for zooming into a window by name.
  const windows = () => answer('200 OK', 'application/json', JSON.stringify({ display: { x: 0, y: 0, ...kDisplay },
    windows: [{ id: '0x5', title: 'Build log', application: 'XTerm', pid: 9, focused: false, minimized: false, bounds: { x: 1500, y: 800, width: 200, height: 200 } }] }));
  const pointer = () => answer('200 OK', 'application/json; charset=utf-8', JSON.stringify({ sequence: 3, x: 800, y: 450, visible: true, serial: 1, ...kDisplay }));
  const t = withAgent({}, {}, {
    screenshot: (request) => (request.path === '/settle' ? settled(request) : request.path === '/windows' ? windows() : request.query.region ? region(request) : screenJpeg(request)),
    pointer,
  });
  // An app from before /settle and /pointer: a screenshot there (a small one at /pointer).
  const old = withAgent({}, {}, { screenshot: (request) => (request.path === '/pointer' ? undefined : screenJpeg({ ...request, query: { width: '640' } })) });
  const requestsSince = (count) => t.control.requests.slice(count).map(({ path, query, body }) => (
    path === '/input' ? JSON.parse(body) : `${path} ${Object.entries(query).filter(([k]) => k !== 'secret').map(([k, v]) => `${k}=${v}`).join('&')}`));

  it('zooms into an area given in the session\'s pixels at the display\'s own, leaving the pointer space as it was', async () => {
    const client = await connect(t.agent);
    const fresh = await connect(t.agent);
    await client.callTool({ name: 'screenshot', arguments: { width: 640 } }); // 640x360 of 1600x900: 2.5 desktop pixels a pixel
    for (const [who, args, asked, size, said] of [
      [client, { x: 64, y: 36, width: 64, height: 36 }, 'region=160,90,160,90&width=160&format=png&quality=90', '160x90', /\[64, 36, 64, 36\] of the 640x360 screenshot at 160x90 pixels \(2\.5x\)/],
      [client, { x: 600, y: 350, width: 100, height: 100, max_width: 50 }, 'region=1500,875,100,25&width=50&format=png&quality=90', '50x12', /\[600, 350, 40, 10\]/],
      // Without a screenshot the session's space is the default screenshot's: 1280x720.
      [fresh, { x: 0, y: 0, width: 1280, height: 720 }, 'region=0,0,1600,900&width=1600&format=png&quality=90', '1600x900', /of the 1280x720 screenshot/],
      // A window by words of its title: the part of it on the display.
      [client, { window: 'build' }, 'region=1500,800,100,100&width=100&format=png&quality=90', '100x100', /^The window "Build log" \(0x5\), area \[600, 320, 40, 40\] of the 640x360 screenshot, at 100x100 pixels \(2\.5x\)/],
    ]) {
      const count = t.control.requests.length;
      const result = await who.callTool({ name: 'zoom', arguments: args });
      assert.equal(result.isError, undefined, toolText(result));
      const image = result.content.find((c) => c.type === 'image');
      assert.equal(image.mimeType, 'image/png');
      assert.equal(execFileSync('convert', ['png:-', '-format', '%wx%h', 'info:'], { input: Buffer.from(image.data, 'base64') }).toString(), size);
      assert.match(toolText(result), said);
      const zoomed = requestsSince(count).at(-1);
      assert.deepEqual(Object.fromEntries(new URLSearchParams(zoomed.split(' ')[1])), Object.fromEntries(new URLSearchParams(asked)));
    }
    for (const [args, message] of [
      [{ x: 640, y: 0, width: 10, height: 10 }, /lies outside the screenshot, which is 640x360/],
      [{ window: 'nothing' }, /No window matching "nothing" is shown/],
      [{ window: 'build', x: 1 }, /Give x, y, width and height, or window/],
      [{ x: 1, y: 1 }, /Give x, y, width and height, or window/],
    ]) {
      const refused = await client.callTool({ name: 'zoom', arguments: args });
      assert.equal(refused.isError, true);
      assert.match(toolText(refused), message);
    }
    const count = t.control.requests.length;
    await client.callTool({ name: 'click', arguments: { x: 320, y: 90 } });
    assert.deepEqual(requestsSince(count), [{ action: 'left_click', coordinate: [500, 250] }]);
    await client.close();
    await fresh.close();
  });

  it('waits until the screen settles, alone or after any acting tool, and tells what changed in the session\'s pixels', async () => {
    const client = await connect(t.agent);
    await client.callTool({ name: 'screenshot', arguments: { width: 640 } });
    const tools = (await client.listTools()).tools;
    const settleOption = (name) => Object.hasOwn(tools.find((tool) => tool.name === name).inputSchema.properties, 'settle_ms');
    assert.deepEqual(['click', 'drag', 'scroll', 'type_text', 'paste', 'screenshot', 'zoom', 'wait_until_settled'].map(settleOption),
      [true, true, true, true, true, false, false, false]);

    let count = t.control.requests.length;
    const waited = await client.callTool({ name: 'wait_until_settled', arguments: { quiet_ms: 200, timeout_ms: 3000 } });
    assert.deepEqual(requestsSince(count), ['/settle quiet_ms=200&limit_ms=3000&since=0']);
    assert.equal(toolText(waited), 'The screen settled after 120 ms. Changed areas as [x, y, width, height] in pixels of the 640x360 screenshot: [320, 180, 64, 36].');
    for (const [untilChange, asked, said] of [
      [false, 1, /Nothing changed on it\.$/],
      [true, 2, /\[320, 180, 64, 36\]\.$/],
    ]) {
      count = t.control.requests.length;
      const late = await client.callTool({ name: 'wait_until_settled', arguments: { quiet_ms: 50, until_change: untilChange } });
      assert.match(toolText(late), said);
      assert.deepEqual(requestsSince(count).map((r) => /since=\d+/.exec(r)[0]), ['since=0', 'since=7'].slice(0, asked));
    }
    const busy = await client.callTool({ name: 'wait_until_settled', arguments: { quiet_ms: 9999 } });
    assert.match(toolText(busy), /^The screen was still changing after 120 ms\./);

    count = t.control.requests.length;
    const clicked = await client.callTool({ name: 'click', arguments: { x: 320, y: 90, settle_ms: 300 } });
    assert.deepEqual(requestsSince(count), ['/settle quiet_ms=0&limit_ms=0&since=0', { action: 'left_click', coordinate: [500, 250] }, '/settle quiet_ms=300&limit_ms=3000&since=7']);
    assert.equal(toolText(clicked), 'Clicked the left button at (320, 90) of the screenshot.\nThe screen settled after 120 ms. Changed areas as [x, y, width, height] in pixels of the 640x360 screenshot: [320, 180, 64, 36].');
    count = t.control.requests.length;
    await client.callTool({ name: 'paste', arguments: { settle_ms: 0 } });
    assert.deepEqual(requestsSince(count).at(-1), '/settle quiet_ms=0&limit_ms=2000&since=7');
    await client.close();

    const before = await connect(old.agent);
    const refused = await before.callTool({ name: 'wait_until_settled', arguments: {} });
    assert.equal(refused.isError, true);
    assert.match(toolText(refused), /cannot wait for the screen to settle/);
    await before.close();
  });

  it('tells the pointer in the last screenshot\'s pixels and the display\'s, and says when the app cannot', async () => {
    const client = await connect(t.agent);
    const ask = async () => toolText(await client.callTool({ name: 'cursor_position', arguments: {} }));
    assert.match(await ask(), /\(800, 450\) of the 1600x900 display; no screenshot yet/);
    await client.callTool({ name: 'screenshot', arguments: { width: 640 } });
    assert.match(await ask(), /\(320, 180\) of the last screenshot \(640x360\), \(800, 450\) of the 1600x900 display/);
    assert.equal(t.control.requests.at(-1).path, '/pointer');
    await client.close();
    const oldClient = await connect(old.agent);
    const result = await oldClient.callTool({ name: 'cursor_position', arguments: {} });
    assert.deepEqual([result.isError, toolText(result)], [true, 'This app cannot tell where the pointer is.']);
    await oldClient.close();
  });
});
