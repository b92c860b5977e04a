// The phone's API under /api/ (the device is known before a route is reached): what the agent can
// do, the exchange of a pairing code for a device key, screenshots, input, typing and the
// clipboard, over the desktop and the control service.
import { readText } from './clipboard.js';
import { controlRequest, withQuery } from './control.js';
import { HttpError, intParam, readJsonObject, requireMethod, sendAnswer, sendJson } from './http-util.js';
import { kInputActions, kMaxTypeChars } from './input-rules.js';

const kMaxJsonBody = 16 * 1024; // the control service reads one 64 KiB packet; inputs are tiny
const kMaxTypeBody = 64 * 1024;

function screenshotParams(query) {
  const params = {};
  const format = query.get('format');
  if (format !== null) {
    if (!['png', 'jpeg', 'jpg'].includes(format)) throw new HttpError(400, 'Query value "format" must be png or jpeg.');
    params.format = format === 'png' ? 'png' : 'jpeg';
  }
  const width = intParam(query, 'width', 320, 2560);
  if (width !== null) params.width = width;
  const quality = intParam(query, 'quality', 25, 90);
  if (quality !== null) params.quality = quality;
  return params;
}

function nonEmptyText(text) {
  if (typeof text !== 'string' || text.length === 0) throw new HttpError(400, '"text" must be a non-empty string.');
  return text;
}

// Route path -> async (req, res, query, who); who: { device, code } from devices.authenticate.
// terminalClient: whether the terminal tab's files are there.
export function createApiRoutes({ config, desktop, devices, version, terminalClient }) {
  return {
    async '/api/pair'(req, res, _query, who) {
      requireMethod(req, 'POST');
      const empty = req.headers['content-length'] === '0' || (!req.headers['content-length'] && !req.headers['transfer-encoding']);
      const { name = '' } = empty ? {} : await readJsonObject(req, kMaxJsonBody);
      if (typeof name !== 'string') throw new HttpError(400, '"name" must be a string.');
      const key = devices.exchange(who, name);
      sendJson(res, 200, { key, device: { id: who.device.id, name: who.device.name } });
    },

    async '/api/info'(req, res) {
      requireMethod(req, 'GET', 'HEAD');
      const clipboard = desktop.clipboardTool();
      sendJson(res, 200, {
        name: 'Zel Desktop Agent',
        version,
        display: desktop.display,
        features: {
          screenshot: Boolean(config.screenshotUrl),
          input: Boolean(config.inputUrl),
          type: Boolean(config.inputUrl && clipboard.file),
          clipboard: Boolean(clipboard.file && desktop.clipboardTool(true).file),
          terminal: Boolean(config.enableTerminal && devices.settings.terminal && terminalClient),
        },
      });
    },

    async '/api/screenshot'(req, res, query) {
      requireMethod(req, 'GET');
      const url = withQuery(config.screenshotUrl, screenshotParams(query));
      const abort = new AbortController();
      res.on('close', () => abort.abort());
      const upstream = await controlRequest(url, { signal: abort.signal });
      const headers = { 'Content-Type': upstream.headers['content-type'] || 'application/octet-stream', 'Cache-Control': 'no-store' };
      if (upstream.headers['content-length']) headers['Content-Length'] = upstream.headers['content-length'];
      res.writeHead(upstream.statusCode, headers);
      upstream.on('error', () => res.destroy());
      upstream.pipe(res);
    },

    async '/api/input'(req, res) {
      requireMethod(req, 'POST');
      const request = await readJsonObject(req, kMaxJsonBody);
      if (typeof request.action !== 'string' || !kInputActions.has(request.action.trim())) {
        throw new HttpError(400, 'Unknown or missing "action".');
      }
      sendAnswer(res, await desktop.forwardInput(JSON.stringify(request)));
    },

    async '/api/type'(req, res) {
      requireMethod(req, 'POST');
      const text = nonEmptyText((await readJsonObject(req, kMaxTypeBody)).text);
      if (text.length > kMaxTypeChars) throw new HttpError(400, `"text" is longer than ${kMaxTypeChars} characters.`);
      sendAnswer(res, await desktop.copyToClipboard(text, true));
    },

    async '/api/clipboard'(req, res) {
      requireMethod(req, 'GET', 'POST');
      if (req.method === 'GET') {
        const tool = desktop.clipboardTool(true);
        if (!tool.file) throw new HttpError(503, tool.error);
        const text = await readText(tool).catch((err) => {
          throw new HttpError(502, `Clipboard: ${err.message}`);
        });
        sendJson(res, 200, { text });
        return;
      }
      const { text, paste = false } = await readJsonObject(req, kMaxTypeBody);
      nonEmptyText(text);
      if (typeof paste !== 'boolean') throw new HttpError(400, '"paste" must be true or false.');
      const answer = await desktop.copyToClipboard(text, paste);
      if (answer) sendAnswer(res, answer);
      else sendJson(res, 200, { ok: true, pasted: false });
    },
  };
}
