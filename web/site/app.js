// The page: a thin layer over the extraction worker (worker.js), which runs
// the tool itself. Each picked or dropped file gets a section with the
// tool's console text, a progress bar and one row per clip. Everything that
// comes from a file (its name, clip names, console text) goes into the page
// as text, never as markup.

const $ = (id) => document.getElementById(id);
const pick = $('pick');
const drop = $('drop');
const results = $('results');
const statusLine = $('status');
const downloadAllButton = $('download-all');
const cancelButton = $('cancel');
const clearButton = $('clear');

const numbers = new Intl.NumberFormat('en', { maximumFractionDigits: 0 });
const runs = [];        // every file picked, in order
let waiting = [];       // runs not started yet
let current = null;     // the run being extracted
let worker = null;      // runs the tool (worker.js)
let clipWorker = null;  // makes the clips' Blobs and URLs (clips-worker.js)
let nextId = 1;
let zipUrl = null;

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className)
    node.className = className;
  if (text !== undefined)
    node.textContent = text;
  return node;
}

// Text isolated from its surroundings: a name may hold characters that
// reorder the text around it.
function isolated(text) {
  return element('bdi', null, text);
}

function formatBytes(n) {
  if (n < 1000)
    return `${n} bytes`;
  const units = ['kB', 'MB', 'GB'];
  let value = n;
  let unit = -1;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    unit++;
  }
  return `${value.toFixed(value < 10 ? 2 : value < 100 ? 1 : 0)} ${units[unit]}`;
}

function formatSeconds(s) {
  return s < 10 ? `${s.toFixed(2)} s` : s < 60 ? `${s.toFixed(1)} s`
    : `${Math.floor(s / 60)} min ${(s % 60).toFixed(0)} s`;
}

// --- the worker ------------------------------------------------------------

// The extraction worker speaks to the page through the clip worker, which
// lives as long as the page.
function startWorker() {
  if (clipWorker === null) {
    clipWorker = new Worker(new URL('clips-worker.js', import.meta.url), { type: 'module' });
    clipWorker.onmessage = (event) => receive(event.data);
  }
  const channel = new MessageChannel();
  clipWorker.postMessage({ type: 'port', port: channel.port2 }, [channel.port2]);
  worker = new Worker(new URL('worker.js', import.meta.url), { type: 'module' });
  worker.postMessage({ type: 'port', port: channel.port1 }, [channel.port1]);
  worker.onerror = (event) => {
    event.preventDefault();
    failRun(current, event.message || 'the extraction worker could not start');
  };
}

// What the workers say is taken in once a frame (a large file sends much),
// or after 100 ms in a page out of sight, which is given no frames.
let inbox = [];
function receive(message) {
  inbox.push(message);
  if (inbox.length > 1)
    return;
  const takeIn = () => {
    const messages = inbox;
    inbox = [];
    messages.forEach(onWorkerMessage);
  };
  requestAnimationFrame(takeIn);
  setTimeout(takeIn, 100);
}

function onWorkerMessage(message) {
  const run = runs.find((r) => r.id === message.id);
  if (message.type === 'ready')
    return;
  if (message.type === 'error' && (run === undefined || run === current)) {
    failRun(current, message.message);
    return;
  }
  if (!run || run !== current) {   // what was on its way when Cancel was pressed
    for (const row of message.rows || [])
      if (row.clip)
        clipWorker.postMessage({ type: 'revoke', urls: [row.clip.url] });
    return;
  }
  if (message.type === 'output')
    showOutput(run, message);
  else if (message.type === 'end')
    endRun(run, message.status, message.took);
}

function startNext() {
  if (current !== null || waiting.length === 0) {
    if (current === null)
      givePlayersSources();
    updateControls();
    return;
  }
  current = waiting.shift();
  current.state.textContent = 'Extracting…';
  current.section.setAttribute('aria-busy', 'true');
  worker.postMessage({ type: 'extract', id: current.id, file: current.file });
  updateControls();
}

function addFiles(files) {
  for (const file of files) {
    const run = createRun(file);
    runs.push(run);
    waiting.push(run);
  }
  if (files.length > 0)
    statusLine.textContent = '';
  startNext();
}

