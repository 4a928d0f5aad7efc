// ZUM Sound Ripper: output files on POSIX systems, the flow of one file.
//
// An output file has no name until it is complete. On Linux it is made
// unnamed in the current directory (O_TMPFILE) and linked to its name once
// written, so that nothing of it is left if the run is killed; where the
// system or the file system has no unnamed files it is written under a
// temporary name beside the target (partial_file.h) and then linked into
// place. A link never replaces anything: when the name exists, what stands
// there is looked at (may_replace) and replaced by renaming the complete
// file over it, flushed first.
//
// Linux flushes the file system once at the end of the run (syncfs); other
// systems flush each file before it is named.
#if !defined(_WIN32)
#include "output_file.h"

#include "folder_listing.h"
#include "hand_over.h"
#include "input.h"
#include "name_policy.h"
#include "partial_file.h"
#include "written_files.h"
#include "zumrip.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#define FLUSH_AT_END 1
#endif

#if defined(O_TMPFILE) && !defined(ZUMRIP_NO_UNNAMED_FILES)
#define UNNAMED_FILES 1
static bool s_unnamed_usable = true;  // cleared when the system cannot
#endif

void start_output()
{
    start_guard();
}

bool finish_output()
{
    return flush_written();
}

void output_name(const char *name, char *out, std::size_t size)
{
    std::snprintf(out, size, "%s", name);
}

// Creates an unnamed file in the current directory with the permissions of
// a new file; -1 when it cannot, remembering when the kernel or the file
// system has no such files (before Linux 3.11; NFS, FAT and others).
static int create_unnamed()
{
#ifdef UNNAMED_FILES
    if (s_unnamed_usable) {
        const int fd = open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
            s_unnamed_usable = false;
        return fd;
    }
#endif
    return -1;
}

// Writes size bytes to fd, in pieces small enough for every platform's
// write call, then extends the file with zero bytes to full_size (a hole
// where the file system has them). True when all of it was done.
static bool write_all(int fd, const unsigned char *data, std::uint64_t size, std::uint64_t full_size)
{
    for (std::uint64_t left = size; left > 0;) {
        const std::size_t piece = left < (1u << 30) ? static_cast<std::size_t>(left) : 1u << 30;
        const ssize_t written = write(fd, data, piece);
        if (written <= 0)
            return false;
        data += written;
        left -= static_cast<std::uint64_t>(written);
    }
    return full_size == size || ftruncate(fd, static_cast<off_t>(full_size)) == 0;
}

// Closes fd (unless it is -1) and removes the temporary name after a
// failure that result stands for; a temporary left behind makes it a
// write failure.
static OutputResult fail(int fd, OutputResult result)
{
    if (fd >= 0)
        close(fd);
    return remove_temporary() ? result : output_not_written;
}

// Where the input file lies in the current folder, its name there (the
// last part of its path); "" when it lies elsewhere or is no file there.
// Folders are compared by their resolved paths and by identity, either
// being enough: identities of folders are not reused while both exist.
static const std::string &input_name_here()
{
    static bool s_known = false;
    static std::string s_name;
    if (s_known)
        return s_name;
    s_known = true;
    const std::string path = g_input_name;
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char here[PATH_MAX], there[PATH_MAX];
    struct stat a, b;
    const bool same = (realpath(".", here) != nullptr && realpath(folder.c_str(), there) != nullptr &&
                       std::strcmp(here, there) == 0) ||
                      (stat(".", &a) == 0 && stat(folder.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino);
    if (same)
        s_name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    return s_name;
}

// True when name, listed in the folder as listed (when known), is the input
// file. Where the input lies in this folder the listing decides, as
// identity numbers through FUSE differ by spelling; elsewhere identity,
// which cannot be reused while the input is open.
static bool is_input(const char *name, bool known, const std::string &listed)
{
    const std::string &input = input_name_here();
    std::string input_listed;
    if (known && !input.empty() && listed_name(input.c_str(), &input_listed))
        return !listed.empty() && listed == input_listed;
    return is_input_file(name);
}

// Whether what stands at name may be replaced by the file open on fd; sets
// *existed when something does. Refused: another file that name merely
// reaches (a short alias, another normalisation: the folder does not list
// it as a spelling of name), a case variant of a file this run wrote for
// another entry, a directory, the input, and a regular file the user could
// not open for writing (root may) or whose owner, permissions, ACL or
// attributes cannot be handed over (hand_over.h). Anything else, a link
// included, is replaced by a file with the permissions of a new one. A
// name gone meanwhile may be taken. A folder that cannot be listed proves
// no alias, so refuses none.
static bool may_replace(const char *name, int fd, bool *existed)
{
    struct stat existing;
    if (lstat(name, &existing) != 0)
        return errno == ENOENT;
    *existed = true;
    std::string listed;
    const bool known = listed_name(name, &listed);
    const Reached reached = how_reached(name, known ? listed.c_str() : nullptr);
    if (reached == reached_other || (reached == reached_case_variant && folded_written_for_other_entry(name, name)) ||
        S_ISDIR(existing.st_mode) || is_input(name, known, listed))
        return false;
    if (!S_ISREG(existing.st_mode))
        return true;
    return faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) == 0 && hand_over(name, existing, fd);
}

