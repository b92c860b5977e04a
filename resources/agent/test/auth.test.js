import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { FailureLimiter, tokensEqual } from '../src/auth.js';
import { startAgent } from './helpers.js';

describe('token comparison', () => {
  const token = 'A'.repeat(43);
  const cases = [['same', token, true], ['one char off', `${'A'.repeat(42)}B`, false], ['prefix', 'A'.repeat(42), false],
    ['empty', '', false], ['not a string', undefined, false], ['huge', 'A'.repeat(100000), false]];
  for (const [name, given, expected] of cases) it(name, () => assert.equal(tokensEqual(given, token), expected));
});

describe('failure limiter', () => {
  it('is free at first, then slows down, then blocks, then forgets', () => {
    let now = 0;
    const limiter = new FailureLimiter({ freeFailures: 2, delayStepMs: 100, maxDelayMs: 250, blockAfter: 5, blockMs: 1000, windowMs: 5000 }, () => now);
    assert.deepEqual([1, 2, 3, 4].map(() => limiter.fail('a')), [0, 0, 100, 200]);
    assert.equal(limiter.blockedFor('a'), 0);
    assert.equal(limiter.fail('a'), 250);
    assert.equal(limiter.blockedFor('a'), 1000);
    assert.equal(limiter.blockedFor('b'), 0, 'other addresses are not affected');
    now = 999;
    assert.equal(limiter.blockedFor('a'), 1);
    now = 6000;
    assert.equal(limiter.blockedFor('a'), 0);
    assert.equal(limiter.fail('a'), 0, 'the count starts afresh');
  });

  it('success clears the count and memory stays bounded', () => {
    const limiter = new FailureLimiter({ freeFailures: 0, delayStepMs: 10, maxTracked: 3 });
    limiter.fail('a');
    limiter.succeed('a');
    assert.equal(limiter.fail('a'), 10);
    for (const address of ['b', 'c', 'd', 'e']) limiter.fail(address);
    assert.equal(limiter.entries.size, 3);
  });
});

describe('API authentication', () => {
  let agent;
  before(async () => {
    agent = await startAgent({}, { limits: { freeFailures: 1, delayStepMs: 20, blockAfter: 4, blockMs: 60000 } });
  });
  after(() => agent.close());

  const get = (headers) => fetch(`${agent.base}/api/info`, { headers });

  it('answers 401 with a JSON error without or with a wrong token', async () => {
    for (const [headers, message] of [[{}, 'Missing token.'], [{ Authorization: 'Bearer nope' }, 'Invalid token.'],
      [{ Authorization: agent.token }, 'Missing token.']]) {
      const res = await get({ ...headers, 'CF-Connecting-IP': '203.0.113.1' });
      assert.equal(res.status, 401);
      assert.equal(res.headers.get('www-authenticate'), 'Bearer');
      assert.deepEqual(await res.json(), { error: message });
    }
  });

  it('accepts the right bearer token, but not in the query', async () => {
    assert.equal((await get({ Authorization: `Bearer ${agent.token}` })).status, 200);
    assert.equal((await get({ Authorization: `bearer  ${agent.token}` })).status, 200);
    const res = await fetch(`${agent.base}/api/info?token=${agent.token}`, { headers: { 'CF-Connecting-IP': '203.0.113.9' } });
    assert.equal(res.status, 401);
  });

  it('slows a guessing client down, then refuses it even with the right token', async () => {
    const from = { 'CF-Connecting-IP': '198.51.100.7' };
    const times = [];
    for (let i = 0; i < 3; i++) {
      const started = Date.now();
      assert.equal((await get({ ...from, Authorization: 'Bearer guess' })).status, 401);
      times.push(Date.now() - started);
    }
    assert.ok(times[2] >= 35, `third failure should be held back, took ${times[2]} ms`);
    assert.equal((await get({ ...from, Authorization: 'Bearer guess' })).status, 401);
    const blocked = await get({ ...from, Authorization: `Bearer ${agent.token}` });
    assert.equal(blocked.status, 429);
    assert.ok(Number(blocked.headers.get('retry-after')) > 0);
    assert.equal((await get({ 'CF-Connecting-IP': '198.51.100.8', Authorization: `Bearer ${agent.token}` })).status, 200);
  });

  it('serves the web client without a token', async () => {
    for (const route of ['/', '/app.js', '/style.css']) {
      const res = await fetch(agent.base + route);
      assert.equal(res.status, 200, route);
    }
    const page = await fetch(`${agent.base}/?token=${agent.token}`);
    assert.equal(page.headers.get('referrer-policy'), 'no-referrer');
  });
});
