// ZUM Sound Ripper: state and operations shared by the run driver, the
// sound resource reader and the WAV writer.
#ifndef ZUMRIP_H
#define ZUMRIP_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The sound resource file, open for binary reading for the whole run.
// Opened by open_resource, closed by main, read by all three units.
extern std::FILE *g_input;

// Size of the sound resource file in bytes, found when it is opened.
extern std::uint64_t g_input_size;

// Decodes little-endian integers from bytes, whatever the host's order.
inline std::uint16_t read_u16le(const unsigned char *p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t read_u32le(const unsigned char *p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Input stream helpers (run driver). seek_input moves to an absolute byte
// position and clears any end-of-file or error state left by earlier reads;
// read_input reads up to n bytes and returns how many it got.
void seek_input(std::uint64_t position);
std::size_t read_input(void *buffer, std::size_t n);

// Console helpers (run driver). Standard output is flushed after every
// message when it is a terminal, and fully buffered otherwise.
void say(const char *text);
// Prints head, then name with control bytes shown as '?', then tail.
void say_name(const char *head, const char *name, const char *tail);

// Checks the command line and opens the sound resource file. Returns 0 when
// the input stream is open, 1 otherwise (printing the not-found message when
// the path could not be opened as a file).
int open_resource(int argc, char **argv);

// Extracts the entry at the given offset table index; reports on the console.
void extract_entry(std::uint16_t index);

// Reads the rest of the entry (from just after its rate code) and writes it
// as wav_name; ends the entry's console line.
void convert_to_wav(const char *wav_name, std::uint32_t sample_rate);

#endif
