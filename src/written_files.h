// ZUM Sound Ripper: the files this run has written. A clip must never take
// the place of a file this run wrote for a differently named entry, as a
// file system that folds letter case, gives short aliases or normalises
// names would have it: two entries, two files, or the second is refused.
#ifndef ZUMRIP_WRITTEN_FILES_H
#define ZUMRIP_WRITTEN_FILES_H

#include <cstdint>

// A file as the file system knows it: device and inode on POSIX systems,
// volume serial number and file index on Windows.
struct FileId {
    std::uint64_t volume;
    std::uint64_t index;
};

// Remembers that the file id holds the clip this run wrote as name (at most
// 15 bytes: "NAME.WAV", or an entry name of 8). A longer name, or one that
// finds no memory, is not remembered, and a later clip is not checked
// against it.
void remember_written(FileId id, const char *name);

// Forgets the file id, replaced or removed.
void forget_written(FileId id);

// True when the file id holds a clip this run wrote under a name that is
// not name, byte for byte.
bool written_as_other_name(FileId id, const char *name);

// True when this run wrote a clip under a name that equals name but for the
// case of ASCII letters (not byte for byte): on a file system that folds
// case, name would reach that clip's file, whatever identity it reports.
bool folds_onto_written(const char *name);

// True when name could be a short alias a file system gave another file
// ("MYRECO~1.WAV" for "My Recording.wav"): it holds '~' and then a digit.
bool looks_like_short_alias(const char *name);

#endif
