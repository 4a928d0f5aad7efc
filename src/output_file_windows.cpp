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
#include <winioctl.h>

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

// The replacement takes over the hidden, system and archive attributes of
// the file it replaces.
static void keep_attributes(const char *name)
{
    const DWORD existing = GetFileAttributesA(name);
    const DWORD kept = existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (existing != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesA(s_partial, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
}

// Windows opens a device for these names whatever follows the first dot
// (".WAV" included), in any letter case, and ignores blanks before that
// dot: CON, PRN, AUX, NUL, CONIN$ and CONOUT$ (Windows 8 and later), COM1
// to COM9 and LPT1 to LPT9, where the digit may also be a superscript 1, 2
// or 3, as its Windows-1252 byte or in UTF-8.
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
// itself, a file the user may not write, or another file's short name: on
// FAT and on NTFS system drives "My Recording.wav" is also MYRECO~1.WAV,
// which must not replace it. A name gone meanwhile may be taken.
static bool may_replace(const char *name)
{
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(name, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    FindClose(search);
    return _stricmp(found.cFileName, name) == 0 && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           !is_input_file(name) && _access(name, 2) == 0;
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
                         (full_size == size || extend(fd, full_size));
    const bool closed = _close(fd) == 0;
    s_partial_fd = -1;
    if (!closed || !written) {
        discard(-1);
        return output_not_written;
    }
    // A move without MOVEFILE_REPLACE_EXISTING never replaces anything.
    bool moved = MoveFileExA(s_partial, name, 0) != 0;
    const DWORD why = moved ? 0 : GetLastError();
    if ((why == ERROR_ALREADY_EXISTS || why == ERROR_FILE_EXISTS) && may_replace(name)) {
        keep_attributes(name);
        moved = MoveFileExA(s_partial, name, MOVEFILE_REPLACE_EXISTING) != 0;
    }
    if (!moved)
        discard(-1);
    s_state = no_file;
    return moved ? output_written : output_not_created;
}
#endif
