// Downloads: one zip of every clip shown, packed by the zip worker
// (zip-worker.js), with a folder per resource file when there are several.

let zipUrl = null;   // the last zip's, revoked when the next is made

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
 * Zips the clips of runs ({file, clips}, those with clips) and saves the
 * zip. Resolves to its name, count of clips and size in bytes.
 * @param {{file: File, clips: Map<string, import('./messages.js').Clip>}[]} runs
 */
export function zipClips(runs) {
  const several = runs.length > 1;
  const used = new Set();
  /** @type {import('./messages.js').ZipRequest} */
  const request = { files: [] };
  for (const run of runs) {
    const folder = several ? `${folderName(run.file.name, used)}/` : '';
    for (const [name, clip] of run.clips)
      request.files.push({ path: folder + name, blob: clip.blob });
  }
  const name = several ? 'zumrip-clips.zip'
    : `${runs[0].file.name.replace(/\.[^.]*$/, '') || 'resource'}-clips.zip`;
  return new Promise((done, fail) => {
    const zipper = new Worker(new URL('zip-worker.js', import.meta.url), { type: 'module' });
    zipper.onerror = (event) => {
      event.preventDefault();
      zipper.terminate();
      fail(new Error(event.message || 'the zip worker could not start'));
    };
    zipper.onmessage = (event) => {
      /** @type {import('./messages.js').ZipReply} */
      const reply = event.data;
      zipper.terminate();
      if ('error' in reply) {
        fail(new Error(reply.error));
        return;
      }
      if (zipUrl)
        URL.revokeObjectURL(zipUrl);
      zipUrl = URL.createObjectURL(new Blob([reply.zip], { type: 'application/zip' }));
      save(zipUrl, name);
      done({ name, clips: request.files.length, size: reply.zip.length });
    };
    zipper.postMessage(request);
  });
}
