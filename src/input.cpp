// ZUM Sound Ripper: the input stream, read through two 64 KiB windows.
//
// A file that cannot seek (a pipe, a FIFO, a terminal, a character device)
// is read as far as the run needs and no further: its first six bytes are
// looked at before anything is copied, and an anonymous temporary copy
// grows as reads reach further, so a clip is extracted as soon as its bytes
// have arrived and whatever follows the resource is never read.
#include "input.h"

#include "input_platform.h"
#include "zumrip.h"

#include <algorithm>
#include <cstring>

std::FILE *g_input = nullptr;
const char *g_input_name = "";

// Entries alternate between the offset table and their own headers and
// samples, so one window would be refilled twice per entry; two keep both
// regions at hand.
static const std::size_t window_size = 1 << 16;

struct InputWindow {
    std::uint64_t start;   // file position of bytes[0]
    std::size_t length;    // bytes held
    std::uint64_t last_use;
    unsigned char bytes[window_size];
};

static InputWindow s_windows[2];
static std::uint64_t s_position = 0;  // where the next read starts
static std::uint64_t s_use_count = 0;
static std::uint64_t s_end = 0;       // size of the input, once known

// A stream being copied into g_input: the stream, its first bytes (read
// before anything is copied), and how far the copy reaches. Pieces of the
// stream pass through s_piece. Once a piece cannot be stored (the temporary
// folder full, a size limit), the copy ends where it could not grow: bytes
// from there on were lost, so no read that needs them is ever served.
static std::FILE *s_stream = nullptr;
static unsigned char s_head[6];
static std::size_t s_head_length = 0;
static std::uint64_t s_copied = 0;
static bool s_copy_broken = false;
static unsigned char s_piece[window_size];
static const std::uint64_t unknown_end = UINT64_MAX;

// Stores n bytes of the stream at the end of the copy. False when not all
// of them could be stored: the copy is broken from there on.
static bool store(const unsigned char *bytes, std::size_t n)
{
    const std::size_t stored = write_at(g_input, s_copied, bytes, n);
    s_copied += stored;
    s_copy_broken = stored != n;
    return !s_copy_broken;
}

// Makes the copy of the stream reach end, or the end of the stream: pieces
// as the stream gives them, so no waiting for bytes that are not needed.
// The first bytes go first. False when the stream fails or the copy cannot
// reach end.
static bool copy_stream_to(std::uint64_t end)
{
    if (s_copied < s_head_length && !s_copy_broken && !store(s_head, s_head_length))
        return false;
    while (s_copied < end && s_end == unknown_end) {
        if (s_copy_broken)
            return false;
        const long long got = read_some(s_stream, s_piece, window_size);
        if (got < 0 || !store(s_piece, static_cast<std::size_t>(got)))
            return false;
        if (got == 0)
            s_end = s_copied;
    }
    return true;
}

// Reads up to n bytes at an absolute position of the file into out, setting
// *got to how many it read; of a stream, needed of them (at most n) are
// waited for and the rest only as far as they have arrived. Fewer than
// needed only at the end of the file. False when the file or the stream
// reports an error rather than its end, or the copy cannot hold the bytes.
static bool read_stream(std::uint64_t position, unsigned char *out, std::size_t n, std::size_t needed,
                        std::size_t *got)
{
    *got = 0;
    if (s_stream != nullptr) {
        if (!copy_stream_to(position + needed))
            return false;
        n = position < s_copied ? static_cast<std::size_t>(std::min<std::uint64_t>(n, s_copied - position)) : 0;
    }
    std::clearerr(g_input);
    if (!seek_file(g_input, position))
        return false;
    *got = std::fread(out, 1, n, g_input);
    return std::ferror(g_input) == 0;
}

