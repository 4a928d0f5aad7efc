// ZUM Sound Ripper: the input unit's system calls on Windows.
#if defined(_WIN32)
#include "input_platform.h"

#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

// The path comes in UTF-8 (see main); Windows opens it in UTF-16, so that
// every name the user can type opens.
std::FILE *open_for_reading(const char *path)
{
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    wchar_t *const wide = length > 0 ? static_cast<wchar_t *>(std::calloc(static_cast<std::size_t>(length), sizeof *wide)) : nullptr;
    std::FILE *file = nullptr;
    if (wide != nullptr && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, length) > 0)
        file = _wfopen(wide, L"rb");
    std::free(wide);
    return file;
}

InputKind input_kind(std::FILE *file)
{
    struct _stat64 info;
    if (_fstat64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) == _S_IFDIR)
        return input_unusable;
    return (info.st_mode & _S_IFMT) == _S_IFREG ? input_seekable : input_stream;
}

bool seek_file(std::FILE *file, std::uint64_t position)
{
    return _fseeki64(file, static_cast<__int64>(position), SEEK_SET) == 0;
}

std::uint64_t file_size(std::FILE *file)
{
    const bool at_end = _fseeki64(file, 0, SEEK_END) == 0;
    const __int64 size = at_end ? _ftelli64(file) : -1;
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

// A file in the user's temporary folder that Windows deletes once closed.
std::FILE *create_spool()
{
    wchar_t folder[MAX_PATH + 1], path[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"zum", 0, path) == 0)
        return nullptr;
    const int fd = _wopen(path, _O_RDWR | _O_BINARY | _O_TEMPORARY);
    std::FILE *const spool = fd >= 0 ? _fdopen(fd, "rb") : nullptr;
    if (fd < 0)
        _wunlink(path);
    else if (spool == nullptr)
        _close(fd);
    return spool;
}

long long read_some(std::FILE *stream, unsigned char *buffer, std::size_t n)
{
    return _read(_fileno(stream), buffer, static_cast<unsigned>(n));
}

// The position moves; every read of the file seeks first.
std::size_t write_at(std::FILE *spool, std::uint64_t position, const unsigned char *data, std::size_t n)
{
    const int fd = _fileno(spool);
    if (_lseeki64(fd, static_cast<__int64>(position), SEEK_SET) < 0)
        return 0;
    const int written = _write(fd, data, static_cast<unsigned>(n));
    return written > 0 ? static_cast<std::size_t>(written) : 0;
}

// Windows has no inode numbers: a file is its volume and file index.
bool same_file(const char *path, std::FILE *file)
{
    wchar_t wide[MAX_PATH + 1];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, MAX_PATH + 1) == 0)
        return false;
    const HANDLE named = CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION x, y;
    const auto open = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    const bool same = GetFileInformationByHandle(named, &x) && GetFileInformationByHandle(open, &y) &&
                      x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
                      x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
    CloseHandle(named);
    return same;
}
#endif
