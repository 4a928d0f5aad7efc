// What the browser tests share: the built site served on 127.0.0.1, the
// browsers (engines.mjs), resource files made here, and the native build of
// the tool to compare the page with.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { closeSync, mkdtempSync, openSync, readFileSync, readdirSync, rmSync, writeFileSync, writeSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { extname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, describe, test } from 'node:test';
import { LIMIT, engines, open, unavailable } from './engines.mjs';

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

// Serves the site on 127.0.0.1 and records every path asked for. READER is
// a page of the same origin without the site's security policy, from which
// the tests read what a blob: URL of the page holds (the policy lets the
// page itself fetch nothing but its own files).
const READER = '/test-reader.html';
export async function serve(dir = site) {
  const requests = [];
  const server = createServer((request, response) => {
    requests.push(request.url);
    const path = new URL(request.url, 'http://x').pathname;
    if (path === READER) {
      response.writeHead(200, { 'content-type': 'text/html; charset=utf-8' }).end('<!doctype html><title>reader</title>');
      return;
    }
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
    // By the names' bytes (which need be no UTF-8), keyed as the page's
    // file system decodes them.
    const files = new Map();
    for (const file of readdirSync(dir, { encoding: 'buffer' }).sort(Buffer.compare))
      if (file.toString() !== name)
        files.set(file.toString(), readFileSync(Buffer.concat([Buffer.from(`${dir}/`), file])));
    return { text: run.stdout.toString('utf8'), status: run.status, files };
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

// The cases of a file in every engine that runs here: a group per engine,
// skipped, with the reason, where the engine cannot start.
// Every engine is tried before any group is made: a group made after the
// first has ended would come after the file's after() hooks had run.
export async function inEngines(cases) {
  const why = [];
  for (const engine of engines)
    why.push(await unavailable(engine));
  engines.forEach((engine, i) => describe(engine, { skip: why[i] ?? false }, () => cases(engine)));
}

// A browser of its own on the page at url for the length of fn(session);
// then no request has left the page's origin and nothing has gone wrong on
// its console.
export async function withPage(engine, url, fn) {
  const session = await open(engine);
  try {
    await session.goto(url);
    await loaded(session);
    await fn(session);
    await session.gather?.();
    const origin = new URL(url).origin;
    const outside = (session.requests || []).filter((u) =>
      !u.startsWith(`${origin}/`) && !u.startsWith(`blob:${origin}/`) && u !== 'about:blank');
    assert.deepEqual(outside, [], 'requests outside the origin');
    assert.deepEqual(session.errors, [], 'errors on the console');
  } finally {
    await session.close();
  }
}

// Waits until the page has run its scripts: a driver may hand it over
// before (WebKit's did, under load).
export const loaded = (session) => until(session, () => document.readyState === 'complete', undefined, 'the page loaded');

// Waits until fn(arg), run in the page, gives anything but false, null or
// undefined, and returns that.
export async function until(session, fn, arg, what = 'the awaited state') {
  const started = Date.now();
  for (;;) {
    const value = await session.evaluate(fn, arg);
    if (value !== false && value !== null && value !== undefined)
      return value;
    if (Date.now() - started > LIMIT)
      throw new Error(`${what}: not within ${LIMIT / 1000} s`);
    await new Promise((done) => setTimeout(done, 50));
  }
}

// Paths of files {name, bytes} written into a folder of their own (paths
// given as they are).
const folders = [];
after(() => folders.forEach((dir) => rmSync(dir, { recursive: true, force: true })));
export function written(files) {
  const dir = mkdtempSync(join(tmpdir(), 'zumrip-input-'));
  folders.push(dir);
  return files.map((f) => {
    if (typeof f === 'string')
      return f;
    writeFileSync(join(dir, f.name), f.bytes);
    return join(dir, f.name);
  });
}

// Picks files ({name, bytes} or paths) in the page and waits until every
// section they made has settled. Returns the sections' selectors.
export async function pick(session, files) {
  const before = await sectionCount(session);
  await session.pick(written(files));
  return settled(session, before, files.length);
}

// Drops files ({name, bytes}) on the page's drop zone, all at once.
export async function dropFiles(session, files) {
  const before = await sectionCount(session);
  await session.evaluate((list) => {
    const data = new DataTransfer();
    for (const { name, base64 } of list)
      data.items.add(new File([Uint8Array.from(atob(base64), (c) => c.charCodeAt(0))], name));
    const zone = document.getElementById('drop');
    zone.dispatchEvent(new DragEvent('dragenter', { bubbles: true, dataTransfer: data }));
    zone.dispatchEvent(new DragEvent('drop', { bubbles: true, cancelable: true, dataTransfer: data }));
  }, files.map((f) => ({ name: f.name, base64: Buffer.from(f.bytes).toString('base64') })));
  return settled(session, before, files.length);
}

const sectionCount = (session) => session.evaluate(() => document.querySelectorAll('section.resource').length);
export const sectionAt = (i) => `#results > section.resource:nth-child(${i + 1})`;

// Waits until count sections from before on are there and no longer busy.
export async function settled(session, before, count) {
  try {
    await until(session, ([from, n]) => {
      const all = [...document.querySelectorAll('section.resource')].slice(from);
      return all.length === n && all.every((s) => s.dataset.status !== undefined && s.getAttribute('aria-busy') === 'false');
    }, [before, count], `${count} settled sections`);
  } catch (error) {
    const seen = await session.evaluate(() => [...document.querySelectorAll('section.resource')].map((s) =>
      `${s.querySelector('.resource-state').textContent} (busy ${s.getAttribute('aria-busy')}, ${s.querySelectorAll('li').length} rows)`));
    error.message += `; the sections: ${seen.join('; ') || 'none'}`;
    throw error;
  }
  return Array.from({ length: count }, (_, i) => sectionAt(before + i));
}

// The bytes a blob: URL of the page holds, read from a frame of its origin
// without its security policy.
export async function readUrl(session, url) {
  const base64 = await session.evaluate(async ([href, reader]) => {
    let frame = document.getElementById('test-reader');
    if (!frame) {
      frame = document.createElement('iframe');
      frame.id = 'test-reader';
      frame.hidden = true;
      const loaded = new Promise((done) => { frame.onload = done; });
      frame.src = reader;
      document.body.append(frame);
      await loaded;
    }
    const bytes = new Uint8Array(await (await frame.contentWindow.fetch(href)).arrayBuffer());
    let text = '';
    for (let i = 0; i < bytes.length; i += 0x8000)
      text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(text);
  }, [url, READER]);
  return Buffer.from(base64, 'base64');
}

// What a click on selector saves ({name, bytes}): the browser's download
// where its driver reports one; else the link the page clicked, read.
export async function download(session, selector) {
  if (session.download)
    return session.download(selector);
  await session.evaluate(() => {
    globalThis.testSaved = null;
    const keep = (link, event) => {
      globalThis.testSaved = { name: link.download, href: link.href };
      event?.preventDefault();
    };
    const click = HTMLAnchorElement.prototype.click;
    HTMLAnchorElement.prototype.click = function () {
      if (this.download)
        keep(this);
      else
        click.call(this);
    };
    document.addEventListener('click', (event) => {
      const link = event.target.closest?.('a[download]');
      if (link)
        keep(link, event);
    }, { capture: true, once: true });
  });
  // Clicked from the page: what is tested here is what the link gives, not
  // where the driver's pointer lands.
  await session.evaluate((s) => document.querySelector(s).click(), selector);
  const { name, href } = await until(session, () => globalThis.testSaved, undefined, 'a download');
  return { name, bytes: await readUrl(session, href) };
}

// What a section shows: the console text, the clip rows' names, rates and
// waveforms in order, the lines of entries not extracted, and each clip's
// bytes as its download link gives them, by the name the link asks the
// browser to save them under.
export async function shown(session, section, { read = true } = {}) {
  const got = await session.evaluate((selector) => {
    const s = document.querySelector(selector);
    const texts = (query) => [...s.querySelectorAll(query)].map((e) => e.textContent);
    return {
      text: s.querySelector('[role=log]').textContent,
      names: texts('li.clip .clip-name'),
      facts: texts('li.clip .clip-facts'),
      failed: texts('li.failed'),
      waves: [...s.querySelectorAll('li.clip svg.wave')].map((svg) =>
        ({ box: svg.getAttribute('viewBox'), d: svg.querySelector('path').getAttribute('d') })),
      links: [...s.querySelectorAll('li.clip a[download]')].map((a) => [a.download, a.href]),
      status: s.dataset.status,
    };
  }, section);
  const files = new Map();
  for (const [name, href] of read ? got.links : [])
    files.set(name, await readUrl(session, href));
  return { ...got, files };
}

// A PCM WAV file of interleaved samples (data) of the given width.
export function pcm(rate, channels, bits, data) {
  const frame = (channels * bits) / 8;
  return Buffer.concat([Buffer.from('RIFF'), u32(data.length + 36), Buffer.from('WAVEfmt '), u32(16), u16(1), u16(channels),
                        u32(rate), u32(rate * frame), u16(frame), u16(bits), Buffer.from('data'), u32(data.length), data]);
}

// The WAV file the tool writes for 8-bit samples at a rate.
export const wav = (rate, samples) => pcm(rate, 1, 8, samples);

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
