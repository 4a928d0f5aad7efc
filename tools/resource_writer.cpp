#include "resource_writer.h"

#include <cstdio>
#include <functional>

namespace resource_writer {

std::string u16le(unsigned value)
{
    return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

std::string u32le(std::uint32_t value)
{
    return u16le(value & 0xFFFF) + u16le(value >> 16);
}

// Hands the file to put piece by piece: the header and table, then each
// entry's header and its samples.
static void lay_out(const std::vector<Entry> &entries, const Layout &layout,
                    const std::function<void(const std::string &)> &put)
{
    std::vector<std::size_t> slots = layout.slots;
    if (slots.empty())
        for (std::size_t i = 0; i < entries.size(); ++i)
            slots.push_back(i);
    std::vector<std::uint32_t> offsets;
    std::size_t at = 6 + 4 * slots.size();
    for (const Entry &e : entries) {
        at += 19;
        offsets.push_back(static_cast<std::uint32_t>(at));
        at += e.samples.size();
    }
    std::string head = "MSRV" + u16le(static_cast<unsigned>(slots.size()));
    for (const std::size_t entry : slots)
        head += u32le(offsets.at(entry));
    put(head);
    const std::string unused4(4, layout.unused), unused1(1, layout.unused);
    for (const Entry &e : entries) {
        std::string name = e.name;
        name.resize(8, '\0');
        const auto size = e.declared < 0 ? e.samples.size() : static_cast<std::size_t>(e.declared);
        put(name + unused4 + u16le(e.rate_code) + unused1 + u32le(static_cast<std::uint32_t>(size)));
        put(e.samples);
    }
}

std::string contents(const std::vector<Entry> &entries, const Layout &layout)
{
    std::string file;
    lay_out(entries, layout, [&file](const std::string &piece) { file += piece; });
    return file;
}

bool write(const std::string &path, const std::vector<Entry> &entries, const Layout &layout)
{
    std::FILE *const out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool written = true;
    lay_out(entries, layout, [&](const std::string &piece) {
        written = written && std::fwrite(piece.data(), 1, piece.size(), out) == piece.size();
    });
    return (std::fclose(out) == 0) && written;
}

}  // namespace resource_writer
