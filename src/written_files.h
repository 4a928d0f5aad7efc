// ZUM Sound Ripper: the files this run has written. A clip must never take
// the place of a file this run wrote for another entry, as a file system
// that folds letter case would have it: two entries, two files, or the
// second is refused. Kept by name, never by identity numbers, which a file
// system reuses as soon as another process frees one.
#ifndef ZUMRIP_WRITTEN_FILES_H
#define ZUMRIP_WRITTEN_FILES_H

// Remembers that this run wrote the file name (as the console shows it) for
// the entry entry: on POSIX systems the name itself; on Windows the entry's
// bytes, as two entries of different bytes may give one name there.
void remember_written(const char *name, const char *entry);

// True when this run wrote the file name, byte for byte, for an entry other
// than entry.
bool written_for_other_entry(const char *name, const char *entry);

// True when this run wrote a file whose name equals name under case folding
// (name_policy.h) for an entry other than entry.
bool folded_written_for_other_entry(const char *name, const char *entry);

#endif
