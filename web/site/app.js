// The page: a thin layer over the workers that run the tool itself
// (extraction.js). Each picked or dropped file is a run, extracted one
// after the other and drawn by a view of its own (run-view.js); the clips
// can be saved one by one or in one zip (downloads.js), replaced by other
// sounds and put back into their resource (edits.js).
import { formatBytes, numbers } from './dom.js';
import { zipClips } from './downloads.js';
import { createEdits } from './edits.js';
import { createExtraction } from './extraction.js';
import { takeFiles } from './picking.js';
import { createRunView } from './run-view.js';

/** @typedef {import('./run-view.js').Run} Run */

const $ = (id) => document.getElementById(id);
const pick = $('pick');
const results = $('results');
const statusLine = $('status');
const downloadAllButton = $('download-all');
const cancelButton = $('cancel');
const clearButton = $('clear');

/** @type {{run: Run, view: ReturnType<typeof createRunView>}[]} */
const runs = [];       // every file picked, in order, with its view
let current = null;    // the one being extracted
let zipping = false;
let nextId = 1;

const extraction = createExtraction(takeIn, (message) => fail(message));
const edits = createEdits((text) => { statusLine.textContent = text; }, (entry) => runs.includes(entry));

// Takes in what the workers said: each run's state is brought up to date,
// then drawn once.
function takeIn(messages) {
  const changed = new Set();
  const freed = [];   // URLs of clips no longer shown
  for (const message of messages) {
    if (message.type === 'ready')
      continue;
    const entry = runs.find((e) => e.run.id === message.id);
    if (message.type === 'error' && (entry === undefined || entry === current)) {
      fail(message.message);
      continue;
    }
    if (entry === undefined || entry !== current) {   // on its way when Cancel was pressed
      for (const row of message.rows || [])
        if (row.clip)
          freed.push(row.clip.url);
      continue;
    }
    const run = entry.run;
    changed.add(entry);
    if (message.type === 'end') {
      Object.assign(run, { phase: 'finished', status: message.status, took: message.took });
      current = null;
      continue;
    }
    run.text += message.text;
    run.count = message.count;
    run.entries = message.entries;
    for (const row of message.rows) {
      if (!row.clip) {
        run.failed++;
        run.rows.push({ line: row.line });
        continue;
      }
      const shown = { shown: row.shown, clip: row.clip };
      const earlier = run.clips.get(row.clip.name);
      if (earlier) {
        run.rows[run.rows.findIndex((r) => r.clip === earlier)] = shown;
        freed.push(earlier.url);
      } else {
        run.rows.push(shown);
      }
      run.clips.set(row.clip.name, row.clip);
    }
  }
  changed.forEach((entry) => entry.view.render());
  extraction.revoke(freed);   // once drawn: the players have let go of them
  startNext();
}

// An error of the page's ends the run under way, or says that extraction
// could not start.
function fail(message) {
  console.error(`zumrip: ${message}`);
  if (current === null) {
    statusLine.textContent = `The extraction could not start: ${message}`;
    return;
  }
  Object.assign(current.run, { phase: 'failed', error: message });
  current.view.render();
  current = null;
  startNext();
}

function startNext() {
  if (current === null) {
    current = runs.find((e) => e.run.phase === 'waiting') || null;
    if (current) {
      current.run.phase = 'extracting';
      current.view.render();
      extraction.extract(current.run.id, current.run.file);
    } else {
      givePlayersSources();
    }
  }
  updateControls();
}

function addFiles(files) {
  for (const file of files) {
    /** @type {Run} */
    const run = { id: nextId++, file, phase: 'waiting', text: '', entries: 0, count: null, rows: [],
                  clips: new Map(), replacements: new Map(), packing: false, failed: 0 };
    const entry = { run, view: null };
    entry.view = createRunView(run, results, {
      replace: (name, replacing) => edits.replace(entry, name, replacing),
      restore: (name) => edits.restore(entry, name),
      saveResource: () => edits.saveResource(entry),
    });
    entry.view.render();
    runs.push(entry);
  }
  if (files.length > 0)
    statusLine.textContent = '';
  startNext();
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
    if (current === null && runs.some((e) => e.view.giveSource()))
      next();
  });
  givingSources = setTimeout(next, 1000);
}

function updateControls() {
  const set = (button, disabled) => {
    if (button.disabled !== disabled)
      button.disabled = disabled;
  };
  set(cancelButton, current === null);
  set(downloadAllButton, zipping || !runs.some((e) => e.run.clips.size > 0));
  set(clearButton, runs.length === 0 || current !== null);
}

// Ends the run under way and drops the files still waiting; the clips
// finished so far stay.
function cancel() {
  if (current === null)
    return;
  extraction.restart();
  current.run.phase = 'cancelled';
  for (const entry of runs)
    if (entry.run.phase === 'waiting')
      entry.run.phase = 'dropped';
  runs.forEach((e) => e.view.render());
  current = null;
  updateControls();
  statusLine.textContent = 'Cancelled.';
}

function clear() {
  if (current !== null)
    return;
  for (const { run, view } of runs) {
    view.remove();
    extraction.revoke([...run.clips.values()].map((clip) => clip.url));
    run.replacements.forEach((r) => URL.revokeObjectURL(r.clip.url));
  }
  runs.length = 0;
  statusLine.textContent = 'Cleared.';
  updateControls();
  pick.focus();
}

function downloadAll() {
  const withClips = runs.map((e) => e.run).filter((run) => run.clips.size > 0);
  if (withClips.length === 0 || zipping)
    return;
  zipping = true;
  updateControls();
  statusLine.textContent = 'Packing the zip…';
  zipClips(withClips).then(
    (zip) => { statusLine.textContent = `${zip.name}: ${numbers.format(zip.clips)} clips, ${formatBytes(zip.size)}.`; },
    (error) => {
      console.error(`zumrip: zip: ${error.message}`);
      statusLine.textContent = `The zip could not be made: ${error.message}`;
    }).finally(() => {
    zipping = false;
    updateControls();
  });
}

takeFiles(pick, $('drop'), addFiles);
cancelButton.addEventListener('click', cancel);
clearButton.addEventListener('click', clear);
downloadAllButton.addEventListener('click', downloadAll);
updateControls();

if ('serviceWorker' in navigator) {
  navigator.serviceWorker.register('sw.js').catch((error) =>
    console.warn(`zumrip: offline use is not available: ${error.message}`));
}
