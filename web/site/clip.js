// A clip as the page shows it (messages.js: Clip), made of a WAV file the
// tool wrote, or of one the page made to replace a clip: its Blob and URL,
// its rate and length from its header, and its waveform's peaks.

const PEAK_COLUMNS = 240;   // waveform resolution
const HEADER = 44;          // the WAV header the tool writes

// Lowest and highest sample of each column of an 8-bit WAV's samples (with
// the centre line, 128): pairs.
function peaks(samples) {
  const out = new Uint8Array(PEAK_COLUMNS * 2);
  const per = samples.length / PEAK_COLUMNS;
  for (let c = 0; c < PEAK_COLUMNS; c++) {
    const from = Math.floor(c * per);
    const to = Math.max(from + 1, Math.floor((c + 1) * per));
    let low = 128, high = 128;
    for (let i = from; i < to && i < samples.length; i++) {
      const s = samples[i];
      if (s < low)
        low = s;
      if (s > high)
        high = s;
    }
    out[2 * c] = low;
    out[2 * c + 1] = high;
  }
  return out;
}

/**
 * @param {import('./messages.js').WrittenClip} written
 * @returns {import('./messages.js').Clip}
 */
export function clip({ name, bytes }) {
  const wav = new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const header = new DataView(wav.buffer, wav.byteOffset, Math.min(wav.byteLength, HEADER));
  const whole = header.byteLength === HEADER;
  const blob = new Blob([wav], { type: 'audio/wav' });
  return {
    name, size: wav.length, blob, url: URL.createObjectURL(blob),
    rate: whole ? header.getUint32(24, true) : 0,
    samples: whole ? header.getUint32(40, true) : 0,
    peaks: peaks(wav.subarray(HEADER)),
  };
}
