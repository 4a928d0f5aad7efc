// A run's view: the section that shows one file's extraction (its console
// text, a progress bar, a row per clip), drawn from the run's state by
// render(), the one place that writes it.
import { element, formatBytes, formatSeconds, isolated, numbers } from './dom.js';

/**
 * One file's run, as app.js keeps it.
 * @typedef {object} Run
 * @property {number} id
 * @property {File} file
 * @property {'waiting'|'extracting'|'finished'|'failed'|'cancelled'|'dropped'} phase
 *   dropped: cancelled before it started
 * @property {string} text console text not drawn yet
 * @property {number} entries entries done
 * @property {number | null} count entries in the file, once the tool said
 * @property {({line: string} | {shown: string, clip: import('./messages.js').Clip})[]} rows
 *   in the order they came; a later clip of a name takes the row of the
 *   earlier one, as its file replaces the earlier file
 * @property {Map<string, import('./messages.js').Clip>} clips the clips shown, by their files' names
 * @property {Map<string, import('./replacing.js').Replacement>} replacements
 *   what replaces clips, by the clips' files' names; the rows show them
 * @property {boolean} packing the resource with its clips replaced is being made
 * @property {number} failed entries not extracted
 * @property {number} [status] the tool's exit status
 * @property {number} [took] milliseconds in main
 * @property {string} [error] an error of the page's that ended the run
 */

function clipSummary(run) {
  const clips = run.clips.size;
  let text = `${numbers.format(clips)} ${clips === 1 ? 'clip' : 'clips'}`;
  if (run.failed > 0)
    text += `, ${numbers.format(run.failed)} ${run.failed === 1 ? 'entry' : 'entries'} not extracted`;
  return text;
}

function stateText(run) {
  const entries = numbers.format(run.entries);
  const count = run.count === null ? '?' : numbers.format(run.count);
  switch (run.phase) {
    case 'waiting': return 'Waiting…';
    case 'extracting': return run.count === null ? 'Extracting…' : `Extracting… ${entries} of ${count} entries`;
    case 'finished': return run.status === 0
      ? `Finished in ${formatSeconds(run.took / 1000)}: ${clipSummary(run)}`
      : `Not extracted (the tool ended with status ${run.status})`;
    case 'failed': return `Stopped by an error of the page: ${run.error}`;
    case 'cancelled': return `Cancelled after ${entries} of ${count} entries: ${clipSummary(run)}`;
    case 'dropped': return 'Cancelled before it started';
  }
}

const dataStatus = {
  finished: (run) => String(run.status), failed: () => 'error', cancelled: () => 'cancelled', dropped: () => 'cancelled',
};

// An SVG drawing of the lowest and highest sample of each column (peaks
// holds the pairs): one path, so that a long list of clips stays cheap to
// draw.
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

function failureRow(line) {
  const item = element('li', 'failed');
  item.append(element('span', 'failed-line', line));
  return { item };
}

// A clip's row, named as the tool's line names it, showing the clip or what
// replaced it; its download link carries the file's own name. Its player
// gets its source when it is first reached, or from giveSource(): giving
// every player one at once holds the page up while the browser is busy
// taking in clips. Its Replace button takes an audio file for the clip,
// which actions.replace(name, file) is given; once replaced, its Undo
// button calls actions.restore(name).
function clipRow({ shown, clip: extracted }, replacement, actions) {
  const clip = replacement?.clip ?? extracted;
  const item = element('li', 'clip');
  const name = element('p', 'clip-name');
  name.append(isolated(shown));
  const facts = element('p', 'clip-facts',
    `${numbers.format(clip.rate)} Hz · ${formatSeconds(clip.rate ? clip.samples / clip.rate : 0)} · ${formatBytes(clip.size)}`);
  if (replacement) {
    item.classList.add('replaced');
    const from = element('span', 'clip-replaced', ' · replaced with ');
    from.append(isolated(replacement.from));
    facts.append(from);
  }
  const wave = waveform(clip.peaks);
  wave.setAttribute('aria-label', `Waveform of ${shown}`);
  const audio = element('audio');
  audio.controls = true;
  audio.preload = 'none';
  audio.setAttribute('aria-label', `Play ${shown}`);
  // Once it has a source the player may load it (WebKit's never loads a
  // source that it was told not to preload, even to play it).
  const load = () => {
    if (!audio.hasAttribute('src')) {
      audio.preload = 'auto';
      audio.src = clip.url;
    }
  };
  audio.addEventListener('focus', load);
  audio.addEventListener('pointerdown', load);
  const link = element('a', 'button download', 'Download');
  link.download = clip.name;
  link.href = clip.url;
  link.append(element('span', 'visually-hidden', ` ${shown}`));
  // Names the page's file system could not hold (bytes that are no UTF-8)
  // would not reach their entry: such a clip cannot be replaced here.
  const replacing = element('span', 'replace');
  if (!clip.name.includes('\ufffd')) {
    const input = element('input', 'visually-hidden replace-input');
    input.type = 'file';
    input.accept = 'audio/*,.wav,.mp3,.ogg,.oga,.opus,.flac';
    input.id = `replace-${nextInput++}`;
    const label = element('label', 'button', 'Replace…');
    label.htmlFor = input.id;
    label.append(element('span', 'visually-hidden', ` ${shown}`));
    input.addEventListener('change', () => {
      if (input.files.length > 0)
        actions.replace(extracted.name, input.files[0]);
      input.value = '';
    });
    replacing.append(input, label);
  }
  if (replacement) {
    const undo = element('button', 'button undo', 'Undo');
    undo.type = 'button';
    undo.append(element('span', 'visually-hidden', ` the replacement of ${shown}`));
    undo.addEventListener('click', () => actions.restore(extracted.name));
    replacing.append(undo);
  }
  item.append(name, facts, wave, audio, link, replacing);
  return { item, audio, load };
}
let nextInput = 1;

