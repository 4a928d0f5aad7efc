// ZUM Sound Ripper: the input stream (g_input, g_input_size in zumrip.h),
// read through two windows so that the offset table and the entries can be
// visited alternately without a read per field.
#ifndef ZUMRIP_INPUT_H
#define ZUMRIP_INPUT_H

#include <cstddef>
#include <cstdint>

// Decode little-endian integers from bytes, whatever the host's order.
inline std::uint16_t read_u16le(const unsigned char *p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t read_u32le(const unsigned char *p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Opens path for binary reading as the input stream, finds its size and
// reads its first bytes. Returns false, printing nothing, when it cannot be
// opened as a file (missing, unreadable, a directory) or its start cannot be
// read.
bool open_input(const char *path);

// True when path names the open input file itself (not a link to it).
bool is_input_file(const char *path);

// Closes the input stream.
void close_input();

// Moves to an absolute byte position; the next read starts there whatever
// earlier reads met (end of file, errors).
void seek_input(std::uint64_t position);

// The position the next read starts at.
std::uint64_t input_position();

// Reads up to n bytes from the current position into buffer and sets *got
// to how many it read, fewer than n only at the end of the file. Returns
// false when the read failed (a bad sector, a device gone): nothing read
// then counts, and the position stays.
bool read_input(void *buffer, std::size_t n, std::size_t *got);

#endif
