// The accessibility tools through the SDK's own client, over a fake control service: the query and
// body they send, bounds mapped into the session's screenshot space, strict arguments.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StreamableHTTPClientTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';
import { answer, withAgent } from './helpers.js';

const kDisplay = { x: 0, y: 0, width: 1600, height: 900 };
const json = (value) => answer('200 OK', 'application/json', JSON.stringify(value));
const tree = {
  application: 'mousepad', pid: 77, nodes: 2, truncated: false, display: kDisplay,
  window: { id: ':1.9/a/1', role: 'frame', name: 'note', states: ['active'], bounds: [0, 0, 1600, 900],
    children: [{ id: ':1.9/a/2', role: 'menu', name: 'File', states: [], bounds: [800, 450, 160, 90], actions: ['click'] }] },
};

async function connect(agent) {
  const client = new Client({ name: 'zel-test', version: '1.0.0' });
  await client.connect(new StreamableHTTPClientTransport(new URL(`${agent.base}/mcp`), { requestInit: { headers: { Authorization: `Bearer ${agent.token}` } } }));
  return client;
}
const toolText = (result) => result.content.filter((c) => c.type === 'text').map((c) => c.text).join('\n');

describe('MCP accessibility tools', () => {
  const t = withAgent({}, {}, {
    screenshot: (request) => {
      if (request.path === '/accessibility') return json(tree);
      if (request.path === '/accessibility/act') {
        const { id, action } = JSON.parse(request.body);
        if (id === 'gone') return answer('500 Internal Server Error', 'text/plain', 'Main app accessibility failed: No element "gone" is known');
        return json({ ok: true, id, action, ...(action === 'press' ? { performed: 'click' } : {}) });
      }
      return undefined; // a 16x9 PNG stands in for a screenshot: never a JPEG
    },
  });

  it('sends the window, pid and bounds and maps the bounds into the screenshot space', async () => {
    const client = await connect(t.agent);
    const before = t.control.requests.length;
    const result = await client.callTool({ name: 'accessibility_tree', arguments: { window: 'mouse', pid: 77, max_depth: 3, max_nodes: 20 } });
    assert.equal(result.isError, undefined, toolText(result));
    const [request] = t.control.requests.slice(before);
    assert.equal(request.path, '/accessibility');
    assert.deepEqual({ ...request.query, secret: undefined }, { window: 'mouse', pid: '77', depth: '3', limit: '20', secret: undefined });
    const answerTree = JSON.parse(toolText(result));
    // No screenshot yet: the default 1280-wide space over the 1600x900 display.
    assert.equal(answerTree.screenshot_space, 'the default 1280-pixel-wide screenshot');
    const [file] = answerTree.window.children;
    assert.deepEqual(file.bounds, [640, 360, 128, 72]);
    assert.deepEqual(file.desktop_bounds, [800, 450, 160, 90]);
    assert.deepEqual(file.actions, ['click']);
    const focused = await client.callTool({ name: 'accessibility_tree', arguments: {} });
    assert.equal(t.control.requests.at(-1).query.window, 'focused');
    // Words as the client wrote them: a space is no "+", a "+" no space.
    await client.callTool({ name: 'accessibility_tree', arguments: { window: 'Export finished C++' } });
    assert.equal(t.control.requests.at(-1).query.window, 'Export finished C++');
    assert.equal(t.control.requests.at(-1).query.depth, '12');
    assert.equal(JSON.parse(toolText(focused)).window.id, ':1.9/a/1');
    await client.close();
  });

  it('acts by id and refuses what the control service would not take', async () => {
    const client = await connect(t.agent);
    const cases = [
      [{ id: ':1.9/a/2', action: 'press' }, false, /Done: press on :1\.9\/a\/2 \(its "click" action\)/, { id: ':1.9/a/2', action: 'press' }],
      [{ id: ':1.9/a/3', action: 'set_text', text: 'héllo' }, false, /Done: set_text/, { id: ':1.9/a/3', action: 'set_text', text: 'héllo' }],
      [{ id: ':1.9/a/3', action: 'focus' }, false, /Done: focus/, { id: ':1.9/a/3', action: 'focus' }],
      [{ id: 'gone', action: 'focus' }, true, /answered 500: Main app accessibility failed: No element "gone"/, { id: 'gone', action: 'focus' }],
      [{ id: 'x', action: 'set_text' }, true, /set_text needs "text"/, null],
      [{ id: 'x', action: 'press', text: 'a' }, true, /set_text only/, null],
      [{ id: 'x', action: 'wave' }, true, /Input validation error/, null],
      [{ id: 'x', action: 'press', force: true }, true, /Input validation error/, null],
    ];
    for (const [args, isError, text, sent] of cases) {
      const before = t.control.requests.length;
      const result = await client.callTool({ name: 'act_on_element', arguments: args });
      assert.equal(Boolean(result.isError), isError, JSON.stringify(args));
      assert.match(toolText(result), text);
      const requests = t.control.requests.slice(before);
      assert.deepEqual(requests.map((r) => JSON.parse(r.body)), sent ? [sent] : []);
    }
    const unknown = await client.callTool({ name: 'accessibility_tree', arguments: { depth: 3 } });
    assert.equal(unknown.isError, true);
    assert.match(toolText(unknown), /Input validation error/);
    await client.close();
  });
});
