// ZUM Sound Ripper: output files on Windows.
//
// Names are UTF-8 here (see output_name) and are created through the wide
// API, so the file made is the one the console line names. Every output
// file is written under a hidden temporary name of its own beside the
// target (".NAME.WAV." and 8 hex digits, new for every attempt), flushed to
// the disk and moved to its name only when complete: a new name by a move
// that never replaces, an existing file by ReplaceFileW, which keeps its
// ACL, owner, attributes, streams and creation time. Console control events
// (Ctrl-C, Ctrl-Break, closing the console, logoff, shutdown) only raise a
// flag, which the main thread looks at between pieces of a write.
#if defined(_WIN32)
#include "output_file.h"

#include "input.h"
#include "written_files.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <io.h>
#include <process.h>
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

// The entry name, as its bytes, of the last output_name: two entries of
// different bytes may give one name in UTF-16 (é in UTF-8 and in the ANSI
// code page), so the files this run wrote are told apart by these.
static char s_entry[16];

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
        DeleteFileW(s_partial);
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

// Makes out (64 characters) a name for a new temporary file beside name
// (see the POSIX unit: a sequence of 2^32 from a point of this run's own).
static void next_temporary_name(const wchar_t *name, wchar_t *out)
{
    static std::uint32_t s_next = 0;
    if (s_next == 0)
        s_next = (static_cast<std::uint32_t>(GetTickCount()) ^ static_cast<std::uint32_t>(_getpid()) << 12) | 1u;
    s_next = s_next * 1664525u + 1013904223u;
    swprintf(out, 64, L".%ls.%08x", name, static_cast<unsigned>(s_next));
}

