// ZUM Sound Ripper: what an old file hands over to the file that replaces
// it, so that the new file never grants more, nor keeps less, than the old.
#ifndef ZUMRIP_HAND_OVER_H
#define ZUMRIP_HAND_OVER_H

#ifdef _WIN32
// Gives the complete, closed file new_name the old file's security
// descriptor (owner, group, ACL), attributes (read-only excepted),
// creation time and alternate data streams, so that one rename can then
// put it in the old file's place. False when one of them could not be
// handed over.
bool hand_over(const wchar_t *old_name, const wchar_t *new_name);

// True when name, which the current folder lists as listed, is a link: a
// reparse point, or a name the system follows elsewhere (wine shows a Unix
// symbolic link as the file it points to). A link hands over nothing: its
// target is another file.
bool is_link(const wchar_t *name, const wchar_t *listed);
#else
#include <sys/stat.h>

// Gives the file open on fd the owner and group, permission bits, ACL and
// extended attributes of the regular file name (whose lstat is existing),
// as cp -a does, and takes away an access ACL the new file inherited from
// the folder that the old one did not have. False when one of them could
// not be handed over.
bool hand_over(const char *name, const struct stat &existing, int fd);
#endif

#endif
