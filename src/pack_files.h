// zumpack: the files it reads, and the folder it writes into. Paths are
// UTF-8 (on Windows they go to the wide API).
#ifndef ZUMRIP_PACK_FILES_H
#define ZUMRIP_PACK_FILES_H

#include <cstdint>
#include <string>
#include <vector>

// Reads the whole file path into *out, with room for extra bytes more that
// the caller will append (no second allocation and copy of a large file).
// False with the reason in *error (the system's, or "larger than N bytes"
// past limit, told before reading when the file reports its size).
bool read_whole_file(const char *path, std::uint64_t limit, std::uint64_t extra, std::vector<unsigned char> *out,
                     std::string *error);

// True when the paths a and b name one existing file.
bool same_file(const char *a, const char *b);

// The last part of path, after its last separator.
std::string last_part(const char *path);

// Makes the folder of path the current one (nothing to do for a bare
// name); false with the reason in *error when it cannot.
bool enter_folder_of(const char *path, std::string *error);

#endif
