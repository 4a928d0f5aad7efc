// ZUM Sound Ripper: the guard of the file being written, on Windows.
//
// Console control events (Ctrl-C, Ctrl-Break, closing the console, logoff,
// shutdown) come on a thread of their own. With no file under way the
// handler ends the run itself; otherwise it only raises a flag, which the
// main thread looks at between pieces of a write and just before it puts a
// file in place. The lock keeps the handler from ending the process while
// the main thread makes, renames or removes a temporary file, so that the
// state always says whether one exists.
#if defined(_WIN32)
#include "partial_file.h"

#include "console.h"

#include <cstdint>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#ifndef STATUS_CONTROL_C_EXIT
#define STATUS_CONTROL_C_EXIT 0xC000013AL
#endif

enum PartialState { no_file, making, temporary };
static wchar_t s_partial[64];
static volatile LONG s_state = no_file;
static volatile LONG s_interrupted = 0;
static CRITICAL_SECTION s_lock;

// Writes out the console's buffer and ends the run with the status Windows
// gives a Ctrl-C. From the main thread only: ExitProcess lets the system
// end the other threads.
[[noreturn]] static void end_run()
{
    flush_console_on_interrupt();
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

// Runs on a thread of its own. Not ExitProcess when the run is ended here:
// its clean-up could wait for ever on a lock the main thread, stopped
// wherever it was, still holds; the console's buffer has a lock of its own
// that is never held long. Windows ends the process once the handler
// returns from a close, logoff or shutdown event, so the handler waits for
// the main thread then.
static BOOL WINAPI on_console_event(DWORD event)
{
    EnterCriticalSection(&s_lock);
    s_interrupted = 1;
    if (s_state == no_file) {
        flush_console_on_interrupt();
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
    LeaveCriticalSection(&s_lock);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

// Sets the state; with no file under way any more, an interruption that
// came meanwhile ends the run now.
static void set_state(PartialState state)
{
    EnterCriticalSection(&s_lock);
    s_state = state;
    LeaveCriticalSection(&s_lock);
    if (state == no_file && s_interrupted != 0)
        end_run();
}

void start_guard()
{
    InitializeCriticalSection(&s_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void stop_if_interrupted(int fd)
{
    if (s_interrupted == 0)
        return;
    if (fd >= 0)
        _close(fd);
    if (s_state == temporary)
        DeleteFileW(s_partial);
    end_run();
}

// Makes s_partial the name for a new temporary file beside name: "." NAME
// "." and 8 hex digits from a sequence of 2^32 that starts at a point of
// this run's own.
static void next_temporary_name(const wchar_t *name)
{
    static std::uint32_t s_next = 0;
    if (s_next == 0)
        s_next = (static_cast<std::uint32_t>(GetTickCount()) ^ static_cast<std::uint32_t>(_getpid()) << 12) | 1u;
    s_next = s_next * 1664525u + 1013904223u;  // full period modulo 2^32
    swprintf(s_partial, sizeof s_partial / sizeof *s_partial, L".%ls.%08x", name, static_cast<unsigned>(s_next));
}

// Hidden, so that a file left by a kill does not show in Explorer.
int create_temporary(const wchar_t *name)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        set_state(making);
        next_temporary_name(name);
        const HANDLE file = CreateFileW(s_partial, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_HIDDEN, nullptr);
        const DWORD why = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        const int fd = file != INVALID_HANDLE_VALUE ? _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY) : -1;
        if (file != INVALID_HANDLE_VALUE && fd < 0) {
            CloseHandle(file);
            DeleteFileW(s_partial);
        }
        set_state(fd >= 0 ? temporary : no_file);
        stop_if_interrupted(fd);
        if (fd >= 0 || (why != ERROR_FILE_EXISTS && why != ERROR_ALREADY_EXISTS))
            return fd;
    }
    return -1;
}

const wchar_t *temporary_name()
{
    return s_state == temporary ? s_partial : nullptr;
}

bool show_temporary()
{
    return s_state == temporary && SetFileAttributesW(s_partial, FILE_ATTRIBUTE_NORMAL) != 0;
}

// Moves the temporary file to name by one rename (flags: replacing or
// not), the interruption looked at again under the lock just before it: a
// Ctrl-C that came after the clip was complete stops it, and one that comes
// during the rename waits for it to end. GetLastError tells why it failed.
static bool move_temporary(const wchar_t *name, DWORD flags)
{
    if (s_state != temporary)
        return false;
    EnterCriticalSection(&s_lock);
    if (s_interrupted != 0) {
        LeaveCriticalSection(&s_lock);
        stop_if_interrupted(-1);
    }
    const bool moved = MoveFileExW(s_partial, name, flags) != 0;
    const DWORD why = moved ? 0 : GetLastError();
    if (moved)
        s_state = no_file;
    LeaveCriticalSection(&s_lock);
    SetLastError(why);
    return moved;
}

bool name_temporary(const wchar_t *name)
{
    return move_temporary(name, 0);
}

// MOVEFILE_REPLACE_EXISTING is one rename that replaces (on NTFS, that of
// FileRenameInformation with ReplaceIfExists): at every moment the old file
// or the new one is there under name. A link is replaced, never followed.
// A file another process has open (another run handing it over, a virus
// scanner, a preview) cannot be replaced meanwhile: tried again for up to
// about two seconds. (Directories and read-only files, which fail alike,
// are refused before.)
bool rename_temporary(const wchar_t *name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (move_temporary(name, MOVEFILE_REPLACE_EXISTING))
            return true;
        const DWORD why = GetLastError();
        if (why != ERROR_ACCESS_DENIED && why != ERROR_SHARING_VIOLATION)
            return false;
        Sleep(static_cast<DWORD>(1 + attempt / 10 * 5));
    }
    return false;
}

bool remove_temporary()
{
    const bool removed = s_state != temporary || DeleteFileW(s_partial) || GetLastError() == ERROR_FILE_NOT_FOUND;
    set_state(no_file);
    return removed;
}

// Every file was flushed before it was named (FlushFileBuffers): Windows
// lets only an administrator flush a whole volume.
void note_written(int) {}

bool flush_written()
{
    return true;
}
#endif
