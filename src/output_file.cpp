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

// The file being written, kept ready for the interruption handler. Its
// path is set before it is created; the state says whether it exists.
enum PartialState { no_file, opening, writing };
static char s_partial[64];
static int s_partial_fd = -1;
static volatile std::sig_atomic_t s_state = no_file;
static volatile std::sig_atomic_t s_deferred = 0;  // a signal met while opening
static long s_process = 0;  // this process's id, for temporary names

// Removes the file being written, then ends the process by the same signal.
// Only async-signal-safe calls.
static void remove_partial_and_die(int sig)
{
    if (s_state == writing) {
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

// While an open is under way, whether the file exists is not known yet:
// the signal is left for create_partial to act on once the open returns.
// (Windows runs the handler on a thread of its own, which simply waits.)
// Blocking signals around each open instead cost two system calls a file,
// a quarter of the time of a small clip on the VM we measure on.
static void on_interrupt(int sig)
{
#ifdef _WIN32
    while (s_state == opening)
        Sleep(1);
#else
    if (s_state == opening) {
        s_deferred = sig;
        return;
    }
#endif
    remove_partial_and_die(sig);
}

#ifdef _WIN32
static void catch_signals()
{
    for (const int sig : {SIGINT, SIGTERM, SIGBREAK})
        std::signal(sig, on_interrupt);
}
#else
// Interruptions the caller ignores stay ignored.
static void catch_signals()
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
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
    std::snprintf(s_partial, sizeof s_partial, "%s", path);
    s_state = opening;
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_BINARY, 0666);
    s_partial_fd = fd;
    s_state = fd >= 0 ? writing : no_file;
    if (s_deferred != 0)
        remove_partial_and_die(s_deferred);
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
        s_process = static_cast<long>(getpid());
        signals_caught = true;
    }
    if (!name_is_safe(name))
        return output_not_created;

    // Most names are new: then the file is created and written in place.
    int fd = create_partial(name);
    const bool replacing = fd < 0 && errno == EEXIST;
    if (replacing) {
        // Whatever stands there (a link that stat cannot follow included) is
        // replaced by renaming the temporary file ".NAME.WAV.<process>-<count>"
        // over it, unless it may not be.
        struct stat existing;
#ifdef _WIN32
        const bool known = stat(name, &existing) == 0;
#else
        const bool known = lstat(name, &existing) == 0;
#endif
        if (known && !may_replace(name, existing))
            return output_not_created;
        static unsigned temporaries = 0;
        char temporary[sizeof s_partial];
        std::snprintf(temporary, sizeof temporary, ".%s.%ld-%u", name, s_process, ++temporaries);
        fd = create_partial(temporary);
    }
    if (fd < 0)
        return output_not_created;
    bool written = write_all(fd, data, size) && (full_size == size || extend(fd, full_size));
    written = close(fd) == 0 && written;

    // An interruption from here on removes the file only while it is still
    // at its temporary name, or not yet reported; after the rename the name
    // it would remove no longer exists.
    const bool renamed = written && (!replacing || rename_over(name));
    if (!renamed)
        std::remove(s_partial);
    s_state = no_file;
    return !written ? output_not_written : renamed ? output_written : output_not_created;
}
