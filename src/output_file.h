// ZUM Sound Ripper: output files. Puts the bytes of one WAV file into
// NAME.WAV in the current directory, or reports why it could not.
#ifndef ZUMRIP_OUTPUT_FILE_H
#define ZUMRIP_OUTPUT_FILE_H

#include <cstdint>

enum OutputResult {
    output_written,      // the file holds exactly the bytes given
    output_not_created,  // the name was refused or the file could not be created
    output_not_written,  // a write or the close failed; nothing was left behind
};

// Writes size bytes of data as the file name in the current directory,
// replacing an existing file of that name. Names holding a path separator,
// and on Windows ':' or a device name, are refused. Prints nothing.
OutputResult write_output(const char *name, const unsigned char *data, std::uint64_t size);

#endif