// --- one file --------------------------------------------------------------

function createRun(file) {
  const id = nextId++;
  const run = { id, file, clips: new Map(), failed: 0, count: null, entries: 0 };
  const section = element('section', 'resource');
  const titleId = `resource-${id}`;
  section.setAttribute('aria-labelledby', titleId);
  const head = element('div', 'resource-head');
  const title = element('h2');
  title.id = titleId;
  title.append(isolated(file.name));
  const size = element('span', 'resource-size', formatBytes(file.size));
  run.state = element('p', 'resource-state', 'Waiting…');
  run.progress = element('progress');
  run.progress.setAttribute('aria-label', `Entries of ${file.name} done`);
  head.append(title, size, run.state, run.progress);

  const consoleTitle = element('h3', 'visually-hidden', 'Console output');
  run.log = element('pre', 'console');
  run.log.setAttribute('role', 'log');
  run.log.setAttribute('aria-label', `Console output for ${file.name}`);
  run.log.tabIndex = 0;
  // The text sits in an inner element of a column laid out from the
  // bottom, which so stays scrolled to its end as lines come.
  run.logText = document.createTextNode('');
  const lines = element('span');
  lines.append(run.logText);
  run.log.append(lines);

  const clipsTitle = element('h3', 'visually-hidden', 'Clips');
  run.list = element('ol', 'clips');
  section.append(head, consoleTitle, run.log, clipsTitle, run.list);
  results.append(section);
  run.section = section;
  return run;
}

function showOutput(run, message) {
  run.logText.appendData(message.text);
  run.count = message.count;
  run.entries = message.entries;
  if (run.count !== null) {
    run.progress.max = Math.max(run.count, 1);
    run.progress.value = run.entries;
    run.state.textContent = `Extracting… ${numbers.format(run.entries)} of ${numbers.format(run.count)} entries`;
  }
  for (const row of message.rows) {
    if (row.clip)
      showClip(run, row.clip, row.line);
    else
      showFailure(run, row.line);
  }
  updateControls();
}

function showFailure(run, line) {
  run.failed++;
  const item = element('li', 'failed');
  item.append(element('span', 'failed-line', line));
  run.list.append(item);
}

// The name of the clip a "Creating NAME... [22KHz] ... Done." line reports,
// as the tool shows it: bytes of it that could hide or reorder text are '?'.
function shownName(line) {
  return line.slice('Creating '.length, line.length - '... [22KHz] ... Done.'.length);
}

// A later clip of the same name takes the row of the earlier one, as its
// file replaces the earlier file. The row names the clip as the tool's line
// does; its download link carries the file's own name.
function showClip(run, clip, line) {
  const header = new DataView(clip.header.buffer, clip.header.byteOffset, clip.header.byteLength);
  const rate = header.byteLength >= 44 ? header.getUint32(24, true) : 0;
  const samples = header.byteLength >= 44 ? header.getUint32(40, true) : 0;
  const { blob, url } = clip;

  const item = element('li', 'clip');
  const name = element('p', 'clip-name');
  const label = shownName(line);
  name.append(isolated(label));
  const facts = element('p', 'clip-facts',
    `${numbers.format(rate)} Hz · ${formatSeconds(rate ? samples / rate : 0)} · ${formatBytes(clip.size)}`);
  const wave = waveform(clip.peaks);
  wave.setAttribute('aria-label', `Waveform of ${label}`);
  // The player gets its source when it is first reached, or once no file
  // is being extracted (see givePlayersSources): giving it one holds the
  // page up while the browser is busy taking in clips.
  const audio = element('audio');
  audio.controls = true;
  audio.preload = 'none';
  audio.setAttribute('aria-label', `Play ${label}`);
  const load = () => {
    if (!audio.hasAttribute('src'))
      audio.src = run.clips.get(clip.name).url;
  };
  audio.addEventListener('focus', load);
  audio.addEventListener('pointerdown', load);
  const link = element('a', 'button download', 'Download');
  link.download = clip.name;
  link.href = url;
  link.append(element('span', 'visually-hidden', ` ${label}`));
  item.append(name, facts, wave, audio, link);

  const earlier = run.clips.get(clip.name);
  if (earlier) {
    earlier.item.replaceWith(item);
    release(earlier);
  } else {
    run.list.append(item);
  }
  run.clips.set(clip.name, { item, url, blob, audio });
}

