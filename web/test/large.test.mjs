// A 200 MiB resource in the page: the page answers while it is extracted,
// the progress bar moves, and Cancel ends the run keeping what is done.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { download, example, inEngines, pick, readUrl, runNative, serve, until, wav, withPage, writeLargeResource }
  from './support.mjs';

const COUNT = 100;
const SIZE = 2 << 20;   // 100 clips of 2 MiB
// A page held up by the extraction would answer only once it ends: the
// slowest answer while it extracts must take well under the whole run,
// however busy the machine. What it takes on an idle machine is a figure
// of the README's (200 ms goal).
const ANSWER_SHARE = 1 / 4;
let dir, path, clip, server;
before(async () => {
  dir = mkdtempSync(join(tmpdir(), 'zumrip-large-'));
  path = join(dir, 'large.mrv');
  clip = writeLargeResource(path, COUNT, SIZE);
  server = await serve();
});
after(async () => {
  await server?.close();
  if (dir)
    rmSync(dir, { recursive: true, force: true });
});

// What the last section's progress bar and busy state show, and how long
// the page took to answer.
async function look(page) {
  const asked = performance.now();
  const state = await page.evaluate(() => {
    const sections = document.querySelectorAll('section.resource');
    const section = sections[sections.length - 1];
    const progress = section.querySelector('progress');
    return { value: progress.value, max: progress.max, counted: progress.hasAttribute('value'),
             busy: section.getAttribute('aria-busy'), status: section.dataset.status ?? null,
             rows: section.querySelectorAll('li.clip').length };
  });
  return { ...state, answered: performance.now() - asked };
}

await inEngines((engine) => {
  // The service worker done with its start.
  const opened = (page) => page.evaluate(() => navigator.serviceWorker.ready.then(() => true));

  test('the page answers while a 200 MiB resource is extracted, and shows its progress', (t) =>
    withPage(engine, `${server.origin}/`, async (page) => {
      await opened(page);
      await page.pick([path]);
      const started = performance.now();
      let slowest = 0, between = 0, state;
      do {
        state = await look(page);
        slowest = Math.max(slowest, state.answered);
        if (state.busy === 'true' && state.counted && state.value > 0 && state.value < state.max)
          between++;
        assert.ok(performance.now() - started < 180000, 'still extracting after 180 s');
        await new Promise((done) => setTimeout(done, 20));
      } while (state.status === null);
      const took = performance.now() - started;
      t.diagnostic(`extracted in ${(took / 1000).toFixed(1)} s; slowest answer ${slowest.toFixed(0)} ms`);
      assert.ok(slowest < took * ANSWER_SHARE, `the page took ${slowest.toFixed(0)} ms of ${took.toFixed(0)} to answer`);
      assert.ok(between > 0, 'the progress bar was never seen between 0 and the end');
      assert.deepEqual({ status: state.status, busy: state.busy, value: state.value, max: state.max, rows: state.rows },
                       { status: '0', busy: 'false', value: COUNT, max: COUNT, rows: COUNT });
    }));

  test('Cancel ends the run and keeps the clips finished so far', () =>
    withPage(engine, `${server.origin}/`, async (page) => {
      await opened(page);
      await page.pick([path]);
      await until(page, () => document.querySelectorAll('section.resource li.clip').length >= 3, undefined, 'three rows');
      await page.click('#cancel');
      const state = await look(page);
      assert.equal(state.status, 'cancelled');
      assert.equal(state.busy, 'false');
      assert.ok(state.rows >= 3 && state.rows < COUNT, `${state.rows} rows`);
      const text = await page.evaluate(() => document.querySelector('[role=log]').textContent);
      assert.equal(text.split('Done.\n').length - 1, state.rows);
      const first = await page.evaluate(() => document.querySelector('li.clip a[download]').href);
      assert.ok((await readUrl(page, first)).equals(wav(22050, clip(0))));
      assert.ok((await download(page, 'li.clip a[download]')).bytes.equals(wav(22050, clip(0))));
      // The next file is extracted as usual.
      const [section] = await pick(page, [example]);
      assert.equal(await page.evaluate((s) => document.querySelector(`${s} [role=log]`).textContent, section),
                   runNative('tones.mrv', readFileSync(example)).text);
    }));
});
