// What the browser tests share: the built site served on 127.0.0.1,
// Debian's chromium driven by playwright-core, resource files made here,
// and the native build of the tool to compare the page with.
import { spawnSync } from 'node:child_process';
import { closeSync, mkdtempSync, openSync, readFileSync, readdirSync, rmSync, writeFileSync, writeSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { extname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const top = resolve(fileURLToPath(new URL('../..', import.meta.url)));
export const site = process.env.ZUMRIP_SITE || join(top, 'build-web', 'site');
export const native = process.env.ZUMRIP_NATIVE || join(top, 'build', 'zumrip');
export const example = join(top, 'examples', 'tones.mrv');
export const screenshots = process.env.ZUMRIP_SCREENSHOTS || join(top, 'build-web', 'screenshots');

const types = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css',
  '.wasm': 'application/wasm', '.webmanifest': 'application/manifest+json',
  '.svg': 'image/svg+xml', '.png': 'image/png',
};

// Serves the site on 127.0.0.1 and records every path asked for.
export async function serve(dir = site) {
  const requests = [];
  const server = createServer((request, response) => {
    requests.push(request.url);
    const path = new URL(request.url, 'http://x').pathname;
    const file = join(dir, path.endsWith('/') ? `${path}index.html` : path);
    let body;
    try {
      if (!file.startsWith(dir))
        throw new Error('outside');
      body = readFileSync(file);
    } catch {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'content-type': types[extname(file)] || 'application/octet-stream' }).end(body);
  });
  await new Promise((done) => server.listen(0, '127.0.0.1', done));
  return {
    origin: `http://127.0.0.1:${server.address().port}`,
    requests,
    close: () => new Promise((done) => {
      server.close(done);
      server.closeAllConnections();
    }),
  };
}

