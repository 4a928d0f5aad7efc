// ZUM Sound Ripper: the sound resource reader. Finds one entry through the
// offset table, reads its header up to the rate code, names the output file
// and hands the entry to the WAV writer.
// The layout of the file is told in resource_format.h.
#include "zumrip.h"

#include "console.h"
#include "input.h"
#include "output_file.h"
#include "resource_format.h"

#include <cstdio>
#include <cstring>

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
    seek_input(resource_table_start + 4u * std::uint64_t{index});
    if (!read_input(slot, sizeof slot, &slot_got)) {
        say_entry_failed(index, "cannot be read");
        return;
    }
    const std::uint64_t data_offset = read_u32le(slot);
    unsigned char head[entry_header_size] = {0};
    std::size_t head_got = 0;
    if (slot_got == sizeof slot && data_offset >= entry_header_size) {
        seek_input(data_offset - entry_header_size);
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
    std::memcpy(name, head, entry_name_size);
    name[entry_name_size] = '\0';
    char wav_name[40];
    output_name(name, wav_name, sizeof wav_name - 4);
    std::memcpy(wav_name + std::strlen(wav_name), ".WAV", 5);
    say_text("Creating ", wav_name, "... ");

    // The WAV writer reads on from just after the rate code.
    seek_input(data_offset - 5);
    const std::uint32_t rate = rate_of_code(read_u16le(head + entry_rate_at));
    if (rate == 22050) {
        say("[22KHz] ... ");
        convert_to_wav(wav_name, rate);
    } else if (rate == 11025) {
        say("[11KHz] ... ");
        convert_to_wav(wav_name, rate);
    } else {
        say("[WTF???] ... Aborting!\n");
    }
}