// Returns the window that holds the n bytes at s_position, refilling the
// one used least recently when neither does; nullptr when that refill
// failed. A failed refill leaves the window empty: its bytes are never
// served. A refilled window holds fewer than n bytes only at the end of the
// file.
static InputWindow *window_at(std::size_t n)
{
    for (InputWindow &w : s_windows)
        if (w.length > 0 && s_position >= w.start && s_position + n <= w.start + w.length)
            return &w;
    InputWindow &w = s_windows[0].last_use <= s_windows[1].last_use ? s_windows[0] : s_windows[1];
    w.start = s_position;
    if (read_stream(s_position, w.bytes, window_size, n, &w.length))
        return &w;
    w.length = 0;
    return nullptr;
}

void seek_input(std::uint64_t position)
{
    s_position = position;
}

std::uint64_t input_position()
{
    return s_position;
}

bool read_input(void *buffer, std::size_t n, std::size_t *got)
{
    auto *const out = static_cast<unsigned char *>(buffer);
    *got = 0;
    if (s_position >= s_end)
        return true;
    // Sample bytes go straight into the caller's buffer, and so does a
    // request whose window could not be read: a bad sector further on then
    // costs only what lies on it.
    InputWindow *const w = n <= window_size / 2 ? window_at(n) : nullptr;
    if (w == nullptr) {
        if (!read_stream(s_position, out, n, n, got)) {
            *got = 0;
            return false;
        }
    } else {
        w->last_use = ++s_use_count;
        const std::uint64_t skip = s_position - w->start;
        if (skip < w->length)
            *got = std::min<std::size_t>(n, w->length - static_cast<std::size_t>(skip));
        std::memcpy(out, w->bytes + skip, *got);
    }
    s_position += *got;
    return true;
}

// Reads the first bytes of the stream, up to six (magic and entry count),
// before anything is copied, and serves them from the first window: a
// stream that is no resource file costs no copy. False on a read error.
static bool look_at_stream()
{
    for (s_head_length = 0; s_head_length < sizeof s_head;) {
        const long long got = read_some(s_stream, s_head + s_head_length, sizeof s_head - s_head_length);
        if (got < 0)
            return false;
        if (got == 0) {
            s_end = s_head_length;
            break;
        }
        s_head_length += static_cast<std::size_t>(got);
    }
    InputWindow &w = s_windows[0];
    std::memcpy(w.bytes, s_head, s_head_length);
    w.start = 0;
    w.length = s_head_length;
    return true;
}

bool open_input(const char *path)
{
    std::FILE *const file = open_for_reading(path);
    const InputKind kind = file != nullptr ? input_kind(file) : input_unusable;
    for (InputWindow &w : s_windows)
        w.length = 0;
    s_position = 0;
    s_copied = 0;
    s_copy_broken = false;
    s_head_length = 0;
    if (kind == input_seekable) {
        g_input = file;
        s_end = file_size(file);
    } else if (kind == input_stream) {
        s_stream = file;  // copied into g_input, which is read like a file
        g_input = create_spool();
        s_end = unknown_end;
    }
    if (g_input == nullptr) {
        if (file != nullptr)
            std::fclose(file);
        s_stream = nullptr;
        return false;
    }
    std::setvbuf(g_input, nullptr, _IONBF, 0);  // read through the windows above
    // The file header comes into a window now, so that a start that cannot
    // be read counts as a file that cannot be opened.
    unsigned char header[6];
    std::size_t got = 0;
    const bool read = s_stream != nullptr ? look_at_stream() : read_input(header, sizeof header, &got);
    s_position = 0;
    if (!read) {
        close_input();
        return false;
    }
    g_input_name = path;
    return true;
}

bool is_input_file(const char *path)
{
    // A stream's copy is no file of the user's: the stream itself is.
    std::FILE *const input = s_stream != nullptr ? s_stream : g_input;
    return input != nullptr && same_file(path, input);
}

void close_input()
{
    std::fclose(g_input);
    g_input = nullptr;
    if (s_stream != nullptr)
        std::fclose(s_stream);
    s_stream = nullptr;
}
