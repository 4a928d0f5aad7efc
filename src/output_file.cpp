// ZUM Sound Ripper: output files.
#include "output_file.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif

#ifdef _WIN32
// Windows opens a device for these names whatever follows the first dot
// (".WAV" included), and ignores blanks before that dot.
static bool names_windows_device(const char *name)
{
    std::size_t length = std::strcspn(name, ".");
    while (length > 0 && name[length - 1] == ' ')
        --length;
    char base[5] = {0};
    for (std::size_t i = 0; i < length && i < 4; ++i) {
        const char c = name[i];
        base[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    if (length == 3)
        return !std::strcmp(base, "CON") || !std::strcmp(base, "PRN") ||
               !std::strcmp(base, "AUX") || !std::strcmp(base, "NUL");
    // COM1 to COM9 and LPT1 to LPT9; Windows also takes superscript 1, 2, 3.
    const auto digit = static_cast<unsigned char>(base[3]);
    return length == 4 && (!std::strncmp(base, "COM", 3) || !std::strncmp(base, "LPT", 3)) &&
           ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}
#endif

// Entry names are used as file names as they stand, except those that would
// leave the current directory (a path separator of any platform) and, on
// Windows, those that would name a device or an alternate data stream (':').
static bool name_is_safe(const char *name)
{
    if (std::strpbrk(name, "/\\") != nullptr)
        return false;
#ifdef _WIN32
    if (std::strchr(name, ':') != nullptr || names_windows_device(name))
        return false;
#endif
    return true;
}

// Writes size bytes to fd, in pieces small enough for every platform's
// write call. Returns true when all of them were written.
static bool write_all(int fd, const unsigned char *data, std::uint64_t size)
{
    while (size > 0) {
        const unsigned piece = size < (1u << 30) ? static_cast<unsigned>(size) : 1u << 30;
        const auto written = write(fd, data, piece);
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::uint64_t>(written);
    }
    return true;
}

OutputResult write_output(const char *name, const unsigned char *data, std::uint64_t size)
{
    const int fd = name_is_safe(name) ? open(name, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0666) : -1;
    if (fd < 0)
        return output_not_created;
    const bool written = write_all(fd, data, size);
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        std::remove(name);
        return output_not_written;
    }
    return output_written;
}
