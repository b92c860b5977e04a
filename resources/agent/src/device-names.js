// What the owner sees a device called: "<OS> · <browser>" from a browser's User-Agent, an MCP
// client's own name, or "API 客户端" for anything else.
export const kApiClientName = 'API 客户端';
const kUnknownDevice = '未知设备';
const kMaxName = 64;

// First match wins: iPadOS and Android also say "Mac" and "Linux".
const kSystems = [[/iPhone|iPod/, 'iPhone'], [/iPad/, 'iPad'], [/Android/, 'Android'], [/CrOS/, 'ChromeOS'],
  [/Windows/, 'Windows'], [/Macintosh|Mac OS X/, 'Mac'], [/Linux|X11/, 'Linux']];
// Every Chromium browser also says "Chrome" and "Safari", so the specific ones come first.
const kBrowsers = [[/MicroMessenger\//, '微信'], [/EdgA?\/|EdgiOS\//, 'Edge'], [/OPR\/|Opera/, 'Opera'],
  [/SamsungBrowser\//, 'Samsung Internet'], [/UCBrowser\//, 'UC'], [/Firefox\/|FxiOS\//, 'Firefox'],
  [/Chromium\//, 'Chromium'], [/Chrome\/|CriOS\/|HeadlessChrome\//, 'Chrome'], [/Version\/[\d.]+.*Safari\//, 'Safari']];

const first = (table, text) => table.find(([pattern]) => pattern.test(text))?.[1];

// A name given by a client: trimmed, control characters dropped, at most 64 characters.
export function cleanName(text) {
  if (typeof text !== 'string') return '';
  return [...text.replace(/[\0-\x1f\x7f-\x9f]/g, '').trim()].slice(0, kMaxName).join('').trim();
}

export function isBrowser(userAgent) {
  return typeof userAgent === 'string' && userAgent.startsWith('Mozilla/');
}

// The kind and name of a client from its first request.
export function describeClient(req) {
  const agent = req.headers['user-agent'];
  if (req.url.split('?')[0] === '/mcp') return { kind: 'mcp', name: kApiClientName };
  if (!isBrowser(agent)) return { kind: 'api', name: kApiClientName };
  const parts = [first(kSystems, agent), first(kBrowsers, agent)].filter(Boolean);
  return { kind: 'browser', name: parts.length ? parts.join(' · ') : kUnknownDevice };
}
