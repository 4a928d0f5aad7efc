// ZUM Sound Ripper: the sound resource reader. Finds one entry through the
// offset table, reads its header up to the rate code, names the output file
// and hands the entry to the WAV writer.
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
#include "zumrip.h"

#include "console.h"
#include "input.h"
#include "output_file.h"

#include <cstdio>
#include <cstring>

static const std::uint64_t table_start = 6;
static const std::uint64_t header_size = 19;  // entry header before D

// Prints "Entry N <what>... Aborting." for the entry at table index N.
static void say_entry_failed(std::uint16_t index, const char *what)
{
    char line[64];
    std::snprintf(line, sizeof line, "Entry %u %s... Aborting.\n", static_cast<unsigned>(index), what);
    say(line);
}

// Expects the input open. Reads table slot index, then the entry's name and
// rate code, prints "Creating NAME.WAV... " and the rate tag, and converts
// the entry; an unknown rate code ends the line with "[WTF???] ...
// Aborting!". A slot or entry header that does not lie wholly inside the
// file gets "Entry N is damaged... Aborting." instead, one that cannot be
// read "Entry N cannot be read... Aborting.".
void extract_entry(std::uint16_t index)
{
    // Whether a slot or header lies inside the file is learnt by reading it:
    // a stream is copied only as far as that.
    unsigned char slot[4] = {0};
    std::size_t slot_got = 0;
    seek_input(table_start + 4u * std::uint64_t{index});
    if (!read_input(slot, sizeof slot, &slot_got)) {
        say_entry_failed(index, "cannot be read");
        return;
    }
    const std::uint64_t data_offset = read_u32le(slot);
    unsigned char head[header_size] = {0};
    std::size_t head_got = 0;
    if (slot_got == sizeof slot && data_offset >= header_size) {
        seek_input(data_offset - header_size);
        if (!read_input(head, sizeof head, &head_got)) {
            say_entry_failed(index, "cannot be read");
            return;
        }
    }
    // D == file size is a whole header with every sample missing.
    if (head_got != sizeof head) {
        say_entry_failed(index, "is damaged");
        return;
    }

    // The name as this platform's file system takes it (up to 24 bytes of
    // UTF-8 for 8 bytes of a Windows code page), then ".WAV".
    char name[9];
    std::memcpy(name, head, 8);
    name[8] = '\0';
    char wav_name[40];
    output_name(name, wav_name, sizeof wav_name - 4);
    std::memcpy(wav_name + std::strlen(wav_name), ".WAV", 5);
    say_text("Creating ", wav_name, "... ");

    // The WAV writer reads on from just after the rate code.
    seek_input(data_offset - 5);
    const std::uint16_t rate_code = read_u16le(head + 12);
    if (rate_code == 0x0220) {
        say("[22KHz] ... ");
        convert_to_wav(wav_name, 22050);
    } else if (rate_code == 0x0340) {
        say("[11KHz] ... ");
        convert_to_wav(wav_name, 11025);
    } else {
        say("[WTF???] ... Aborting!\n");
    }
}
