// ZUM Sound Ripper: output files on POSIX systems.
//
// An output file has no name until it is complete. On Linux it is made
// unnamed in the current directory (O_TMPFILE) and linked to its name once
// written, so that nothing of it is left if the run is killed. Where the
// system or the file system has no unnamed files, it is written under a
// temporary name of its own beside the target (".NAME.WAV." and 8 hex
// digits, new for every attempt) and then linked into place. A name that
// exists is replaced by renaming a complete file over it, flushed first.
//
// Linux flushes the file system once at the end of the run (syncfs); other
// systems flush each file before it is named.
#if !defined(_WIN32)
#include "output_file.h"

#include "input.h"
#include "written_files.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/xattr.h>
#define FLUSH_AT_END 1
#endif

#if defined(O_TMPFILE) && !defined(ZUMRIP_NO_UNNAMED_FILES)
#define UNNAMED_FILES 1
static bool s_unnamed_usable = true;  // cleared when the system cannot
#endif

// What an interruption would have to remove: nothing (an unnamed file goes
// with the process), or the temporary name in s_partial. While a temporary
// name is being made it is not known whether it exists yet.
enum PartialState { no_file, making, temporary };
static char s_partial[32];
static volatile std::sig_atomic_t s_state = no_file;
static volatile std::sig_atomic_t s_deferred = 0;  // a signal met while making
static bool s_wrote = false;  // whether the run has written a file

// Removes the temporary file being written, then ends the process by the
// same signal. Process 1 of a PID namespace ignores a signal it has no
// handler for, even its own: it exits with 128 + the signal's number then.
// Only async-signal-safe calls.
[[noreturn]] static void remove_partial_and_die(int sig)
{
    if (s_state == temporary)
        unlink(s_partial);
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    sigset_t pending;  // blocked while its handler runs
    sigemptyset(&pending);
    sigaddset(&pending, sig);
    sigprocmask(SIG_UNBLOCK, &pending, nullptr);
    raise(sig);
    _exit(128 + sig);
}

// While a temporary name is being made, whether it exists is not known yet:
// the signal is left for end_making to act on. Blocking signals around each
// create instead cost two system calls a file.
static void on_interrupt(int sig)
{
    if (s_state == making) {
        s_deferred = sig;
        return;
    }
    remove_partial_and_die(sig);
}

// Catches SIGINT, SIGTERM and SIGHUP, unless the caller has them ignored.
void start_output()
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

// Makes s_partial the name for a new temporary file beside name. The names
// follow a sequence of 2^32 that starts at a point of this run's own, so a
// name left by a killed run is merely skipped.
static void next_temporary_name(const char *name)
{
    static std::uint32_t s_next = 0;
    if (s_next == 0) {
        timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        s_next = (static_cast<std::uint32_t>(now.tv_nsec) ^ static_cast<std::uint32_t>(now.tv_sec) ^
                  static_cast<std::uint32_t>(getpid()) << 12) | 1u;
    }
    s_next = s_next * 1664525u + 1013904223u;  // full period modulo 2^32
    std::snprintf(s_partial, sizeof s_partial, ".%s.%08x", name, static_cast<unsigned>(s_next));
}

// Between these two, a temporary name is being made (made says whether it
// was); an interruption meanwhile is acted on at the end.
static void begin_making(const char *name)
{
    s_state = no_file;
    next_temporary_name(name);
    s_state = making;
}

static void end_making(bool made)
{
    s_state = made ? temporary : no_file;
    if (s_deferred != 0)
        remove_partial_and_die(s_deferred);
}

// Creates a new temporary file beside name, exclusively, never through a
// link, with the permissions of a new file (0666 less the umask); a name
// that exists already is skipped for the next. Returns its descriptor or -1.
static int create_temporary(const char *name)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        begin_making(name);
        const int fd = open(s_partial, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        end_making(fd >= 0);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

#ifdef UNNAMED_FILES
// Creates an unnamed file in the current directory with the permissions of
// a new file; -1 when it cannot, remembering when the kernel or the file
// system has no such files (before Linux 3.11; NFS, FAT and others).
static int create_unnamed()
{
    if (!s_unnamed_usable)
        return -1;
    const int fd = open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        s_unnamed_usable = false;
    return fd;
}

// Gives the unnamed file open on fd the name path, which must not exist
// (EEXIST). Linking by descriptor needs Linux 6.10 or CAP_DAC_READ_SEARCH;
// elsewhere the file is reached through /proc.
static bool link_unnamed(int fd, const char *path)
{
    if (linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0)
        return true;
    if (errno != ENOENT && errno != EPERM)
        return false;
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

// Links the unnamed file open on fd to a new temporary name beside name.
static bool link_temporary(int fd, const char *name)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        begin_making(name);
        const bool linked = link_unnamed(fd, s_partial);
        end_making(linked);
        if (linked || errno != EEXIST)
            return linked;
    }
    return false;
}
#endif

