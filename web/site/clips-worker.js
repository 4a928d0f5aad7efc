// The clip worker: gives each clip the extraction worker took out of the
// tool's folder a Blob, a blob: URL and its waveform's peaks, reads its rate
// and length from its WAV header, and hands all the extraction worker says
// on to the page, in order. Made here, a URL holds up neither the tool nor
// the page while the browser takes in the clips' bytes, and it outlives an
// extraction worker ended by Cancel. The messages are written down in
// messages.js: PortMessage and RevokeMessage from the page; each
// OutputMessage's WrittenClip rows are passed on as Clip rows.

import { clip } from './clip.js';

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
