// ZUM Sound Ripper: the layout of a sound resource file, the one place
// that knows it; zumrip reads by it and zumpack writes by it.
//
// File layout (integers little-endian, offsets absolute):
//   0      4      magic "MSRV"
//   4      2      entry count N
//   6      4*N    data offset D of each entry
// Each entry header is the 19 bytes before its data offset D:
//   D-19   8      name, zero-terminated unless 8 characters long
//   D-11   4      unused
//   D-7    2      rate code: 0x0220 = 22050 Hz, 0x0340 = 11025 Hz
//   D-5    1      unused
//   D-4    4      sample size S
//   D      S      8-bit mono samples
#ifndef ZUMRIP_RESOURCE_FORMAT_H
#define ZUMRIP_RESOURCE_FORMAT_H

#include <cstdint>

const std::uint64_t resource_header_size = 6;  // magic and entry count
const std::uint64_t resource_table_start = 6;
const std::uint64_t entry_header_size = 19;    // the header before D
const std::uint64_t entry_name_size = 8;       // at the header's start
const std::uint64_t entry_rate_at = 12;        // in the header: D-7
const std::uint64_t entry_size_at = 15;        // in the header: D-4

// The sample rate a rate code stands for; 0 for an unknown code.
std::uint32_t rate_of_code(std::uint16_t code);

// The rate code of a sample rate; 0 for a rate the format has no code for.
std::uint16_t code_of_rate(std::uint32_t rate);

// Encode little-endian integers into bytes, whatever the host's order.
inline void put_u16le(unsigned char *p, std::uint32_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}

inline void put_u32le(unsigned char *p, std::uint32_t value)
{
    put_u16le(p, value & 0xFFFFu);
    put_u16le(p + 2, value >> 16);
}

#endif
