// The page in Debian's chromium: the tool's console text and files as the
// native build gives them, the zip, playing, hostile names, keyboard,
// accessibility, the security policy, offline use, and no request or error
// beyond what is expected.
import assert from 'node:assert/strict';
import { readFileSync, mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { unzipSync } from 'fflate';
import { dropFiles, example, launch, pick, resource, runNative, saved, screenshots, serve, settled, shown, tone }
  from './support.mjs';

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

let server, browser, page;
before(async () => {
  server = await serve();
  browser = await launch();
  page = await browser.context.newPage();
  await page.goto(`${server.origin}/`);
});
after(async () => {
  await browser?.close();
  await server?.close();
});

// A picture of the top of the page at a width, as tall as it is up to
// height: the viewport is made that tall, as rows out of view are not drawn.
async function screenshot(name, width, height) {
  mkdirSync(screenshots, { recursive: true });
  await page.setViewportSize({ width, height: 800 });
  const full = await page.evaluate(() => document.documentElement.scrollHeight);
  await page.setViewportSize({ width, height: Math.min(full, height) });
  await page.evaluate(() => window.scrollTo(0, 0));
  await page.waitForTimeout(100);
  await page.screenshot({ path: join(screenshots, name) });
  await page.setViewportSize({ width: 1100, height: 800 });
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

test('each file gives the console text and files of the native tool, read through the download links', async () => {
  for (const input of inputs) {
    if (input === inputs[2])   // the example and the mixed file
      await screenshot('zumrip-web.png', 1100, 2000);
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
    // Rate and length as the WAV headers give them.
    const facts = await section.locator('.clip-facts').allTextContents();
    [...got.files.keys()].forEach((name, i) => {
      const wav = want.files.get(name);
      const rate = wav.readUInt32LE(24);
      assert.match(facts[i], new RegExp(`^${rate.toLocaleString('en')} Hz · ${(wav.readUInt32LE(40) / rate).toFixed(2)} s`));
    });
  }
  // Names that look like markup are text, and made no element.
  assert.equal(await page.locator('zq, #results img').count(), 0);
  assert.equal(await page.locator('li.failed', { hasText: `Creating ${hostile}.WAV... [22KHz] ... Cannot create` }).count(), 1);
  assert.equal(await page.locator('li.clip .clip-name', { hasText: `${markup}.WAV` }).count(), 1);

});

test('a clip larger than the page\'s memory gets the tool\'s line, and the next one is extracted', async () => {
  // 3 GiB: more than the 2 GiB the compiled tool may grow to.
  const file = resource([{ name: 'HUGE', samples: '', declared: 0xc0000000 }, { name: 'NEXT', samples: 'next' }]);
  const [section] = await pick(page, [{ name: 'huge.mrv', bytes: file }]);
  assert.equal(await section.locator('[role=log]').textContent(),
               'ZUM Sound Ripper\n----------------\n[huge.mrv] opened.  Processing...\nThis file has 2 entries.\n' +
               'Creating HUGE.WAV... [22KHz] ... Can\'t allocate buffer for conversion.\n' +
               'Creating NEXT.WAV... [22KHz] ... Done.\n');
  assert.equal(await section.getAttribute('data-status'), '0');
});

test('the page has no serious accessibility fault, and fits a phone 390 pixels wide', async () => {
  await page.evaluate(axe);
  for (const width of [1100, 390]) {
    await page.setViewportSize({ width, height: 844 });
    const result = await page.evaluate(() => globalThis.axe.run(document, { resultTypes: ['violations'] }));
    const serious = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
    assert.deepEqual(serious.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(', ')}`), [], `at ${width} px`);
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= innerWidth), `scrolls sideways at ${width} px`);
  }
  await screenshot('zumrip-web-390.png', 390, 1400);
});

test('an 11025 Hz clip plays to its end', async () => {
  const audio = page.locator('li.clip', { hasText: 'FALL.WAV' }).first().locator('audio');
  await audio.focus();   // where the player takes its source
  const played = await audio.evaluate((element) => new Promise((done, fail) => {
    element.onended = () => done({ at: element.currentTime, duration: element.duration });
    element.onerror = () => fail(new Error(`media error ${element.error && element.error.code}`));
    element.play().catch(fail);
  }));
  assert.ok(Math.abs(played.duration - 0.5) < 0.01, `duration ${played.duration}`);
  assert.ok(Math.abs(played.at - played.duration) < 0.01, `ended at ${played.at}`);
});

test('the keyboard alone picks a file and reaches its clips', async () => {
  await page.reload();
  await page.locator('#pick').waitFor({ state: 'attached' });
  await page.keyboard.press('Tab');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'pick');
  const [chooser] = await Promise.all([page.waitForEvent('filechooser'), page.keyboard.press('Space')]);
  await chooser.setFiles(example);
  await settled(page, 0, 1);
  const reached = [];
  for (let i = 0; i < 100 && reached.length < 4; i++) {
    await page.keyboard.press('Tab');
    const link = await page.evaluate(() => document.activeElement.matches('a[download]') && document.activeElement.download);
    if (link)
      reached.push(link);
  }
  assert.deepEqual(reached, ['RISE.WAV', 'FALL.WAV', 'BEEP.WAV', 'CHORD.WAV']);
});

test('two files dropped at once get a section each, and Download all zips them in a folder each', async () => {
  const zipOf = async () => {
    const download = await saved(page, page.locator('#download-all'));
    return { name: download.suggestedFilename(), files: unzipSync(readFileSync(await download.path())) };
  };
  // One file: its clips at the top of the zip.
  let zip = await zipOf();
  assert.equal(zip.name, 'tones-clips.zip');
  assert.deepEqual(new Map(Object.entries(zip.files).map(([k, v]) => [k, Buffer.from(v)])),
                   runNative('tones.mrv', tones).files);

  await page.click('#clear');
  const dropped = [inputs[0], inputs[1]];
  const sections = await dropFiles(page, dropped);
  const want = new Map();
  for (const [i, input] of dropped.entries()) {
    assert.equal(await sections[i].locator('h2').textContent(), input.name);
    for (const [name, bytes] of runNative(input.name, input.bytes).files)
      want.set(`${input.name}/${name}`, bytes);
  }
  zip = await zipOf();
  assert.equal(zip.name, 'zumrip-clips.zip');
  assert.deepEqual(new Map(Object.entries(zip.files).map(([k, v]) => [k, Buffer.from(v)])), want);
});

test('the security policy refuses anything from or to another origin', async () => {
  const before = browser.seen.errors.length;
  const other = 'http://127.0.0.1:9';
  const refused = await page.evaluate(async (url) => {
    const violations = [];
    document.addEventListener('securitypolicyviolation', (e) => violations.push(e.effectiveDirective));
    const holder = document.createElement('div');
    holder.innerHTML = `<img src="${url}/i.png"><script src="${url}/s.js"></script><audio src="${url}/a.wav"></audio>`;
    document.body.append(holder);
    const script = document.createElement('script');
    script.src = `${url}/s.js`;
    document.body.append(script);
    await fetch(`${url}/f`).catch(() => {});
    await new Promise((done) => setTimeout(done, 300));
    holder.remove();
    script.remove();
    return violations.sort();
  }, other);
  assert.deepEqual(refused, ['connect-src', 'img-src', 'media-src', 'script-src-elem']);
  // Chromium reports each refusal as a request that failed and on the
  // console: those are expected here.
  const asked = browser.seen.requests.filter((url) => url.startsWith(other));
  assert.ok(asked.every((url) => browser.seen.failed.get(url) === 'csp'), String(asked));
  browser.seen.requests = browser.seen.requests.filter((url) => !url.startsWith(other));
  const reported = browser.seen.errors.splice(before);
  assert.ok(reported.every((text) => /Content Security Policy/.test(text)), reported.join('\n'));
});

test('after one visit the page loads and works with no network', async () => {
  await page.evaluate(() => navigator.serviceWorker.ready);
  await page.waitForFunction(() => navigator.serviceWorker.controller !== null);
  await server.close();
  await page.reload();
  const [section] = await pick(page, [example]);
  const got = await shown(page, section);
  assert.deepEqual(got.files, runNative('tones.mrv', tones).files);
});

test('no request left the page\'s origin and nothing went wrong on its console', () => {
  const outside = browser.seen.requests.filter((url) =>
    !url.startsWith(`${server.origin}/`) && !url.startsWith(`blob:${server.origin}/`));
  assert.deepEqual(outside, []);
  assert.deepEqual(browser.seen.errors, [], JSON.stringify([...browser.seen.failed]));
});
