// The floor for many small clips: creates COUNT files C00000.WAV, ... of
// SIZE bytes each (at most 64 KiB) with one open, one write and one close
// apiece.
// Usage: floor_create COUNT SIZE
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static char s_data[1 << 16];

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    const unsigned long count = std::strtoul(argv[1], nullptr, 10);
    const unsigned long size = std::strtoul(argv[2], nullptr, 10);
    if (size > sizeof s_data)
        return 2;
    std::memset(s_data, 'x', size);
    for (unsigned long i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "C%05lu.WAV", i);
        const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || write(fd, s_data, size) != static_cast<ssize_t>(size) || close(fd) != 0)
            return 1;
    }
    return 0;
}
