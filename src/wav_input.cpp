// zumpack: the WAV reader. Walks the chunks with 64-bit positions, every
// size compared with what is left of the file before it is used, so that
// no size, however large or wrapped, reaches outside the file.
#include "wav_input.h"

#include "input.h"

#include <cmath>
#include <cstring>

namespace {
// What "fmt " says, once checked.
struct Format {
    bool is_float = false;
    std::uint32_t channels = 0;
    std::uint32_t rate = 0;
    std::uint32_t bytes = 0;  // per sample of one channel
};
}

// The tail of the subformat GUID of WAVE_FORMAT_EXTENSIBLE, after its
// 16-bit format tag: 0000-0010-8000-00AA00389B71.
static const unsigned char guid_tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                            0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// Reads the size bytes of a "fmt " chunk at p into *f; false with *error
// for what zumpack cannot take.
static bool read_format(const unsigned char *p, std::uint64_t size, Format *f, std::string *error)
{
    if (size < 16) {
        *error = "its format chunk is too short";
        return false;
    }
    std::uint32_t tag = read_u16le(p);
    if (tag == 0xFFFE) {  // WAVE_FORMAT_EXTENSIBLE: the real tag in the GUID
        if (size < 40 || read_u16le(p + 16) < 22 || std::memcmp(p + 26, guid_tail, sizeof guid_tail) != 0) {
            *error = "its extensible format chunk is damaged or of an unknown subformat";
            return false;
        }
        tag = read_u16le(p + 24);
    }
    f->channels = read_u16le(p + 2);
    f->rate = read_u32le(p + 4);
    const std::uint32_t block = read_u16le(p + 12);
    const std::uint32_t bits = read_u16le(p + 14);
    f->is_float = tag == 3;
    f->bytes = bits / 8;
    const bool pcm = tag == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    if (!pcm && !(f->is_float && bits == 32)) {
        *error = "it is neither 8, 16, 24 or 32-bit PCM nor 32-bit float";
        return false;
    }
    if (f->channels != 1 && f->channels != 2) {
        *error = "it has " + std::to_string(f->channels) + " channels; one or two are read";
        return false;
    }
    if (block != f->channels * f->bytes) {
        *error = "its block size does not match its channels and sample size";
        return false;
    }
    if (f->rate != 22050 && f->rate != 11025) {
        *error = "its rate is " + std::to_string(f->rate) +
                 " Hz; the format takes 22050 or 11025 Hz (convert it first: "
                 "sox IN.wav -r 22050 -c 1 -b 8 OUT.WAV)";
        return false;
    }
    return true;
}

// The sample at p as a fraction of full scale times 128, exact in a double
// (every integer format is a dyadic fraction of few bits).
static double sample_value(const unsigned char *p, const Format &f)
{
    if (f.is_float) {
        float v;
        const std::uint32_t u = read_u32le(p);
        std::memcpy(&v, &u, sizeof v);
        return std::isnan(v) ? 0.0 : static_cast<double>(v) * 128.0;
    }
    if (f.bytes == 1)
        return static_cast<double>(p[0]) - 128.0;
    std::uint32_t u = 0;
    for (std::uint32_t i = 0; i < f.bytes; ++i)
        u |= static_cast<std::uint32_t>(p[i]) << (8 * i + 8 * (4 - f.bytes));  // to the top
    const std::int64_t s = u >= 0x80000000u ? static_cast<std::int64_t>(u) - 0x100000000LL : u;
    return static_cast<double>(s) / 16777216.0;  // 2^24: full scale to 128
}

// Converts the frames at p (count of them) into 8-bit unsigned samples.
static void convert(const unsigned char *p, std::uint64_t count, const Format &f,
                    std::vector<unsigned char> *samples)
{
    samples->resize(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i, p += f.channels * f.bytes) {
        double v = sample_value(p, f);
        if (f.channels == 2)
            v = (v + sample_value(p + f.bytes, f)) / 2;
        const double r = std::floor(v + 0.5) + 128;
        (*samples)[static_cast<std::size_t>(i)] = static_cast<unsigned char>(r < 0 ? 0 : r > 255 ? 255 : r);
    }
}

bool decode_wav(const unsigned char *data, std::uint64_t size, std::vector<unsigned char> *samples,
                std::uint32_t *rate, std::string *error)
{
    if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
        *error = "it is not a RIFF/WAVE file";
        return false;
    }
    // The RIFF size may only shorten the file: bytes after it are no chunks.
    const std::uint64_t riff_end = std::uint64_t{read_u32le(data + 4)} + 8;
    const std::uint64_t end = riff_end < size ? riff_end : size;
    std::uint64_t fmt_at = 0, fmt_size = 0, data_at = 0, data_size = 0;
    bool have_fmt = false, have_data = false;
    for (std::uint64_t at = 12; end - at >= 8;) {
        const unsigned char *const head = data + at;
        const std::uint64_t chunk = read_u32le(head + 4);
        if (chunk > end - at - 8) {
            *error = std::string(std::memcmp(head, "data", 4) == 0 ? "its data" : "a") +
                     " chunk runs past the end of the file (truncated?)";
            return false;
        }
        if (std::memcmp(head, "fmt ", 4) == 0 && !have_fmt) {
            have_fmt = true;
            fmt_at = at + 8;
            fmt_size = chunk;
        } else if (std::memcmp(head, "data", 4) == 0 && !have_data) {
            have_data = true;
            data_at = at + 8;
            data_size = chunk;
        }
        at += 8 + chunk;
        if (chunk % 2 != 0 && at < end)  // the pad byte, which a last chunk may lack
            ++at;
    }
    if (!have_fmt || !have_data) {
        *error = have_fmt ? "it has no data chunk" : "it has no format chunk";
        return false;
    }
    Format f;
    if (!read_format(data + fmt_at, fmt_size, &f, error))
        return false;
    const std::uint64_t frame = f.channels * f.bytes;
    if (data_size % frame != 0) {
        *error = "its data chunk ends inside a sample";
        return false;
    }
    if (data_size / frame > UINT32_MAX) {
        *error = "it has more samples than an entry holds";
        return false;
    }
    convert(data + data_at, data_size / frame, f, samples);
    *rate = f.rate;
    return true;
}
