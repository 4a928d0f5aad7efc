// ZUM Sound Ripper: the Windows name conversion.
#if defined(_WIN32)
#include "names_windows.h"

#include "output_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

static char s_entry[16];  // see last_entry

const char *last_entry()
{
    return s_entry;
}

bool wide_name(const char *name, wchar_t *out, int size)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, out, size) != 0;
}

char **utf8_arguments(int argc, wchar_t **wide)
{
    char **utf8 = static_cast<char **>(std::calloc(static_cast<std::size_t>(argc) + 1, sizeof *utf8));
    for (int i = 0; utf8 != nullptr && i < argc; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        utf8[i] = static_cast<char *>(std::malloc(static_cast<std::size_t>(bytes > 0 ? bytes : 1)));
        if (utf8[i] == nullptr || WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8[i], bytes, nullptr, nullptr) <= 0)
            return nullptr;
    }
    return utf8;
}

std::string utf8_name(const wchar_t *name)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 1 ? static_cast<std::size_t>(bytes) : 1, '\0');
    if (bytes > 1 && WideCharToMultiByte(CP_UTF8, 0, name, -1, &out[0], bytes, nullptr, nullptr) == bytes)
        out.resize(static_cast<std::size_t>(bytes - 1));
    else
        out.clear();
    return out;
}

// The length in bytes of the character of code_page that starts at p: one
// when it would run past the end of the name.
static int character_length(UINT code_page, const unsigned char *p)
{
    int length = 1;
    if (code_page == CP_UTF8)
        length = *p >= 0xF0 ? 4 : *p >= 0xE0 ? 3 : *p >= 0xC0 ? 2 : 1;
    else if (IsDBCSLeadByteEx(code_page, *p))
        length = 2;
    return std::strlen(reinterpret_cast<const char *>(p)) >= static_cast<std::size_t>(length) ? length : 1;
}

static bool is_hex_digit(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Converts the character of length bytes at p from code_page into wide (two
// units); returns how many units it gave, 0 when it does not convert. A
// byte the ANSI code page leaves undefined (0x81, 0x8D, 0x8F, 0x90 and 0x9D
// in 1252) converts without error to the C1 control character of the same
// number: that counts as not converting, or it would name a file with a
// control character.
static int convert_character(UINT code_page, const unsigned char *p, int length, wchar_t *wide)
{
    const int units = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, reinterpret_cast<const char *>(p), length,
                                          wide, 2);
    if (code_page != CP_UTF8 && units == 1 && wide[0] >= 0x80 && wide[0] <= 0x9F)
        return 0;
    return units;
}

void output_name(const char *name, char *out, std::size_t size)
{
    std::strncpy(s_entry, name, sizeof s_entry - 1);
    // Well-formed UTF-8 is read as such, anything else in the ANSI code
    // page, a character at a time, strictly: a byte that does not convert
    // (a lead byte cut off by the end of the name, a byte the code page
    // lacks) becomes '%' and its two hex digits, and a '%' that two hex
    // digits follow becomes %25, so that no two names give one.
    const UINT code_page =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0) != 0 ? CP_UTF8 : GetACP();
    std::size_t used = 0;
    out[0] = '\0';
    for (const auto *p = reinterpret_cast<const unsigned char *>(name); *p != '\0';) {
        const int length = character_length(code_page, p);
        const bool percent = *p == '%' && is_hex_digit(p[1]) && is_hex_digit(p[2]);
        wchar_t wide[2];
        const int units = percent ? 0 : convert_character(code_page, p, length, wide);
        char piece[16];
        if (units > 0) {
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, units, piece, sizeof piece - 1, nullptr, nullptr);
            piece[bytes > 0 ? bytes : 0] = '\0';
            p += length;
        } else {
            std::snprintf(piece, sizeof piece, "%%%02X", *p);
            ++p;
        }
        const std::size_t piece_length = std::strlen(piece);
        if (used + piece_length >= size)
            break;
        std::memcpy(out + used, piece, piece_length + 1);
        used += piece_length;
    }
}
#endif
