// ZUM Sound Ripper: names on Windows, which names files in UTF-16: the
// conversion of entry names (output_name, see output_file.h) and the
// conversions the other Windows units need.
#ifndef ZUMRIP_NAMES_WINDOWS_H
#define ZUMRIP_NAMES_WINDOWS_H
#ifdef _WIN32

#include <string>

// The bytes of the entry name that the last output_name was given: two
// entries of different bytes may give one name (é in UTF-8 and in the ANSI
// code page), so the files this run wrote are told apart by these.
const char *last_entry();

// Writes name, well-formed UTF-8, in UTF-16 into out (size units, the
// terminating zero included). False when it is not well-formed or too long.
bool wide_name(const char *name, wchar_t *out, int size);

// name, UTF-16, in UTF-8 (a lone surrogate as U+FFFD).
std::string utf8_name(const wchar_t *name);

// The wide arguments of wmain in UTF-8, which the input and console units
// turn back into UTF-16 (Windows hands main them in the ANSI code page,
// which loses every character outside it); nullptr when there is no memory
// for them.
char **utf8_arguments(int argc, wchar_t **wide);

#endif
#endif
