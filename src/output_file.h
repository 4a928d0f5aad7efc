// ZUM Sound Ripper: output files. Puts the bytes of one WAV file into
// NAME.WAV in the current directory, or reports why it could not, without
// ever losing what the user had there.
#ifndef ZUMRIP_OUTPUT_FILE_H
#define ZUMRIP_OUTPUT_FILE_H

#include <cstddef>
#include <cstdint>

enum OutputResult {
    output_written,      // the file holds exactly the bytes asked for
    output_not_created,  // refused, or it (or its temporary) could not be created or renamed
    output_not_written,  // a write, the extension, the flush or the close failed, or a
                         // temporary could not be removed
};

// Makes SIGINT, SIGTERM and SIGHUP (on Windows the console events) end the
// run from now on (partial_file.h): the file being written is removed, the
// console's buffer written out and what the run keeps flushed first. Call
// once, before the input is opened, so that a run waiting on a stream ends
// too.
void start_output();

// Flushes what the run wrote to the disk, once, before it exits (where the
// system cannot flush a whole file system, each file was flushed as it was
// named). False when that flush failed: the files may not be on the disk.
bool finish_output();

// Writes into out (size bytes, at least 32) the name, in UTF-8, of the file
// an entry name gives, as the console shows it and write_output creates it.
// On Windows, which names files in UTF-16, the name's bytes are read as
// UTF-8 when they are well-formed UTF-8 and in the ANSI code page otherwise,
// bytes that do not convert written as '%' and two hex digits, and the
// entry name is kept for the next write_output, which tells the files of
// different entries apart by it; elsewhere the bytes stand as they are.
void output_name(const char *name, char *out, std::size_t size);

// Writes the size bytes of data, then zero bytes up to full_size (a hole
// where the file system has them), as the file name in the current
// directory. A name that does not exist yet is given to the complete file
// by a link, which never replaces anything; an existing one is replaced by
// renaming the complete file, flushed to the disk, over it, so that a link
// is replaced, never followed, and a crash leaves the old file or the new.
// A replaced file hands on its permissions, owner, ACL and extended
// attributes. Refused: names holding a path separator (on Windows also ':'
// and device names), a directory, the input file, a regular file the user
// may not write or whose access cannot be handed on, a short alias of
// another file, and a file this run wrote for another name. On failure
// nothing is left behind and an existing file is as it was; an
// interrupting SIGINT, SIGTERM or SIGHUP removes the file being written and
// then ends the process by that signal. Prints nothing.
OutputResult write_output(const char *name, const unsigned char *data, std::uint64_t size,
                          std::uint64_t full_size);

#endif
