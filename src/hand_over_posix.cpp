// ZUM Sound Ripper: what an old file hands over to its replacement, on
// POSIX systems.
#if !defined(_WIN32)
#include "hand_over.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#ifdef __linux__
#include <sys/xattr.h>

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
// its access ACL (system.posix_acl_access) among them. Attributes it holds
// already with the same value (a security label given by the system) are
// left as they are.
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

bool hand_over(const char *name, const struct stat &existing, int fd)
{
    // Owner and group first, as a change of owner may clear mode bits; then
    // the ACL, which sets the group bits to its mask.
    bool kept = fchown(fd, existing.st_uid, existing.st_gid) == 0 && fchmod(fd, existing.st_mode & 0777) == 0;
#ifdef __linux__
    kept = kept && copy_attributes(name, fd);
#else
    (void)name;
#endif
    return kept;
}
#endif
