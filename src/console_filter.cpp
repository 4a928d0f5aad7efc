// ZUM Sound Ripper: what the console shows of a text from outside.
#include "console_filter.h"

#include <cstddef>

// Characters that are well-formed but show as nothing or are no text: they
// reorder or break the line, hide, or render as nothing at all. From the
// Unicode Character Database 15.0.0, merged into ranges from U+00A0 up: the
// property Default_Ignorable_Code_Point (DerivedCoreProperties.txt), the
// general categories Cc, Cf, Co, Cs, Zl and Zp
// (extracted/DerivedGeneralCategory.txt) and Noncharacter_Code_Point
// (PropList.txt).
static const std::uint32_t hidden_ranges[][2] = {
    {0x00AD, 0x00AD}, {0x034F, 0x034F}, {0x0600, 0x0605}, {0x061C, 0x061C}, {0x06DD, 0x06DD},
    {0x070F, 0x070F}, {0x0890, 0x0891}, {0x08E2, 0x08E2}, {0x115F, 0x1160}, {0x17B4, 0x17B5},
    {0x180B, 0x180F}, {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x206F}, {0x3164, 0x3164},
    {0xD800, 0xF8FF}, {0xFDD0, 0xFDEF}, {0xFE00, 0xFE0F}, {0xFEFF, 0xFEFF}, {0xFFA0, 0xFFA0},
    {0xFFF0, 0xFFFB}, {0xFFFE, 0xFFFF}, {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
    {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0x1FFFE, 0x1FFFF}, {0x2FFFE, 0x2FFFF}, {0x3FFFE, 0x3FFFF},
    {0x4FFFE, 0x4FFFF}, {0x5FFFE, 0x5FFFF}, {0x6FFFE, 0x6FFFF}, {0x7FFFE, 0x7FFFF}, {0x8FFFE, 0x8FFFF},
    {0x9FFFE, 0x9FFFF}, {0xAFFFE, 0xAFFFF}, {0xBFFFE, 0xBFFFF}, {0xCFFFE, 0xCFFFF}, {0xDFFFE, 0xE0FFF},
    {0xEFFFE, 0x10FFFF},
};

static bool hides_text(std::uint32_t code)
{
    std::size_t low = 0, high = sizeof hidden_ranges / sizeof *hidden_ranges;
    while (low < high) {  // the first range that ends at or after code
        const std::size_t mid = low + (high - low) / 2;
        if (hidden_ranges[mid][1] < code)
            low = mid + 1;
        else
            high = mid;
    }
    return low < sizeof hidden_ranges / sizeof *hidden_ranges && hidden_ranges[low][0] <= code;
}

bool shows_as_text(std::uint32_t code)
{
    return code >= 0xA0 && code <= 0x10FFFF && !hides_text(code);
}

// Returns the length of the well-formed UTF-8 sequence at s for a character
// from U+00A0 up that every terminal shows as text; 0 for anything else
// (C1 controls, overlong forms, stray or cut-short bytes, and the characters
// of hidden_ranges).
static int printable_utf8_length(const unsigned char *s)
{
    const int length = s[0] >= 0xF0 ? 4 : s[0] >= 0xE0 ? 3 : s[0] >= 0xC0 ? 2 : 0;
    if (length == 0 || s[0] > 0xF4)
        return 0;
    std::uint32_t code = s[0] & (0x7Fu >> length);
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80)  // also stops at the terminating zero
            return 0;
        code = code << 6 | (s[i] & 0x3Fu);
    }
    const std::uint32_t least[] = {0, 0, 0xA0, 0x800, 0x10000};
    return code >= least[length] && shows_as_text(code) ? length : 0;
}

std::string shown_text(const char *text)
{
    std::string shown(text);
    for (std::size_t i = 0; i < shown.size();) {
        const int length = printable_utf8_length(reinterpret_cast<const unsigned char *>(shown.c_str()) + i);
        if (length > 0) {
            i += static_cast<std::size_t>(length);
        } else {
            const unsigned char c = static_cast<unsigned char>(shown[i]);
            shown[i++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
    }
    return shown;
}
