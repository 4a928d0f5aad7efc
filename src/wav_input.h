// zumpack: WAV files as real tools write them, turned into the 8-bit
// unsigned mono samples of a sound resource entry.
#ifndef ZUMRIP_WAV_INPUT_H
#define ZUMRIP_WAV_INPUT_H

#include <cstdint>
#include <string>
#include <vector>

// Expects the whole file, size bytes at data. Reads RIFF/WAVE with its
// chunks in any order, "fmt " as PCM, IEEE float or WAVE_FORMAT_EXTENSIBLE
// of either: 8-bit unsigned, 16, 24 or 32-bit signed, 32-bit float; one or
// two channels (two are mixed by their mean); 22050 or 11025 Hz. Wider
// samples are rounded to the nearest 8-bit value, without dither, so that
// every machine makes the same bytes. Sets *samples and *rate and returns
// true; returns false with the reason in *error, a sentence without the
// file's name, for anything else, damage and hostile sizes included.
bool decode_wav(const unsigned char *data, std::uint64_t size, std::vector<unsigned char> *samples,
                std::uint32_t *rate, std::string *error);

#endif
