// The pack worker: makes a patched resource with zumpack's own main, run
// as `zumpack --from SOURCE OUTPUT NAME.WAV...` in a fresh instance of the
// page's module, which holds zumrip and zumpack (called by that name). The
// picked resource file is mounted read-only; each replacing WAV file is
// written into the working directory under the name of the clip it
// replaces, which is how zumpack finds the entries. One request per
// worker; the messages are written down in messages.js (PackRequest in,
// PackReply out).
import createZumrip from './zumrip.js';

/** @param {import('./messages.js').PackRequest} request */
async function pack({ file, clips }) {
  const errors = [];
  const zumpack = await createZumrip({ thisProgram: 'zumpack', print: () => {}, printErr: (line) => errors.push(line) });
  const FS = zumpack.FS;
  FS.mkdir('/in');
  FS.mount(FS.filesystems.WORKERFS, { blobs: [{ name: 'resource', data: file }] }, '/in');
  FS.mkdir('/out');
  FS.mkdir('/work');
  FS.chdir('/work');
  for (const { name, wav } of clips)
    FS.writeFile(name, new Uint8Array(await wav.arrayBuffer()));
  // The resource under the name it was picked by, where no clip has it, so
  // that zumpack's messages name it so.
  const taken = new Set(clips.map((c) => c.name));
  const name = file.name !== '' && !/[/\0]/.test(file.name) && !taken.has(file.name) && file.name !== '.' &&
    file.name !== '..' ? file.name : null;
  if (name !== null)
    FS.symlink('/in/resource', name);
  const status = zumpack.callMain(['--from', name ?? '/in/resource', '/out/resource', ...clips.map((c) => c.name)]);
  if (status !== 0)
    return { error: errors.join('\n').replace(/^zumpack: /gm, '') || `zumpack ended with status ${status}` };
  const resource = FS.readFile('/out/resource');
  return { resource };
}

onmessage = (event) => {
  pack(event.data).then(
    (reply) => postMessage(reply, reply.resource ? [reply.resource.buffer] : []),
    (error) => postMessage({ error: String(error && error.message || error) }));
};
