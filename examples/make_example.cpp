// Writes the bundled example sound resource: a few short synthesised clips
// at both sample rates, 8-bit unsigned mono, in the layout zumrip reads.
// Usage: make_example OUTPUT
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Clip {
    const char *name;      // at most 8 characters
    std::uint16_t rate_code;
    std::vector<unsigned char> samples;
};

const double pi = 3.14159265358979323846;

// A tone whose frequency glides from f0 to f1 Hz over seconds, with short
// fades so that it starts and stops without a click.
std::vector<unsigned char> glide(double f0, double f1, double seconds, double rate)
{
    const auto count = static_cast<std::size_t>(seconds * rate);
    std::vector<unsigned char> out(count);
    double phase = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / static_cast<double>(count);
        phase += 2 * pi * (f0 + (f1 - f0) * t) / rate;
        const double fade = std::fmin(1.0, std::fmin(t, 1 - t) * 20);
        out[i] = static_cast<unsigned char>(std::lround(128 + 100 * fade * std::sin(phase)));
    }
    return out;
}

// A major chord on base Hz, plucked: each note decays.
std::vector<unsigned char> chord(double base, double seconds, double rate)
{
    const auto count = static_cast<std::size_t>(seconds * rate);
    std::vector<unsigned char> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double v = std::sin(2 * pi * base * t) + std::sin(2 * pi * base * 1.25 * t) +
                         std::sin(2 * pi * base * 1.5 * t);
        out[i] = static_cast<unsigned char>(std::lround(128 + 38 * v * std::exp(-3 * t)));
    }
    return out;
}

void put_u16le(std::string &out, unsigned value)
{
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void put_u32le(std::string &out, std::uint32_t value)
{
    put_u16le(out, value & 0xFFFF);
    put_u16le(out, value >> 16);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_example OUTPUT\n");
        return 2;
    }
    const std::vector<Clip> clips = {
        {"RISE", 0x0220, glide(300, 1200, 0.5, 22050)},
        {"FALL", 0x0340, glide(900, 250, 0.5, 11025)},
        {"BEEP", 0x0340, glide(880, 880, 0.25, 11025)},
        {"CHORD", 0x0220, chord(262, 0.8, 22050)},
    };

    std::string file = "MSRV";
    put_u16le(file, static_cast<unsigned>(clips.size()));
    std::string body;
    const std::size_t body_start = 6 + 4 * clips.size();
    for (const Clip &clip : clips) {
        std::string name(clip.name);
        name.resize(8, '\0');
        body += name;
        put_u32le(body, 0);               // unused
        put_u16le(body, clip.rate_code);
        body += '\0';                     // unused
        put_u32le(body, static_cast<std::uint32_t>(clip.samples.size()));
        put_u32le(file, static_cast<std::uint32_t>(body_start + body.size()));  // data offset
        body.append(clip.samples.begin(), clip.samples.end());
    }
    file += body;

    std::FILE *out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size() ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "make_example: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
