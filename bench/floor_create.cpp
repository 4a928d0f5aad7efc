// The floor for many small clips: creates COUNT files C00000.WAV, ... of
// SIZE bytes each with one open, one write and one close apiece.
// Usage: floor_create COUNT SIZE
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    const unsigned long count = std::strtoul(argv[1], nullptr, 10);
    const std::vector<char> data(std::strtoul(argv[2], nullptr, 10), 'x');
    for (unsigned long i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "C%05lu.WAV", i);
        const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
            close(fd) != 0)
            return 1;
    }
    return 0;
}
