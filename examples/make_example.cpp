// Writes the bundled example sound resource: a few short synthesised clips
// at both sample rates, 8-bit unsigned mono, in the layout zumrip reads.
// Usage: make_example OUTPUT
#include "resource_writer.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

const double pi = 3.14159265358979323846;

// A tone whose frequency glides from f0 to f1 Hz over seconds, with short
// fades so that it starts and stops without a click.
std::string glide(double f0, double f1, double seconds, double rate)
{
    const auto count = static_cast<std::size_t>(seconds * rate);
    std::string out(count, '\0');
    double phase = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / static_cast<double>(count);
        phase += 2 * pi * (f0 + (f1 - f0) * t) / rate;
        const double fade = std::fmin(1.0, std::fmin(t, 1 - t) * 20);
        out[i] = static_cast<char>(std::lround(128 + 100 * fade * std::sin(phase)));
    }
    return out;
}

// A major chord on base Hz, plucked: each note decays.
std::string chord(double base, double seconds, double rate)
{
    const auto count = static_cast<std::size_t>(seconds * rate);
    std::string out(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double v = std::sin(2 * pi * base * t) + std::sin(2 * pi * base * 1.25 * t) +
                         std::sin(2 * pi * base * 1.5 * t);
        out[i] = static_cast<char>(std::lround(128 + 38 * v * std::exp(-3 * t)));
    }
    return out;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_example OUTPUT\n");
        return 2;
    }
    const std::vector<resource_writer::Entry> clips = {
        {"RISE", 0x0220, glide(300, 1200, 0.5, 22050)},
        {"FALL", 0x0340, glide(900, 250, 0.5, 11025)},
        {"BEEP", 0x0340, glide(880, 880, 0.25, 11025)},
        {"CHORD", 0x0220, chord(262, 0.8, 22050)},
    };
    if (!resource_writer::write(argv[1], clips)) {
        std::fprintf(stderr, "make_example: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
