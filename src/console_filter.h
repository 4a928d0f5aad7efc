// ZUM Sound Ripper: what of a text from outside (a path, an entry name) the
// console shows as it is. For the console unit, and its tests.
#ifndef ZUMRIP_CONSOLE_FILTER_H
#define ZUMRIP_CONSOLE_FILTER_H

#include <cstdint>
#include <string>

// True when the character code, from U+00A0 up, shows as text on every
// terminal: false for what renders as nothing, reorders or breaks the line,
// or is no text (Default_Ignorable_Code_Point, general categories Cc, Cf,
// Co, Cs, Zl and Zp, noncharacters), and past U+10FFFF.
bool shows_as_text(std::uint32_t code);

// Returns text, as long as it, with every byte that is not printable ASCII
// or part of a well-formed UTF-8 character for which shows_as_text holds
// replaced by '?', so that what a file or its name holds cannot drive the
// terminal or fake the line.
std::string shown_text(const char *text);

#endif
