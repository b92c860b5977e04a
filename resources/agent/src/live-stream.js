// What the live view sends one viewer, and when: updates from the /tiles long poll at most at the
// frame rate (faster for a moment after an input), or, from an app without /tiles, whole screenshots
// compared by hash, slower while the screen is still; never more than the pacer's window lets be
// unacknowledged; after a failure, an error message and a growing pause.
import crypto from 'node:crypto';

// The next time on a fixed grid while the stream keeps up with it, so that timers firing late do
// not lower the rate.
const onGrid = (at, started, interval) => (started >= at && started - at < interval / 2 ? at : started) + interval;

export class LiveStream {
  // viewer: a LiveViewer; source: createPictureSource's; limits: kLiveDefaults.
  constructor(viewer, source, limits) {
    Object.assign(this, { viewer, source, limits });
    this.failures = 0;
    this.nextAt = 0;
    this.soonAt = 0; // the next capture while an input's effect is awaited
    this.useTiles = true;
    this.since = 0; // the change sequence the viewer's picture is current to; 0: it needs a whole frame
    this.shownWidth = 0;
    this.lastHash = null;
  }

  // Runs until the viewer's socket closes.
  async run() {
    const { viewer, limits } = this;
    while (viewer.open) {
      if (viewer.windowFull()) {
        await viewer.wait(limits.keepAliveMs);
        continue;
      }
      const now = Date.now();
      const due = now - viewer.inputAt < limits.inputBurstMs ? this.soonAt : this.nextAt;
      if (now < due) {
        await viewer.wait(due - now);
        continue;
      }
      try {
        if (this.useTiles) await this.#fromTiles(now);
        else await this.#fromScreenshot(now);
      } catch (err) {
        if (!viewer.open) return;
        this.#failed(err);
      }
    }
  }

  async #fromTiles(started) {
    const { viewer, limits } = this;
    const { width, quality, copies } = viewer.pacer.setting(viewer.requestedWidth);
    if (width !== this.shownWidth || viewer.wantWhole) this.since = 0;
    viewer.wantWhole = false;
    let update;
    try {
      update = await viewer.pollTiles((signal) => this.source.tiles(this.since, width, quality, copies, signal));
    } catch (err) {
      if (err.status === 499 && !viewer.abort.signal.aborted) return; // cut short for a new width
      throw err;
    }
    this.failures = 0;
    if (update === null) {
      this.useTiles = false;
      return;
    }
    if (update.tiles.length + update.copies.length && viewer.open) {
      viewer.push(quality, update, this.since === 0); // a whole frame the encoder chose is an update's cost
      this.shownWidth = width;
    }
    this.since = update.sequence;
    // At most the frame rate: changes meanwhile gather into the next update.
    this.nextAt = onGrid(this.nextAt, started, 1000 / limits.fps);
    this.soonAt = onGrid(this.soonAt, started, 1000 / limits.inputFps);
  }

  async #fromScreenshot(started) {
    const { viewer, limits } = this;
    const { width, quality, native } = viewer.pacer.setting(viewer.requestedWidth);
    const shotWidth = native ? viewer.requestedWidth : width; // a screenshot is never wider than the view
    const jpeg = await this.source.capture(shotWidth, quality, viewer.abort.signal);
    this.failures = 0;
    const hash = crypto.createHash('sha1').update(jpeg).digest('base64');
    if (hash !== this.lastHash && viewer.open) {
      this.lastHash = hash;
      viewer.changedAt = Date.now();
      viewer.push(quality, { full: true, width: shotWidth, height: 0, tiles: [{ x: 0, y: 0, width: 0, height: 0, jpeg }] });
    }
    const interval = Date.now() - viewer.changedAt > limits.stillAfterMs ? limits.stillIntervalMs : 1000 / limits.fps;
    this.nextAt = started + interval;
    this.soonAt = started + 1000 / limits.inputFps;
  }

  #failed(err) {
    this.failures++;
    this.viewer.send({ type: 'error', status: err.status || 502, message: err.message });
    this.lastHash = null; // the first picture after a failure goes out even if unchanged: it says all is well
    this.since = 0;
    this.nextAt = this.soonAt = Date.now() + Math.min(5000, 250 * 2 ** Math.min(this.failures, 5));
  }
}
