// ZUM Sound Ripper: the console.
#include "console.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
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

// Names come from the resource file: control bytes are shown as '?' so that
// a file cannot drive the terminal.
void say_name(const char *head, const char *name, const char *tail)
{
    std::fputs(head, stdout);
    for (const char *c = name; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        std::putchar(byte < 0x20 || byte == 0x7F ? '?' : byte);
    }
    say(tail);
}

void say_arg(const char *head, const char *arg, const char *tail)
{
    std::fputs(head, stdout);
    std::fputs(arg, stdout);
    say(tail);
}
