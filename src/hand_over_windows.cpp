// ZUM Sound Ripper: what an old file hands over to its replacement, on
// Windows.
//
// Handed over: the alternate data streams (where the file system has them),
// the creation time, the hidden, system, archive and not-indexed
// attributes, and the security descriptor's owner, group and DACL (with its
// protection and inheritance flags). Not handed over: the SACL (reading it
// needs a privilege the tool does not ask for), extended attributes, the
// object ID, the 8.3 short name (the new file gets one of its own), EFS
// encryption and compression, and the other names of a hard-linked file,
// which keep the old contents. A read-only file is refused before, a link is
// replaced and hands over nothing.
#if defined(_WIN32)
#include "hand_over.h"

#include <cwchar>
#include <string>
#include <vector>
#include <windows.h>

static const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The security descriptor of name, as much of it as what asks; empty when
// it cannot be read. Sets *why to the error then.
static std::vector<unsigned char> security_of(const wchar_t *name, SECURITY_INFORMATION what, DWORD *why)
{
    DWORD needed = 0;
    GetFileSecurityW(name, what, nullptr, 0, &needed);
    std::vector<unsigned char> sd(needed);
    if (needed == 0 || !GetFileSecurityW(name, what, sd.data(), needed, &needed)) {
        *why = GetLastError();
        sd.clear();
    }
    return sd;
}

// True when the owner in the descriptor sd is the owner new_name has now.
static bool same_owner(const std::vector<unsigned char> &sd, const wchar_t *new_name)
{
    DWORD why = 0;
    std::vector<unsigned char> now = security_of(new_name, OWNER_SECURITY_INFORMATION, &why);
    PSID old_owner = nullptr, new_owner = nullptr;
    BOOL defaulted = FALSE;
    return !now.empty() &&
           GetSecurityDescriptorOwner(const_cast<unsigned char *>(sd.data()), &old_owner, &defaulted) &&
           GetSecurityDescriptorOwner(now.data(), &new_owner, &defaulted) && old_owner != nullptr &&
           new_owner != nullptr && EqualSid(old_owner, new_owner);
}

// The owner, group and DACL. Setting another user's owner needs a privilege:
// without it the DACL alone is enough where the owner stays the same (the
// user's own file); else the file would change hands, and is refused. A
// file system without security (FAT, exFAT) has nothing to hand over.
static bool hand_over_security(const wchar_t *old_name, const wchar_t *new_name)
{
    const SECURITY_INFORMATION all = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                     DACL_SECURITY_INFORMATION;
    DWORD why = 0;
    std::vector<unsigned char> sd = security_of(old_name, all, &why);
    if (sd.empty())
        return why == ERROR_NOT_SUPPORTED || why == ERROR_INVALID_FUNCTION;
    if (SetFileSecurityW(new_name, all, sd.data()))
        return true;
    return SetFileSecurityW(new_name, DACL_SECURITY_INFORMATION, sd.data()) && same_owner(sd, new_name);
}

// The attributes that say how a file is shown and kept. The temporary file
// is hidden until now, so they are set whole.
static bool hand_over_attributes(const wchar_t *old_name, const wchar_t *new_name)
{
    const DWORD attributes = GetFileAttributesW(old_name);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD kept = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    return SetFileAttributesW(new_name, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL) != 0;
}

