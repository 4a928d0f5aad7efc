// ZUM Sound Ripper: output files on Windows, the flow.
//
// Names are UTF-8 here (see names_windows.cpp) and are created through the
// wide API, so the file made is the one the console line names. Every
// output file is written under a hidden temporary name beside the target
// (partial_file_windows.cpp), flushed to the disk and moved to its name
// only when complete: a new name by a move that never replaces; an existing
// file, once the folder's listing says it may be replaced, is given the old
// file's security, attributes, times and streams (hand_over_windows.cpp)
// and then replaced by one rename, so that at every moment the old file or
// the new one is there under its name.
#if defined(_WIN32)
#include "output_file.h"

#include "folder_listing.h"
#include "hand_over.h"
#include "input.h"
#include "name_policy.h"
#include "names_windows.h"
#include "partial_file.h"
#include "written_files.h"
#include "zumrip.h"

#include <cstring>
#include <io.h>
#include <string>
#include <windows.h>
#include <winioctl.h>

void start_output()
{
    start_guard();
}

bool finish_output()
{
    return flush_written();  // each file was flushed before it was named
}

// Entry names are used as file names as they stand, except those that would
// leave the current directory (a path separator), name a device or an
// alternate data stream (':').
static bool name_is_safe(const char *name)
{
    return !leaves_folder(name) && std::strchr(name, ':') == nullptr && !names_windows_device(name);
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

// The whole clip on the disk before it gets a name: a crash then leaves
// the old file or the complete new one.
static bool flush_file(int fd)
{
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) != 0;
}

// Removes the temporary file after a failure that result stands for; one
// left behind makes it a write failure.
static OutputResult fail(OutputResult result)
{
    return remove_temporary() ? result : output_not_written;
}

// True when the existing name, which the folder lists as listed, is the
// input. An input named in this folder is it exactly when the folder lists
// both under one name (a file system that gives each spelling an identity
// of its own, as FUSE may, cannot hide it then); elsewhere its identity
// tells, which cannot be reused while the input is open.
static bool is_input(const char *name, bool listing_known, const std::string &listed)
{
    std::string input_listed;
    if (listing_known && !listed.empty() && !leaves_folder(g_input_name) && std::strchr(g_input_name, ':') == nullptr &&
        listed_name(g_input_name, &input_listed) && !input_listed.empty())
        return input_listed == listed;
    return is_input_file(name);
}

// True when the existing name (UTF-8 and wide), which the folder lists as
// listed, may be replaced by this entry's clip. By what the folder lists,
// not by identity numbers: the name itself may be replaced unless it is a
// directory, read-only, the input, or a file this run wrote for another
// entry; a name that reached an entry spelled otherwise only when that
// entry is its case variant, neither the input nor a file this run wrote
// for an entry of the same folded name. A short alias reaches another file,
// and so does anything else the listing cannot show to be the name.
static bool may_replace(const char *name, const wchar_t *wide, bool listing_known, const std::string &listed)
{
    const char *const entry = last_entry();
    const DWORD attributes = GetFileAttributesW(wide);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return false;
    if (is_input(name, listing_known, listed))
        return false;
    switch (how_reached(name, listing_known ? listed.c_str() : nullptr)) {
    case reached_itself:
        return !written_for_other_entry(name, entry);
    case reached_case_variant:
        return !folded_written_for_other_entry(name, entry);
    case reached_other:
        break;
    }
    return false;
}

// Puts the complete, closed temporary file in the place of the existing
// file wide (name in UTF-8): decided, handed over (unless a link: the link
// itself is replaced), renamed.
static OutputResult replace(const char *name, const wchar_t *wide)
{
    std::string listed;
    const bool listing_known = listed_name(name, &listed);
    wchar_t listed_wide[64];
    const wchar_t *const long_name = listing_known && !listed.empty() && wide_name(listed.c_str(), listed_wide, 64)
                                         ? listed_wide : wide;
    if (!may_replace(name, wide, listing_known, listed))
        return fail(output_not_created);
    const bool link = is_link(wide, long_name);
    const bool ready = link ? show_temporary() : hand_over(wide, temporary_name());
    if (!ready || !rename_temporary(wide))
        return fail(output_not_created);
    remember_written(name, last_entry());
    note_listed(name);
    return output_written;
}

// The steps of finishing a clip, in this order: its bytes on the disk
// before it has a name (flush_file), so that a crash leaves the old file or
// the whole new one; closed before it is renamed; shown (the hidden
// attribute off) before it gets a name of its own, so that no file the
// user is meant to see stays hidden; then a new name by a move that never
// replaces, or, where the name exists, the decision, the hand-over and the
// one rename (replace).
OutputResult write_output(const char *name, const unsigned char *data, std::uint64_t size,
                          std::uint64_t full_size)
{
    wchar_t wide[32];
    if (!name_is_safe(name) || !wide_name(name, wide, 32))
        return output_not_created;
    const int fd = create_temporary(wide);
    if (fd < 0)
        return output_not_created;
    const bool written = write_all(fd, data, size) && (full_size == size || extend(fd, full_size)) && flush_file(fd);
    if (_close(fd) != 0 || !written)
        return fail(output_not_written);
    stop_if_interrupted(-1);
    if (!show_temporary())
        return fail(output_not_created);
    if (name_temporary(wide)) {
        remember_written(name, last_entry());
        note_listed(name);
        return output_written;
    }
    const DWORD why = GetLastError();
    if (why != ERROR_ALREADY_EXISTS && why != ERROR_FILE_EXISTS)
        return fail(output_not_created);
    return replace(name, wide);
}
#endif
