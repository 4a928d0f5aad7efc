// ZUM Sound Ripper: the console.
#include "console.h"

#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#include <cstdlib>
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

// Returns the length of the well-formed UTF-8 sequence at s for a character
// from U+00A0 up, which every terminal shows as text; 0 for anything else
// (C1 controls, overlong forms, surrogates, stray or cut-short bytes).
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
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code >= least[length] && code <= 0x10FFFF && !surrogate ? length : 0;
}

// Names come from the resource file: every byte that is not printable ASCII
// or part of a printable UTF-8 character is shown as '?', so that a file
// cannot drive the terminal (C0 and C1 controls, raw or UTF-8 encoded).
void say_name(const char *head, const char *name, const char *tail)
{
    std::fputs(head, stdout);
    const auto *s = reinterpret_cast<const unsigned char *>(name);
    while (*s != '\0') {
        const int length = printable_utf8_length(s);
        if (length > 0) {
            std::fwrite(s, 1, static_cast<std::size_t>(length), stdout);
            s += length;
        } else {
            std::putchar(*s >= 0x20 && *s < 0x7F ? *s : '?');
            ++s;
        }
    }
    say(tail);
}

#ifdef _WIN32
// Command-line text is UTF-8 here (see main). A console shows it only when
// written in UTF-16 through the console itself; files and pipes get the
// UTF-8 bytes, so that scripts read the characters the user typed.
static void put_arg(const char *arg)
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
static void put_arg(const char *arg)
{
    std::fputs(arg, stdout);
}
#endif

void say_arg(const char *head, const char *arg, const char *tail)
{
    std::fputs(head, stdout);
    put_arg(arg);
    say(tail);
}