// Closes fd (unless it is -1) and removes the temporary name, if the file
// has one. False when that name could not be removed (an append-only
// folder): the temporary file is left behind.
static bool discard(int fd)
{
    if (fd >= 0)
        close(fd);
    const bool removed = s_state != temporary || unlink(s_partial) == 0 || errno == ENOENT;
    s_state = no_file;
    return removed;
}

// Discards the file open on fd (see discard) after a failure that result
// stands for; a temporary left behind makes it a write failure.
static OutputResult fail(int fd, OutputResult result)
{
    return discard(fd) ? result : output_not_written;
}

static FileId file_id(const struct stat &st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Writes size bytes to fd, in pieces small enough for every platform's
// write call. Returns true when all of them were written.
static bool write_all(int fd, const unsigned char *data, std::uint64_t size)
{
    while (size > 0) {
        const std::size_t piece = size < (1u << 30) ? static_cast<std::size_t>(size) : 1u << 30;
        const ssize_t written = write(fd, data, piece);
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::uint64_t>(written);
    }
    return true;
}

// Entry names are used as file names as they stand, except those that would
// leave the current directory (a path separator of any platform).
static bool name_is_safe(const char *name)
{
    return std::strpbrk(name, "/\\") == nullptr;
}

// True when the current directory lists name itself, byte for byte, and
// not merely a file that name reaches by folding case or as an alias.
static bool directory_lists(const char *name)
{
    DIR *const folder = opendir(".");
    bool listed = false;
    for (const dirent *d; !listed && folder != nullptr && (d = readdir(folder)) != nullptr;)
        listed = std::strcmp(d->d_name, name) == 0;
    if (folder != nullptr)
        closedir(folder);
    return listed;
}

#ifdef __linux__
// Reads the extended attribute attribute of the file at name (not through a
// link) into a new buffer, setting *size; nullptr when it cannot.
static char *attribute_value(const char *name, const char *attribute, std::size_t *size)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t wanted = lgetxattr(name, attribute, nullptr, 0);
        char *const value = wanted >= 0 ? static_cast<char *>(std::malloc(static_cast<std::size_t>(wanted) + 1)) : nullptr;
        if (value == nullptr)
            return nullptr;
        const ssize_t got = lgetxattr(name, attribute, value, static_cast<std::size_t>(wanted) + 1);
        if (got >= 0) {
            *size = static_cast<std::size_t>(got);
            return value;
        }
        std::free(value);
        if (errno != ERANGE)  // grown meanwhile: again
            return nullptr;
    }
    return nullptr;
}

// Gives the file open on fd the extended attributes of the file at name,
// its access ACL (system.posix_acl_access) among them, as cp -a does, and
// takes away an access ACL the new file inherited from the folder that the
// old one did not have. Attributes it holds already with the same value
// (a security label given by the system) are left as they are. False when
// one could not be carried over.
static bool copy_attributes(const char *name, int fd)
{
    const char *const acl = "system.posix_acl_access";
    const ssize_t listed = llistxattr(name, nullptr, 0);
    if (listed < 0)
        return errno == ENOTSUP;  // a file system without attributes
    char *const names = static_cast<char *>(std::malloc(static_cast<std::size_t>(listed) + 1));
    const ssize_t length = names != nullptr ? llistxattr(name, names, static_cast<std::size_t>(listed) + 1) : -1;
    bool copied = length >= 0, had_acl = false;
    for (const char *attribute = names; copied && attribute < names + length; attribute += std::strlen(attribute) + 1) {
        had_acl = had_acl || std::strcmp(attribute, acl) == 0;
        std::size_t size = 0;
        char *const value = attribute_value(name, attribute, &size);
        char same[256];
        copied = value != nullptr &&
                 ((size <= sizeof same && fgetxattr(fd, attribute, same, sizeof same) == static_cast<ssize_t>(size) &&
                   std::memcmp(same, value, size) == 0) ||
                  fsetxattr(fd, attribute, value, size, 0) == 0);
        std::free(value);
    }
    std::free(names);
    if (copied && !had_acl && fremovexattr(fd, acl) != 0)
        copied = errno == ENODATA || errno == ENOTSUP;
    return copied;
}
#endif

