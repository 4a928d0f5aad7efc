// ZUM Sound Ripper: the conversion buffer.
#include "conversion_buffer.h"

#include <cstdlib>

#ifdef __linux__
#include <sys/mman.h>
#endif

#ifdef MADV_HUGEPAGE
// Buffers of at least two huge pages are mapped on a huge-page boundary and
// marked for transparent huge pages: filling a fresh buffer otherwise costs a
// page fault every 4 KiB, which dominates the copy. Only whole huge pages are
// marked, so the buffer still occupies its own size rounded up to 4 KiB.
static const std::uint64_t huge_page = 2u << 20;

static unsigned char *map_huge_buffer(std::size_t size)
{
    const std::size_t span = size + huge_page;  // room to align
    void *const raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    // Keep [buffer, buffer + size rounded up to 4 KiB) and unmap the rest.
    const auto raw_start = reinterpret_cast<std::uintptr_t>(raw);
    const std::size_t head = static_cast<std::size_t>((huge_page - raw_start % huge_page) % huge_page);
    const std::size_t kept = (size + 4095) & ~std::size_t{4095};
    unsigned char *const buffer = static_cast<unsigned char *>(raw) + head;
    if (head > 0)
        munmap(raw, head);
    if (span > head + kept)
        munmap(buffer + kept, span - head - kept);
    madvise(buffer, size & ~(huge_page - 1), MADV_HUGEPAGE);
    return buffer;
}
#endif

unsigned char *obtain_buffer(std::uint64_t size)
{
    if (size > SIZE_MAX)
        return nullptr;
#ifdef MADV_HUGEPAGE
    if (size >= 2 * huge_page)
        return map_huge_buffer(static_cast<std::size_t>(size));  // fresh mappings are zero
#endif
    return static_cast<unsigned char *>(std::calloc(static_cast<std::size_t>(size), 1));
}

void release_buffer(unsigned char *buffer, std::uint64_t size)
{
#ifdef MADV_HUGEPAGE
    if (size >= 2 * huge_page) {
        munmap(buffer, static_cast<std::size_t>(size));
        return;
    }
#endif
    (void)size;
    std::free(buffer);
}