// WebKit has no requestIdleCallback: a short timer stands in for it there.
const whenIdle = 'requestIdleCallback' in globalThis ? (callback) => requestIdleCallback(callback)
  : (callback) => setTimeout(callback, 50);

// Gives the players still without a source theirs, one at a time while the
// page is idle, from a second after the last file was extracted on.
let givingSources = null;
function givePlayersSources() {
  clearTimeout(givingSources);
  const next = () => whenIdle(() => {
    if (current !== null)
      return;
    for (const run of runs)
      for (const clip of run.clips.values())
        if (!clip.audio.hasAttribute('src')) {
          clip.audio.src = clip.url;
          next();
          return;
        }
  });
  givingSources = setTimeout(next, 1000);
}

// Frees a clip's bytes once its row is gone. Its player lets go of them
// first: revoked under a load in progress they would be an error. The clip
// worker revokes the URLs it made.
function release(clip) {
  if (clip.audio.hasAttribute('src')) {
    clip.audio.removeAttribute('src');
    clip.audio.load();
  }
  clipWorker.postMessage({ type: 'revoke', urls: [clip.url] });
}

// An SVG drawing of the lowest and highest sample of each column (peaks
// holds the pairs, worked out by the worker from the WAV's samples): one
// path, so that a long list of clips stays cheap to draw.
function waveform(peaks) {
  const svg = 'http://www.w3.org/2000/svg';
  const columns = peaks.length / 2;
  const picture = document.createElementNS(svg, 'svg');
  picture.setAttribute('class', 'wave');
  picture.setAttribute('viewBox', `0 0 ${columns} 256`);
  picture.setAttribute('preserveAspectRatio', 'none');
  picture.setAttribute('role', 'img');
  let d = `M0 127.5H${columns}`;
  for (let c = 0; c < columns; c++) {
    const low = peaks[2 * c], high = peaks[2 * c + 1];
    d += `M${c} ${255 - high}h1V${256 - low}h-1z`;
  }
  const path = document.createElementNS(svg, 'path');
  path.setAttribute('d', d);
  picture.append(path);
  return picture;
}

function clipSummary(run) {
  const clips = run.clips.size;
  let text = `${numbers.format(clips)} ${clips === 1 ? 'clip' : 'clips'}`;
  if (run.failed > 0)
    text += `, ${numbers.format(run.failed)} ${run.failed === 1 ? 'entry' : 'entries'} not extracted`;
  return text;
}

function settle(run, state) {
  run.section.setAttribute('aria-busy', 'false');
  run.state.textContent = state;
  if (run === current)
    current = null;
  startNext();
}

function endRun(run, status, took) {
  run.section.dataset.took = took.toFixed(1);
  if (status === 0) {
    run.progress.max = Math.max(run.count || 0, 1);
    run.progress.value = run.progress.max;
    settle(run, `Finished in ${formatSeconds(took / 1000)}: ${clipSummary(run)}`);
  } else {
    run.progress.max = 1;
    run.progress.value = 0;
    settle(run, `Not extracted (the tool ended with status ${status})`);
  }
  run.section.dataset.status = String(status);
}

function failRun(run, message) {
  console.error(`zumrip: ${message}`);
  if (!run) {
    statusLine.textContent = `The extraction could not start: ${message}`;
    return;
  }
  run.section.dataset.status = 'error';
  settle(run, `Stopped by an error of the page: ${message}`);
}

// --- controls --------------------------------------------------------------

function updateControls() {
  const set = (button, disabled) => {
    if (button.disabled !== disabled)
      button.disabled = disabled;
  };
  set(cancelButton, current === null);
  set(downloadAllButton, !runs.some((run) => run.clips.size > 0));
  set(clearButton, runs.length === 0 || current !== null);
}

