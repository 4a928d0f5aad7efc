// A run's view: the section that shows one file's extraction (its console
// text, a progress bar, a row per clip), drawn from the run's state by
// render(), the one place that writes it.
import { element, formatBytes, formatSeconds, isolated, numbers } from './dom.js';
import { clipRow, failureRow, letGo } from './rows.js';

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
  saveButton.append(element('span', 'visually-hidden', ` ${run.file.name} with its clips replaced`));
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
      const nothingToSave = run.replacements.size === 0 || run.packing;
      if (saveButton.disabled !== nothingToSave)
        saveButton.disabled = nothingToSave;
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
