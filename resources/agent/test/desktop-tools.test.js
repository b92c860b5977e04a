// Window bounds from desktop pixels into a screenshot's pixels, cut to the screenshot.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { toShot } from '../src/mcp-desktop-tools.js';

test('desktop bounds map into the screenshot of the main display', () => {
  const display = { x: 1920, y: 0, width: 2560, height: 1440 }; // the main display right of another
  const shot = { width: 1280, height: 720 };
  const cases = [
    ['inside, at half size', { x: 2020, y: 100, width: 400, height: 300 }, { x: 50, y: 50, width: 200, height: 150 }],
    ['across the left edge', { x: 1820, y: 100, width: 400, height: 300 }, { x: 0, y: 50, width: 150, height: 150 }],
    ['beyond the bottom right', { x: 4280, y: 1340, width: 400, height: 300 }, { x: 1180, y: 670, width: 100, height: 50 }],
    ['on the other display', { x: 100, y: 100, width: 400, height: 300 }, null],
    ['touching the edge only', { x: 1520, y: 0, width: 400, height: 300 }, null],
    ['unknown bounds', null, null],
  ];
  for (const [what, bounds, expected] of cases) assert.deepEqual(toShot(bounds, display, shot), expected, what);
  assert.equal(toShot({ x: 0, y: 0, width: 1, height: 1 }, { x: 0, y: 0, width: 0, height: 0 }, shot), null, 'an empty display');
});
