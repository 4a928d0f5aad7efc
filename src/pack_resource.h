// zumpack: sound resources made from clips, or patched with them.
#ifndef ZUMRIP_PACK_RESOURCE_H
#define ZUMRIP_PACK_RESOURCE_H

#include <cstdint>
#include <string>
#include <vector>

// One WAV file as zumpack takes it.
struct Clip {
    std::string file;                   // its path, for messages
    std::string name;                   // the entry's name as zumrip names its file, no ".WAV"
    std::vector<unsigned char> samples; // 8-bit unsigned mono
    std::uint32_t rate = 0;             // 22050 or 11025
};

// Makes in *out a new resource of the clips in their order, each name at
// most 8 bytes (the caller checks), the unused bytes zero. False with the
// reason in *error when the format cannot hold them.
bool build_resource(const std::vector<Clip> &clips, std::vector<unsigned char> *out, std::string *error);

// Expects *file to hold a whole resource. Replaces the samples of every
// entry whose name, as zumrip names its file, is a clip's name: the
// entry's old header (its unused bytes kept, its rate code and sample size
// new) and the clip's samples go to the end of the file, and every table
// slot that reached the old entry is pointed there; a clip cut short by
// the end of the file first gets the zero bytes zumrip reads for it, so
// that it stays as it was. Entries zumrip skips
// (damaged, of an unknown rate) are never matched. Sets *replaced to the
// number of entries replaced. False with the reason in *error, *file
// untouched, when it is no resource, a clip names no entry, or the result
// would not fit the format's 32-bit offsets.
bool patch_resource(std::vector<unsigned char> *file, const std::vector<Clip> &clips, std::size_t *replaced,
                    std::string *error);

#endif
