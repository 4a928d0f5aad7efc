// Measures the page (run after building site/ and build/zumrip, see the
// README): the example from pick to its last row shown, a 10 MiB resource
// of 40 clips, the tool's main in the page against the native build on the
// same file, one clip of a 200 MiB resource replaced and the resource
// downloaded against cp and the native zumpack, and the size of the site.
//   node web/bench.mjs [runs]
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readdirSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { gzipSync } from 'node:zlib';
import { open } from './test/engines.mjs';
import { example, native, serve, site, wav, writeLargeResource } from './test/support.mjs';

const runs = Number(process.argv[2] || 9);
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const scratch = mkdtempSync(join(tmpdir(), 'zumrip-bench-'));
const medium = join(scratch, 'medium.mrv');
writeLargeResource(medium, 40, Math.floor((10 << 20) / 40) - 19);

const server = await serve();
const page = await open('chromium');
await page.goto(`${server.origin}/`);
await page.evaluate(() => navigator.serviceWorker.ready.then(() => true));   // the page has settled

// Wall time from pick to the last row, and main's own time in the worker,
// both as the page's clock gives them.
async function inPage(path, rows) {
  await page.evaluate(() => document.getElementById('clear').click());
  const started = await page.evaluate(() => performance.now());
  await page.pick([path]);
  const { shown, took } = await page.evaluate((n) => new Promise((done) => {
    const look = () => {
      const section = document.querySelector('section.resource');
      if (document.querySelectorAll('li.clip').length === n && section?.dataset.took !== undefined)
        done({ shown: performance.now(), took: Number(section.dataset.took) });
      else
        requestAnimationFrame(look);
    };
    look();
  }), rows);
  return { shown: shown - started, took };
}

function nativeMs(path) {
  const dir = mkdtempSync(join(existsShm() ? '/dev/shm' : tmpdir(), 'zumrip-native-'));
  const started = process.hrtime.bigint();
  spawnSync(native, [path], { cwd: dir, stdio: 'ignore' });
  const ms = Number(process.hrtime.bigint() - started) / 1e6;
  rmSync(dir, { recursive: true, force: true });
  return ms;
}
function existsShm() {
  try { return statSync('/dev/shm').isDirectory(); } catch { return false; }
}

const results = {};
for (const [name, path, rows] of [['example', example, 4], ['10 MiB, 40 clips', medium, 40]]) {
  const shown = [], took = [], nat = [];
  for (let i = 0; i < runs; i++) {
    const r = await inPage(path, rows);
    shown.push(r.shown);
    took.push(r.took);
    nat.push(nativeMs(path));
  }
  results[name] = { shown: median(shown), main: median(took), native: median(nat) };
}
// Download resource with one clip of 200 MiB replaced: from the click to
// the file saved, against cp and the native zumpack --from on that file.
const large = join(scratch, 'large.mrv');
writeLargeResource(large, 100, (2 << 20));
const replacement = join(scratch, 'C000.WAV');
writeFileSync(replacement, wav(22050, Buffer.alloc(22050, 100)));
await page.evaluate(() => document.getElementById('clear').click());
await page.pick([large]);
await page.evaluate(() => new Promise((done) => {
  const look = () => (document.querySelector('section.resource')?.dataset.status === '0' ? done() : setTimeout(look, 50));
  look();
}));
await page.pick([replacement], 'li.clip:first-child input.replace-input');
await page.evaluate(() => new Promise((done) => {
  const look = () => (document.querySelector('li.clip.replaced') ? done() : setTimeout(look, 50));
  look();
}));
// Both write into memory where they can (zumpack flushes what it wrote to
// the disk, which cp does not).
const outputs = mkdtempSync(join(existsShm() ? '/dev/shm' : tmpdir(), 'zumrip-patch-'));
const timed = (command, args) => {
  const started = process.hrtime.bigint();
  spawnSync(command, args, { cwd: outputs, stdio: 'ignore' });
  return Number(process.hrtime.bigint() - started) / 1e6;
};
const patch = { page: [], cp: [], zumpack: [] };
for (let i = 0; i < Math.min(runs, 3); i++) {
  const started = performance.now();
  const saved = await page.download('button.save-resource');
  patch.page.push(performance.now() - started);
  if (saved.bytes.length !== statSync(large).size + 19 + 22050)
    throw new Error(`the patched resource has ${saved.bytes.length} bytes`);
  patch.cp.push(timed('cp', [large, 'copy.mrv']));
  patch.zumpack.push(timed(join(native, '..', 'zumpack'), ['--from', large, 'patched.mrv', replacement]));
}
await page.close();
await server.close();
rmSync(scratch, { recursive: true, force: true });
rmSync(outputs, { recursive: true, force: true });

const files = readdirSync(site);
let total = 0, gz = 0;
for (const f of files) {
  const bytes = readFileSync(join(site, f));
  total += bytes.length;
  gz += gzipSync(bytes, { level: 9 }).length;
}
console.log(`medians of ${runs} runs`);
for (const [name, r] of Object.entries(results))
  console.log(`${name}: pick to last row ${r.shown.toFixed(0)} ms; main in the page ${r.main.toFixed(1)} ms, ` +
              `native ${r.native.toFixed(1)} ms (${(r.main / r.native).toFixed(2)}x)`);
console.log(`200 MiB, one clip replaced: Download resource ${median(patch.page).toFixed(0)} ms, ` +
            `cp ${median(patch.cp).toFixed(0)} ms, zumpack --from ${median(patch.zumpack).toFixed(0)} ms`);
console.log(`site: ${files.length} files, ${total} bytes (${gz} gzipped)`);
for (const f of files.sort())
  console.log(`  ${f} ${statSync(join(site, f)).size}`);