// Whether what stands at name (its identity in *replaced when it exists,
// else an index of 0, which no file has) may be replaced by the file open on fd: not a directory, the input
// itself, a file this run wrote for another name (known by its identity, or
// by a name differing in case only that the folder does not list as such),
// a short alias of another file, or a regular file the user could not open
// for writing
// (root may). A regular file hands its owner and group, permission bits,
// ACL and extended attributes on to its replacement, and is refused when
// one of them cannot be handed on: the new file never grants more than the
// old. Anything else, a link included, is replaced by a file with the
// permissions of a new one. A name gone meanwhile may be taken.
static bool may_replace(const char *name, int fd, FileId *replaced)
{
    struct stat existing;
    *replaced = {0, 0};
    if (lstat(name, &existing) != 0)
        return errno == ENOENT;
    *replaced = file_id(existing);
    if (S_ISDIR(existing.st_mode) || is_input_file(name) || written_as_other_name(*replaced, name) ||
        ((looks_like_short_alias(name) || folds_onto_written(name)) && !directory_lists(name)))
        return false;
    if (!S_ISREG(existing.st_mode))
        return true;
    if (faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) != 0)
        return false;
    // Owner and group first, as a change of owner may clear mode bits; then
    // the ACL, which sets the group bits to its mask.
    bool kept = fchown(fd, existing.st_uid, existing.st_gid) == 0 && fchmod(fd, existing.st_mode & 0777) == 0;
#ifdef __linux__
    kept = kept && copy_attributes(name, fd);
#endif
    return kept;
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

// The complete file open on fd now has the name it was written for (and, in
// the fallback, still its temporary name, which goes). A close that fails
// takes the name away again, but only while it is still this file: another
// run may have put its own in place meanwhile.
static OutputResult finish_new(int fd, const char *name)
{
    const bool removed = s_state != temporary || unlink(s_partial) == 0 || errno == ENOENT;
    s_state = no_file;
    struct stat mine, named;
    const bool known = fstat(fd, &mine) == 0;
    if (close(fd) != 0) {
        if (known && lstat(name, &named) == 0 && named.st_dev == mine.st_dev && named.st_ino == mine.st_ino)
            unlink(name);
        return output_not_written;
    }
    if (known)
        remember_written(file_id(mine), name);
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
    FileId replaced;
    if (!may_replace(name, fd, &replaced))
        return fail(fd, output_not_created);
    struct stat mine;
    if ((replaced.index != 0 && !flush_before_replacing(fd)) || fstat(fd, &mine) != 0)
        return fail(fd, output_not_written);
#ifdef UNNAMED_FILES
    if (unnamed && !link_temporary(fd, name))
        return fail(fd, output_not_created);
#else
    (void)unnamed;
#endif
    if (close(fd) != 0)
        return fail(-1, output_not_written);
    if (std::rename(s_partial, name) != 0)
        return fail(-1, output_not_created);
    s_state = no_file;
    forget_written(replaced);
    remember_written(file_id(mine), name);
    return output_written;
}

void output_name(const char *name, char *out, std::size_t size)
{
    std::snprintf(out, size, "%s", name);
}

OutputResult write_output(const char *name, const unsigned char *data, std::uint64_t size,
                          std::uint64_t full_size)
{
    if (!name_is_safe(name))
        return output_not_created;
    int fd = -1;
#ifdef UNNAMED_FILES
    fd = create_unnamed();
#endif
    const bool unnamed = fd >= 0;
    if (!unnamed)
        fd = create_temporary(name);
    if (fd < 0)
        return output_not_created;
    if (!write_all(fd, data, size) || (full_size != size && ftruncate(fd, static_cast<off_t>(full_size)) != 0) ||
        !flush_before_naming(fd))
        return fail(fd, output_not_written);
    s_wrote = true;

    // A link never replaces anything: it names a new file, and fails when
    // the name exists, which is then replaced.
    bool linked = false;
#ifdef UNNAMED_FILES
    if (unnamed) {
        linked = link_unnamed(fd, name);
        if (!linked && (errno == ENOENT || errno == EPERM)) {
            // No way to link an unnamed file here (no /proc): written again
            // under a temporary name, from now on.
            s_unnamed_usable = false;
            discard(fd);
            return write_output(name, data, size, full_size);
        }
        if (!linked && errno != EEXIST)
            return fail(fd, output_not_created);
    }
#endif
    // A file system without hard links (FAT) falls through to the rename.
    if (!unnamed)
        linked = link(s_partial, name) == 0;
    return linked ? finish_new(fd, name) : replace(fd, name, unnamed);
}

void finish_output()
{
#ifdef FLUSH_AT_END
    // One flush of the file system for all the run's files costs less than
    // one per file. Its result cannot change what each clip's line said.
    const int folder = s_wrote ? open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (folder >= 0) {
        syncfs(folder);
        close(folder);
    }
#endif
}
#endif
