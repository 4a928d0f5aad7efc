// The extraction worker: runs the tool's own main on one resource file at a
// time, in a fresh instance of the compiled tool, as a process would. The
// file is mounted read-only (a file of up to 32 MiB read into memory
// beforehand, a larger one read in pieces as the tool reads it) and linked
// into an empty working directory under the name it was picked by, so that
// the tool names it so. Every clip the tool writes there is taken out as
// soon as its line is finished and sent on with the console text, through
// the clip worker (clips-worker.js), which makes its Blob and URL. The
// messages are written down in messages.js: PortMessage and ExtractMessage
// in; ReadyMessage, OutputMessage<WrittenClip>, EndMessage and ErrorMessage
// out.
import { fileBytes, readMounted, takeOutput } from './emscripten.js';
import createZumrip from './zumrip.js';

const POST_EVERY_MS = 40;   // console text is sent at least this often
const UNFINISHED_MS = 4;    // an unfinished line is sent sooner: a clip follows
const PIECE = 4 << 20;      // the mounted file is read in pieces of this size,
const WHOLE = 32 << 20;     // or whole up to this size,
const PIECES = 4;           // and this many pieces are kept

let out = null;             // the port to the clip worker
let gotPort;
const portGiven = new Promise((done) => { gotPort = done; });

const compiled = fetch(new URL('zumrip.wasm', import.meta.url))
  .then((response) => {
    if (!response.ok)
      throw new Error(`zumrip.wasm: ${response.status} ${response.statusText}`);
    return response.arrayBuffer();
  })
  .then((bytes) => WebAssembly.compile(bytes));
Promise.all([compiled, portGiven]).then(() => out.postMessage({ type: 'ready' }),
  (error) => portGiven.then(() => out.postMessage({ type: 'error', id: null, message: String(error) })));

// A name the file system can hold: the picked name unless it cannot be one.
function linkName(name) {
  return name === '' || name === '.' || name === '..' || /[/\0]/.test(name) ? 'resource' : name;
}

// Reads of the mounted file go through a few large pieces kept in memory:
// every read of a File is a round trip to the browser (about 2 ms here)
// whatever its size, and the tool reads the offset table, each clip's
// header and its samples separately. A read as large as a piece goes
// straight to the file. (Larger pieces would cost fewer round trips, but
// hold the browser up longer each, and the page with it.) A File that cannot
// be read (removed or changed since it was picked) is a read error to the
// tool. whole, when given, is all of file, read beforehand (readWhole),
// which so is never read again. A read that one piece holds is handed on as
// a view of it, not a copy.
function readInPieces(file, whole) {
  const reader = new FileReaderSync();
  const readBytes = (blob, from, to) => new Uint8Array(reader.readAsArrayBuffer(blob.slice(from, to)));
  const kept = whole ? [{ blob: file, start: 0, bytes: whole }] : [];
  const piece = (blob, at) => {
    let found = kept.find((p) => p.blob === blob && at >= p.start && at < p.start + p.bytes.length);
    if (!found) {
      const size = blob.size <= WHOLE ? blob.size : PIECE;
      const start = at - (at % size);
      found = { blob, start, bytes: readBytes(blob, start, start + size) };
      kept.unshift(found);
      kept.length = Math.min(kept.length, PIECES);
    }
    return found;
  };
  return (blob, position, length) => {
    if (position >= blob.size)
      return new Uint8Array(0);
    if (length >= PIECE && !(whole && blob === file))
      return readBytes(blob, position, position + length);
    const first = piece(blob, position);
    if (position + length <= first.start + first.bytes.length || first.start + first.bytes.length === blob.size)
      return first.bytes.subarray(position - first.start, Math.min(position + length, blob.size) - first.start);
    const bytes = new Uint8Array(Math.min(length, blob.size - position));
    for (let done = 0; done < bytes.length;) {
      const at = position + done;
      const p = piece(blob, at);
      const n = Math.min(bytes.length - done, p.start + p.bytes.length - at);
      bytes.set(p.bytes.subarray(at - p.start, at - p.start + n), done);
      done += n;
    }
    return bytes;
  };
}

