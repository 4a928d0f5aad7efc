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

// Prints head, then text in UTF-8 that comes from outside (a path, an entry
// name) with every byte that could drive a terminal or hide text shown as
// '?', then tail. On a Windows console the text goes out in UTF-16, so that
// it shows as typed, whatever the console's code page.
void say_text(const char *head, const char *text, const char *tail);

#endif
