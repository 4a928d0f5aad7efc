// Writes sound resource files as zumrip reads them: "MSRV", the entry count,
// the offset table, then each entry's 19-byte header and its samples. The
// tests, the benchmark's generator and the example's generator all build
// their files with it; damage comes on request (a sample count larger than
// the samples given, table slots that repeat or reorder entries).
#ifndef ZUMRIP_RESOURCE_WRITER_H
#define ZUMRIP_RESOURCE_WRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace resource_writer {

// Little-endian integers as bytes.
std::string u16le(unsigned value);
std::string u32le(std::uint32_t value);

struct Entry {
    std::string name;             // up to 8 bytes, zero-padded; longer names are cut
    std::uint16_t rate_code = 0x0220;
    std::string samples;
    std::int64_t declared = -1;   // the sample count field; -1 = samples.size()
};

// How the entries are laid out behind the header and the offset table, one
// after the other in their order.
struct Layout {
    // Slot i of the table holds the offset of entry slots[i]; empty: one
    // slot per entry, in their order.
    std::vector<std::size_t> slots;
    // The five header bytes the tool ignores (after the name and the rate code).
    char unused = '\0';
};

// The whole file.
std::string contents(const std::vector<Entry> &entries, const Layout &layout = {});
// The same bytes written to path, an entry at a time; false when that fails.
bool write(const std::string &path, const std::vector<Entry> &entries, const Layout &layout = {});

}  // namespace resource_writer

#endif
