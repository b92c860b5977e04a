// The accessibility tools through the SDK's own client, over a fake control service: the query and
// body they send, bounds mapped into the session's screenshot space (strict arguments: mcp.test.js).
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { answer, mcpClient as connect, sleep, toolText, withAgent } from './helpers.js';

const kDisplay = { x: 0, y: 0, width: 1600, height: 900 };
const json = (value) => answer('200 OK', 'application/json', JSON.stringify(value));
const tree = {
  application: 'mousepad', pid: 77, nodes: 2, truncated: false, display: kDisplay,
  window: { id: ':1.9/a/1', role: 'frame', name: 'note', states: ['active'], bounds: [0, 0, 1600, 900],
    children: [{ id: ':1.9/a/2', role: 'menu', name: 'File', states: [], bounds: [800, 450, 160, 90], actions: ['click'] }] },
};

describe('MCP accessibility tools', () => {
  // A dialog "Export finished" that shows at `comesAt` (Infinity: never), in the window list and
  // on the accessibility bus with an OK button.
  let comesAt = Infinity;
  const there = () => Date.now() >= comesAt;
  const editor = { id: '0x1', title: 'note - Mousepad', application: 'Mousepad', pid: 77, focused: true, minimized: false, bounds: { x: 0, y: 0, width: 800, height: 600 } };
  const dialog = { id: '0x2', title: 'Export finished', application: 'Zenity', pid: 78, focused: false, minimized: false, bounds: { x: 1000, y: 500, width: 300, height: 120 } };
  const dialogTree = {
    application: 'zenity', pid: 78, nodes: 3, truncated: false, display: kDisplay,
    window: { id: ':1.5/a/1', role: 'dialog', name: 'Export finished', states: ['showing'], bounds: [1000, 500, 300, 120], children: [
      { id: ':1.5/a/2', role: 'push button', name: 'OK', states: [], bounds: [1200, 580, 80, 30] },
      { id: ':1.5/a/3', role: 'push button', name: 'OK', states: ['showing'], bounds: [1200, 580, 80, 30] }] },
  };
  const t = withAgent({}, {}, {
    screenshot: (request) => {
      if (request.path === '/windows') return json({ display: kDisplay, windows: there() ? [dialog, editor] : [editor] });
      if (request.path === '/accessibility') {
        if (request.query.window === 'Export finished' && !there()) {
          return answer('500 Internal Server Error', 'text/plain', 'Main app accessibility failed: No window of an application on the accessibility bus matches "Export finished".');
        }
        return json(request.query.window === 'Export finished' ? dialogTree : tree);
      }
      if (request.path === '/accessibility/act') {
        const { id, action, text } = JSON.parse(request.body);
        if (id === 'gone') return answer('500 Internal Server Error', 'text/plain', 'Main app accessibility failed: No element "gone" is known');
        return json({ ok: true, id, action, ...(action === 'press' ? { performed: 'click' } : { element: { id, role: 'text', states: ['focused'], bounds: [1, 2, 3, 4], text } }) });
      }
      return undefined; // a 16x9 PNG stands in for a screenshot: never a JPEG
    },
  });
  const asked = (since) => t.control.requests.slice(since).filter((r) => r.path !== '/accessibility/act').length;

  it('sends the window, pid and bounds and maps the bounds into the screenshot space', async () => {
    const client = await connect(t.agent);
    const before = t.control.requests.length;
    const result = await client.callTool({ name: 'accessibility_tree', arguments: { window: 'mouse', pid: 77, max_depth: 3, max_nodes: 20 } });
    assert.equal(result.isError, undefined, toolText(result));
    const [{ path, query }] = t.control.requests.slice(before);
    assert.deepEqual([path, { ...query, secret: undefined }], ['/accessibility', { window: 'mouse', pid: '77', depth: '3', limit: '20', secret: undefined }]);
    // No screenshot yet: the default 1280-wide space over the 1600x900 display.
    const { screenshot_space: space, window: { id, children: [file] } } = JSON.parse(toolText(result));
    assert.deepEqual([space, id, file.bounds, file.desktop_bounds, file.actions],
      ['the default 1280-pixel-wide screenshot', ':1.9/a/1', [640, 360, 128, 72], [800, 450, 160, 90], ['click']]);
    // By default the focused window; words as the client wrote them: a space is no "+", a "+" no space.
    for (const [window, asked] of [[undefined, 'focused'], ['Export finished C++', 'Export finished C++']]) {
      await client.callTool({ name: 'accessibility_tree', arguments: window ? { window } : {} });
      assert.deepEqual([t.control.requests.at(-1).query.window, t.control.requests.at(-1).query.depth], [asked, '12']);
    }
    await client.close();
  });

  it('acts by id and refuses what the control service would not take', async () => {
    const client = await connect(t.agent);
    const cases = [
      [{ id: ':1.9/a/2', action: 'press' }, false, /Done: press on :1\.9\/a\/2 \(its "click" action\)/, { id: ':1.9/a/2', action: 'press' }],
      // The element as it is after the action, its bounds left to the tree's mapping.
      [{ id: ':1.9/a/3', action: 'set_text', text: 'héllo' }, false, /^Done: set_text on :1\.9\/a\/3\.\nThe element now: \{"id":":1\.9\/a\/3","role":"text","states":\["focused"\],"text":"héllo"\}$/, { id: ':1.9/a/3', action: 'set_text', text: 'héllo' }],
      [{ id: ':1.9/a/3', action: 'focus' }, false, /^Done: focus on :1\.9\/a\/3\.\nThe element now: \{"id":":1\.9\/a\/3","role":"text","states":\["focused"\]\}$/, { id: ':1.9/a/3', action: 'focus' }],
      [{ id: 'gone', action: 'focus' }, true, /answered 500: Main app accessibility failed: No element "gone"/, { id: 'gone', action: 'focus' }],
      [{ id: 'x', action: 'set_text' }, true, /set_text needs "text"/, null],
      [{ id: 'x', action: 'press', text: 'a' }, true, /set_text only/, null],
      [{ id: 'x', action: 'wave' }, true, /Input validation error/, null],
    ];
    for (const [args, isError, text, sent] of cases) {
      const before = t.control.requests.length;
      const result = await client.callTool({ name: 'act_on_element', arguments: args });
      assert.equal(Boolean(result.isError), isError, JSON.stringify(args));
      assert.match(toolText(result), text);
      const requests = t.control.requests.slice(before);
      assert.deepEqual(requests.map((r) => JSON.parse(r.body)), sent ? [sent] : []);
    }
    await client.close();
  });
  it('waits for a window or an element: returns once it is there, errs when it never comes within the bound, and stops asking when cancelled', async () => {
    const client = await connect(t.agent);
    const from = t.control.requests.length;
    const list = { name: 'list_windows', arguments: { wait_for: 'export FIN', timeout_ms: 3000 } };
    const treeOf = { name: 'accessibility_tree', arguments: { window: 'Export finished', timeout_ms: 3000 } };
    const press = { name: 'act_on_element', arguments: { window: 'Export finished', name: 'ok', role: 'push button', action: 'press', timeout_ms: 3000 } };
    const never = (call) => ({ ...call, arguments: { ...call.arguments, timeout_ms: 300 } });
    for (const [call, comesIn, outcome] of [
      [list, 0, /^2 windows\. Window 0x2 \("Export finished"\) matches "export FIN" \(waited_ms: \d+\)\./],
      [list, 400, /waited_ms: (4|5|6)\d\d\)/],
      [treeOf, 400, /"waited_ms":(4|5|6)\d\d,/],
      // The showing OK, not the first one.
      [press, 400, /^Done: press on the push button "OK" \(:1\.5\/a\/3\) \(its "click" action\) \(waited_ms: (4|5|6)\d\d\)\.$/],
      [never(list), Infinity, /^No window matching "export FIN" appeared within 300 ms\.$/],
      [never(treeOf), Infinity, /^No window matching "Export finished" appeared within 300 ms\.$/],
      [never(press), Infinity, /^No window matching "Export finished" appeared within 300 ms\.$/],
      [{ ...press, arguments: { ...press.arguments, name: 'Cancel' } }, 0, /^No push button named "Cancel" in the window "Export finished" \(zenity\) within 3000 ms/],
      // Without a wait, a window that is not there is the control service's own answer at once.
      [{ name: 'accessibility_tree', arguments: { window: 'Export finished' } }, Infinity, /answered 500: .*No window of an application/],
      [{ name: 'list_windows', arguments: { timeout_ms: 100 } }, 0, /"timeout_ms" belongs to wait_for/],
      [{ name: 'list_windows', arguments: { wait_for: 'x', timeout_ms: 30001 } }, 0, /Input validation error/],
      [{ name: 'act_on_element', arguments: { id: ':1.5/a/3', name: 'OK', action: 'press' } }, 0, /Give "id", or "window" and "name"/],
      [{ name: 'act_on_element', arguments: { window: 'Export finished', action: 'press' } }, 0, /Give "id" from accessibility_tree, or "window" and "name"/],
    ]) {
      comesAt = Date.now() + comesIn;
      const started = Date.now();
      const result = await client.callTool(call);
      const what = `${call.name} ${JSON.stringify(call.arguments)}: ${toolText(result)}`;
      assert.match(toolText(result), outcome, what);
      assert.equal(Boolean(result.isError), !/^(Done|\d+ windows|\{)/.test(toolText(result)), what);
      assert.ok(Date.now() - started < (call.arguments.timeout_ms ?? 0) + 1000, what);
    }
    const acted = t.control.requests.slice(from).filter((r) => r.path === '/accessibility/act').map((r) => JSON.parse(r.body));
    assert.deepEqual(acted, [{ id: ':1.5/a/3', action: 'press' }]);

    for (const call of [list, treeOf, press]) {
      comesAt = Infinity;
      const abort = new AbortController();
      const pending = client.callTool(call, undefined, { signal: abort.signal });
      await sleep(300);
      abort.abort();
      await assert.rejects(pending, /abort/i);
      await sleep(100); // a probe under way lands
      const since = t.control.requests.length;
      await sleep(500);
      assert.equal(asked(since), 0, `${call.name} kept asking after the cancel`);
    }
    await client.close();
  });
});
