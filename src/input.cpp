// ZUM Sound Ripper: the input stream, read through two 64 KiB windows.
#include "input.h"

#include "zumrip.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

#include <cstdlib>
#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define fdopen _fdopen
#define fileno _fileno
#ifndef S_ISBLK
#define S_ISBLK(mode) false
#endif
#else
#include <unistd.h>
#endif

std::FILE *g_input = nullptr;
std::uint64_t g_input_size = 0;
const char *g_input_name = "";

// Entries alternate between the offset table and their own headers and
// samples, so one window would be refilled twice per entry; two keep both
// regions at hand.
static const std::size_t window_size = 1 << 16;

struct InputWindow {
    std::uint64_t start;   // file position of bytes[0]
    std::size_t length;    // bytes held; less than window_size at end of file
    std::uint64_t last_use;
    unsigned char bytes[window_size];
};

static InputWindow s_windows[2];
static std::uint64_t s_position = 0;  // where the next read starts
static std::uint64_t s_use_count = 0;

// Reads n bytes at an absolute position of the stream straight into out,
// setting *got to how many it read. False when the stream reports an error
// rather than the end of the file.
static bool read_stream(std::uint64_t position, unsigned char *out, std::size_t n, std::size_t *got)
{
    std::clearerr(g_input);
#ifdef _WIN32
    const bool moved = _fseeki64(g_input, static_cast<__int64>(position), SEEK_SET) == 0;
#else
    const bool moved = fseeko(g_input, static_cast<off_t>(position), SEEK_SET) == 0;
#endif
    *got = moved ? std::fread(out, 1, n, g_input) : 0;
    return moved && std::ferror(g_input) == 0;
}

// Returns the window that holds the n bytes at s_position, refilling the
// one used least recently when neither does; nullptr when that refill
// failed. A failed refill leaves the window empty: its bytes are never
// served, and a short window always means the end of the file.
static InputWindow *window_at(std::size_t n)
{
    for (InputWindow &w : s_windows)
        if (w.length > 0 && s_position >= w.start && s_position + n <= w.start + w.length)
            return &w;
    InputWindow &w = s_windows[0].last_use <= s_windows[1].last_use ? s_windows[0] : s_windows[1];
    w.start = s_position;
    if (read_stream(s_position, w.bytes, window_size, &w.length))
        return &w;
    w.length = 0;
    return nullptr;
}

void seek_input(std::uint64_t position)
{
    s_position = position;
}

std::uint64_t input_position()
{
    return s_position;
}

bool read_input(void *buffer, std::size_t n, std::size_t *got)
{
    auto *const out = static_cast<unsigned char *>(buffer);
    *got = 0;
    // Sample bytes go straight into the caller's buffer, and so does a
    // request whose window could not be read: a bad sector further on then
    // costs only what lies on it.
    InputWindow *const w = n <= window_size / 2 ? window_at(n) : nullptr;
    if (w == nullptr) {
        if (!read_stream(s_position, out, n, got)) {
            *got = 0;
            return false;
        }
    } else {
        w->last_use = ++s_use_count;
        const std::uint64_t skip = s_position - w->start;
        if (skip < w->length)
            *got = std::min<std::size_t>(n, w->length - static_cast<std::size_t>(skip));
        std::memcpy(out, w->bytes + skip, *got);
    }
    s_position += *got;
    return true;
}

