// The page in every engine: the tool's console text and files as the
// native build gives them, the waveforms, the zip, playing, hostile names,
// keyboard, accessibility, the security policy, offline use, and no request
// or error beyond what is expected.
import assert from 'node:assert/strict';
import { readFileSync, mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { unzipSync } from 'fflate';
import { download, dropFiles, example, inEngines, loaded, pick, resource, runNative, screenshots, sectionAt, serve, settled,
         shown, tone, until, withPage } from './support.mjs';

const axe = readFileSync(new URL('../node_modules/axe-core/axe.min.js', import.meta.url), 'utf8');

// Resources that reach every line the tool prints for an entry that the
// page can meet, and files that are no resource or hold none.
const hostile = '<zq>Q</z';   // refused by the tool: it holds a '/'
const markup = '<img a>';     // written
function mixed() {
  const file = resource([
    { name: 'RISE', rate: 0x0220, samples: tone(3000, 40) },
    { name: 'LOW', rate: 0x0340, samples: tone(2000, 25) },
    { name: 'ODD', rate: 0x1234, samples: 'odd' },
    { name: 'B', rate: 0x0340, samples: 'first' },
    { name: hostile, rate: 0x0220, samples: tone(500, 10) },
    { name: markup, rate: 0x0340, samples: tone(500, 10) },
    { name: '\u00e9t\u00e9\u202e', rate: 0x0220, samples: 'bidi' },
    { name: 'sub/X', rate: 0x0220, samples: 'x' },
    { name: '..', rate: 0x0340, samples: 'dots' },
    { name: 'BIG', rate: 0x0220, samples: '', declared: 0xffffffdc },
    { name: 'B', rate: 0x0220, samples: 'second' },
    { name: 'CUT', rate: 0x0340, samples: 'zz', declared: 600 },
  ], [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 11]);
  file.writeUInt32LE(file.length + 100, 6 + 4 * 11);  // slot 11 lies past the end
  return file;
}
const tones = readFileSync(example);
const inputs = [
  { name: 'tones.mrv', bytes: tones },
  { name: 'mixed.mrv', bytes: mixed() },
  { name: 'cut short.mrv', bytes: tones.subarray(0, Math.floor(tones.length * 0.6)) },
  { name: 'notes.txt', bytes: Buffer.from('These are no sounds.\n') },
  { name: 'empty.mrv', bytes: Buffer.from('MSRV\0\0') },
];

let server;
before(async () => { server = await serve(); });
after(() => server?.close());

// A picture of the top of the page at a width, as tall as it is up to
// height: the viewport is made that tall, as rows out of view are not drawn.
async function screenshot(page, name, width, height) {
  mkdirSync(screenshots, { recursive: true });
  await page.viewport(width, 800);
  const full = await page.evaluate(() => document.documentElement.scrollHeight);
  await page.viewport(width, Math.min(full, height));
  await page.evaluate(() => new Promise((done) => {
    scrollTo(0, 0);
    requestAnimationFrame(() => requestAnimationFrame(done));
  }));
  await page.screenshot(join(screenshots, name));
  await page.viewport(1100, 800);
}

// Each column of a waveform reaches from the centre line to the lowest and
// the highest sample of its part of the clip (y 255 - s is the top of
// sample s, 256 - s its bottom).
function checkWave(wave, wav, what) {
  const columns = Number(wave.box.split(' ')[2]);
  const samples = wav.subarray(44);
  const per = samples.length / columns;
  const bars = [...wave.d.matchAll(/M(\d+) (-?[\d.]+)h1V(-?[\d.]+)h-1z/g)];
  assert.equal(bars.length, columns, what);
  const wrong = [];
  for (const [, column, top, bottom] of bars) {
    const c = Number(column);
    const from = Math.floor(c * per);
    const part = [...samples.subarray(from, Math.max(from + 1, Math.floor((c + 1) * per))), 128];
    const want = [Math.min(...part), Math.max(...part)];
    const drawn = [256 - Number(bottom), 255 - Number(top)];
    if (drawn[0] !== want[0] || drawn[1] !== want[1])
      wrong.push(`column ${c}: drawn ${drawn}, samples ${want}`);
  }
  assert.deepEqual(wrong.slice(0, 5), [], what);
}

// The clips in the order the tool first wrote each name, and the lines of
// entries that wrote none.
function expectedRows(text) {
  const lines = text.split('\n').slice(4).filter((line) => line !== '');
  const names = [];
  for (const line of lines) {
    const name = /^Creating (.*)\.\.\. \[\d\dKHz\] \.\.\. Done\.$/.exec(line)?.[1];
    if (name && !names.includes(name))
      names.push(name);
  }
  return { names, failed: lines.filter((line) => !line.endsWith('Done.')) };
}

await inEngines((engine) => {
  const url = () => `${server.origin}/`;
  const shot = (name) => (engine === 'chromium' ? name : name.replace(/\.png$/, `-${engine}.png`));

  test('each file gives the console text and files of the native tool, and waveforms of their samples', () =>
    withPage(engine, url(), async (page) => {
      for (const input of inputs) {
        if (input === inputs[2])   // the example and the mixed file
          await screenshot(page, shot('zumrip-web.png'), 1100, 2000);
        const [section] = await pick(page, [input]);
        const got = await shown(page, section);
        const want = runNative(input.name, input.bytes);
        assert.equal(got.text, want.text, input.name);
        assert.equal(got.status, String(want.status), input.name);
        assert.deepEqual(got.files, want.files, input.name);
        // A row per file, named as its Done line names it, in their order.
        const rows = expectedRows(want.text);
        assert.deepEqual(got.names, want.files.size > 0 ? rows.names : [], input.name);
        assert.deepEqual(got.failed, want.status === 0 ? rows.failed : [], input.name);
        // Rate and length as the WAV headers give them; the waveform as
        // the samples.
        [...got.files].forEach(([name, wav], i) => {
          const rate = wav.readUInt32LE(24);
          assert.match(got.facts[i], new RegExp(`^${rate.toLocaleString('en')} Hz · ${(wav.readUInt32LE(40) / rate).toFixed(2)} s`));
          checkWave(got.waves[i], wav, `${input.name}: ${name}`);
        });
        // What the browser saves from a link: the file it names.
        if (got.links.length > 0) {
          const saved = await download(page, `${section} li.clip a[download]`);
          assert.deepEqual(saved, { name: got.links[0][0], bytes: got.files.get(got.links[0][0]) }, input.name);
        }
      }
      // Names that look like markup are text, and made no element.
      assert.deepEqual(await page.evaluate(([hostile, markup]) => ({
        elements: document.querySelectorAll('zq, #results img').length,
        refused: [...document.querySelectorAll('li.failed')].filter((e) =>
          e.textContent.includes(`Creating ${hostile}.WAV... [22KHz] ... Cannot create`)).length,
        written: [...document.querySelectorAll('li.clip .clip-name')].filter((e) => e.textContent === `${markup}.WAV`).length,
      }), [hostile, markup]), { elements: 0, refused: 1, written: 1 });
    }));

  test('a clip larger than the page\'s memory gets the tool\'s line, and the next one is extracted', () =>
    withPage(engine, url(), async (page) => {
      // 3 GiB: more than the 2 GiB the compiled tool may grow to.
      const file = resource([{ name: 'HUGE', samples: '', declared: 0xc0000000 }, { name: 'NEXT', samples: 'next' }]);
      const [section] = await pick(page, [{ name: 'huge.mrv', bytes: file }]);
      const got = await shown(page, section);
      assert.equal(got.text,
                   'ZUM Sound Ripper\n----------------\n[huge.mrv] opened.  Processing...\nThis file has 2 entries.\n' +
                   'Creating HUGE.WAV... [22KHz] ... Can\'t allocate buffer for conversion.\n' +
                   'Creating NEXT.WAV... [22KHz] ... Done.\n');
      assert.equal(got.status, '0');
    }));

  test('the page has no serious accessibility fault, and fits a phone 390 pixels wide', () =>
    withPage(engine, url(), async (page) => {
      await pick(page, inputs.slice(0, 2));
      await page.evaluate(axe);
      for (const width of [1100, 390]) {
        await page.viewport(width, 844);
        const result = await page.evaluate(() => globalThis.axe.run(document, { resultTypes: ['violations'] })
          .then((r) => r.violations.map((v) => ({ id: v.id, impact: v.impact, targets: v.nodes.map((n) => n.target.join(' ')) }))));
        const serious = result.filter((v) => v.impact === 'serious' || v.impact === 'critical');
        assert.deepEqual(serious.map((v) => `${v.id}: ${v.targets.join(', ')}`), [], `at ${width} px`);
        assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= innerWidth), `scrolls sideways at ${width} px`);
      }
      await screenshot(page, shot('zumrip-web-390.png'), 390, 1400);
    }));

  test('an 11025 Hz clip plays to its end', () =>
    withPage(engine, url(), async (page) => {
      await pick(page, [example]);
      const player = `${sectionAt(0)} li.clip:nth-child(2) audio`;
      assert.equal(await page.evaluate((p) => document.querySelector(p).getAttribute('aria-label'), player), 'Play FALL.WAV');
      await page.evaluate((p) => {
        const element = document.querySelector(p);
        globalThis.testPlayed = new Promise((done, fail) => {
          element.onended = () => done({ at: element.currentTime, duration: element.duration });
          element.onerror = () => fail(new Error(`media error ${element.error && element.error.code}`));
        });
      }, player);
      await page.play(player);
      const played = await page.evaluate(() => globalThis.testPlayed);
      assert.ok(Math.abs(played.duration - 0.5) < 0.01, `duration ${played.duration}`);
      assert.ok(Math.abs(played.at - played.duration) < 0.01, `ended at ${played.at}`);
    }));

  test('the keyboard alone picks a file and reaches its clips', () =>
    withPage(engine, url(), async (page) => {
      await page.press('Tab');
      assert.equal(await page.evaluate(() => document.activeElement.id), 'pick');
      // Where the driver cannot see the file chooser Space opens, the file
      // is given to the focused input.
      if (page.chooseWithKeyboard)
        await page.chooseWithKeyboard([example]);
      else
        await page.pick([example]);
      await settled(page, 0, 1);
      const reached = [];
      for (let i = 0; i < 100 && reached.length < 4; i++) {
        await page.press('Tab');
        const link = await page.evaluate(() => document.activeElement.matches('a[download]') && document.activeElement.download);
        if (link)
          reached.push(link);
      }
      assert.deepEqual(reached, ['RISE.WAV', 'FALL.WAV', 'BEEP.WAV', 'CHORD.WAV']);
    }));

  test('two files dropped at once get a section each, and Download all zips them in a folder each', () =>
    withPage(engine, url(), async (page) => {
      const zipOf = async () => {
        const saved = await download(page, '#download-all');
        return { name: saved.name, files: new Map(Object.entries(unzipSync(saved.bytes)).map(([k, v]) => [k, Buffer.from(v)])) };
      };
      // One file: its clips at the top of the zip.
      await pick(page, [example]);
      let zip = await zipOf();
      assert.equal(zip.name, 'tones-clips.zip');
      assert.deepEqual(zip.files, runNative('tones.mrv', tones).files);

      await page.click('#clear');
      const dropped = [inputs[0], inputs[1]];
      const sections = await dropFiles(page, dropped);
      const want = new Map();
      for (const [i, input] of dropped.entries()) {
        assert.equal(await page.evaluate((s) => document.querySelector(`${s} h2`).textContent, sections[i]), input.name);
        for (const [name, bytes] of runNative(input.name, input.bytes).files)
          want.set(`${input.name}/${name}`, bytes);
      }
      zip = await zipOf();
      assert.equal(zip.name, 'zumrip-clips.zip');
      assert.deepEqual(zip.files, want);
    }));

  test('the security policy refuses anything from or to another origin', () =>
    withPage(engine, url(), async (page) => {
      const before = page.errors.length;
      const other = 'http://127.0.0.1:9';
      // Each refusal is awaited: a player's is reported only once it has
      // been started.
      await page.evaluate(async (url) => {
        globalThis.testRefused = new Set();
        document.addEventListener('securitypolicyviolation', (e) => testRefused.add(e.effectiveDirective.replace(/-elem$/, '')));
        const holder = document.createElement('div');
        holder.id = 'test-holder';
        holder.innerHTML = `<img src="${url}/i.png"><script src="${url}/s.js"></script><audio controls src="${url}/a.wav"></audio>`;
        document.body.append(holder);
        const script = document.createElement('script');
        script.src = `${url}/s.js`;
        holder.append(script);
        await fetch(`${url}/f`).catch(() => {});
      }, other);
      await page.play('#test-holder audio');
      // WebKitGTK under its driver starts no load of a foreign player, so
      // reports no refusal of one.
      const count = engine === 'webkit' ? 3 : 4;
      const refused = await until(page, (n) => testRefused.size === n && [...testRefused].sort(), count, 'the refusals');
      await page.evaluate(() => document.getElementById('test-holder').remove());
      assert.deepEqual(refused, ['connect-src', 'img-src', 'media-src', 'script-src'].filter((d) =>
        engine !== 'webkit' || d !== 'media-src'));
      // Chromium reports each refusal as a request that failed: those are
      // expected here, and so are the refusals on the console.
      const asked = (page.requests || []).filter((u) => u.startsWith(other));
      if (page.refused)
        assert.ok(asked.every((u) => page.refused.get(u) === 'csp'), String(asked));
      if (page.requests)
        page.requests = page.requests.filter((u) => !u.startsWith(other));
      await page.gather?.();
      const reported = page.errors.splice(before);
      assert.ok(reported.every((text) => /Content.Security.Policy|127\.0\.0\.1:9/i.test(text)), reported.join('\n'));
    }));

  test('after one visit the page loads and works with no network', async () => {
    const own = await serve();
    try {
      await withPage(engine, `${own.origin}/`, async (page) => {
        await page.evaluate(() => navigator.serviceWorker.ready.then(() => true));
        await until(page, () => navigator.serviceWorker.controller !== null, undefined, 'the service worker');
        await own.close();
        await page.reload();
        await loaded(page);
        const [section] = await pick(page, [example]);
        const got = await shown(page, section, { read: false });
        const want = runNative('tones.mrv', tones);
        assert.equal(got.text, want.text);
        // With no server, what the links give is read through the
        // browser's downloads, where its driver has them.
        if (page.download) {
          const files = new Map();
          for (let i = 0; i < got.links.length; i++) {
            const saved = await download(page, `${section} li.clip:nth-child(${i + 1}) a[download]`);
            files.set(saved.name, saved.bytes);
          }
          assert.deepEqual(files, want.files);
        }
      });
    } finally {
      await own.close();
    }
  });
});
