// The clip worker: gives each clip the extraction worker took out of the
// tool's folder a Blob, a blob: URL and its waveform's peaks, reads its rate
// and length from its WAV header, and hands all the extraction worker says
// on to the page, in order. Made here, a URL holds up neither the tool nor
// the page while the browser takes in the clips' bytes, and it outlives an
// extraction worker ended by Cancel. The messages are written down in
// messages.js: PortMessage and RevokeMessage from the page; each
// OutputMessage's WrittenClip rows are passed on as Clip rows.

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

/** @param {import('./messages.js').WrittenClip} written */
function clip({ name, bytes }) {
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

function deliver(message) {
  for (const row of message.rows || [])
    if (row.clip)
      row.clip = clip(row.clip);
  postMessage(message);
}

onmessage = (event) => {
  const { type, port, urls } = event.data;
  if (type === 'port')
    port.onmessage = (e) => deliver(e.data);
  else if (type === 'revoke')
    urls.forEach((url) => URL.revokeObjectURL(url));
};
