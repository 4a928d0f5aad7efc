// ZUM Sound Ripper: the WAV writer. Reads an entry's sample size and sample
// bytes and writes them behind a 44-byte RIFF/WAVE header (PCM, mono,
// 8 bits per sample) into the output file.
#include "zumrip.h"

#include "console.h"
#include "conversion_buffer.h"
#include "input.h"
#include "output_file.h"
#include "resource_format.h"

#include <cstring>

static const std::uint64_t wav_header_size = 44;

// Fills the 44-byte WAV header for sample_count 8-bit mono samples played at
// sample_rate samples per second.
static void fill_wav_header(unsigned char *h, std::uint32_t sample_count, std::uint32_t sample_rate)
{
    std::memcpy(h + 0, "RIFF", 4);       // chunk identifier
    put_u32le(h + 4, sample_count + 36);  // RIFF length: file length less 8
    std::memcpy(h + 8, "WAVE", 4);       // form type
    std::memcpy(h + 12, "fmt ", 4);      // format chunk identifier
    put_u32le(h + 16, 16);                // format chunk length
    put_u16le(h + 20, 1);                 // format tag: PCM
    put_u16le(h + 22, 1);                 // channels: mono
    put_u32le(h + 24, sample_rate);       // samples per second
    put_u32le(h + 28, sample_rate);       // bytes per second: one byte a sample
    put_u16le(h + 32, 1);                 // block alignment in bytes
    put_u16le(h + 34, 8);                 // bits per sample
    std::memcpy(h + 36, "data", 4);      // data chunk identifier
    put_u32le(h + 40, sample_count);      // data length in bytes
}

// Expects the input just after the entry's rate code. Reads the unused byte
// and the sample size S, then S sample bytes (zero-padded when the file
// ends early) into a buffer behind the header, and writes the whole buffer
// as wav_name (see write_output for how existing files are replaced). Ends
// the line with "Done.", or with why the entry was abandoned: the resource
// file could not be read, too large for a WAV header, no buffer, the file
// could not be created or put in place, or it was not wholly written.
void convert_to_wav(const char *wav_name, std::uint32_t sample_rate)
{
    unsigned char rest[5] = {0};  // unused byte, then the sample size
    std::size_t got = 0;
    if (!read_input(rest, sizeof rest, &got)) {
        say_text("Cannot read [", g_input_name, "]... Aborting.\n");
        return;
    }
    const std::uint32_t sample_count = read_u32le(rest + 1);
    const std::uint64_t total = sample_count + wav_header_size;
    if (total - 8 > UINT32_MAX) {  // the RIFF length would not fit
        say("Too large for a WAV file... Aborting.\n");
        return;
    }

    unsigned char *const buffer = obtain_buffer(total, input_position(), wav_header_size);
    if (buffer == nullptr) {
        say("Can't allocate buffer for conversion.\n");
        return;
    }
    // Samples missing at the end of the file are zero: the file is written up
    // to what was read and then extended to its full length. Samples that
    // could not be read are no silence: nothing is written then.
    if (!read_input(buffer + wav_header_size, sample_count, &got)) {
        release_buffer(buffer, total);
        say_text("Cannot read [", g_input_name, "]... Aborting.\n");
        return;
    }
    fill_wav_header(buffer, sample_count, sample_rate);
    const OutputResult result = write_output(wav_name, buffer, wav_header_size + got, total);
    release_buffer(buffer, total);
    if (result == output_not_created)
        say_text("Cannot create [", wav_name, "]... Aborting.\n");
    else if (result == output_not_written)
        say_text("Cannot write [", wav_name, "]... Aborting.\n");
    else
        say("Done.\n");
}
