// ZUM Sound Ripper: the console.
#include "console.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

static bool s_flush_each = false;  // standard output is a terminal

void start_console()
{
    s_flush_each = isatty(fileno(stdout)) != 0;
    if (!s_flush_each)
        std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
}

void say(const char *text)
{
    std::fputs(text, stdout);
    if (s_flush_each)
        std::fflush(stdout);
}

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
    return code >= least[length] && code <= 0x10FFFF && !hides_text(code) ? length : 0;
}

// Returns a copy of text, as long as it, in which every byte that is not
// printable ASCII or part of a printable UTF-8 character is '?', so that
// what a file or its name holds cannot drive the terminal or fake the line;
// nullptr when there is no memory for it. The caller frees it.
static char *shown_text(const char *text)
{
    const std::size_t size = std::strlen(text) + 1;
    char *const shown = static_cast<char *>(std::malloc(size));
    if (shown == nullptr)
        return nullptr;
    std::memcpy(shown, text, size);
    for (auto *s = reinterpret_cast<unsigned char *>(shown); *s != '\0';) {
        const int length = printable_utf8_length(s);
        if (length > 0) {
            s += length;
        } else {
            *s = *s >= 0x20 && *s < 0x7F ? *s : '?';
            ++s;
        }
    }
    return shown;
}

#ifdef _WIN32
// Text is UTF-8 here (see main and output_name). A console shows it only
// when written in UTF-16 through the console itself; files and pipes get the
// UTF-8 bytes, so that scripts read the characters the user typed.
static void put_text(const char *arg)
{
    DWORD mode = 0;
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    const int length = MultiByteToWideChar(CP_UTF8, 0, arg, -1, nullptr, 0);
    wchar_t *const wide = length > 1 && GetConsoleMode(console, &mode)
        ? static_cast<wchar_t *>(std::calloc(static_cast<std::size_t>(length), sizeof *wide)) : nullptr;
    if (wide != nullptr && MultiByteToWideChar(CP_UTF8, 0, arg, -1, wide, length) > 0) {
        std::fflush(stdout);  // keep the order with what stdio holds
        DWORD written = 0;
        WriteConsoleW(console, wide, static_cast<DWORD>(length - 1), &written, nullptr);
    } else {
        std::fputs(arg, stdout);
    }
    std::free(wide);
}
#else
static void put_text(const char *arg)
{
    std::fputs(arg, stdout);
}
#endif

void say_text(const char *head, const char *text, const char *tail)
{
    char *const shown = shown_text(text);
    std::fputs(head, stdout);
    put_text(shown != nullptr ? shown : "?");
    std::free(shown);
    say(tail);
}