// A player lets go of its clip before the clip's URL is revoked: revoked
// under a load in progress it would be an error.
function letGo(row) {
  if (row.audio?.hasAttribute('src')) {
    row.audio.removeAttribute('src');
    row.audio.load();
  }
}

/**
 * The view of a run, added to container. Its buttons call replace(name,
 * file) for a clip's Replace, restore(name) for its Undo, and
 * saveResource() for Download resource.
 * @param {Run} run
 * @param {HTMLElement} container
 * @param {{replace: (name: string, file: File) => void, restore: (name: string) => void,
 *          saveResource: () => void}} actions
 */
export function createRunView(run, container, actions) {
  const section = element('section', 'resource');
  const titleId = `resource-${run.id}`;
  section.setAttribute('aria-labelledby', titleId);
  const head = element('div', 'resource-head');
  const title = element('h2');
  title.id = titleId;
  title.append(isolated(run.file.name));
  const size = element('span', 'resource-size', formatBytes(run.file.size));
  const state = element('p', 'resource-state');
  const progress = element('progress');
  progress.setAttribute('aria-label', `Entries of ${run.file.name} done`);
  const saveButton = element('button', 'button save-resource', 'Download resource');
  saveButton.type = 'button';
  saveButton.disabled = true;
  saveButton.append(element('span', 'visually-hidden', ' with its clips replaced'));
  saveButton.addEventListener('click', () => actions.saveResource());
  head.append(title, size, saveButton, state, progress);

  const consoleTitle = element('h3', 'visually-hidden', 'Console output');
  const log = element('pre', 'console');
  log.setAttribute('role', 'log');
  log.setAttribute('aria-label', `Console output for ${run.file.name}`);
  log.tabIndex = 0;
  // The text sits in an inner element of a column laid out from the
  // bottom, which so stays scrolled to its end as lines come.
  const logText = document.createTextNode('');
  const lines = element('span');
  lines.append(logText);
  log.append(lines);

  const clipsTitle = element('h3', 'visually-hidden', 'Clips');
  const list = element('ol', 'clips');
  section.append(head, consoleTitle, log, clipsTitle, list);
  container.append(section);

  const drawn = [];   // {row, replacement, item, audio?} per row of the run, in order

  return {
    // Draws the run as it now is.
    render() {
      if (run.text) {
        logText.appendData(run.text);
        run.text = '';
      }
      const settled = run.phase !== 'waiting' && run.phase !== 'extracting';
      section.setAttribute('aria-busy', String(run.phase === 'extracting'));
      if (settled)
        section.dataset.status = dataStatus[run.phase](run);
      state.textContent = stateText(run);
      const complete = run.phase === 'finished' && run.status === 0;
      if (run.phase === 'dropped' || (settled && !complete && run.phase !== 'cancelled')) {
        progress.max = 1;
        progress.value = 0;
      } else if (run.count !== null) {
        progress.max = Math.max(run.count, 1);
        progress.value = complete ? progress.max : run.entries;
      } else if (complete) {
        progress.max = 1;
        progress.value = 1;
      }
      if (run.phase === 'finished')
        section.dataset.took = run.took.toFixed(1);
      const unchanged = run.replacements.size === 0 || run.packing;
      if (saveButton.disabled !== unchanged)
        saveButton.disabled = unchanged;
      run.rows.forEach((row, i) => {
        const replacement = row.clip && run.replacements.get(row.clip.name);
        if (drawn[i]?.row === row && drawn[i].replacement === replacement)
          return;
        const made = { row, replacement, ...(row.clip ? clipRow(row, replacement, actions) : failureRow(row.line)) };
        if (drawn[i]) {
          // Focus stays in the row: a keyboard user who replaced a clip
          // is still at its Replace button.
          const focused = drawn[i].item.contains(document.activeElement);
          letGo(drawn[i]);
          drawn[i].item.replaceWith(made.item);
          if (focused)
            made.item.querySelector('.replace-input')?.focus();
        } else {
          list.append(made.item);
        }
        drawn[i] = made;
      });
    },
    // Gives the first player still without a source its source; false when
    // there was none.
    giveSource() {
      const row = drawn.find((r) => r.audio && !r.audio.hasAttribute('src'));
      row?.load();
      return row !== undefined;
    },
    // Lets the players go of their clips, and takes the section away.
    remove() {
      drawn.forEach(letGo);
      section.remove();
    },
  };
}
