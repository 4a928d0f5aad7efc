// ZUM Sound Ripper: the files this run has written, by folded name. A name
// folds together with at most a few hundred spellings of 8 bytes, so each
// list stays short whatever the resource file holds.
#include "written_files.h"

#include "name_policy.h"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

struct Written {
    std::string name, entry;
};

static std::unordered_map<std::string, std::vector<Written>> s_by_folded_name;

void remember_written(const char *name, const char *entry)
{
    std::vector<Written> &same = s_by_folded_name[folded_name(name)];
    for (Written &w : same)
        if (w.name == name) {
            w.entry = entry;  // the later entry's file replaced the earlier
            return;
        }
    same.push_back({name, entry});
}

// The files of name's folded name this run wrote; nullptr when none.
static const std::vector<Written> *written_like(const char *name)
{
    const auto found = s_by_folded_name.find(folded_name(name));
    return found != s_by_folded_name.end() ? &found->second : nullptr;
}

bool written_for_other_entry(const char *name, const char *entry)
{
    if (const std::vector<Written> *const same = written_like(name))
        for (const Written &w : *same)
            if (w.name == name && w.entry != entry)
                return true;
    return false;
}

bool folded_written_for_other_entry(const char *name, const char *entry)
{
    if (const std::vector<Written> *const same = written_like(name))
        for (const Written &w : *same)
            if (w.entry != entry)
                return true;
    return false;
}
