// Writes a synthetic sound resource for the benchmark: COUNT clips of SIZE
// sample bytes each, 22 kHz, named C00000, C00001, ..., or by the printf
// pattern NAMES applied to each clip's number ("%05u~1": 00000~1, ...);
// with "pairs", clip 2k and 2k + 1 both take k, the second's first letter
// in upper case (a000000, A000000, ...).
// Usage: make_resource OUTPUT COUNT SIZE [NAMES [pairs]]
#include "resource_writer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 4 || argc > 6) {
        std::fprintf(stderr, "usage: make_resource OUTPUT COUNT SIZE [NAMES [pairs]]\n");
        return 2;
    }
    const char *const pattern = argc > 4 ? argv[4] : "C%05u";
    const bool pairs = argc > 5 && std::string(argv[5]) == "pairs";
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
        std::snprintf(name, sizeof name, pattern, static_cast<unsigned>(pairs ? i / 2 : i));
        if (pairs && i % 2 == 1 && name[0] >= 'a' && name[0] <= 'z')
            name[0] = static_cast<char>(name[0] - 'a' + 'A');
        entries.push_back({name, 0x0220, samples});
    }
    return resource_writer::write(argv[1], entries) ? 0 : 1;
}
