import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { FailureLimiter } from '../src/auth.js';
import { withAgent } from './helpers.js';

describe('failure limiter', () => {
  it('forgets after its window, clears on success, and stays bounded', () => {
    let now = 0;
    const limiter = new FailureLimiter({ freeFailures: 0, delayStepMs: 10, blockAfter: 2, blockMs: 1000, windowMs: 5000, maxTracked: 3 }, () => now);
    limiter.fail('a');
    limiter.fail('a');
    assert.equal(limiter.blockedFor('a'), 1000);
    now = 6000;
    assert.equal(limiter.blockedFor('a'), 0);
    assert.equal(limiter.fail('a'), 10, 'the count starts afresh');
    limiter.succeed('a');
    assert.equal(limiter.fail('a'), 10);
    for (const address of ['b', 'c', 'd', 'e']) limiter.fail(address);
    assert.equal(limiter.entries.size, 3);
  });
});

describe('API authentication', () => {
  const t = withAgent({}, { limits: { freeFailures: 1, delayStepMs: 20, blockAfter: 4, blockMs: 60000 } });
  const get = (headers, route = '/api/info') => fetch(t.agent.base + route, { headers });

  it('answers 401 without, with a wrong, or with a token in the query; accepts the bearer', async () => {
    for (const [headers, message, route] of [[{}, 'Missing token.'], [{ Authorization: 'Bearer nope' }, 'Invalid token.'],
      [{ Authorization: t.agent.token }, 'Missing token.'], [{}, 'Missing token.', `/api/info?token=${t.agent.token}`]]) {
      const res = await get({ ...headers, 'CF-Connecting-IP': '203.0.113.1' }, route);
      assert.equal(res.status, 401);
      assert.equal(res.headers.get('www-authenticate'), 'Bearer');
      assert.deepEqual(await res.json(), { error: message });
    }
    assert.equal((await get({ Authorization: `bearer  ${t.agent.token}` })).status, 200);
    assert.equal((await get({}, `/?token=${t.agent.token}`)).headers.get('referrer-policy'), 'no-referrer');
  });

  it('slows a guessing client down, then refuses it even with the right token', async () => {
    const from = { 'CF-Connecting-IP': '198.51.100.7', Authorization: 'Bearer guess' };
    const times = [];
    for (let i = 0; i < 4; i++) {
      const started = Date.now();
      assert.equal((await get(from)).status, 401);
      times.push(Date.now() - started);
    }
    assert.ok(times[2] >= 35, `third failure should be held back, took ${times[2]} ms`);
    const blocked = await get({ ...from, Authorization: `Bearer ${t.agent.token}` });
    assert.equal(blocked.status, 429);
    assert.ok(Number(blocked.headers.get('retry-after')) > 0);
    assert.equal((await get({ 'CF-Connecting-IP': '198.51.100.8', Authorization: `Bearer ${t.agent.token}` })).status, 200);
  });
});
