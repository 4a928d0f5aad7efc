// Replacing clips in the page, in every engine: the rows show the sound
// that will go in, and Download resource gives what the native zumpack
// makes of the same WAV files, which the native zumrip extracts back.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { after, before, test } from 'node:test';
import { unzipSync } from 'fflate';
import { download, inEngines, native, pcm, pick, resource, runNative, screenshots, serve, shown, tone, until, withPage,
         written } from './support.mjs';

const zumpack = join(dirname(native), 'zumpack');

// Four entries, the first reached by two slots; LOW is 11025 Hz; the last
// is named by a byte that is no UTF-8, which the page's file system cannot
// hold, so that its clip cannot be replaced there.
const source = resource([
  { name: 'RISE', rate: 0x0220, samples: tone(3000, 40) },
  { name: 'LOW', rate: 0x0340, samples: tone(2000, 25) },
  { name: 'KEEP', rate: 0x0220, samples: tone(500, 10) },
  { name: Buffer.from([0xe9]), rate: 0x0220, samples: tone(400, 8) },
], [0, 1, 2, 0, 3]);

// Stereo 8-bit at RISE's rate, the channels a level apart in odd places
// (a mean that is a half): it goes to zumpack as it is.
const left = tone(1234, 17);
const eightBit = pcm(22050, 2, 8, Buffer.from([...left].flatMap((s, i) => [s, i % 2 ? s : Math.max(0, s - 1)])));

// 0.5 s of stereo 16-bit at 44100 Hz, a 100 Hz sine on the left and half
// of it on the right: LOW gets their mean, 0.75 of the sine, at 11025 Hz.
// As FLAC where ffmpeg can make it, for a decoder beyond WAV's.
const FRAMES = 22050;
const sine = (i, rate) => 0.8 * Math.sin((2 * Math.PI * 100 * i) / rate);
function stereo() {
  const data = Buffer.alloc(FRAMES * 4);
  for (let i = 0; i < FRAMES; i++) {
    data.writeInt16LE(Math.round(32767 * sine(i, 44100)), 4 * i);
    data.writeInt16LE(Math.round(32767 * 0.5 * sine(i, 44100)), 4 * i + 2);
  }
  const bytes = pcm(44100, 2, 16, data);
  const dir = mkdtempSync(join(tmpdir(), 'zumrip-flac-'));
  try {
    writeFileSync(join(dir, 'in.wav'), bytes);
    const made = spawnSync('ffmpeg', ['-v', 'error', '-i', 'in.wav', 'out.flac'], { cwd: dir });
    return made.status === 0 ? { name: 'voice.flac', bytes: readFileSync(join(dir, 'out.flac')) }
      : { name: 'voice.wav', bytes };
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

// zumpack --from SOURCE with the WAV files {name, bytes}: the result.
function packNative(files) {
  const dir = mkdtempSync(join(tmpdir(), 'zumpack-native-'));
  try {
    writeFileSync(join(dir, 'source.mrv'), source);
    files.forEach((f) => writeFileSync(join(dir, f.name), f.bytes));
    const run = spawnSync(zumpack, ['--from', 'source.mrv', 'out.mrv', ...files.map((f) => f.name)], { cwd: dir });
    assert.equal(run.status, 0, String(run.stderr));
    return readFileSync(join(dir, 'out.mrv'));
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

let server;
before(async () => { server = await serve(); });
after(() => server?.close());

await inEngines((engine) => {
  test('replaced clips show the sound that goes in, and the resource is the one zumpack makes', () =>
    withPage(engine, `${server.origin}/`, async (page) => {
      const [section] = await pick(page, [{ name: 'sounds.mrv', bytes: source }]);
      const input = (row) => `${section} li.clip:nth-child(${row}) input.replace-input`;
      const replace = async (row, file, said) => {
        await page.pick(written([file]), input(row));
        return until(page, (text) => document.getElementById('status').textContent.includes(text) &&
          document.getElementById('status').textContent, said, `the status line saying ${said}`);
      };
      // A file that is no audio leaves the clip as it was, and so does Undo.
      assert.match(await replace(3, { name: 'notes.txt', bytes: Buffer.from('no sound\n') }, 'was not replaced'),
                   /^KEEP\.WAV was not replaced: this browser cannot decode notes\.txt as audio/);
      await replace(3, { name: 'K.WAV', bytes: eightBit }, 'KEEP.WAV replaced with K.WAV.');
      await page.click(`${section} li.clip:nth-child(3) button.undo`);
      await until(page, () => document.getElementById('status').textContent === 'KEEP.WAV is as extracted again.');
      await replace(1, { name: 'RISE.WAV', bytes: eightBit }, 'RISE.WAV replaced with RISE.WAV.');
      const voice = stereo();
      await replace(2, voice, `LOW.WAV replaced with ${voice.name}.`);

      const got = await shown(page, section);
      if (engine === 'chromium') {
        mkdirSync(screenshots, { recursive: true });
        await page.screenshot(join(screenshots, 'zumrip-web-replaced.png'));
      }
      assert.deepEqual(await page.evaluate((s) => [...document.querySelectorAll(`${s} li.clip`)].map((li) =>
        li.classList.contains('replaced') + (li.querySelector('.replace-input') ? '' : ` ${li.querySelector('.replace-none').textContent}`)), section),
                       ['true', 'true', 'false', 'false Name not UTF-8: not replaceable here']);
      assert.match(got.facts[1], new RegExp(`^11,025 Hz · 0\\.50 s · .* · replaced with ${voice.name.replace('.', '\\.')}$`));
      // The 16-bit sound is mixed, resampled and rounded (the resampler's
      // filter differs by engine: a few levels away from the ideal at
      // most). Each row shows what the resource then holds.
      const low = got.files.get('LOW.WAV');
      assert.equal(low.readUInt32LE(24), 11025);
      assert.ok(Math.abs(low.length - 44 - FRAMES / 4) <= 1, `${low.length - 44} samples`);
      const off = [];
      for (let i = 200; i < FRAMES / 4 - 200; i++) {
        const ideal = 128 + Math.floor(128 * 0.75 * sine(i, 11025) + 0.5);
        if (Math.abs(low[44 + i] - ideal) > 3)
          off.push(`sample ${i}: ${low[44 + i]}, ideal ${ideal}`);
      }
      assert.deepEqual(off.slice(0, 5), []);

      // The zip holds the clips as the rows show them.
      const zip = unzipSync((await download(page, '#download-all')).bytes);
      assert.ok(['RISE.WAV', 'LOW.WAV', 'KEEP.WAV'].every((n) => got.files.get(n).equals(zip[n])));

      const saved = await download(page, `${section} button.save-resource`);
      assert.equal(saved.name, 'sounds.mrv');
      assert.ok(saved.bytes.equals(packNative([{ name: 'RISE.WAV', bytes: eightBit }, { name: 'LOW.WAV', bytes: low }])),
                'not what zumpack --from makes');
      const back = runNative('sounds.mrv', saved.bytes).files;
      const before = runNative('sounds.mrv', source).files;
      assert.deepEqual([...back.keys()], [...before.keys()]);
      for (const [name, bytes] of back)
        assert.ok(bytes.equals(got.files.get(name) ?? before.get(name)), name);
    }));
});
