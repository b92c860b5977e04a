// The live view's pace: how good and how wide a frame may be so that the link carries the frame rate,
// and how many updates may be on their way unacknowledged, from the viewer's acknowledgements and
// the round trips of its pings.

// The settings from the best picture down. First the desktop's own width (the API's widest asks for
// it unscaled), where scrolls are copies: its quality is lowered before it is left, as quality there
// only touches photo-like tiles (text goes as palette PNG, lossless, whenever that is smaller).
// Then the view's width, quality first, then width, so that text stays legible the longest. Every
// setting takes PNG tiles: text stays small at any width.
const kSteps = [
  ...[70, 60, 50, 40].map((quality) => ({ native: true, quality, scale: null })),
  ...[60, 50, 40, 32, 25].map((quality) => ({ native: false, quality, scale: 1 })),
  ...[0.85, 0.7, 0.55, 0.4].map((scale) => ({ native: false, quality: 25, scale })),
];
const kStart = 1; // 60 at the own width, as the polling client asked for
const kLastNative = kSteps.findLastIndex((s) => s.native);
const kLinkSampleBytes = 8192;
const kRttSampleBytes = 2048;
const kNativeRetryMs = 10000; // frames that were too big at the own width are not tried again before

// Pace: the bytes a frame may take so that the link carries the frame rate, with headroom.
export class Pacer {
  constructor({ fps, frameFps = fps }) {
    this.frameMs = 1000 / fps;
    this.fastMs = 1000 / Math.max(fps, frameFps);
    this.step = kStart;
    this.bytesPerMs = null; // link throughput estimate
    this.rttMs = null; // smallest recent round trip of a ping (or a small update), i.e. with an empty link
    this.rtts = [];
    this.size = null; // recent frame size at the current setting
    this.delivered = 0; // bytes acknowledged so far
    this.deliveredAt = null; // and when the last ack came
    this.sinceChange = 0;
    this.roomy = 0;
    this.leftNative = null; // { size, at }: why and when the own width was left
  }

  // native: the desktop's own width (2560 asks for it), where a screenshot is taken at the view's width.
  setting(requestedWidth) {
    const { native, quality, scale } = kSteps[this.step];
    const width = native ? 2560 : Math.max(320, Math.round(requestedWidth * scale));
    return { quality, width, copies: true, native };
  }

  // The time between updates. Where each change is a whole frame of the compositor's, every one may
  // be shown (a terminal printing 50 lines a second), as long as the link carries updates of the
  // recent size that often with the same headroom. X's changes are drawing requests: showing them
  // faster than the frame rate shows half-drawn frames, for more bytes.
  interval(wholeFrames) {
    if (!wholeFrames || this.bytesPerMs === null || this.size === null) return this.frameMs;
    return this.size <= this.bytesPerMs * this.fastMs * 0.8 ? this.fastMs : this.frameMs;
  }

  rtt(ms) {
    this.rtts.push(ms);
    if (this.rtts.length > 8) this.rtts.shift();
    this.rttMs = Math.min(...this.rtts);
  }

  // What an update about to be sent finds acknowledged: given back with its ack (acked's delivered,
  // deliveredAt).
  sent() {
    return { delivered: this.delivered, deliveredAt: this.deliveredAt };
  }

  // One acknowledged frame: the link time is what its ack took beyond a bare round trip, or, on a
  // full link, where it queued behind others, what was acknowledged between the ack before its send
  // and its own, however the viewer bunched its acks within it. (The gap between acks would read the
  // pipeline's cadence, not the link, whenever the round trip is the limit; the round trip alone
  // reads the queueing on a full link as a slower link, and steps down for nothing.)
  // A whole frame of the tiles stream (a join, a refresh) says what the link carries, not what the
  // updates of this setting cost. A small update's time is mostly the viewer's drawing, so it only
  // shows that the link carries at least that much.
  acked({ bytes, sentAt, ackAt, whole = false, delivered = 0, deliveredAt = null }) {
    // A small update's ack is a round trip and little more: a ping answered late (by a page busy
    // starting) is corrected, or every update would seem to cross the link at once.
    if (this.rttMs !== null && bytes <= kRttSampleBytes && ackAt - sentAt < this.rttMs) this.rtt(ackAt - sentAt);
    this.delivered += bytes;
    this.deliveredAt = ackAt;
    const alone = bytes / Math.max(1, ackAt - sentAt - (this.rttMs ?? 0));
    // Over less than a round trip, the acks' bunching would be read as speed.
    const spanned = deliveredAt !== null && ackAt - deliveredAt >= (this.rttMs ?? 0);
    const sample = spanned ? Math.max(alone, (this.delivered - delivered) / Math.max(1, ackAt - deliveredAt)) : alone;
    if (bytes >= kLinkSampleBytes || (this.bytesPerMs !== null && sample > this.bytesPerMs)) {
      this.bytesPerMs = this.bytesPerMs === null ? sample : this.bytesPerMs * 0.7 + sample * 0.3;
    }
    if (whole) return;
    this.size = this.size === null ? bytes : this.size * 0.7 + bytes * 0.3;
    if (this.bytesPerMs === null) return;
    if (++this.sinceChange < 3) return;
    const budget = this.bytesPerMs * this.frameMs * 0.8;
    if (this.size > budget) {
      this.roomy = 0;
      if (this.step === kSteps.length - 1) return;
      if (this.step === kLastNative) this.leftNative = { size: this.size, at: ackAt };
      this.step++;
      this.changed();
    } else if (this.size * 1.6 < budget && ++this.roomy >= 10) {
      this.roomy = 0;
      const nativeFits = !this.leftNative || this.leftNative.size < budget || ackAt - this.leftNative.at > kNativeRetryMs;
      if (this.step === 0 || (this.step === kLastNative + 1 && !nativeFits)) return;
      this.step--;
      this.changed();
    }
  }

  changed() {
    this.sinceChange = 0;
    this.size = null;
  }

  // Unacknowledged updates allowed: enough to cover a round trip at the frame rate, and bytes up to
  // twice the link's bandwidth-delay product, so a long link is not held to two updates per round trip.
  window({ minInFlight, maxInFlight }) {
    const rtt = this.rttMs ?? 0;
    const frames = Math.min(maxInFlight, Math.max(minInFlight, Math.ceil(rtt / this.frameMs) + 2));
    const bytes = this.bytesPerMs === null ? Infinity : Math.max(64 * 1024, 2 * this.bytesPerMs * Math.max(rtt, this.frameMs));
    return { frames, bytes };
  }
}
