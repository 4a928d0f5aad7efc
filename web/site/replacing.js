// Replacing a clip with any audio file the browser can decode: the file is
// brought to the clip's form (8-bit unsigned mono at the clip's rate),
// which the row then shows and plays, and which zumpack puts into the
// resource (downloads.js). A WAV file already 8-bit at the clip's rate
// goes to zumpack as it is, so that the resource is byte for byte what
// `zumpack --from` makes of it, and read here as zumpack reads it: the
// engines' decoders do not all scale 8-bit samples alike (Chromium's 255
// is 1.0), so that theirs could be a level off.
import { clip as shownClip } from './clip.js';

/**
 * A clip's replacement: the name of the file it came from, the clip as the
 * row shows it, and the WAV file zumpack is given for it.
 * @typedef {{from: string, clip: import('./messages.js').Clip, wav: Blob}} Replacement
 */

const ascii = (bytes, at, length) => String.fromCharCode(...bytes.subarray(at, at + length));

// The samples of bytes when they are a WAV file of plain 8-bit PCM, one or
// two channels, at rate, mixed to one channel as zumpack mixes them (the
// mean, halves up); else null. The chunks are walked as zumpack walks
// them, so that a file read here is read alike there: the first "fmt "
// and "data" count, the RIFF size may shorten the file, and a chunk that
// runs past its end is damage.
function eightBitAt(bytes, rate) {
  if (bytes.length < 12 || ascii(bytes, 0, 4) !== 'RIFF' || ascii(bytes, 8, 4) !== 'WAVE')
    return null;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const end = Math.min(view.getUint32(4, true) + 8, bytes.length);
  let format = null, data = null;
  for (let at = 12; end - at >= 8;) {
    const size = view.getUint32(at + 4, true);
    if (size > end - at - 8)
      return null;
    const id = ascii(bytes, at, 4);
    if (id === 'fmt ' && format === null)
      format = { at: at + 8, size };
    else if (id === 'data' && data === null)
      data = bytes.subarray(at + 8, at + 8 + size);
    at += 8 + size + (size % 2 !== 0 && at + 8 + size < end ? 1 : 0);
  }
  if (format === null || data === null || format.size < 16)
    return null;
  const field16 = (offset) => view.getUint16(format.at + offset, true);
  const channels = field16(2);
  if (field16(0) !== 1 || (channels !== 1 && channels !== 2) || view.getUint32(format.at + 4, true) !== rate ||
      field16(12) !== channels || field16(14) !== 8 || data.length % channels !== 0)
    return null;
  if (channels === 1)
    return data;
  const samples = new Uint8Array(data.length / 2);
  for (let i = 0; i < samples.length; i++)
    samples[i] = Math.floor((data[2 * i] + data[2 * i + 1] - 256) / 2 + 0.5) + 128;
  return samples;
}

// The audio of bytes at rate, in one channel: decodeAudioData resamples to
// its context's rate, and an OfflineAudioContext of one channel mixes the
// channels down (two by their mean) as it renders them.
async function monoAt(bytes, rate) {
  const decoded = await new OfflineAudioContext(1, 1, rate).decodeAudioData(bytes.slice().buffer);
  if (decoded.length === 0)
    return new Float32Array(0);
  const mixer = new OfflineAudioContext(1, decoded.length, rate);
  const source = mixer.createBufferSource();
  source.buffer = decoded;
  source.connect(mixer.destination);
  source.start();
  return (await mixer.startRendering()).getChannelData(0);
}

// Audio as 8-bit unsigned samples: each rounded to the nearest 8-bit
// value (halves up), as zumpack rounds wider ones.
function eightBit(audio) {
  const samples = new Uint8Array(audio.length);
  for (let i = 0; i < audio.length; i++) {
    const v = Math.floor(audio[i] * 128 + 0.5) + 128;
    samples[i] = Number.isNaN(v) ? 128 : Math.min(255, Math.max(0, v));
  }
  return samples;
}

// The WAV file of 8-bit unsigned mono samples at rate, as the tool writes
// one: a 44-byte header, then the samples.
function wavFile(samples, rate) {
  const wav = new Uint8Array(44 + samples.length);
  const view = new DataView(wav.buffer);
  const text = (at, s) => wav.set([...s].map((c) => c.charCodeAt(0)), at);
  text(0, 'RIFF');
  view.setUint32(4, 36 + samples.length, true);
  text(8, 'WAVEfmt ');
  view.setUint32(16, 16, true);
  view.setUint16(20, 1, true);       // PCM
  view.setUint16(22, 1, true);       // one channel
  view.setUint32(24, rate, true);
  view.setUint32(28, rate, true);    // bytes a second
  view.setUint16(32, 1, true);       // bytes a frame
  view.setUint16(34, 8, true);
  text(36, 'data');
  view.setUint32(40, samples.length, true);
  wav.set(samples, 44);
  return wav;
}

/**
 * The replacement that file makes for clip. Rejects with an error that
 * says why when the browser cannot decode the file.
 * @param {File} file
 * @param {import('./messages.js').Clip} clip
 * @returns {Promise<Replacement>}
 */
export async function makeReplacement(file, clip) {
  const bytes = new Uint8Array(await file.arrayBuffer());
  let samples = eightBitAt(bytes, clip.rate);
  const asItIs = samples !== null;
  if (!asItIs) {
    try {
      samples = eightBit(await monoAt(bytes, clip.rate));
    } catch (error) {
      throw new Error(`this browser cannot decode ${file.name} as audio (${error.message || error.name})`);
    }
  }
  const made = shownClip({ name: clip.name, bytes: wavFile(samples, clip.rate) });
  return { from: file.name, clip: made, wav: asItIs ? new Blob([bytes], { type: 'audio/wav' }) : made.blob };
}