// The name of the clip a "Creating NAME.WAV... [22KHz] ... Done." line
// reports, as the tool shows it. The name the tool gives ends in ".WAV" and
// holds at most eight characters before it, so the first ".WAV... [" ends it.
function shownName(line) {
  const match = /^Creating (.*?\.WAV)\.\.\. \[/s.exec(line);
  return match ? match[1] : line;
}

// All of a file up to WHOLE, read while the tool's instance is made rather
// than at the tool's first read: the browser reads it meanwhile, without
// holding the worker up (FileReaderSync would, for about 25 ms for 10 MiB).
// null for a larger file, or one that cannot be read as it was picked, so
// that the tool's reads then go to the file and meet what is wrong with it.
function readWhole(file) {
  if (file.size > WHOLE)
    return Promise.resolve(null);
  return file.arrayBuffer().then((buffer) => (buffer.byteLength === file.size ? new Uint8Array(buffer) : null), () => null);
}

async function extract(id, file) {
  const whole = readWhole(file);
  const wasm = await compiled;
  const decoder = new TextDecoder();
  const textDecoder = new TextDecoder();   // across writes: one may end inside a character
  let line = [];          // bytes of the line being printed
  let count = null;       // from "This file has N entries."
  let entries = 0;
  let text = '';          // console text not sent yet
  let rows = [];
  let transfer = [];
  let sent = performance.now();
  let FS = null;
  const errors = [];

  const send = () => {
    out.postMessage({ type: 'output', id, text, rows, entries, count }, transfer);
    text = '';
    rows = [];
    transfer = [];
    sent = performance.now();
  };

  // The clips the tool finished, taken out of its working directory, which
  // so stays empty between clips (but for the link to the input).
  const takeClips = () => {
    const clips = [];
    for (const name of FS.readdir('/work').sort()) {
      const path = `/work/${name}`;
      if (name === '.' || name === '..' || !FS.isFile(FS.lstat(path).mode))
        continue;
      const bytes = fileBytes(FS, path);
      FS.unlink(path);
      clips.push({ name, bytes });
      transfer.push(bytes.buffer);
    }
    return clips;
  };

  const finishLine = () => {
    const shown = decoder.decode(new Uint8Array(line));
    line = [];
    if (count === null) {
      const match = /^This file has (\d+) entries\.$/.exec(shown);
      if (match)
        count = Number(match[1]);
      return;
    }
    entries++;
    const clips = takeClips();
    if (clips.length === 0)
      rows.push({ line: shown });
    for (const clip of clips)
      rows.push({ line: shown, shown: shownName(shown), clip });
  };

  const onOutput = (fd, bytes) => {
    if (fd !== 1) {
      errors.push(decoder.decode(bytes));
      return;
    }
    text += textDecoder.decode(bytes, { stream: true });
    for (const byte of bytes) {
      if (byte === 10)
        finishLine();
      else
        line.push(byte);
    }
    const waited = performance.now() - sent;
    if (waited >= POST_EVERY_MS || (line.length > 0 && waited >= UNFINISHED_MS))
      send();
  };

  const zumrip = await createZumrip({
    instantiateWasm(imports, done) {
      WebAssembly.instantiate(wasm, imports).then((instance) => done(instance));
      return {};
    },
    print: () => {},
    printErr: (message) => errors.push(message),
  });
  FS = zumrip.FS;
  takeOutput(FS, onOutput);
  readMounted(FS, readInPieces(file, await whole));
  const name = linkName(file.name);
  FS.mkdir('/in');
  FS.mount(FS.filesystems.WORKERFS, { blobs: [{ name: 'resource', data: file }] }, '/in');
  FS.mkdir('/work');
  FS.symlink('/in/resource', `/work/${name}`);
  FS.chdir('/work');
  let status;
  const started = performance.now();
  try {
    status = zumrip.callMain([name]);
  } catch (error) {
    send();
    out.postMessage({ type: 'error', id, message: String(error && error.message || error) });
    return;
  }
  send();
  if (errors.length > 0)
    out.postMessage({ type: 'error', id, message: errors.join('') });
  else
    out.postMessage({ type: 'end', id, status: status & 255, took: performance.now() - started });
}

// Files are extracted one after the other, in the order they came.
let queue = Promise.resolve();
onmessage = (event) => {
  const { type, id, file, port } = event.data;
  if (type === 'port') {
    out = port;
    gotPort();
    return;
  }
  queue = queue.then(() => extract(id, file)).catch((error) =>
    out.postMessage({ type: 'error', id, message: String(error && error.message || error) }));
};
