// ZUM Sound Ripper: output files on Windows.
//
// Names are UTF-8 here (see output_name) and are created through the wide
// API, so the file made is the one the console line names. Every output
// file is written under a temporary name of its own beside the target
// (".NAME.WAV." and 8 hex digits, new for every attempt) and moved to its
// name only when complete: a new name by a move that never replaces, an
// existing one by a move that does. Console control events (Ctrl-C,
// Ctrl-Break, closing the console, logoff, shutdown) only raise a flag,
// which the main thread looks at between pieces of a write.
#if defined(_WIN32)
#include "output_file.h"

#include "input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <wchar.h>
#include <windows.h>
#include <winioctl.h>

#ifndef STATUS_CONTROL_C_EXIT
#define STATUS_CONTROL_C_EXIT 0xC000013AL
#endif

// The temporary file being written; the state says whether it exists. The
// lock keeps the control handler from ending the process while the main
// thread is about to make a file.
enum PartialState { no_file, making, temporary };
static wchar_t s_partial[64];
static volatile LONG s_state = no_file;
static volatile LONG s_interrupted = 0;
static CRITICAL_SECTION s_lock;

// Runs on a thread of its own. With no file under way the run simply ends;
// otherwise the main thread ends it at its next look (stop_if_interrupted).
// Windows ends the process once the handler returns from a close, logoff or
// shutdown event, so the handler waits for the main thread then.
static BOOL WINAPI on_console_event(DWORD event)
{
    EnterCriticalSection(&s_lock);
    s_interrupted = 1;
    // Not ExitProcess: its flushing of stdio could wait for ever on a lock
    // the main thread, stopped wherever it was, still holds.
    if (s_state == no_file)
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
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
        ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

// After an interruption, closes fd (unless it is -1), removes the temporary
// file and ends the run with the status Windows gives a Ctrl-C.
static void stop_if_interrupted(int fd)
{
    if (s_interrupted == 0)
        return;
    if (fd >= 0)
        _close(fd);
    if (s_state == temporary)
        _wunlink(s_partial);
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

// Makes s_partial the name for a new temporary file beside name (see the
// POSIX unit: a sequence of 2^32 from a point of this run's own).
static void next_temporary_name(const wchar_t *name)
{
    static std::uint32_t s_next = 0;
    if (s_next == 0)
        s_next = (static_cast<std::uint32_t>(GetTickCount()) ^ static_cast<std::uint32_t>(_getpid()) << 12) | 1u;
    s_next = s_next * 1664525u + 1013904223u;
    swprintf(s_partial, sizeof s_partial / sizeof *s_partial, L".%ls.%08x", name, static_cast<unsigned>(s_next));
}

// Creates a new temporary file beside name, exclusively; a name that exists
// already is skipped for the next. Returns its descriptor or -1.
static int create_temporary(const wchar_t *name)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        set_state(making);
        next_temporary_name(name);
        const int fd = _wopen(s_partial, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        set_state(fd >= 0 ? temporary : no_file);
        stop_if_interrupted(fd);
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
        _wunlink(s_partial);
    set_state(no_file);
}

// Writes size bytes to fd in pieces of 16 MiB, looking for an interruption
// after each (a piece takes a few hundredths of a second). True when all
// were written.
static bool write_all(int fd, const unsigned char *data, std::uint64_t size)
{
    while (size > 0) {
        const unsigned piece = size < (16u << 20) ? static_cast<unsigned>(size) : 16u << 20;
        const int written = _write(fd, data, piece);
        stop_if_interrupted(fd);
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::uint64_t>(written);
    }
    return true;
}

// Sets the length of the file open on fd to size bytes, the bytes added
// reading as zero. NTFS makes them a hole only in a file marked sparse (the
// C runtime's _chsize_s writes them, 4 KiB at a time); FAT and exFAT have no
// holes and write the zeros.
static bool extend(int fd, std::uint64_t size)
{
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD returned = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Windows opens a device for these names whatever follows the first dot
// (".WAV" included), in any letter case, and ignores blanks before that
// dot: CON, PRN, AUX, NUL, CONIN$ and CONOUT$ (Windows 8 and later), COM1
// to COM9 and LPT1 to LPT9, where the digit may also be a superscript 1, 2
// or 3 (U+00B9, U+00B2, U+00B3, or their Windows-1252 bytes).
static bool names_windows_device(const char *name)
{
    std::size_t length = std::strcspn(name, ".");
    while (length > 0 && name[length - 1] == ' ')
        --length;
    char base[8] = {0};
    if (length >= sizeof base)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = name[i];
        base[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (std::strcmp(base, device) == 0)
            return true;
    if (std::strncmp(base, "COM", 3) != 0 && std::strncmp(base, "LPT", 3) != 0)
        return false;
    const auto *digit = reinterpret_cast<const unsigned char *>(base + 3);
    if (digit[0] >= '1' && digit[0] <= '9')
        return digit[1] == 0;
    if (digit[0] == 0xC2)
        ++digit;
    return (digit[0] == 0xB9 || digit[0] == 0xB2 || digit[0] == 0xB3) && digit[1] == 0;
}

// Entry names are used as file names as they stand, except those that would
// leave the current directory (a path separator), name a device or an
// alternate data stream (':').
static bool name_is_safe(const char *name)
{
    return std::strpbrk(name, "/\\:") == nullptr && !names_windows_device(name);
}

// An existing name may be replaced unless it is a directory, the input
// itself, a read-only file, or another file's short name: on FAT and on
// NTFS system drives "My Recording.wav" is also MYRECO~1.WAV, which must
// not replace it. A name gone meanwhile may be taken. The replacement
// takes over the hidden, system and archive attributes of the file it
// replaces.
static bool may_replace(const wchar_t *wide, const char *name)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(wide, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    FindClose(search);
    const DWORD attributes = found.dwFileAttributes;
    if (_wcsicmp(found.cFileName, wide) != 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        (attributes & FILE_ATTRIBUTE_READONLY) != 0 || is_input_file(name))
        return false;
    const DWORD kept = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    SetFileAttributesW(s_partial, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
    return true;
}

void output_name(const char *name, char *out, std::size_t size)
{
    wchar_t wide[16];
    const int utf8 = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, 16);
    if (utf8 == 0)
        MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 16);
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, static_cast<int>(size), nullptr, nullptr);
    if (length == 0)
        out[0] = '\0';
}

void start_output()
{
    InitializeCriticalSection(&s_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void finish_output()
{
}

OutputResult write_output(const char *name, const unsigned char *data, std::uint64_t size,
                          std::uint64_t full_size)
{
    wchar_t wide[32];
    if (!name_is_safe(name) || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, 32) == 0)
        return output_not_created;
    const int fd = create_temporary(wide);
    if (fd < 0)
        return output_not_created;
    const bool written = write_all(fd, data, size) && (full_size == size || extend(fd, full_size));
    if (_close(fd) != 0 || !written) {
        discard(-1);
        return output_not_written;
    }
    stop_if_interrupted(-1);
    // A move without MOVEFILE_REPLACE_EXISTING never replaces anything.
    bool moved = MoveFileExW(s_partial, wide, 0) != 0;
    const DWORD why = moved ? 0 : GetLastError();
    if ((why == ERROR_ALREADY_EXISTS || why == ERROR_FILE_EXISTS) && may_replace(wide, name))
        moved = MoveFileExW(s_partial, wide, MOVEFILE_REPLACE_EXISTING) != 0;
    if (!moved)
        discard(-1);
    set_state(no_file);
    return moved ? output_written : output_not_created;
}
#endif
