// ZUM Sound Ripper: output files on Windows.
//
// Every output file is written under a temporary name of its own beside the
// target (".NAME.WAV." and 8 hex digits, new for every attempt) and moved to
// its name only when complete: a new name by a move that never replaces, an
// existing one by a move that does.
#if defined(_WIN32)
#include "output_file.h"

#include "input.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

// The temporary file being written, kept ready for the interruption
// handler; the state says whether it exists.
enum PartialState { no_file, making, temporary };
static char s_partial[32];
static int s_partial_fd = -1;
static volatile std::sig_atomic_t s_state = no_file;

// Removes the temporary file being written, then ends the process by the
// same signal.
static void on_interrupt(int sig)
{
    while (s_state == making)  // Windows runs the handler on a thread of its own
        Sleep(1);
    if (s_state == temporary) {
        _close(s_partial_fd);  // Windows removes no file that is still open
        _unlink(s_partial);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    _exit(128 + sig);
}

static void catch_signals()
{
    for (const int sig : {SIGINT, SIGTERM, SIGBREAK})
        std::signal(sig, on_interrupt);
}

// Makes s_partial the name for a new temporary file beside name (see the
// POSIX unit: a sequence of 2^32 from a point of this run's own).
static void next_temporary_name(const char *name)
{
    static std::uint32_t s_next = 0;
    if (s_next == 0)
        s_next = (static_cast<std::uint32_t>(GetTickCount()) ^ static_cast<std::uint32_t>(_getpid()) << 12) | 1u;
    s_next = s_next * 1664525u + 1013904223u;
    std::snprintf(s_partial, sizeof s_partial, ".%s.%08x", name, static_cast<unsigned>(s_next));
}

// Creates a new temporary file beside name, exclusively; a name that exists
// already is skipped for the next. Returns its descriptor or -1.
static int create_temporary(const char *name)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        s_state = no_file;
        next_temporary_name(name);
        s_state = making;
        const int fd = _open(s_partial, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        s_partial_fd = fd;
        s_state = fd >= 0 ? temporary : no_file;
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Closes fd (unless it is -1) and removes the temporary file.
static void discard(int fd)
{
    if (fd >= 0)
        _close(fd);
    if (s_state == temporary)
        _unlink(s_partial);
    s_state = no_file;
}

// Writes size bytes to fd, in pieces _write takes. True when all were.
static bool write_all(int fd, const unsigned char *data, std::uint64_t size)
{
    while (size > 0) {
        const unsigned piece = size < (1u << 30) ? static_cast<unsigned>(size) : 1u << 30;
        const int written = _write(fd, data, piece);
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::uint64_t>(written);
    }
    return true;
}

// Windows opens a device for these names whatever follows the first dot
// (".WAV" included), and ignores blanks before that dot.
static bool names_windows_device(const char *name)
{
    std::size_t length = std::strcspn(name, ".");
    while (length > 0 && name[length - 1] == ' ')
        --length;
    char base[5] = {0};
    for (std::size_t i = 0; i < length && i < 4; ++i) {
        const char c = name[i];
        base[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    if (length == 3)
        return !std::strcmp(base, "CON") || !std::strcmp(base, "PRN") ||
               !std::strcmp(base, "AUX") || !std::strcmp(base, "NUL");
    // COM1 to COM9 and LPT1 to LPT9; Windows also takes superscript 1, 2, 3.
    const auto digit = static_cast<unsigned char>(base[3]);
    return length == 4 && (!std::strncmp(base, "COM", 3) || !std::strncmp(base, "LPT", 3)) &&
           ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}

// Entry names are used as file names as they stand, except those that would
// leave the current directory (a path separator), name a device or an
// alternate data stream (':').
static bool name_is_safe(const char *name)
{
    return std::strpbrk(name, "/\\:") == nullptr && !names_windows_device(name);
}

// An existing name may be replaced unless it is a directory, the input
// itself, or a file the user may not write. A name gone meanwhile may be
// taken.
static bool may_replace(const char *name)
{
    struct _stat64 existing;
    if (_stat64(name, &existing) != 0)
        return errno == ENOENT;
    return (existing.st_mode & _S_IFDIR) == 0 && !is_input_file(name) && _access(name, 2) == 0;
}

OutputResult write_output(const char *name, const unsigned char *data, std::uint64_t size,
                          std::uint64_t full_size)
{
    static bool signals_caught = false;
    if (!signals_caught) {
        catch_signals();
        signals_caught = true;
    }
    if (!name_is_safe(name))
        return output_not_created;
    const int fd = create_temporary(name);
    if (fd < 0)
        return output_not_created;
    const bool written = write_all(fd, data, size) &&
                         (full_size == size || _chsize_s(fd, static_cast<__int64>(full_size)) == 0);
    const bool closed = _close(fd) == 0;
    s_partial_fd = -1;
    if (!closed || !written) {
        discard(-1);
        return output_not_written;
    }
    // A move without MOVEFILE_REPLACE_EXISTING never replaces anything.
    const bool moved = MoveFileExA(s_partial, name, 0) != 0 ||
                       ((GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS) &&
                        may_replace(name) &&
                        MoveFileExA(s_partial, name, MOVEFILE_REPLACE_EXISTING) != 0);
    if (!moved)
        discard(-1);
    s_state = no_file;
    return moved ? output_written : output_not_created;
}
#endif
