// A moving area of the picture as H.264, decoded by WebCodecs where the browser has it (the server
// sends such a viewer video for it; others get tiles there as everywhere else).
export const kVideoCodec = 'avc1.42E028'; // constrained baseline, level 4: what openh264 writes

// Asked once: whether this browser decodes the stream (WebCodecs needs a secure context).
export const videoSupport = (async () => {
  try {
    if (typeof VideoDecoder !== 'function') return false;
    return (await VideoDecoder.isConfigSupported({ codec: kVideoCodec, optimizeForLatency: true })).supported === true;
  } catch {
    return false;
  }
})();

const kOutputWaitMs = 500; // a decoder that holds a frame back is made to give it

// One socket's stream: access units in order, each decoded frame handed to the update it came in.
export class VideoStream {
  constructor() {
    this.decoder = null;
    this.keyed = false; // a keyframe was decoded: deltas build on it
    this.asked = false; // a keyframe was asked for since the stream broke
    this.waiting = []; // resolvers of the frames not yet out, in order
  }

  // The VideoFrame of this unit (the caller draws and closes it), or null when it cannot be shown
  // (no keyframe yet, a decoding error): a whole frame and a new keyframe mend that.
  decode({ key, chunk }, timestamp) {
    if (!this.decoder) this.#open();
    if (!key && !this.keyed) return Promise.resolve(null);
    this.keyed = true;
    this.asked = false;
    return new Promise((resolve) => {
      this.waiting.push(resolve);
      try {
        this.decoder.decode(new EncodedVideoChunk({ type: key ? 'key' : 'delta', timestamp, data: chunk }));
      } catch {
        this.#failed();
        return;
      }
      setTimeout(() => {
        if (this.waiting.includes(resolve)) this.decoder?.flush().catch(() => {});
      }, kOutputWaitMs);
    });
  }

  // True once after the stream broke: the caller asks the server for a whole frame, which restarts it.
  wantsKeyframe() {
    if (this.keyed || this.asked) return false;
    this.asked = true;
    return true;
  }

  close() {
    this.#failed();
  }

  #open() {
    this.decoder = new VideoDecoder({
      output: (frame) => {
        const resolve = this.waiting.shift();
        if (resolve) resolve(frame);
        else frame.close();
      },
      error: () => this.#failed(),
    });
    this.decoder.configure({ codec: kVideoCodec, optimizeForLatency: true });
    this.keyed = false;
  }

  #failed() {
    const decoder = this.decoder;
    this.decoder = null;
    this.keyed = false;
    for (const resolve of this.waiting.splice(0)) resolve(null);
    if (decoder && decoder.state !== 'closed') decoder.close();
  }
}
