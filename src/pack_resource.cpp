// zumpack: laying out and patching sound resources (layout in
// resource_format.h). Whole files are held in memory: a patch appends to
// its copy of the source and changes table slots in place, so patching one
// clip costs one read and one write of the file.
#include "pack_resource.h"

#include "input.h"
#include "output_file.h"
#include "resource_format.h"

#include <algorithm>
#include <cstring>
#include <map>

// Appends an entry header (name zero-padded, unused bytes from old or zero)
// and the clip's samples to *out; returns the new data offset.
static std::uint64_t append_entry(std::vector<unsigned char> *out, const unsigned char *old, const Clip &clip)
{
    unsigned char head[entry_header_size] = {0};
    if (old != nullptr)
        std::memcpy(head, old, sizeof head);
    else
        std::memcpy(head, clip.name.data(), clip.name.size());
    put_u16le(head + entry_rate_at, code_of_rate(clip.rate));
    put_u32le(head + entry_size_at, static_cast<std::uint32_t>(clip.samples.size()));
    out->insert(out->end(), head, head + sizeof head);
    const std::uint64_t data_offset = out->size();
    out->insert(out->end(), clip.samples.begin(), clip.samples.end());
    return data_offset;
}

// The size of the file once the clips' entries are appended to size bytes;
// UINT64_MAX when a data offset would not fit 32 bits.
static std::uint64_t grown_size(std::uint64_t size, const std::vector<const Clip *> &clips)
{
    for (const Clip *clip : clips) {
        size += entry_header_size;
        if (size > UINT32_MAX)
            return UINT64_MAX;
        size += clip->samples.size();
    }
    return size;
}

bool build_resource(const std::vector<Clip> &clips, std::vector<unsigned char> *out, std::string *error)
{
    std::vector<const Clip *> all;
    for (const Clip &clip : clips)
        all.push_back(&clip);
    const std::uint64_t table_end = resource_table_start + 4 * std::uint64_t{clips.size()};
    const std::uint64_t size = grown_size(table_end, all);
    if (clips.size() > UINT16_MAX || size == UINT64_MAX) {
        *error = "too many or too long clips for one sound resource";
        return false;
    }
    out->assign(static_cast<std::size_t>(table_end), 0);
    out->reserve(static_cast<std::size_t>(size));
    std::memcpy(out->data(), "MSRV", 4);
    put_u16le(out->data() + 4, static_cast<std::uint32_t>(clips.size()));
    for (std::size_t i = 0; i < clips.size(); ++i) {
        const auto data_offset = static_cast<std::uint32_t>(append_entry(out, nullptr, clips[i]));
        put_u32le(out->data() + resource_table_start + 4 * i, data_offset);
    }
    return true;
}

// The clip whose name the entry with data offset d in file has, as zumrip
// names its file; nullptr when none has, or zumrip skips the entry (its
// header not wholly in the file, an unknown rate code).
static const Clip *clip_of_entry(const std::vector<unsigned char> &file, std::uint64_t d,
                                 const std::vector<Clip> &clips)
{
    if (d < entry_header_size || d > file.size())
        return nullptr;
    const unsigned char *const head = file.data() + (d - entry_header_size);
    if (rate_of_code(read_u16le(head + entry_rate_at)) == 0)
        return nullptr;
    char name[entry_name_size + 1] = {0};
    std::memcpy(name, head, entry_name_size);
    char file_name[40];
    output_name(name, file_name, sizeof file_name);
    for (const Clip &clip : clips)
        if (clip.name == file_name)
            return &clip;
    return nullptr;
}

// How far the clips zumrip extracts from file reach: the file's size, or
// more where one is cut short by the end of the file. zumrip reads zero
// bytes there; written out before anything is appended, they keep such a
// clip as it was.
static std::uint64_t reach_of_clips(const std::vector<unsigned char> &file, std::uint32_t count)
{
    std::uint64_t reach = file.size();
    for (std::uint64_t i = 0; i < count && resource_table_start + 4 * i + 4 <= file.size(); ++i) {
        const std::uint64_t d = read_u32le(file.data() + resource_table_start + 4 * i);
        if (d < entry_header_size || d > file.size())
            continue;
        const unsigned char *const head = file.data() + (d - entry_header_size);
        const std::uint64_t samples = read_u32le(head + entry_size_at);
        if (rate_of_code(read_u16le(head + entry_rate_at)) != 0 && samples + 36 <= UINT32_MAX && d + samples > reach)
            reach = d + samples;  // (a clip too large for a WAV is not extracted)
    }
    return reach;
}

bool patch_resource(std::vector<unsigned char> *file, const std::vector<Clip> &clips, std::size_t *replaced,
                    std::string *error)
{
    const std::uint64_t size = file->size();
    if (size < resource_header_size || std::memcmp(file->data(), "MSRV", 4) != 0) {
        *error = "it is not a sound resource (no MSRV header)";
        return false;
    }
    // Old data offset -> its clip, in the order the table first reaches them.
    const std::uint32_t count = read_u16le(file->data() + 4);
    std::vector<std::uint64_t> slots_hit, offsets;
    std::vector<const Clip *> appended;
    std::map<std::uint64_t, std::size_t> index_of;  // old offset -> into offsets
    for (std::uint64_t i = 0; i < count && resource_table_start + 4 * i + 4 <= size; ++i) {
        const std::uint64_t d = read_u32le(file->data() + resource_table_start + 4 * i);
        const Clip *const clip = clip_of_entry(*file, d, clips);
        if (clip == nullptr)
            continue;
        slots_hit.push_back(i);
        if (index_of.emplace(d, offsets.size()).second) {
            offsets.push_back(d);
            appended.push_back(clip);
        }
    }
    for (const Clip &clip : clips)
        if (std::find(appended.begin(), appended.end(), &clip) == appended.end()) {
            *error = "no entry is named " + clip.name + " (from " + clip.file + ")";
            return false;
        }
    const std::uint64_t reach = appended.empty() ? size : reach_of_clips(*file, count);
    const std::uint64_t new_size = grown_size(reach, appended);
    if (new_size == UINT64_MAX) {
        *error = "the patched resource would be too large for the format's 32-bit offsets";
        return false;
    }
    file->reserve(static_cast<std::size_t>(new_size));
    file->resize(static_cast<std::size_t>(reach), 0);
    std::vector<std::uint64_t> moved;
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        unsigned char old[entry_header_size];
        std::memcpy(old, file->data() + (offsets[k] - entry_header_size), sizeof old);
        moved.push_back(append_entry(file, old, *appended[k]));
    }
    for (const std::uint64_t i : slots_hit) {
        unsigned char *const slot = file->data() + resource_table_start + 4 * i;
        put_u32le(slot, static_cast<std::uint32_t>(moved[index_of[read_u32le(slot)]]));
    }
    *replaced = offsets.size();
    return true;
}
