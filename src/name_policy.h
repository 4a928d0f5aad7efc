// ZUM Sound Ripper: the names of output files, the same on every platform.
// Which names may be used at all, and when two names are one to a file
// system that ignores letter case. Plain functions of a name's bytes.
#ifndef ZUMRIP_NAME_POLICY_H
#define ZUMRIP_NAME_POLICY_H

#include <string>

// True when name would leave the current folder: it holds a path separator
// of any platform ('/' or '\').
bool leaves_folder(const char *name);

// True when Windows opens a device for name, whatever follows its first dot
// (".WAV" included), in any letter case and with blanks before that dot:
// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0 to COM9 and LPT0 to LPT9, where
// the digit may also be a superscript 1, 2 or 3 (in UTF-8 or Windows-1252).
bool names_windows_device(const char *name);

// Returns name, UTF-8, with every character replaced by its Unicode simple
// case folding (so "ÉTÉ.WAV" and "été.wav" give one string); bytes that are
// not part of well-formed UTF-8 stay as they are.
std::string folded_name(const char *name);

// Maps one code point by the simple case folding.
char32_t fold_code_point(char32_t code);

// How the entry that an existing name reached is listed in its folder.
enum Reached {
    reached_itself,        // listed as name, byte for byte, or not known
    reached_case_variant,  // listed under a name that folds to the same
    reached_other,         // a short alias, another normalisation: another file
};

// Tells from listed, the name under which the folder lists the entry that
// name reached (nullptr when the folder cannot be listed: nothing is known,
// so nothing is refused), which of the three it is.
Reached how_reached(const char *name, const char *listed);

#endif
