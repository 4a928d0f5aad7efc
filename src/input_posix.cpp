// ZUM Sound Ripper: the input unit's system calls on POSIX systems.
#if !defined(_WIN32)
#include "input_platform.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE *open_for_reading(const char *path)
{
    return std::fopen(path, "rb");
}

InputKind input_kind(std::FILE *file)
{
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))
        return input_unusable;
    // A regular file that reports no size (procfs, sysfs) may still hold
    // bytes: read as a stream, it gives what it has.
    if (S_ISREG(info.st_mode) && info.st_size == 0)
        return input_stream;
    return S_ISREG(info.st_mode) || S_ISBLK(info.st_mode) ? input_seekable : input_stream;
}

bool seek_file(std::FILE *file, std::uint64_t position)
{
    return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

std::uint64_t file_size(std::FILE *file)
{
    const bool at_end = fseeko(file, 0, SEEK_END) == 0;
    const off_t size = at_end ? ftello(file) : -1;
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

// Unnamed where the system allows it (Linux, O_TMPFILE); elsewhere a file
// made by mkstemp and unlinked at once.
std::FILE *create_spool()
{
    const char *folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0')
        folder = "/tmp";
    int fd = -1;
#ifdef O_TMPFILE
    fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    char path[4096];
    if (fd < 0 && std::snprintf(path, sizeof path, "%s/zumrip-XXXXXX", folder) < static_cast<int>(sizeof path)) {
        fd = mkstemp(path);
        if (fd >= 0)
            unlink(path);
    }
    std::FILE *const spool = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (spool == nullptr && fd >= 0)
        close(fd);
    return spool;
}

long long read_some(std::FILE *stream, unsigned char *buffer, std::size_t n)
{
    ssize_t got;
    do
        got = read(fileno(stream), buffer, n);
    while (got < 0 && errno == EINTR);
    return got;
}

// pwrite leaves the descriptor's position, which stdio keeps track of for
// its reads, alone.
std::size_t write_at(std::FILE *spool, std::uint64_t position, const unsigned char *data, std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        const ssize_t written = pwrite(fileno(spool), data + done, n - done, static_cast<off_t>(position + done));
        if (written <= 0)
            break;
        done += static_cast<std::size_t>(written);
    }
    return done;
}

bool same_file(const char *path, std::FILE *file)
{
    struct stat named, open;
    return lstat(path, &named) == 0 && fstat(fileno(file), &open) == 0 && named.st_dev == open.st_dev &&
           named.st_ino == open.st_ino;
}
#endif
