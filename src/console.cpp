// ZUM Sound Ripper: the console.
#include "console.h"

#include "console_filter.h"

#include <csignal>
#include <cstddef>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

static bool s_flush_each = false;  // standard output is a terminal
static char s_buffer[1 << 16];
static volatile std::sig_atomic_t s_held = 0;     // bytes of s_buffer not yet written
static volatile std::sig_atomic_t s_writing = 0;  // flush_console under way

#ifdef _WIN32
// Windows interrupts from a thread of its own (the console control
// handler), which writes the buffer under this lock: it waits for a write
// of the main thread to end instead of losing its rest, and never sees the
// buffer half changed.
static SRWLOCK s_lock = SRWLOCK_INIT;
static void lock_buffer()
{
    AcquireSRWLockExclusive(&s_lock);
}
static void unlock_buffer()
{
    ReleaseSRWLockExclusive(&s_lock);
}
// The handler waits about two seconds at most: a main thread stuck in a
// write (a pipe no one reads) must not keep a Ctrl-C from ending the run.
static bool lock_buffer_on_interrupt()
{
    for (int waited = 0; waited < 2000; ++waited) {
        if (TryAcquireSRWLockExclusive(&s_lock))
            return true;
        Sleep(1);
    }
    return false;
}
#else
// A signal handler interrupts the main thread itself: no lock, see s_writing.
static void lock_buffer() {}
static void unlock_buffer() {}
static bool lock_buffer_on_interrupt()
{
    return true;
}
#endif

// Writes n bytes to standard output; false when not all could be written.
static bool put_bytes(const char *bytes, std::size_t n)
{
    while (n > 0) {
#ifdef _WIN32
        const int written = _write(1, bytes, static_cast<unsigned>(n));
#else
        const ssize_t written = write(1, bytes, n);
        if (written < 0 && errno == EINTR)
            continue;
#endif
        if (written <= 0)
            return false;
        bytes += written;
        n -= static_cast<std::size_t>(written);
    }
    return true;
}

void start_console()
{
#ifdef _WIN32
    s_flush_each = _isatty(1) != 0;
#else
    s_flush_each = isatty(1) != 0;
#endif
}

// flush_console with the lock held.
static bool flush_held()
{
    s_writing = 1;
    const bool written = put_bytes(s_buffer, static_cast<std::size_t>(s_held));
    s_held = 0;
    s_writing = 0;
    return written;
}

bool flush_console()
{
    lock_buffer();
    const bool written = flush_held();
    unlock_buffer();
    return written;
}

void flush_console_on_interrupt()
{
    // Interrupting flush_console, the bytes may be written already in part:
    // lose the rest rather than print a line twice.
    if (!lock_buffer_on_interrupt())
        return;
    if (s_writing == 0)
        put_bytes(s_buffer, static_cast<std::size_t>(s_held));
    s_held = 0;
    unlock_buffer();
}

// Appends n bytes to the buffer, writing it out first when they do not fit
// and straight through when they never would.
static void hold(const char *bytes, std::size_t n)
{
    lock_buffer();
    if (static_cast<std::size_t>(s_held) + n > sizeof s_buffer)
        flush_held();
    if (n > sizeof s_buffer)
        put_bytes(bytes, n);
    else {
        std::memcpy(s_buffer + s_held, bytes, n);
        s_held = static_cast<std::sig_atomic_t>(s_held + static_cast<std::sig_atomic_t>(n));  // after the copy: an interruption writes only whole bytes
    }
    unlock_buffer();
}

void say(const char *text)
{
    hold(text, std::strlen(text));
    if (s_flush_each)
        flush_console();
}

#ifdef _WIN32
// Text is UTF-8 here (see main and output_name). A console shows it only
// when written in UTF-16 through the console itself; files and pipes get the
// UTF-8 bytes, so that scripts read the characters the user typed.
static void put_text(const std::string &text)
{
    DWORD mode = 0;
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 1 ? static_cast<std::size_t>(length) : 0, L'\0');
    if (s_flush_each && length > 1 && GetConsoleMode(console, &mode) &&
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], length) > 0) {
        flush_console();  // keep the order with what the buffer holds
        DWORD written = 0;
        WriteConsoleW(console, wide.c_str(), static_cast<DWORD>(length - 1), &written, nullptr);
    } else {
        hold(text.c_str(), text.size());
    }
}
#else
static void put_text(const std::string &text)
{
    hold(text.c_str(), text.size());
}
#endif

void say_text(const char *head, const char *text, const char *tail)
{
    hold(head, std::strlen(head));
    put_text(shown_text(text));
    say(tail);
}
