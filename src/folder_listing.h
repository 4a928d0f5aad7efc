// ZUM Sound Ripper: what the current folder lists. An existing name may
// reach an entry of another spelling (letter case folded, a short alias,
// another normalisation); only the folder's listing tells which entry that
// is, never identity numbers, which a file system reuses or, through FUSE,
// gives anew for each spelling.
#ifndef ZUMRIP_FOLDER_LISTING_H
#define ZUMRIP_FOLDER_LISTING_H

#include <string>

// Expects name (UTF-8, as the console shows it) to exist in the current
// folder. Sets *listed to the name under which the folder lists the entry
// that name reaches: name itself when listed byte for byte, else a listed
// name equal to it under case folding, else "" (an alias, another
// normalisation: no listed entry is name). False, leaving *listed alone,
// when the folder cannot be listed (a folder that may only be written).
bool listed_name(const char *name, std::string *listed);

// The run gave the name name to a file in the current folder: kept in the
// listing without reading the folder again.
void note_listed(const char *name);

#endif