// Creates a new hidden temporary file beside name, exclusively, so that a
// file left by a kill does not show in Explorer; a name that exists already
// is skipped for the next. Returns its descriptor or -1.
static int create_temporary(const wchar_t *name)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        set_state(making);
        next_temporary_name(name, s_partial);
        const HANDLE file = CreateFileW(s_partial, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
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

// Closes fd (unless it is -1) and removes the temporary file. False when it
// could not be removed: it is left behind.
static bool discard(int fd)
{
    if (fd >= 0)
        _close(fd);
    const bool removed = s_state != temporary || DeleteFileW(s_partial) || GetLastError() == ERROR_FILE_NOT_FOUND;
    set_state(no_file);
    return removed;
}

// Discards the file open on fd (see discard) after a failure that result
// stands for; a temporary left behind makes it a write failure.
static OutputResult fail(int fd, OutputResult result)
{
    return discard(fd) ? result : output_not_written;
}

// The identity of the file open as handle, {0, 0} when unknown.
static FileId file_id(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return {0, 0};
    return {info.dwVolumeSerialNumber, static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

// The identity of the file (or link) wide names, {0, 0} when unknown.
static FileId named_file_id(const wchar_t *wide)
{
    const HANDLE file = CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {0, 0};
    const FileId id = file_id(file);
    CloseHandle(file);
    return id;
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
// dot: CON, PRN, AUX, NUL, CONIN$ and CONOUT$ (Windows 8 and later), COM0
// to COM9 and LPT0 to LPT9, where the digit may also be a superscript 1, 2
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
    if (digit[0] >= '0' && digit[0] <= '9')
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

// The final path of the file or folder open as handle into out (1024
// characters); false when it cannot be had.
static bool final_path(HANDLE handle, wchar_t *out)
{
    const DWORD length = GetFinalPathNameByHandleW(handle, out, 1024, FILE_NAME_NORMALIZED);
    return length > 0 && length < 1024;
}

// True when wide, listed in the current folder as long_name, is a link: a
// reparse point, or a name that the system follows elsewhere (wine shows a
// Unix symbolic link as the file it points to). Opened through the link,
// the file would be the link's target, which ReplaceFileW would move away.
static bool is_link(const wchar_t *wide, const wchar_t *long_name, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return true;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file = CreateFileW(wide, 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const HANDLE folder = CreateFileW(L".", 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    wchar_t reached[1024], here[1024 + MAX_PATH];
    const bool known = file != INVALID_HANDLE_VALUE && folder != INVALID_HANDLE_VALUE && final_path(file, reached) &&
                       final_path(folder, here);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (folder != INVALID_HANDLE_VALUE)
        CloseHandle(folder);
    if (!known)
        return false;
    wcscat(here, L"\\");
    wcscat(here, long_name);
    return CompareStringOrdinal(reached, -1, here, -1, TRUE) != CSTR_EQUAL;
}

// An existing name may be replaced unless it is a directory, the input
// itself, a read-only file, another file's short name (on FAT and on NTFS
// system drives "My Recording.wav" is also MYRECO~1.WAV, which must not
// replace it), or a file this run wrote for a differently named entry (by
// its identity, or, where that is not stable, a name that differs from it
// in case only). Names are compared as NTFS compares them. The replacement
// takes over the hidden, system and archive attributes of the file it
// replaces. Sets *replaced to the file's identity, and *link to whether
// the name is a link (see is_link).
static bool may_replace(const wchar_t *wide, const char *name, FileId *replaced, bool *link)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(wide, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    FindClose(search);
    const DWORD attributes = found.dwFileAttributes;
    *replaced = named_file_id(wide);
    *link = is_link(wide, found.cFileName, attributes);
    if (CompareStringOrdinal(found.cFileName, -1, wide, -1, TRUE) != CSTR_EQUAL ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || (attributes & FILE_ATTRIBUTE_READONLY) != 0 ||
        is_input_file(name) || written_as_other_name(*replaced, s_entry) ||
        (folds_onto_written(s_entry) && CompareStringOrdinal(found.cFileName, -1, wide, -1, FALSE) != CSTR_EQUAL))
        return false;
    const DWORD kept = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    return SetFileAttributesW(s_partial, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL) != 0;
}

// Puts the complete, closed temporary file in the place of the existing
// file wide (name in UTF-8) with ReplaceFileW, which keeps the old file's
// ACL, owner, attributes, alternate data streams and creation time, and
// fails rather than drop its security. The old file goes through a backup
// name, so that a failure midway leaves it whole. A link is replaced by a
// move, which replaces the link itself, and so is a file where ReplaceFileW
// is not supported (some network shares).
static OutputResult replace(const wchar_t *wide, const char *name, FileId mine)
{
    FileId replaced = {0, 0};
    bool link = false;
    if (!may_replace(wide, name, &replaced, &link))
        return fail(-1, output_not_created);
    wchar_t backup[64];
    next_temporary_name(wide, backup);
    bool done = false;
    DWORD why = ERROR_NOT_SUPPORTED;  // for a link: moved
    if (!link) {
        done = ReplaceFileW(wide, s_partial, backup, 0, nullptr, nullptr) != 0;
        why = done ? 0 : GetLastError();
    }
    bool removed = true;
    // The state stays "temporary" until the caller ends the step, so that
    // an interruption meanwhile waits for the backup to go.
    if (done)
        removed = DeleteFileW(backup) != 0;
    else if (why == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
        MoveFileExW(backup, wide, 0);  // the old file back under its name
    else if (why == ERROR_NOT_SUPPORTED || why == ERROR_INVALID_FUNCTION || why == ERROR_CALL_NOT_IMPLEMENTED ||
             why == ERROR_FILE_NOT_FOUND)
        done = MoveFileExW(s_partial, wide, MOVEFILE_REPLACE_EXISTING) != 0;
    if (!done)
        return fail(-1, output_not_created);
    forget_written(replaced);
    remember_written(mine, s_entry);
    return removed ? output_written : output_not_written;
}

// The length in bytes of the character of code_page that starts at p: one
// when it would run past the end of the name.
static int character_length(UINT code_page, const unsigned char *p)
{
    int length = 1;
    if (code_page == CP_UTF8)
        length = *p >= 0xF0 ? 4 : *p >= 0xE0 ? 3 : *p >= 0xC0 ? 2 : 1;
    else if (IsDBCSLeadByteEx(code_page, *p))
        length = 2;
    return std::strlen(reinterpret_cast<const char *>(p)) >= static_cast<std::size_t>(length) ? length : 1;
}

static bool is_hex_digit(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

void output_name(const char *name, char *out, std::size_t size)
{
    std::strncpy(s_entry, name, sizeof s_entry - 1);
    // Well-formed UTF-8 is read as such, anything else in the ANSI code
    // page, a character at a time, strictly: a byte that does not convert
    // (a lead byte cut off by the end of the name, a byte the code page
    // lacks) becomes '%' and its two hex digits, and a '%' that two hex
    // digits follow becomes %25, so that no two names give one.
    const UINT code_page =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0) != 0 ? CP_UTF8 : GetACP();
    std::size_t used = 0;
    out[0] = '\0';
    for (const auto *p = reinterpret_cast<const unsigned char *>(name); *p != '\0';) {
        const int length = character_length(code_page, p);
        const bool percent = *p == '%' && is_hex_digit(p[1]) && is_hex_digit(p[2]);
        wchar_t wide[2];
        const int units = percent ? 0 : MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS,
                                                            reinterpret_cast<const char *>(p), length, wide, 2);
        char piece[16];
        if (units > 0) {
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, units, piece, sizeof piece - 1, nullptr, nullptr);
            piece[bytes > 0 ? bytes : 0] = '\0';
            p += length;
        } else {
            std::snprintf(piece, sizeof piece, "%%%02X", *p);
            ++p;
        }
        const std::size_t piece_length = std::strlen(piece);
        if (used + piece_length >= size)
            break;
        std::memcpy(out + used, piece, piece_length + 1);
        used += piece_length;
    }
}

void start_output()
{
    InitializeCriticalSection(&s_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void finish_output()
{
    // Every file was flushed before it was named: Windows lets only an
    // administrator flush a whole volume.
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
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    const bool written = write_all(fd, data, size) && (full_size == size || extend(fd, full_size)) &&
                         FlushFileBuffers(file);
    const FileId mine = file_id(file);
    if (_close(fd) != 0 || !written)
        return fail(-1, output_not_written);
    stop_if_interrupted(-1);
    // A new name: the file shows from now on, and a move without
    // MOVEFILE_REPLACE_EXISTING never replaces anything.
    if (!SetFileAttributesW(s_partial, FILE_ATTRIBUTE_NORMAL))
        return fail(-1, output_not_created);
    if (MoveFileExW(s_partial, wide, 0)) {
        set_state(no_file);
        remember_written(mine, s_entry);
        return output_written;
    }
    const DWORD why = GetLastError();
    if (why != ERROR_ALREADY_EXISTS && why != ERROR_FILE_EXISTS)
        return fail(-1, output_not_created);
    const OutputResult result = replace(wide, name, mine);
    set_state(no_file);
    return result;
}
#endif
