// ZUM Sound Ripper: the guard of the file being written, on POSIX systems.
#if !defined(_WIN32)
#include "partial_file.h"

#include "console.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

// What an interruption would have to remove: nothing (an unnamed file goes
// with the process), or the temporary name in s_partial. While a temporary
// name is being made it is not known whether it exists yet.
enum PartialState { no_file, making, temporary };
static char s_partial[32];
static volatile std::sig_atomic_t s_state = no_file;
static volatile std::sig_atomic_t s_deferred = 0;  // a signal met while making
static volatile std::sig_atomic_t s_folder = -1;   // a file named in the current folder

// Flushes the folder's file system (Linux) where files are not flushed one
// by one before they are named. Async-signal-safe.
static bool sync_folder()
{
#ifdef __linux__
    return s_folder < 0 || syncfs(s_folder) == 0;
#else
    return true;
#endif
}

// Removes the temporary file being written, writes out the console's
// buffer, flushes what the run keeps, then ends the process by the same
// signal. Process 1 of a PID namespace ignores a signal it has no handler
// for, even its own: it exits with 128 + the signal's number then. Only
// async-signal-safe calls.
[[noreturn]] static void remove_partial_and_die(int sig)
{
    if (s_state == temporary)
        unlink(s_partial);
    flush_console_on_interrupt();
    sync_folder();
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    sigset_t pending;  // blocked while its handler runs
    sigemptyset(&pending);
    sigaddset(&pending, sig);
    sigprocmask(SIG_UNBLOCK, &pending, nullptr);
    raise(sig);
    _exit(128 + sig);
}

// While a temporary name is being made, whether it exists is not known yet:
// the signal is left for end_making to act on. Blocking signals around each
// create instead cost two system calls a file.
static void on_interrupt(int sig)
{
    if (s_state == making) {
        s_deferred = sig;
        return;
    }
    remove_partial_and_die(sig);
}

void start_guard()
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

// Makes s_partial the name for a new temporary file beside name. The names
// follow a sequence of 2^32 that starts at a point of this run's own.
static void next_temporary_name(const char *name)
{
    static std::uint32_t s_next = 0;
    if (s_next == 0) {
        // Runs started together must not walk one sequence: the clock and
        // the process id alone do not tell them apart where the clock is
        // coarse and every process has one id (emscripten's).
        std::uint32_t random = 0;
        const int source = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (source >= 0) {
            if (read(source, &random, sizeof random) != static_cast<ssize_t>(sizeof random))
                random = 0;
            close(source);
        }
        timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        s_next = (random ^ static_cast<std::uint32_t>(now.tv_nsec) ^ static_cast<std::uint32_t>(now.tv_sec) ^
                  static_cast<std::uint32_t>(getpid()) << 12) | 1u;
    }
    s_next = s_next * 1664525u + 1013904223u;  // full period modulo 2^32
    std::snprintf(s_partial, sizeof s_partial, ".%s.%08x", name, static_cast<unsigned>(s_next));
}

// Between these two, a temporary name is being made (made says whether it
// was); an interruption meanwhile is acted on at the end.
static void begin_making(const char *name)
{
    s_state = no_file;
    next_temporary_name(name);
    s_state = making;
}

static void end_making(bool made)
{
    s_state = made ? temporary : no_file;
    if (s_deferred != 0)
        remove_partial_and_die(s_deferred);
}

int create_temporary(const char *name)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        begin_making(name);
        const int fd = open(s_partial, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        end_making(fd >= 0);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool link_unnamed(int fd, const char *path)
{
#ifdef AT_EMPTY_PATH
    // By descriptor: Linux 6.10, or CAP_DAC_READ_SEARCH; else through /proc.
    if (linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0)
        return true;
    if (errno != ENOENT && errno != EPERM)
        return false;
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
#else
    (void)fd;
    (void)path;
    errno = ENOENT;
    return false;
#endif
}

bool link_temporary(int fd, const char *name)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        begin_making(name);
        const bool linked = link_unnamed(fd, s_partial);
        end_making(linked);
        if (linked || errno != EEXIST)
            return linked;
    }
    return false;
}

const char *temporary_name()
{
    return s_state == temporary ? s_partial : nullptr;
}

bool rename_temporary(const char *name)
{
    if (s_state != temporary || std::rename(s_partial, name) != 0)
        return false;
    s_state = no_file;
    return true;
}

bool remove_temporary()
{
    const bool removed = s_state != temporary || unlink(s_partial) == 0 || errno == ENOENT;
    s_state = no_file;
    return removed;
}

void note_written(int fd)
{
    // A copy of the file's descriptor reaches its file system even in a
    // folder that may not be read (0333).
    if (s_folder < 0)
        s_folder = fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

bool flush_written()
{
    return sync_folder();
}
#endif