// The creation time; the times of writing and reading are the new file's.
static bool hand_over_creation_time(const wchar_t *old_name, const wchar_t *new_name)
{
    const HANDLE old_file = CreateFileW(old_name, FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FILETIME created;
    const bool known = old_file != INVALID_HANDLE_VALUE && GetFileTime(old_file, &created, nullptr, nullptr);
    if (old_file != INVALID_HANDLE_VALUE)
        CloseHandle(old_file);
    if (!known)
        return false;
    const HANDLE new_file = CreateFileW(new_name, FILE_WRITE_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool set = new_file != INVALID_HANDLE_VALUE && SetFileTime(new_file, &created, nullptr, nullptr);
    if (new_file != INVALID_HANDLE_VALUE)
        CloseHandle(new_file);
    return set;
}

// Copies the bytes of the open file from into the open file to.
static bool copy_bytes(HANDLE from, HANDLE to)
{
    static unsigned char buffer[1 << 16];
    for (;;) {
        DWORD got = 0, put = 0;
        if (!ReadFile(from, buffer, sizeof buffer, &got, nullptr))
            return false;
        if (got == 0)
            return true;
        if (!WriteFile(to, buffer, got, &put, nullptr) || put != got)
            return false;
    }
}

// Copies the stream stream (":NAME:$DATA") of old_name into new_name.
static bool copy_stream(const wchar_t *old_name, const wchar_t *new_name, const wchar_t *stream)
{
    const std::wstring from = std::wstring(old_name) + stream, to = std::wstring(new_name) + stream;
    const HANDLE in = CreateFileW(from.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
    const HANDLE out = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    const bool copied = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && copy_bytes(in, out);
    if (in != INVALID_HANDLE_VALUE)
        CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    return copied;
}

// The alternate data streams (an Explorer zone mark, a tag a program left).
// A file system without them (FAT, exFAT) lists none.
static bool hand_over_streams(const wchar_t *old_name, const wchar_t *new_name)
{
    WIN32_FIND_STREAM_DATA stream;
    const HANDLE search = FindFirstStreamW(old_name, FindStreamInfoStandard, &stream, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD why = GetLastError();
        return why == ERROR_HANDLE_EOF || why == ERROR_INVALID_FUNCTION || why == ERROR_NOT_SUPPORTED ||
               why == ERROR_CALL_NOT_IMPLEMENTED || why == ERROR_INVALID_PARAMETER;
    }
    bool copied = true;
    do {
        if (std::wcscmp(stream.cStreamName, L"::$DATA") != 0)
            copied = copy_stream(old_name, new_name, stream.cStreamName) && copied;
    } while (FindNextStreamW(search, &stream));
    const bool listed = GetLastError() == ERROR_HANDLE_EOF;
    FindClose(search);
    return copied && listed;
}

// In this order: the streams and the creation time are written while the
// file is still the run's own to write; the attributes next, so that a
// hidden or system file stays so; the security last, since the old file's
// DACL may deny the run further changes (it grants the DELETE that the
// rename needs, or the old file could not be replaced either).
bool hand_over(const wchar_t *old_name, const wchar_t *new_name)
{
    return hand_over_streams(old_name, new_name) && hand_over_creation_time(old_name, new_name) &&
           hand_over_attributes(old_name, new_name) && hand_over_security(old_name, new_name);
}

// The final path of the file or folder open as handle into out (1024
// characters); false when it cannot be had.
static bool final_path(HANDLE handle, wchar_t *out)
{
    const DWORD length = GetFinalPathNameByHandleW(handle, out, 1024, FILE_NAME_NORMALIZED);
    return length > 0 && length < 1024;
}

bool is_link(const wchar_t *name, const wchar_t *listed)
{
    const DWORD attributes = GetFileAttributesW(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return true;
    const HANDLE file = CreateFileW(name, 0, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const HANDLE folder = CreateFileW(L".", 0, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    wchar_t reached[1024], here[1024 + MAX_PATH];
    const bool known = file != INVALID_HANDLE_VALUE && folder != INVALID_HANDLE_VALUE && final_path(file, reached) &&
                       final_path(folder, here);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (folder != INVALID_HANDLE_VALUE)
        CloseHandle(folder);
    if (!known)
        return false;
    // A drive's root folder ("\\?\X:\") ends in a backslash already.
    const std::size_t length = std::wcslen(here);
    if (length == 0 || here[length - 1] != L'\\')
        std::wcscat(here, L"\\");
    std::wcsncat(here, listed, MAX_PATH - 1);
    return CompareStringOrdinal(reached, -1, here, -1, TRUE) != CSTR_EQUAL;
}
#endif
