// ZUM Sound Ripper: the input stream and the three operations of a run.
// The run driver (main.cpp) opens the file and calls extract_entry for each
// table slot (reader.cpp), which hands recognised entries to convert_to_wav
// (wav_writer.cpp).
#ifndef ZUMRIP_H
#define ZUMRIP_H

#include <cstdint>
#include <cstdio>

// The sound resource file, open for binary reading for the whole run (for
// a stream, its copy), and its path as given on the command line. Kept by
// the input unit (input.h), which reads them.
extern std::FILE *g_input;
extern const char *g_input_name;

// Checks the command line and opens the sound resource file. Returns 0 when
// the input stream is open, 1 otherwise (printing "File [%s] not found." when
// the path could not be opened as a file, nothing for a wrong argument count).
int open_resource(int argc, char **argv);

// Extracts the entry at the given offset table index; reports on the console.
void extract_entry(std::uint16_t index);

// Reads the rest of the entry (from just after its rate code) and writes it
// as wav_name; ends the entry's console line.
void convert_to_wav(const char *wav_name, std::uint32_t sample_rate);

#endif
