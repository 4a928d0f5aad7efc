// Linked behind the tool's runtime (--post-js). Hands every write the tool
// makes to its standard output or error to Module.onOutput(fd, bytes) as it
// is made, instead of emscripten's line-by-line console.log. The streams stay
// terminals to the tool, which therefore writes each message out as soon as
// it prints it: the page sees an unfinished line while a clip is written.
TTY.stream_ops.write = function (stream, buffer, offset, length) {
  Module['onOutput'](stream.fd, buffer.slice(offset, offset + length));
  return length;
};