// Flushes the file open on fd to the disk where each file is flushed before
// it is named (see finish_output). False when that fails.
static bool flush_before_naming(int fd)
{
#ifdef FLUSH_AT_END
    (void)fd;
    return true;
#else
    return fsync(fd) == 0;
#endif
}

// Flushes the data of the file open on fd before it replaces another, so
// that a crash cannot leave the name on a file whose data never reached the
// disk. False when that fails.
static bool flush_before_replacing(int fd)
{
#ifdef FLUSH_AT_END
    return fdatasync(fd) == 0;
#else
    (void)fd;
    return true;  // flushed before naming
#endif
}

// The file open on fd has its name now: kept in mind for the flush at the
// end, for later entries, and in the folder's listing.
static void named(int fd, const char *name)
{
    note_written(fd);
    remember_written(name, name);
    note_listed(name);
}

// The complete file open on fd was linked to its name (and, in the
// fallback, still has its temporary name, which goes). A close that fails
// takes the name away again, but only while it is still this file: another
// run may have put its own in place meanwhile. (The file stays linked, so
// its identity cannot pass to another file in between.)
static OutputResult finish_new(int fd, const char *name)
{
    const bool removed = remove_temporary();
    named(fd, name);
    struct stat mine, now;
    const bool known = fstat(fd, &mine) == 0;
    if (close(fd) != 0) {
        if (known && lstat(name, &now) == 0 && now.st_dev == mine.st_dev && now.st_ino == mine.st_ino)
            unlink(name);
        return output_not_written;
    }
    return removed ? output_written : output_not_written;
}

// Replaces what stands at name by the complete file open on fd: flushed to
// the disk, then renamed over it from its temporary name (given now when it
// is unnamed), after a close that succeeded, so that the name holds either
// the old file or all of the new one, even after a crash, and a link there
// is replaced, never followed. Where there are no hard links (FAT) new
// names come here too, and are not flushed.
static OutputResult replace(int fd, const char *name, bool unnamed)
{
    bool existed = false;
    if (!may_replace(name, fd, &existed))
        return fail(fd, output_not_created);
    if (existed && !flush_before_replacing(fd))
        return fail(fd, output_not_written);
    if (unnamed && !link_temporary(fd, name))
        return fail(fd, output_not_created);
    note_written(fd);
    if (close(fd) != 0)
        return fail(-1, output_not_written);
    if (!rename_temporary(name))
        return fail(-1, output_not_created);
    remember_written(name, name);
    note_listed(name);
    return output_written;
}

OutputResult write_output(const char *name, const unsigned char *data, std::uint64_t size,
                          std::uint64_t full_size)
{
    if (leaves_folder(name))
        return output_not_created;
    int fd = create_unnamed();
    const bool unnamed = fd >= 0;
    if (!unnamed)
        fd = create_temporary(name);
    if (fd < 0)
        return output_not_created;
    if (!write_all(fd, data, size, full_size) || !flush_before_naming(fd))
        return fail(fd, output_not_written);

    // A link never replaces anything: it names a new file, and fails when
    // the name exists, which is then replaced.
    if (unnamed && link_unnamed(fd, name))
        return finish_new(fd, name);
    if (unnamed && (errno == ENOENT || errno == EPERM)) {
#ifdef UNNAMED_FILES
        // No way to link an unnamed file here (no /proc): written again
        // under a temporary name, from now on.
        s_unnamed_usable = false;
#endif
        close(fd);
        return write_output(name, data, size, full_size);
    }
    if (unnamed && errno != EEXIST)
        return fail(fd, output_not_created);
    // A file system without hard links (FAT) falls through to the rename.
    if (!unnamed && link(temporary_name(), name) == 0)
        return finish_new(fd, name);
    return replace(fd, name, unnamed);
}
#endif
