// The clip worker: gives each clip the extraction worker took out of the
// tool's folder a Blob, a blob: URL and its waveform's peaks, and hands all
// the extraction worker says on to the page, in order. Made here, a URL
// holds up neither the tool nor the page while the browser takes in the
// clips' bytes, and it outlives an extraction worker ended by Cancel.
//
// From the page: {type: 'port', port} (the extraction worker's other end)
// and {type: 'revoke', urls}. Each row's clip {name, bytes} is passed on as
// {name, size, header, peaks, blob, url}; header is the WAV's first 44
// bytes.

const PEAK_COLUMNS = 240;   // waveform resolution

// Lowest and highest sample of each column of an 8-bit WAV's samples.
function peaks(bytes) {
  const samples = bytes.subarray(44);
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

function deliver(message) {
  for (const row of message.rows || []) {
    if (!row.clip)
      continue;
    const { name, bytes } = row.clip;
    const blob = new Blob([bytes], { type: 'audio/wav' });
    row.clip = { name, size: bytes.length, header: bytes.slice(0, 44), peaks: peaks(bytes), blob,
                 url: URL.createObjectURL(blob) };
  }
  postMessage(message);
}

onmessage = (event) => {
  const { type, port, urls } = event.data;
  if (type === 'port')
    port.onmessage = (e) => deliver(e.data);
  else if (type === 'revoke')
    urls.forEach((url) => URL.revokeObjectURL(url));
};
