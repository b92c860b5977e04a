// The phone as the end-to-end tests and benchmarks drive it: Debian's Chromium through
// playwright-core with touch, a phone's pixel ratio and a viewport of its size; and a relay between
// it and the agent server that can stall the link.
import net from 'node:net';
import path from 'node:path';
import { createRequire } from 'node:module';
import { kAgent } from './app_under_test.mjs';

export const { chromium } = createRequire(path.join(kAgent, 'package.json'))('playwright-core');

// A Chromium whose profile (the page's device key among it) is kept in `dir`; `android` names the
// phone as one in its user agent.
export const kAndroid = 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0 Mobile Safari/537.36';
export function launchPhone(dir, { width = 390, height = 844, deviceScaleFactor = 3, userAgent } = {}) {
  return chromium.launchPersistentContext(dir, {
    executablePath: '/usr/bin/chromium', headless: true, args: ['--no-sandbox', '--disable-gpu', '--no-first-run'],
    viewport: { width, height }, hasTouch: true, isMobile: true, deviceScaleFactor, userAgent });
}

// The phone's link to the agent server: while paused, what either side sends waits in the relay.
export function pausableRelay(target) {
  const relay = { paused: false, waiting: [] };
  relay.server = net.createServer((phone) => {
    const agent = net.connect(target, '127.0.0.1');
    for (const [from, to] of [[phone, agent], [agent, phone]]) {
      from.on('data', (chunk) => (relay.paused ? relay.waiting.push(() => to.write(chunk)) : to.write(chunk)));
      from.on('error', () => to.destroy());
      from.on('close', () => to.destroy());
    }
  });
  relay.resume = () => {
    relay.paused = false;
    for (const write of relay.waiting.splice(0)) write();
  };
  relay.close = () => {
    relay.server.close();
    relay.server.closeAllConnections?.();
  };
  return new Promise((resolve) => relay.server.listen(0, '127.0.0.1', () => resolve(relay)));
}
