// Buffers a stream to its end, up to a limit. Past the limit the stream is handed to onExcess
// (paused when an answer must still go out on it, destroyed when nothing more is wanted from it)
// and the read fails with tooLarge().
export function readLimited(stream, limit, { tooLarge, brokenOff, onExcess }) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    stream.on('data', (chunk) => {
      size += chunk.length;
      if (size > limit) {
        onExcess(stream);
        reject(tooLarge());
        return;
      }
      chunks.push(chunk);
    });
    stream.on('end', () => resolve(Buffer.concat(chunks)));
    stream.on('error', (err) => reject(brokenOff(err)));
  });
}
