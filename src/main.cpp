// ZUM Sound Ripper: the run driver. Prints the banner, checks the command
// line, opens the sound resource file, checks its magic and entry count and
// has every entry extracted in table order.
#include "zumrip.h"

#include "console.h"
#include "input.h"
#include "output_file.h"

#include <csignal>
#include <cstring>

#ifdef _WIN32
#include "names_windows.h"
#else
#include <cerrno>
#include <fcntl.h>
#endif

// Expects argv[1] to name the sound resource file. Returns 0 with the input
// open; 1 when the argument count is not 2 (silently) or the path cannot be
// opened and read as a file ("File [%s] not found.").
int open_resource(int argc, char **argv)
{
    if (argc != 2)
        return 1;
    if (!open_input(argv[1])) {
        say_text("File [", argv[1], "] not found.\n");
        return 1;
    }
    return 0;
}

#ifndef _WIN32
// Opens each closed one of the standard descriptors 0, 1 and 2 on the null
// device, so that no file the tool opens takes its number: console text
// would go into it.
static void open_standard_descriptors()
{
    for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return;
}
#endif

// The run, from the banner to the exit status, over arguments in UTF-8.
static int run(int argc, char **argv)
{
#ifndef _WIN32
    open_standard_descriptors();
#endif
#ifdef SIGXFSZ
    // Past a file-size limit a write (of an output file, or of the copy of
    // a pipe) then fails with EFBIG, reported, instead of killing the tool.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    start_output();
    start_console();
    say("ZUM Sound Ripper\n----------------\n");
    if (open_resource(argc, argv) != 0) {
        const char *const program = argc > 0 && argv[0] != nullptr ? argv[0] : "zumrip";
        say_text("Usage: ", program, " <filename>\n - Where <filename> is a valid MRV sound resource.\n");
        return -1;
    }
    say_text("[", g_input_name, "] opened.  Processing...\n");

    // File header: magic "MSRV" and a 16-bit entry count. A file too short to
    // hold both is no sound resource. (Its bytes were read when it was opened.)
    unsigned char header[6] = {0};
    std::size_t got = 0;
    if (!read_input(header, sizeof header, &got) || got != sizeof header ||
        std::memcmp(header, "MSRV", 4) != 0) {
        say("This is not a valid MRV sound resource file.\n");
        close_input();
        return -1;
    }
    const std::uint16_t count = read_u16le(header + 4);
    char line[40];
    std::snprintf(line, sizeof line, "This file has %u entries.\n", static_cast<unsigned>(count));
    say(line);

    for (std::uint16_t index = 0; index < count; ++index)
        extract_entry(index);

    close_input();
    // A flush that fails leaves the clips said to be done perhaps not on
    // the disk: that is no success.
    if (!finish_output()) {
        say("Cannot flush the written clips to the disk... They may be lost.\n");
        return 1;
    }
    return 0;
}

#ifdef _WIN32
// Windows hands main its arguments in the ANSI code page, which loses every
// character outside it; wmain has them as typed. (Taking them from
// CommandLineToArgvW instead would load shell32, and with it user32 and
// gdi32, after which Windows no longer sends a console program the logoff
// and shutdown events.)
int wmain(int argc, wchar_t **wide)
{
    char **const argv = utf8_arguments(argc, wide);
    if (argv == nullptr)
        return -1;
    const int status = run(argc, argv);
    flush_console();
    return status;
}
#else
#ifdef ZUMRIP_ONE_MODULE
int zumrip_main(int argc, char **argv)  // the page's module holds zumpack too (web/page_main.cpp)
#else
int main(int argc, char **argv)
#endif
{
    const int status = run(argc, argv);
    flush_console();
    return status;
}
#endif
