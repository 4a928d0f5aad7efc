// Writes a synthetic sound resource for the benchmark: COUNT clips of SIZE
// sample bytes each, 22 kHz, named C00000, C00001, ...
// Usage: make_resource OUTPUT COUNT SIZE
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static void put_u32le(unsigned char *p, std::uint64_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_resource OUTPUT COUNT SIZE\n");
        return 2;
    }
    const std::uint64_t count = std::strtoull(argv[2], nullptr, 10);
    const std::uint64_t size = std::strtoull(argv[3], nullptr, 10);
    std::FILE *out = std::fopen(argv[1], "wb");
    if (out == nullptr || count > 65535 || size > 0xFFFFFF00u)
        return 1;

    std::vector<unsigned char> head(6 + 4 * count);
    head[0] = 'M', head[1] = 'S', head[2] = 'R', head[3] = 'V';
    head[4] = static_cast<unsigned char>(count), head[5] = static_cast<unsigned char>(count >> 8);
    for (std::uint64_t i = 0; i < count; ++i)
        put_u32le(&head[6 + 4 * i], 6 + 4 * count + i * (19 + size) + 19);
    std::fwrite(head.data(), 1, head.size(), out);

    std::vector<unsigned char> samples(size);
    for (std::uint64_t i = 0; i < size; ++i)
        samples[i] = static_cast<unsigned char>(128 + (i % 64) - 32);
    for (std::uint64_t i = 0; i < count; ++i) {
        unsigned char entry[19] = {0};
        std::snprintf(reinterpret_cast<char *>(entry), 9, "C%05u", static_cast<unsigned>(i));
        entry[12] = 0x20, entry[13] = 0x02;  // 22050 Hz
        put_u32le(entry + 15, size);
        std::fwrite(entry, 1, sizeof entry, out);
        std::fwrite(samples.data(), 1, samples.size(), out);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