// Finds the size of the open input file in bytes by seeking to its end;
// 0 when the stream cannot seek.
static std::uint64_t input_size()
{
#ifdef _WIN32
    const bool at_end = _fseeki64(g_input, 0, SEEK_END) == 0;
    const __int64 size = at_end ? _ftelli64(g_input) : -1;
#else
    const bool at_end = fseeko(g_input, 0, SEEK_END) == 0;
    const off_t size = at_end ? ftello(g_input) : -1;
#endif
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

// Creates an anonymous temporary file, gone from the file system already
// (or, on Windows, once closed), so that a killed run leaves nothing behind.
// Returns its descriptor, open for reading and writing, or -1.
static int create_spool()
{
#ifdef _WIN32
    wchar_t folder[MAX_PATH + 1], path[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"zum", 0, path) == 0)
        return -1;
    const int fd = _wopen(path, _O_RDWR | _O_BINARY | _O_TEMPORARY);
    if (fd < 0)
        _wunlink(path);
    return fd;
#else
    const char *folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0')
        folder = "/tmp";
#ifdef O_TMPFILE
    const int anonymous = open(folder, O_TMPFILE | O_RDWR, 0600);
    if (anonymous >= 0)
        return anonymous;
#endif
    char path[4096];
    if (std::snprintf(path, sizeof path, "%s/zumrip-XXXXXX", folder) >= static_cast<int>(sizeof path))
        return -1;
    const int fd = mkstemp(path);
    if (fd >= 0)
        unlink(path);
    return fd;
#endif
}

// Replaces the input stream, which cannot seek (a pipe, a FIFO, a
// terminal), by a temporary copy of all it holds, made through the first
// window's bytes so that memory stays bounded. False when the copy cannot
// be made (no room, a read error); the input is then closed.
static bool spool_input()
{
    const int fd = create_spool();
    bool copied = fd >= 0;
    for (std::size_t got = 0; copied && (got = std::fread(s_windows[0].bytes, 1, window_size, g_input)) > 0;)
        copied = write(fd, s_windows[0].bytes, static_cast<unsigned>(got)) == static_cast<int>(got);
    copied = copied && std::ferror(g_input) == 0;
    close_input();
    if (copied)
        g_input = fdopen(fd, "rb");
    if (g_input == nullptr && fd >= 0)
        close(fd);
    return g_input != nullptr;
}

#ifdef _WIN32
// The path comes in UTF-8 (see main); Windows opens it in UTF-16, so that
// every name the user can type opens.
static std::FILE *open_for_reading(const char *path)
{
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    wchar_t *const wide = length > 0 ? static_cast<wchar_t *>(std::calloc(static_cast<std::size_t>(length), sizeof *wide)) : nullptr;
    std::FILE *file = nullptr;
    if (wide != nullptr && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, length) > 0)
        file = _wfopen(wide, L"rb");
    std::free(wide);
    return file;
}
#else
static std::FILE *open_for_reading(const char *path)
{
    return std::fopen(path, "rb");
}
#endif

bool open_input(const char *path)
{
    g_input = open_for_reading(path);
    if (g_input == nullptr)
        return false;
    // A directory opens for reading on some systems but is no resource file.
    struct stat info;
    if (fstat(fileno(g_input), &info) != 0 || S_ISDIR(info.st_mode)) {
        close_input();
        return false;
    }
    if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode) && !spool_input())
        return false;
    std::setvbuf(g_input, nullptr, _IONBF, 0);  // read through the windows above
    g_input_size = input_size();
    for (InputWindow &w : s_windows)
        w.length = 0;
    // The file header comes into a window now, so that a start that cannot
    // be read counts as a file that cannot be opened.
    unsigned char header[6];
    std::size_t got = 0;
    s_position = 0;
    if (!read_input(header, sizeof header, &got)) {
        close_input();
        return false;
    }
    s_position = 0;
    g_input_name = path;
    return true;
}

#ifdef _WIN32
// Windows has no inode numbers: a file is its volume and file index.
static bool same_file(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION x, y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

bool is_input_file(const char *path)
{
    const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const auto input = reinterpret_cast<HANDLE>(_get_osfhandle(fileno(g_input)));
    const bool same = same_file(file, input);
    CloseHandle(file);
    return same;
}
#else
bool is_input_file(const char *path)
{
    struct stat named, input;
    return lstat(path, &named) == 0 && fstat(fileno(g_input), &input) == 0 &&
           named.st_dev == input.st_dev && named.st_ino == input.st_ino;
}
#endif

void close_input()
{
    std::fclose(g_input);
    g_input = nullptr;
}
