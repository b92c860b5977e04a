// What the live view sends one viewer, and when: updates from the /tiles long poll at most at the
// frame rate (faster for a moment after an input, and for a compositor's whole frames while the link
// carries them: Pacer.interval), or, from an app without /tiles, whole screenshots
// compared by hash, slower while the screen is still; never more than the pacer's window lets be
// unacknowledged; after a failure, an error message and a growing pause. A viewer that draws the
// pointer itself gets its place and shape as messages of their own, apart from the updates.
import crypto from 'node:crypto';
import { setTimeout as sleep } from 'node:timers/promises';

// The next time on a fixed grid while the stream keeps up with it, so that timers firing late do
// not lower the rate.
const onGrid = (at, started, interval) => (started >= at && started - at < interval / 2 ? at : started) + interval;

// A moving area's video may take half of what the link carries (the app holds it to what the area
// needs); before the link is known, the app's own bound.
const kVideoStillMs = 200; // a video unchanged this long has stopped: the app sends its area as tiles
const videoBitrate = ({ bytesPerMs }) => (bytesPerMs === null ? 50e6 : Math.round(Math.min(50e6, Math.max(1e5, bytesPerMs * 8000 * 0.5))));

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
    this.frame = null; // { width, height } of the viewer's picture, once it has one
    this.pointer = null; // the desktop's pointer as /pointer last told it
    this.sentPointer = ''; // the last pointer message, as sent
    this.sentShape = ''; // the serial and picture width of the last shape sent
    this.shape = null; // the last shape fetched
  }

  // Runs until the viewer's socket closes.
  async run() {
    const { viewer, limits } = this;
    if (viewer.drawsPointer) {
      this.#followPointer().catch((err) => viewer.log(`Live pointer failed: ${String(err?.message ?? err).slice(0, 200)}`));
    }
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
      const video = viewer.video ? { bitrate: videoBitrate(viewer.pacer), width: viewer.requestedWidth } : null;
      const wait = this.videoShown ? kVideoStillMs : limits.tilesWaitMs;
      update = await viewer.pollTiles((signal) => this.source.tiles(this.since, width, quality, copies, signal, viewer.drawsPointer, video, wait));
    } catch (err) {
      if (err.status === 499 && !viewer.abort.signal.aborted) return; // cut short for a new width
      throw err;
    }
    this.failures = 0;
    if (update === null) {
      this.useTiles = false;
      return;
    }
    this.videoShown = Boolean(update.video);
    if ((update.tiles.length + update.copies.length || update.video) && viewer.open) {
      viewer.push(quality, update, this.since === 0); // a whole frame the encoder chose is an update's cost
      this.shownWidth = width;
      if (update.full) {
        this.frame = { width: update.width, height: update.height };
        this.#sendPointer(); // in the new picture's pixels
      }
    }
    this.since = update.sequence;
    // At most the frame rate: changes meanwhile gather into the next update.
    this.nextAt = onGrid(this.nextAt, started, viewer.pacer.interval(update.frames === true));
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

  // Polls the app's pointer for as long as the viewer is open and the stream has tiles (a screenshot
  // has the cursor drawn in); sends at most one message per frame interval, the newest.
  async #followPointer() {
    const { viewer, source, limits } = this;
    let since = 0;
    let failures = 0;
    while (viewer.open && this.useTiles) {
      let state;
      try {
        state = await source.pointer(since, viewer.abort.signal);
        failures = 0;
      } catch (err) {
        if (!viewer.open) return;
        await sleep(Math.min(5000, 250 * 2 ** Math.min(++failures, 5)), null, { signal: viewer.abort.signal }).catch(() => {});
        continue;
      }
      if (state === null) return; // the app cannot tell it
      since = state.sequence;
      this.pointer = state;
      await this.#sendShape();
      this.#sendPointer();
      await sleep(1000 / limits.fps, null, { signal: viewer.abort.signal }).catch(() => {});
    }
  }

  // The pointer in the picture's pixels, when it differs from what the viewer has.
  #sendPointer() {
    const { viewer, pointer, frame } = this;
    if (!pointer?.sequence || !frame || !pointer.width) return;
    if (viewer.ws.bufferedAmount > this.limits.maxBufferedBytes) return; // the next one will say it
    const k = frame.width / pointer.width;
    const message = { type: 'pointer', x: Math.round(pointer.x * k), y: Math.round(pointer.y * k), visible: pointer.visible };
    const text = JSON.stringify(message);
    if (text === this.sentPointer) return;
    if (this.shape && this.sentShape !== `${this.shape.serial}/${frame.width}`) this.#sendShapeMessage();
    this.sentPointer = text;
    viewer.send(message);
  }

  // Fetches the shape when its serial is new; a failure leaves the last one.
  async #sendShape() {
    const { pointer } = this;
    if (!pointer?.sequence || this.shape?.serial === pointer.serial) return;
    try {
      this.shape = await this.source.pointerShape(this.viewer.abort.signal);
    } catch {
      return;
    }
    this.#sendShapeMessage();
  }

  // The shape scaled to the picture's pixels, its PNG as a data URL.
  #sendShapeMessage() {
    const { shape, frame, pointer } = this;
    if (!shape || !frame || !pointer?.width) return;
    const k = frame.width / pointer.width;
    const r = (v) => Math.round(v * k * 100) / 100;
    this.sentShape = `${shape.serial}/${frame.width}`;
    this.viewer.send({
      type: 'pointer-shape',
      serial: shape.serial,
      width: r(shape.width),
      height: r(shape.height),
      hotX: r(shape.hotX),
      hotY: r(shape.hotY),
      url: `data:image/png;base64,${shape.png.toString('base64')}`,
    });
  }

  #failed(err) {
    this.failures++;
    this.viewer.send({ type: 'error', status: err.status || 502, message: err.message });
    this.lastHash = null; // the first picture after a failure goes out even if unchanged: it says all is well
    this.since = 0;
    this.nextAt = this.soonAt = Date.now() + Math.min(5000, 250 * 2 ** Math.min(this.failures, 5));
  }
}
