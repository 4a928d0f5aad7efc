// The floor of the one-buffer design for the benchmark: for each clip of a
// sound resource file, a fresh huge-page mapping of S + 44 bytes, one pread
// of the samples behind the header space, one write of the whole buffer into
// a new file, and the mapping released. No checks, no console text: what is
// left when everything but the design's own work is taken away.
// Usage: floor_onebuffer FILE   (Linux; writes F0.WAV, F1.WAV, ... here)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

static std::uint64_t read_u32le(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint64_t>(p[3]) << 24;
}

int main(int argc, char **argv)
{
    const int in = argc == 2 ? open(argv[1], O_RDONLY) : -1;
    unsigned char head[6];
    if (in < 0 || pread(in, head, 6, 0) != 6)
        return 1;
    const unsigned count = head[4] | head[5] << 8;
    const std::size_t huge_page = 2u << 20;
    for (unsigned i = 0; i < count; ++i) {
        unsigned char slot[4], entry[19];
        if (pread(in, slot, 4, 6 + 4 * i) != 4)
            return 1;
        const std::uint64_t d = read_u32le(slot);
        if (pread(in, entry, 19, static_cast<off_t>(d - 19)) != 19)
            return 1;
        const std::size_t total = read_u32le(entry + 15) + 44, span = total + huge_page;
        void *const raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED)
            return 1;
        auto *const buffer = reinterpret_cast<char *>(
            (reinterpret_cast<std::uintptr_t>(raw) + huge_page - 1) & ~(huge_page - 1));
        madvise(buffer, total & ~(huge_page - 1), MADV_HUGEPAGE);
        if (pread(in, buffer + 44, total - 44, static_cast<off_t>(d)) < 0)
            return 1;
        char name[16];
        std::snprintf(name, sizeof name, "F%u.WAV", i);
        const int out = open(name, O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (out < 0 || write(out, buffer, total) != static_cast<ssize_t>(total) || close(out) != 0)
            return 1;
        munmap(raw, span);
    }
    return 0;
}
