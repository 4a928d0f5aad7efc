// ZUM Sound Ripper: the names of output files.
#include "name_policy.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

struct CaseRun {
    char32_t first, last;
    std::int32_t offset;
    std::uint32_t stride;
};
#include "case_folding_table.h"

bool leaves_folder(const char *name)
{
    return std::strpbrk(name, "/\\") != nullptr;
}

bool names_windows_device(const char *name)
{
    std::size_t length = std::strcspn(name, ".");
    while (length > 0 && name[length - 1] == ' ')
        --length;
    char base[8] = {0};
    if (length >= sizeof base)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = name[i];
        base[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (std::strcmp(base, device) == 0)
            return true;
    if (std::strncmp(base, "COM", 3) != 0 && std::strncmp(base, "LPT", 3) != 0)
        return false;
    const auto *digit = reinterpret_cast<const unsigned char *>(base + 3);
    if (digit[0] >= '0' && digit[0] <= '9')
        return digit[1] == 0;
    if (digit[0] == 0xC2)  // UTF-8 of the superscripts; 0xB9, 0xB2, 0xB3 in Windows-1252
        ++digit;
    return (digit[0] == 0xB9 || digit[0] == 0xB2 || digit[0] == 0xB3) && digit[1] == 0;
}

char32_t fold_code_point(char32_t code)
{
    std::size_t low = 0, high = sizeof case_runs / sizeof *case_runs;
    while (low < high) {  // the first run that ends at or after code
        const std::size_t mid = low + (high - low) / 2;
        if (case_runs[mid].last < code)
            low = mid + 1;
        else
            high = mid;
    }
    if (low == sizeof case_runs / sizeof *case_runs)
        return code;
    const CaseRun &run = case_runs[low];
    if (code < run.first || (code - run.first) % run.stride != 0)
        return code;
    return static_cast<char32_t>(static_cast<std::int64_t>(code) + run.offset);
}

// Decodes the well-formed UTF-8 character at s into *code and returns its
// length; 0 when s starts no such character (a stray or cut-short byte, an
// overlong form, a surrogate, past U+10FFFF).
static int decode_utf8(const unsigned char *s, char32_t *code)
{
    const int length = s[0] < 0x80 ? 1 : s[0] >= 0xF0 ? 4 : s[0] >= 0xE0 ? 3 : s[0] >= 0xC2 ? 2 : 0;
    if (length == 0 || s[0] > 0xF4)
        return 0;
    char32_t c = length == 1 ? s[0] : s[0] & (0x7Fu >> length);
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80)  // also stops at the terminating zero
            return 0;
        c = c << 6 | (s[i] & 0x3Fu);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    *code = c;
    return length;
}

static void append_utf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string folded_name(const char *name)
{
    std::string out;
    out.reserve(std::strlen(name));
    for (const auto *s = reinterpret_cast<const unsigned char *>(name); *s != '\0';) {
        if (*s < 0x80) {  // most names: no table needed
            out += static_cast<char>(*s >= 'A' && *s <= 'Z' ? *s - 'A' + 'a' : *s);
            ++s;
            continue;
        }
        char32_t code = 0;
        const int length = decode_utf8(s, &code);
        if (length == 0) {
            out += static_cast<char>(*s++);
        } else {
            append_utf8(out, fold_code_point(code));
            s += length;
        }
    }
    return out;
}

Reached how_reached(const char *name, const char *listed)
{
    if (listed == nullptr || std::strcmp(name, listed) == 0)
        return reached_itself;
    return folded_name(name) == folded_name(listed) ? reached_case_variant : reached_other;
}