// Ends the run under way and drops the files still waiting; the clips
// finished so far stay.
function cancel() {
  if (current === null)
    return;
  worker.terminate();
  const run = current;
  current = null;
  run.progress.max = Math.max(run.count || 0, 1);
  run.progress.value = run.entries;
  run.section.dataset.status = 'cancelled';
  settle(run, `Cancelled after ${numbers.format(run.entries)} of ${run.count === null ? '?' : numbers.format(run.count)} entries: ${clipSummary(run)}`);
  for (const left of waiting) {
    left.section.dataset.status = 'cancelled';
    left.progress.max = 1;
    left.progress.value = 0;
    left.state.textContent = 'Cancelled before it started';
  }
  waiting = [];
  startWorker();
  updateControls();
  statusLine.textContent = 'Cancelled.';
}

function clear() {
  if (current !== null)
    return;
  for (const run of runs)
    for (const clip of run.clips.values())
      release(clip);
  runs.length = 0;
  results.replaceChildren();
  statusLine.textContent = 'Cleared.';
  updateControls();
  pick.focus();
}

// A folder name for a resource file in the zip: its name, made unique.
function folderName(name, used) {
  const base = name.replace(/[/\\\0-\x1f]/g, '_').replace(/^\.{1,2}$/, '_') || 'resource';
  let folder = base;
  for (let n = 2; used.has(folder.toLowerCase()); n++)
    folder = `${base} (${n})`;
  used.add(folder.toLowerCase());
  return folder;
}

// One zip of every clip shown; a folder per resource file when there are
// several. Packed by the zip worker.
function downloadAll() {
  const withClips = runs.filter((run) => run.clips.size > 0);
  if (withClips.length === 0)
    return;
  const several = withClips.length > 1;
  const used = new Set();
  const files = [];
  for (const run of withClips) {
    const folder = several ? `${folderName(run.file.name, used)}/` : '';
    for (const [name, clip] of run.clips)
      files.push({ path: folder + name, blob: clip.blob });
  }
  const zipName = several ? 'zumrip-clips.zip'
    : `${withClips[0].file.name.replace(/\.[^.]*$/, '') || 'resource'}-clips.zip`;
  downloadAllButton.disabled = true;
  statusLine.textContent = 'Packing the zip…';
  const zipper = new Worker(new URL('zip-worker.js', import.meta.url), { type: 'module' });
  zipper.onmessage = (event) => {
    zipper.terminate();
    updateControls();
    if (event.data.error) {
      console.error(`zumrip: zip: ${event.data.error}`);
      statusLine.textContent = `The zip could not be made: ${event.data.error}`;
      return;
    }
    if (zipUrl)
      URL.revokeObjectURL(zipUrl);
    zipUrl = URL.createObjectURL(new Blob([event.data.zip], { type: 'application/zip' }));
    const link = element('a');
    link.href = zipUrl;
    link.download = zipName;
    link.click();
    statusLine.textContent = `${zipName}: ${numbers.format(files.length)} clips, ${formatBytes(event.data.zip.length)}.`;
  };
  zipper.postMessage({ files });
}

pick.addEventListener('change', () => {
  addFiles([...pick.files]);
  pick.value = '';
});
cancelButton.addEventListener('click', cancel);
clearButton.addEventListener('click', clear);
downloadAllButton.addEventListener('click', downloadAll);

// Files may be dropped anywhere on the page.
let dragDepth = 0;
document.addEventListener('dragenter', (event) => {
  if (!event.dataTransfer || ![...event.dataTransfer.types].includes('Files'))
    return;
  dragDepth++;
  drop.classList.add('dragging');
});
document.addEventListener('dragleave', () => {
  dragDepth = Math.max(0, dragDepth - 1);
  if (dragDepth === 0)
    drop.classList.remove('dragging');
});
document.addEventListener('dragover', (event) => {
  event.preventDefault();
  if (event.dataTransfer)
    event.dataTransfer.dropEffect = 'copy';
});
document.addEventListener('drop', (event) => {
  event.preventDefault();
  dragDepth = 0;
  drop.classList.remove('dragging');
  if (event.dataTransfer)
    addFiles([...event.dataTransfer.files]);
});

startWorker();
updateControls();

if ('serviceWorker' in navigator) {
  navigator.serviceWorker.register('sw.js').catch((error) =>
    console.warn(`zumrip: offline use is not available: ${error.message}`));
}
