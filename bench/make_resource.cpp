// Writes a synthetic sound resource for the benchmark: COUNT clips of SIZE
// sample bytes each, 22 kHz, named C00000, C00001, ...
// Usage: make_resource OUTPUT COUNT SIZE
#include "resource_writer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_resource OUTPUT COUNT SIZE\n");
        return 2;
    }
    const std::uint64_t count = std::strtoull(argv[2], nullptr, 10);
    const std::uint64_t size = std::strtoull(argv[3], nullptr, 10);
    if (count > 65535 || size > 0xFFFFFF00u)
        return 1;
    std::string samples(size, '\0');
    for (std::uint64_t i = 0; i < size; ++i)
        samples[i] = static_cast<char>(128 + (i % 64) - 32);
    std::vector<resource_writer::Entry> entries;
    for (std::uint64_t i = 0; i < count; ++i) {
        char name[9];
        std::snprintf(name, sizeof name, "C%05u", static_cast<unsigned>(i));
        entries.push_back({name, 0x0220, samples});
    }
    return resource_writer::write(argv[1], entries) ? 0 : 1;
}
