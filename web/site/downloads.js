// Downloads: one zip of every clip shown, packed by the zip worker
// (zip-worker.js), with a folder per resource file when there are several;
// and a resource with clips replaced, made by zumpack in the pack worker
// (pack-worker.js). Each is made by a worker of its own.

let savedUrl = null;   // the last zip's or resource's, revoked when the next is made

// Asks the browser to save the bytes at url under name.
export function save(url, name) {
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  link.click();
}

// A folder name for a resource file in the zip: its name, made unique.
function folderName(name, used) {
  const base = name.replace(/[/\\\0-\x1f]/g, '_').replace(/^\.{1,2}$/, '_') || 'resource';
  let folder = base;
  for (let n = 2; used.has(folder.toLowerCase()); n++)
    folder = `${base} (${n})`;
  used.add(folder.toLowerCase());
  return folder;
}

/**
 * Zips the clips of runs ({file, clips}, those with clips), as their rows
 * show them (replaced or not), and saves the zip. Resolves to its name,
 * count of clips and size in bytes.
 * @param {{file: File, clips: Map<string, import('./messages.js').Clip>,
 *          replacements: Map<string, import('./replacing.js').Replacement>}[]} runs
 */
export function zipClips(runs) {
  const several = runs.length > 1;
  const used = new Set();
  /** @type {import('./messages.js').ZipRequest} */
  const request = { files: [] };
  for (const run of runs) {
    const folder = several ? `${folderName(run.file.name, used)}/` : '';
    for (const [name, clip] of run.clips)
      request.files.push({ path: folder + name, blob: (run.replacements.get(name)?.clip ?? clip).blob });
  }
  const name = several ? 'zumrip-clips.zip'
    : `${runs[0].file.name.replace(/\.[^.]*$/, '') || 'resource'}-clips.zip`;
  return ask('zip-worker.js', request).then((/** @type {import('./messages.js').ZipReply} */ reply) => {
    if ('error' in reply)
      throw new Error(reply.error);
    keep(reply.zip, 'application/zip', name);
    return { name, clips: request.files.length, size: reply.zip.length };
  });
}

/**
 * Makes the resource of run with its clips replaced (zumpack --from) and
 * saves it under the resource file's own name. Resolves to its name and
 * size in bytes; rejects with zumpack's errors.
 * @param {{file: File, replacements: Map<string, import('./replacing.js').Replacement>}} run
 */
export function saveResource(run) {
  /** @type {import('./messages.js').PackRequest} */
  const request = { file: run.file, clips: [...run.replacements].map(([name, r]) => ({ name, wav: r.wav })) };
  return ask('pack-worker.js', request).then((/** @type {import('./messages.js').PackReply} */ reply) => {
    if ('error' in reply)
      throw new Error(reply.error);
    const name = run.file.name || 'resource';
    keep(reply.resource, 'application/octet-stream', name);
    return { name, size: reply.resource.length };
  });
}

// Saves bytes under name, through a URL kept until the next is saved.
function keep(bytes, type, name) {
  if (savedUrl)
    URL.revokeObjectURL(savedUrl);
  savedUrl = URL.createObjectURL(new Blob([bytes], { type }));
  save(savedUrl, name);
}

// The one reply of a worker of its own to request.
function ask(script, request) {
  return new Promise((done, fail) => {
    const worker = new Worker(new URL(script, import.meta.url), { type: 'module' });
    worker.onerror = (event) => {
      event.preventDefault();
      worker.terminate();
      fail(new Error(event.message || `${script} could not start`));
    };
    worker.onmessage = (event) => {
      worker.terminate();
      done(event.data);
    };
    worker.postMessage(request);
  });
}
