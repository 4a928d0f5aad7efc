// zumpack: reading whole files and entering the output's folder, the same
// through the wide API on Windows.
#include "pack_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>

static std::wstring wide(const char *path)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    std::wstring w(n > 0 ? static_cast<std::size_t>(n) : 1u, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, &w[0], n);
    return w.c_str();
}

static std::FILE *open_read(const char *path)
{
    return _wfopen(wide(path).c_str(), L"rb");
}
static const char separators[] = "/\\";
#else
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

static std::FILE *open_read(const char *path)
{
    return std::fopen(path, "rb");
}
static const char separators[] = "/";
#endif

#ifdef MADV_HUGEPAGE
// Marks the whole huge pages of the size bytes at p for transparent huge
// pages: filling a fresh buffer of 4 KiB pages costs a page fault every
// 4 KiB, about as much as the copy itself (see conversion_buffer.cpp).
static void prefer_huge_pages(unsigned char *p, std::uint64_t size)
{
    const std::uintptr_t huge = 2u << 20;
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(p) + huge - 1) & ~(huge - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + static_cast<std::uintptr_t>(size)) & ~(huge - 1);
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
}
#else
static void prefer_huge_pages(unsigned char *, std::uint64_t) {}
#endif

bool read_whole_file(const char *path, std::uint64_t limit, std::uint64_t extra, std::vector<unsigned char> *out,
                     std::string *error)
{
    errno = 0;
    std::FILE *const file = open_read(path);
    if (file == nullptr) {
        *error = errno != 0 ? std::strerror(errno) : "cannot be opened";
        return false;
    }
    out->clear();
    // A regular file's size says how much to reserve, and is refused early.
    std::uint64_t reported = 0;
#ifdef _WIN32
    struct _stat64 st;
    if (_fstat64(_fileno(file), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG)
        reported = static_cast<std::uint64_t>(st.st_size);
#else
    struct stat st;
    if (fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(file);
        *error = std::strerror(EISDIR);
        return false;
    }
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode))
        reported = static_cast<std::uint64_t>(st.st_size);
#endif
    bool ok = reported <= limit;
    if (ok && reported > 0) {
        // Straight into place, in pieces every C library's fread takes.
        out->reserve(static_cast<std::size_t>(reported + extra));
        prefer_huge_pages(out->data(), reported + extra);
        out->resize(static_cast<std::size_t>(reported));
        std::size_t done = 0;
        for (std::size_t got = 1; got > 0 && done < out->size(); done += got) {
            const std::size_t left = out->size() - done;
            got = std::fread(out->data() + done, 1, left < (1u << 30) ? left : 1u << 30, file);
        }
        out->resize(done);
    }
    // The rest, if the file grew or reports no size.
    unsigned char piece[1 << 16];
    while (ok && std::ferror(file) == 0) {
        const std::size_t got = std::fread(piece, 1, sizeof piece, file);
        ok = out->size() + got <= limit;
        if (ok)
            out->insert(out->end(), piece, piece + got);
        if (got < sizeof piece)
            break;
    }
    const bool failed = std::ferror(file) != 0;
    const int saved = errno;
    std::fclose(file);
    if (!ok)
        *error = "larger than " + std::to_string(limit) + " bytes";
    else if (failed)
        *error = saved != 0 ? std::strerror(saved) : "cannot be read";
    return ok && !failed;
}

bool same_file(const char *a, const char *b)
{
#ifdef _WIN32
    wchar_t full_a[32768], full_b[32768];
    return GetFullPathNameW(wide(a).c_str(), 32768, full_a, nullptr) != 0 &&
           GetFullPathNameW(wide(b).c_str(), 32768, full_b, nullptr) != 0 && _wcsicmp(full_a, full_b) == 0;
#else
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#endif
}

std::string last_part(const char *path)
{
    const std::string p = path;
    const std::size_t cut = p.find_last_of(separators);
    return cut == std::string::npos ? p : p.substr(cut + 1);
}

bool enter_folder_of(const char *path, std::string *error)
{
    const std::string p = path;
    const std::size_t cut = p.find_last_of(separators);
    if (cut == std::string::npos)
        return true;
    // The root keeps its separator, and so does a Windows drive ("C:\").
    const bool keep = cut == 0 || p[cut - 1] == ':';
    const std::string folder = p.substr(0, keep ? cut + 1 : cut);
#ifdef _WIN32
    const bool entered = _wchdir(wide(folder.c_str()).c_str()) == 0;
#else
    const bool entered = chdir(folder.c_str()) == 0;
#endif
    if (!entered)
        *error = std::strerror(errno);
    return entered;
}
