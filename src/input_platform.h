// ZUM Sound Ripper: what the input unit needs of the system, implemented
// in input_posix.cpp and input_windows.cpp. For the input unit only.
#ifndef ZUMRIP_INPUT_PLATFORM_H
#define ZUMRIP_INPUT_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum InputKind {
    input_unusable,  // not a file to read (a directory), or unknown
    input_seekable,  // read at any position: a regular file, a block device
    input_stream,    // read once from the start: a pipe, a FIFO, a terminal, a character device
};

// Opens path (UTF-8) for binary reading; nullptr when it cannot.
std::FILE *open_for_reading(const char *path);

// What kind of file the open stream file is.
InputKind input_kind(std::FILE *file);

// Moves file to an absolute byte position; false when it cannot.
bool seek_file(std::FILE *file, std::uint64_t position);

// The size of the seekable file in bytes (found by seeking to its end).
std::uint64_t file_size(std::FILE *file);

// Creates an anonymous temporary file in the user's temporary folder (TMPDIR,
// default /tmp), gone from the file system already or once closed, so that
// nothing of it outlives the run. Open for binary reading, and for writing
// by write_at; nullptr when it cannot be made.
std::FILE *create_spool();

// Reads what the stream has to give, up to n bytes, waiting only until
// there is some. Returns how many it read, 0 at the end of the stream, -1
// on failure.
long long read_some(std::FILE *stream, unsigned char *buffer, std::size_t n);

// Writes n bytes at an absolute position of a file made by create_spool.
// Returns how many were written before a write failed: n when all were.
std::size_t write_at(std::FILE *spool, std::uint64_t position, const unsigned char *data, std::size_t n);

// True when path names the open file itself (not a link to it).
bool same_file(const char *path, std::FILE *file);

#endif
