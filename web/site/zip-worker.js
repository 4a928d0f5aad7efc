// The zip worker: reads the clips the page holds and packs them into one
// zip with fflate, away from the page's thread.
// From the page: {files: [{path, blob}]}; back: {zip} (a Uint8Array) or {error}.
import { zipSync } from './fflate.js';

onmessage = (event) => {
  try {
    const reader = new FileReaderSync();
    const entries = {};
    for (const { path, blob } of event.data.files)
      entries[path] = new Uint8Array(reader.readAsArrayBuffer(blob));
    const zip = zipSync(entries, { level: 1 });
    postMessage({ zip }, [zip.buffer]);
  } catch (error) {
    postMessage({ error: String(error && error.message || error) });
  }
};
