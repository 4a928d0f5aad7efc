// ZUM Sound Ripper: the console. Every message goes to standard output,
// which is flushed after each message when it is a terminal (so that an
// entry's unfinished line is on screen while the entry is written) and fully
// buffered otherwise.
#ifndef ZUMRIP_CONSOLE_H
#define ZUMRIP_CONSOLE_H

// Chooses the buffering of standard output; call before the first message.
void start_console();

// Prints text as it stands.
void say(const char *text);

// Prints head, then an entry name from the resource file with every byte
// that could drive a terminal or hide text shown as '?', then tail.
void say_name(const char *head, const char *name, const char *tail);

// Prints head, then text from the command line as the user typed it (every
// byte that could drive a terminal or hide text shown as '?'), then tail.
void say_arg(const char *head, const char *arg, const char *tail);

#endif
