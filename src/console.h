// ZUM Sound Ripper: the console. Every message goes to standard output,
// which is written after each message when it is a terminal (so that an
// entry's unfinished line is on screen while the entry is written) and
// kept in a buffer of this unit's own otherwise, written when full, at the
// end of the run, and by an interruption before it ends the run: a log
// into a file or a pipe keeps every line printed.
#ifndef ZUMRIP_CONSOLE_H
#define ZUMRIP_CONSOLE_H

// Chooses how standard output is written; call before the first message.
void start_console();

// Prints text as it stands.
void say(const char *text);

// Prints head, then text in UTF-8 that comes from outside (a path, an entry
// name) as console_filter.h shows it, then tail. On a Windows console the
// text goes out in UTF-16, so that it shows as typed, whatever the
// console's code page.
void say_text(const char *head, const char *text, const char *tail);

// Writes out what the buffer holds. False when standard output took less
// than all of it (a full disk, a closed pipe).
bool flush_console();

// The same from a signal handler (on Windows, from the console control
// handler's thread): async-signal-safe, it writes what the buffer holds
// unless the run was writing it at that moment.
void flush_console_on_interrupt();

#endif
