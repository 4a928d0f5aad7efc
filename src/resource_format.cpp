// ZUM Sound Ripper: the rate codes of the sound resource format.
#include "resource_format.h"

std::uint32_t rate_of_code(std::uint16_t code)
{
    return code == 0x0220 ? 22050 : code == 0x0340 ? 11025 : 0;
}

std::uint16_t code_of_rate(std::uint32_t rate)
{
    return rate == 22050 ? 0x0220 : rate == 11025 ? 0x0340 : 0;
}