// Chromium with a profile of its own, and what it reports: every request
// made and every error shown on its console.
export async function launch(options = {}) {
  const profile = mkdtempSync(join(tmpdir(), 'zumrip-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.ZUMRIP_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--autoplay-policy=no-user-gesture-required'],
    acceptDownloads: true,
    viewport: { width: 1100, height: 800 },
    ...options,
  });
  context.setDefaultTimeout(10000);
  // Chromium reports a request that its security policy refused too, as
  // failed with 'csp'.
  const seen = { requests: [], failed: new Map(), errors: [] };
  context.on('request', (request) => seen.requests.push(request.url()));
  context.on('requestfailed', (request) => seen.failed.set(request.url(), request.failure()?.errorText));
  context.on('console', (message) => {
    if (message.type() === 'error')
      seen.errors.push(message.text());
  });
  context.on('weberror', (error) => seen.errors.push(String(error.error())));
  return {
    context,
    seen,
    close: async () => {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

function u16(value) {
  return Buffer.from([value & 0xff, (value >> 8) & 0xff]);
}

function u32(value) {
  const b = Buffer.alloc(4);
  b.writeUInt32LE(value >>> 0);
  return b;
}

// A resource file: entries {name, rate, samples, declared} laid out one after
// the other; slot i of the table holds the offset of entry slots[i].
export function resource(entries, slots = entries.map((_, i) => i)) {
  const bodyStart = 6 + 4 * slots.length;
  const offsets = [];
  const parts = [];
  let size = 0;
  for (const e of entries) {
    const name = Buffer.alloc(8);
    Buffer.from(e.name).copy(name, 0, 0, 8);
    const samples = Buffer.from(e.samples || '', typeof e.samples === 'string' ? 'latin1' : undefined);
    const header = Buffer.concat([name, Buffer.from([0xa5, 0xa5, 0xa5, 0xa5]), u16(e.rate ?? 0x0220),
                                  Buffer.from([0xa5]), u32(e.declared ?? samples.length)]);
    parts.push(header);
    size += header.length;
    offsets.push(bodyStart + size);
    parts.push(samples);
    size += samples.length;
  }
  return Buffer.concat([Buffer.from('MSRV'), u16(slots.length), ...slots.map((i) => u32(offsets[i])), ...parts]);
}

// Samples of a tone, 8-bit unsigned.
export function tone(count, period) {
  const b = Buffer.alloc(count);
  for (let i = 0; i < count; i++)
    b[i] = 128 + Math.round(100 * Math.sin((2 * Math.PI * i) / period));
  return b;
}

// The native tool run on bytes named name, in a folder of its own that holds
// the input under that name: its console text, status and files written.
export function runNative(name, bytes) {
  const dir = mkdtempSync(join(tmpdir(), 'zumrip-native-'));
  try {
    writeFileSync(join(dir, name), bytes);
    const run = spawnSync(native, [name], { cwd: dir, encoding: 'buffer' });
    const files = new Map();
    for (const file of readdirSync(dir).sort())
      if (file !== name)
        files.set(file, readFileSync(join(dir, file)));
    return { text: run.stdout.toString('utf8'), status: run.status, files };
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

// Drops files ({name, bytes}) on the page's drop zone, all at once.
export async function dropFiles(page, files) {
  const before = await page.locator('section.resource').count();
  const transfer = await page.evaluateHandle((list) => {
    const data = new DataTransfer();
    for (const { name, base64 } of list)
      data.items.add(new File([Uint8Array.from(atob(base64), (c) => c.charCodeAt(0))], name));
    return data;
  }, files.map((f) => ({ name: f.name, base64: Buffer.from(f.bytes).toString('base64') })));
  await page.dispatchEvent('#drop', 'dragenter', { dataTransfer: transfer });
  await page.dispatchEvent('#drop', 'drop', { dataTransfer: transfer });
  return settled(page, before, files.length);
}

// Picks files ({name, bytes} or paths) in the page and waits until every
// section they made has settled. Returns the sections' locators.
export async function pick(page, files) {
  const before = await page.locator('section.resource').count();
  await page.setInputFiles('#pick', files.map((f) =>
    typeof f === 'string' ? f : { name: f.name, mimeType: 'application/octet-stream', buffer: f.bytes }));
  return settled(page, before, files.length);
}

export async function settled(page, before, count) {
  const sections = page.locator('section.resource');
  await page.waitForFunction(([from, n]) => {
    const all = [...document.querySelectorAll('section.resource')].slice(from);
    return all.length === n && all.every((s) => s.dataset.status !== undefined && !s.hasAttribute('aria-busy'));
  }, [before, count]);
  return Array.from({ length: count }, (_, i) => sections.nth(before + i));
}

// The download a click on the link gives. Chromium lets the eleventh of a
// quick series of downloads from one page pass unseen; a second click then
// gives it.
export async function saved(page, link) {
  for (let attempt = 1; ; attempt++) {
    try {
      const [download] = await Promise.all([page.waitForEvent('download', { timeout: 3000 }), link.click()]);
      return download;
    } catch (error) {
      if (attempt === 2)
        throw error;
    }
  }
}

// What a section shows: the console text, the clip rows' names in order,
// the lines of entries not extracted, and each clip's bytes as its
// download link gives them, by the name the link asks the browser to save
// them under (which the browser itself may change, '/' to '_' and so on).
export async function shown(page, section) {
  const text = await section.locator('[role=log]').textContent();
  const names = await section.locator('li.clip .clip-name').allTextContents();
  const failed = await section.locator('li.failed').allTextContents();
  const files = new Map();
  const links = section.locator('li.clip a[download]');
  for (let i = 0; i < await links.count(); i++) {
    const download = await saved(page, links.nth(i));
    files.set(await links.nth(i).getAttribute('download'), readFileSync(await download.path()));
  }
  return { text, names, failed, files, status: await section.getAttribute('data-status') };
}

// The WAV file the tool writes for 8-bit samples at a rate.
export function wav(rate, samples) {
  return Buffer.concat([Buffer.from('RIFF'), u32(samples.length + 36), Buffer.from('WAVEfmt '), u32(16), u16(1), u16(1),
                        u32(rate), u32(rate), u16(1), u16(8), Buffer.from('data'), u32(samples.length), samples]);
}

// Writes a resource of count clips of size samples each to path, without
// holding it all in memory. Clip i is named C and its number, its samples
// a pattern of its own (clip(i) gives them).
export function writeLargeResource(path, count, size) {
  const clip = (i) => {
    const b = Buffer.alloc(size);
    for (let j = 0; j < size; j += 4096)
      b.fill((i * 7 + j / 4096) & 0xff, j, Math.min(size, j + 4096));
    return b;
  };
  const fd = openSync(path, 'w');
  const table = Buffer.alloc(6 + 4 * count);
  table.write('MSRV');
  table.writeUInt16LE(count, 4);
  for (let i = 0; i < count; i++)
    table.writeUInt32LE(6 + 4 * count + i * (19 + size) + 19, 6 + 4 * i);
  writeSync(fd, table);
  for (let i = 0; i < count; i++) {
    const header = Buffer.alloc(19);
    header.write(`C${String(i).padStart(3, '0')}`);
    header.writeUInt16LE(0x0220, 12);
    header.writeUInt32LE(size, 15);
    writeSync(fd, header);
    writeSync(fd, clip(i));
  }
  closeSync(fd);
  return clip;
}
