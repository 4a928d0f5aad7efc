// ZUM Sound Ripper: output files.
#include "output_file.h"

#include "input.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif

// The file being written, kept ready for the interruption handler: set
// once the file exists, cleared once it is complete or removed.
static char s_partial[64];
static int s_partial_fd = -1;
static volatile std::sig_atomic_t s_writing = 0;

// Removes the file being written, if any, then ends the process by the
// same signal. Only async-signal-safe calls.
extern "C" void on_interrupt(int sig)
{
    if (s_writing != 0) {
#ifdef _WIN32
        _close(s_partial_fd);  // Windows removes no file that is still open
        _unlink(s_partial);
#else
        unlink(s_partial);
#endif
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

#ifdef _WIN32
static void catch_signals()
{
    for (const int sig : {SIGINT, SIGTERM, SIGBREAK})
        std::signal(sig, on_interrupt);
}

static void hold_interrupts(bool)
{
}
#else
static sigset_t s_interrupts;
static sigset_t s_mask_before_hold;

// Past a file-size limit a write then fails with EFBIG instead of killing
// the process. Interruptions the caller ignores stay ignored.
static void catch_signals()
{
    std::signal(SIGXFSZ, SIG_IGN);
    sigemptyset(&s_interrupts);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&s_interrupts, sig);
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

// Defers interruptions while a file comes into being or is renamed, so
// that the handler never removes a file that is not ours, nor misses one.
static void hold_interrupts(bool hold)
{
    if (hold)
        sigprocmask(SIG_BLOCK, &s_interrupts, &s_mask_before_hold);
    else
        sigprocmask(SIG_SETMASK, &s_mask_before_hold, nullptr);
}
#endif

#ifdef _WIN32
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
#endif

// Entry names are used as file names as they stand, except those that would
// leave the current directory (a path separator of any platform) and, on
// Windows, those that would name a device or an alternate data stream (':').
static bool name_is_safe(const char *name)
{
    if (std::strpbrk(name, "/\\") != nullptr)
        return false;
#ifdef _WIN32
    if (std::strchr(name, ':') != nullptr || names_windows_device(name))
        return false;
#endif
    return true;
}

// An existing name may be replaced unless it is a directory, the input
// itself, or a regular file the user could not open for writing (root may).
static bool may_replace(const char *name, const struct stat &existing)
{
    if (S_ISDIR(existing.st_mode) || is_input_file(name))
        return false;
#ifdef _WIN32
    return _access(name, 2) == 0;
#else
    return !S_ISREG(existing.st_mode) || faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) == 0;
#endif
}

// Creates path exclusively, never through a link, with the permissions of a
// new file (0666 less the umask), and makes it the file being written.
// Returns its descriptor, or -1.
static int create_partial(const char *path)
{
    hold_interrupts(true);
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_BINARY, 0666);
    if (fd >= 0) {
        std::snprintf(s_partial, sizeof s_partial, "%s", path);
        s_partial_fd = fd;
        s_writing = 1;
    }
    hold_interrupts(false);
    return fd;
}

// Writes size bytes to fd, in pieces small enough for every platform's
// write call. Returns true when all of them were written.
static bool write_all(int fd, const unsigned char *data, std::uint64_t size)
{
    while (size > 0) {
        const unsigned piece = size < (1u << 30) ? static_cast<unsigned>(size) : 1u << 30;
        const auto written = write(fd, data, piece);
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::uint64_t>(written);
    }
    return true;
}

// Sets the length of the file open on fd to size bytes; the bytes added read
// as zero and take no disk space where the file system supports holes.
static bool extend(int fd, std::uint64_t size)
{
#ifdef _WIN32
    return _chsize_s(fd, static_cast<__int64>(size)) == 0;
#else
    return ftruncate(fd, static_cast<off_t>(size)) == 0;
#endif
}

// Renames the complete file being written over name, replacing what stood
// there (a link included, never its target).
static bool rename_over(const char *name)
{
#ifdef _WIN32
    return MoveFileExA(s_partial, name, MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(s_partial, name) == 0;
#endif
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
    struct stat existing;
#ifdef _WIN32
    const bool exists = stat(name, &existing) == 0;
#else
    const bool exists = lstat(name, &existing) == 0;
#endif
    if (exists && !may_replace(name, existing))
        return output_not_created;

    // The temporary file ".NAME.WAV.<process>-<count>" stands beside the
    // name it replaces, on the same file system.
    static unsigned temporaries = 0;
    char temporary[sizeof s_partial];
    std::snprintf(temporary, sizeof temporary, ".%s.%ld-%u", name, static_cast<long>(getpid()),
                  ++temporaries);
    // A name that turns out to exist after all (a link that stat could not
    // follow, a file created meanwhile) is replaced like any other.
    bool replacing = exists;
    int fd = replacing ? -1 : create_partial(name);
    if (fd < 0 && !replacing && errno == EEXIST)
        replacing = true;
    if (replacing)
        fd = create_partial(temporary);
    if (fd < 0)
        return output_not_created;
    bool written = write_all(fd, data, size) && (full_size == size || extend(fd, full_size));
    written = close(fd) == 0 && written;

    hold_interrupts(true);
    const bool renamed = written && (!replacing || rename_over(name));
    if (!renamed)
        remove(s_partial);
    s_writing = 0;
    hold_interrupts(false);
    return !written ? output_not_written : renamed ? output_written : output_not_created;
}
