// ZUM Sound Ripper: the run driver. Prints the banner, checks the command
// line, opens the sound resource file, checks its magic and entry count and
// has every entry extracted in table order.
#include "zumrip.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

std::FILE *g_input = nullptr;
std::uint64_t g_input_size = 0;

static bool s_flush_each = false;  // standard output is a terminal
static const char *s_shown_name = "";

// The input stream is read through two windows of 64 KiB. Entries alternate
// between the offset table and their own headers and samples, so one window
// would be refilled twice per entry; two keep both regions at hand.
static const std::size_t window_size = 1 << 16;

struct InputWindow {
    std::uint64_t start;   // file position of bytes[0]
    std::size_t length;    // bytes held; less than window_size at end of file
    std::uint64_t last_use;
    unsigned char bytes[window_size];
};

static InputWindow s_windows[2];
static std::uint64_t s_position = 0;  // where the next read starts
static std::uint64_t s_use_count = 0;

// Moves the underlying stream to an absolute position, clearing any
// end-of-file or error state of an earlier read.
static void seek_stream(std::uint64_t position)
{
#ifdef _WIN32
    _fseeki64(g_input, static_cast<__int64>(position), SEEK_SET);
#else
    fseeko(g_input, static_cast<off_t>(position), SEEK_SET);
#endif
    std::clearerr(g_input);
}

// Returns the window that holds the n bytes at s_position, refilling the
// one used least recently when neither does.
static InputWindow &window_at(std::size_t n)
{
    for (InputWindow &w : s_windows)
        if (w.length > 0 && s_position >= w.start && s_position + n <= w.start + w.length)
            return w;
    InputWindow &w = s_windows[0].last_use <= s_windows[1].last_use ? s_windows[0] : s_windows[1];
    seek_stream(s_position);
    w.start = s_position;
    w.length = std::fread(w.bytes, 1, window_size, g_input);
    return w;
}

void seek_input(std::uint64_t position)
{
    s_position = position;
}

std::size_t read_input(void *buffer, std::size_t n)
{
    auto *const out = static_cast<unsigned char *>(buffer);
    std::size_t got = 0;
    if (n > window_size / 2) {  // sample bytes: straight into the caller's buffer
        seek_stream(s_position);
        got = std::fread(out, 1, n, g_input);
    } else {
        InputWindow &w = window_at(n);
        w.last_use = ++s_use_count;
        const std::uint64_t skip = s_position - w.start;
        if (skip < w.length)
            got = std::min<std::size_t>(n, w.length - static_cast<std::size_t>(skip));
        std::memcpy(out, w.bytes + skip, got);
    }
    s_position += got;
    return got;
}

// Ends a console message: on a terminal it must be on screen at once.
static void end_message()
{
    if (s_flush_each)
        std::fflush(stdout);
}

void say(const char *text)
{
    std::fputs(text, stdout);
    end_message();
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

// Finds the size of the open input file in bytes by seeking to its end;
// 0 when the stream cannot seek.
static std::uint64_t input_size()
{
#ifdef _WIN32
    const bool at_end = _fseeki64(g_input, 0, SEEK_END) == 0;
    const __int64 size = at_end ? _ftelli64(g_input) : -1;
#else
    const bool at_end = fseeko(g_input, 0, SEEK_END) == 0;
    const off_t size = at_end ? ftello(g_input) : -1;
#endif
    seek_stream(0);
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

// Expects argv[1] to name the sound resource file. Returns 0 with g_input
// open and the shown name set; 1 when the argument count is not 2 (silently)
// or the path cannot be opened as a file ("File [%s] not found.").
int open_resource(int argc, char **argv)
{
    if (argc != 2)
        return 1;
    g_input = std::fopen(argv[1], "rb");
    // A directory opens for reading on some systems but is no resource file.
    struct stat info;
    if (g_input != nullptr && (fstat(fileno(g_input), &info) != 0 || S_ISDIR(info.st_mode))) {
        std::fclose(g_input);
        g_input = nullptr;
    }
    if (g_input == nullptr) {
        std::printf("File [%s] not found.\n", argv[1]);
        end_message();
        return 1;
    }
    std::setvbuf(g_input, nullptr, _IONBF, 0);  // read through the windows above
    g_input_size = input_size();
    for (InputWindow &w : s_windows)
        w.length = 0;
    s_position = 0;
    s_shown_name = argv[1];
    return 0;
}

int main(int argc, char **argv)
{
    s_flush_each = isatty(fileno(stdout)) != 0;
    if (!s_flush_each)
        std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);

    say("ZUM Sound Ripper\n----------------\n");
    if (open_resource(argc, argv) != 0) {
        const char *const program = argc > 0 && argv[0] != nullptr ? argv[0] : "zumrip";
        std::printf("Usage: %s <filename>\n - Where <filename> is a valid MRV sound resource.\n",
                    program);
        return -1;
    }
    std::printf("[%s] opened.  Processing...\n", s_shown_name);
    end_message();

    // File header: magic "MSRV" and a 16-bit entry count. A file too short to
    // hold both is no sound resource.
    unsigned char header[6] = {0};
    if (read_input(header, sizeof header) != sizeof header || std::memcmp(header, "MSRV", 4) != 0) {
        say("This is not a valid MRV sound resource file.\n");
        std::fclose(g_input);
        return -1;
    }
    const std::uint16_t count = read_u16le(header + 4);
    std::printf("This file has %u entries.\n", static_cast<unsigned>(count));
    end_message();

    for (std::uint16_t index = 0; index < count; ++index)
        extract_entry(index);

    std::fclose(g_input);
    return 0;
}
