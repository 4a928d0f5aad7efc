// What the extraction worker needs of emscripten beyond its documented
// interface (callMain, FS.mkdir, FS.mount, FS.symlink, FS.readdir ...), in
// one place. Written against emscripten 3.1.6 (Debian 12's); the build
// (web/CMakeLists.txt) refuses other versions until this module has been
// checked against them:
// - the standard streams are terminals whose stream_ops the tool's streams
//   share (TTY.stream_ops), so that replacing their write takes every write;
// - WORKERFS keeps a mounted file's Blob in node.contents and reads it
//   through its stream_ops.read;
// - MEMFS keeps a file's bytes in node.contents, a typed array of which
//   node.usedBytes count (a view of the tool's memory as signed bytes when
//   the file was written in one piece).

/**
 * Hands every write the tool makes to its standard output or error to
 * onOutput(fd, bytes) as it is made, instead of emscripten's line-by-line
 * printing. The streams stay terminals to the tool, which so writes each
 * message out as soon as it prints it.
 */
export function takeOutput(FS, onOutput) {
  FS.getStream(1).stream_ops.write = (stream, buffer, offset, length) => {
    onOutput(stream.fd, buffer.slice(offset, offset + length));
    return length;
  };
}

/**
 * Reads of files mounted with WORKERFS go through read(blob, position,
 * length), which returns the bytes read (fewer at the end of the file) or
 * throws for an input/output error.
 */
export function readMounted(FS, read) {
  const EIO = 29;   // emscripten's number for an input/output error
  FS.filesystems.WORKERFS.stream_ops.read = (stream, buffer, offset, length, position) => {
    let bytes;
    try {
      bytes = read(stream.node.contents, position, length);
    } catch {
      throw new FS.ErrnoError(EIO);
    }
    buffer.set(bytes, offset);
    return bytes.length;
  };
}

/**
 * The bytes of a file in MEMFS, as unsigned bytes: in the buffer they were
 * written into when they fill it (as when written in one piece), else a
 * copy; either way a buffer that can be handed on.
 */
export function fileBytes(FS, path) {
  const node = FS.lookupPath(path).node;
  const contents = node.contents || new Uint8Array(0);
  const bytes = new Uint8Array(contents.buffer, contents.byteOffset, node.usedBytes);
  return bytes.byteOffset === 0 && bytes.byteLength === bytes.buffer.byteLength ? bytes : bytes.slice();
}
