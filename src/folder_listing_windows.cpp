// ZUM Sound Ripper: what the current folder lists, on Windows. The system
// says itself which entry a name reaches: FindFirstFileW with a name
// without wildcards gives the long name of the entry it opens, whether the
// name reached it byte for byte, by letter case or as its 8.3 alias. So
// nothing is read ahead and nothing needs keeping current.
#if defined(_WIN32)
#include "folder_listing.h"

#include "name_policy.h"
#include "names_windows.h"

#include <windows.h>

bool listed_name(const char *name, std::string *listed)
{
    wchar_t wide[64];
    if (!wide_name(name, wide, 64) || wcspbrk(wide, L"*?<>\"") != nullptr)
        return false;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(wide, &found);
    if (search == INVALID_HANDLE_VALUE) {
        // Gone meanwhile (another run took it away): nothing else is there.
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
        *listed = name;
        return true;
    }
    FindClose(search);
    const std::string long_name = utf8_name(found.cFileName);
    *listed = how_reached(name, long_name.c_str()) == reached_other ? std::string() : long_name;
    return true;
}

void note_listed(const char *) {}
#endif
