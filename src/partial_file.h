// ZUM Sound Ripper: the guard of the file being written. It holds the one
// piece of state that an interruption reads (whether a temporary name
// exists now, and which), and it is the only unit that changes it: every
// temporary name is made, renamed and removed here. An interruption
// (SIGINT, SIGTERM, SIGHUP; on Windows the console events) removes the
// temporary file, writes out the console's buffer, flushes the files the
// run keeps, and ends the run.
#ifndef ZUMRIP_PARTIAL_FILE_H
#define ZUMRIP_PARTIAL_FILE_H

#ifdef _WIN32
typedef wchar_t path_char;  // names go to the wide API
#else
typedef char path_char;
#endif

// Catches the interruptions from now on (those the caller has not ignored).
void start_guard();

// Creates a new temporary file beside name, exclusively and never through
// a link ("." NAME "." and 8 hex digits, new for every attempt, from a
// sequence of this run's own, so a name left by a killed run is merely
// skipped); on Windows hidden. Returns its descriptor, or -1.
int create_temporary(const path_char *name);

#ifndef _WIN32
// Gives the unnamed file open on fd (O_TMPFILE) the name path, which must
// not exist (EEXIST); true when done.
bool link_unnamed(int fd, const char *path);

// Links the unnamed file open on fd to a new temporary name beside name.
bool link_temporary(int fd, const char *name);
#endif

// The name of the temporary file while one exists; nullptr otherwise.
const path_char *temporary_name();

// Renames the temporary file to name, replacing what stands there (POSIX
// rename; on Windows MoveFileExW with MOVEFILE_REPLACE_EXISTING), in one
// step that replaces a link and never follows it. The temporary name is
// gone once it returns true.
bool rename_temporary(const path_char *name);

// Removes the temporary name, if there is one. False when it exists and
// could not be removed (an append-only folder): it is left behind.
bool remove_temporary();

// The run has named the file open on fd in the current folder: from now
// on an interruption flushes it to the disk (see flush_written).
void note_written(int fd);

// Flushes the files the run named to the disk (Linux: one syncfs of the
// folder's file system; elsewhere each was flushed before it was named).
// True when there was nothing to flush or the flush succeeded.
bool flush_written();

#ifdef _WIN32
// After an interruption: closes fd (unless it is -1), removes the temporary
// file, writes out the console's buffer and ends the run. Looked at between
// pieces of a write; rename_temporary and name_temporary look again just
// before they rename.
void stop_if_interrupted(int fd);

// Takes the hidden attribute off the temporary file, which is to be named
// as a file of its own (not one that hands over its attributes). False
// when it cannot.
bool show_temporary();

// Renames the temporary file to name, which must not exist: fails then,
// ERROR_ALREADY_EXISTS or ERROR_FILE_EXISTS, and never replaces anything.
bool name_temporary(const wchar_t *name);
#endif

#endif
