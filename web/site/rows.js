// A run's rows: a clip's (its name, facts, waveform, player, download link
// and Replace and Undo buttons) and an entry's that was not extracted (its
// console line). Made anew whenever what a row shows changes.
import { element, formatBytes, formatSeconds, isolated, numbers } from './dom.js';

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

export function failureRow(line) {
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
export function clipRow({ shown, clip: extracted }, replacement, actions) {
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
  } else {
    replacing.append(element('span', 'replace-none', 'Name not UTF-8: not replaceable here'));
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
export function letGo(row) {
  if (row.audio?.hasAttribute('src')) {
    row.audio.removeAttribute('src');
    row.audio.load();
  }
}
