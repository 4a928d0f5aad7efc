// ZUM Sound Ripper: the files this run has written, found by identity and
// by name with ASCII letters folded to lower case, in two hash tables with
// open addressing (linear probing; removed slots stay as tombstones until a
// table is rebuilt). Looked up only when a name exists already.
#include "written_files.h"

#include <cstdlib>
#include <cstring>

struct WrittenFile {
    FileId id;
    char name[40];
    unsigned char state;  // free, used or removed
};

enum SlotState : unsigned char { slot_free, slot_used, slot_removed };

// One table: by identity, or by folded name (the id then unused).
struct FileTable {
    WrittenFile *slots;
    std::size_t capacity;  // a power of two, or 0
    std::size_t taken;     // slots used or removed
    bool by_name;
};

static FileTable s_by_id = {nullptr, 0, 0, false};
static FileTable s_by_name = {nullptr, 0, 0, true};

static unsigned char folded(char c)
{
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

static bool same_folded(const char *a, const char *b)
{
    for (; folded(*a) == folded(*b); ++a, ++b)
        if (*a == '\0')
            return true;
    return false;
}

// Where in table the search for a file of identity id or name starts.
static std::size_t home_slot(const FileTable &table, FileId id, const char *name)
{
    std::uint64_t hash = id.volume * 0x9E3779B97F4A7C15u ^ id.index;
    if (table.by_name)
        for (hash = 14695981039346656037u; *name != '\0'; ++name)  // FNV-1a
            hash = (hash ^ folded(*name)) * 1099511628211u;
    return static_cast<std::size_t>((hash * 0xBF58476D1CE4E5B9u) >> 32) & (table.capacity - 1);
}

// Whether slot is a used one that matches id (by identity) or name (by name,
// folded).
static bool matches(const FileTable &table, const WrittenFile &slot, FileId id, const char *name)
{
    if (slot.state != slot_used)
        return false;
    return table.by_name ? same_folded(slot.name, name) : slot.id.volume == id.volume && slot.id.index == id.index;
}

// Which names find accepts beside the identity or folded name it looks for.
enum NameTest { any_name, same_name, other_name };

// The first used slot of table that matches id (by identity) or name (by
// name, folded) and passes test against name byte for byte; nullptr if none.
static WrittenFile *find(FileTable &table, FileId id, const char *name, NameTest test)
{
    std::size_t i = table.capacity == 0 ? 0 : home_slot(table, id, name);
    for (std::size_t probes = 0; probes < table.capacity && table.slots[i].state != slot_free; ++probes) {
        WrittenFile &slot = table.slots[i];
        if (matches(table, slot, id, name) && (test == any_name || (std::strcmp(slot.name, name) == 0) == (test == same_name)))
            return &slot;
        i = (i + 1) & (table.capacity - 1);
    }
    return nullptr;
}

static void insert(FileTable &table, FileId id, const char *name);

// Rebuilds table with room for four times the files it holds (at least 256
// slots), dropping tombstones. False when there is no memory for it.
static bool grow(FileTable &table)
{
    std::size_t used = 0;
    for (std::size_t i = 0; i < table.capacity; ++i)
        used += table.slots[i].state == slot_used;
    std::size_t capacity = 256;
    while (capacity < 4 * (used + 1))
        capacity *= 2;
    auto *const slots = static_cast<WrittenFile *>(std::calloc(capacity, sizeof(WrittenFile)));
    if (slots == nullptr)
        return false;
    const FileTable old = table;
    table.slots = slots;
    table.capacity = capacity;
    table.taken = 0;
    for (std::size_t i = 0; i < old.capacity; ++i)
        if (old.slots[i].state == slot_used)
            insert(table, old.slots[i].id, old.slots[i].name);
    std::free(old.slots);
    return true;
}

static void insert(FileTable &table, FileId id, const char *name)
{
    if (2 * (table.taken + 1) > table.capacity && !grow(table))
        return;
    std::size_t i = home_slot(table, id, name);
    while (table.slots[i].state == slot_used)
        i = (i + 1) & (table.capacity - 1);
    table.taken += table.slots[i].state == slot_free;
    WrittenFile &slot = table.slots[i];
    slot.id = id;
    std::strncpy(slot.name, name, sizeof slot.name - 1);
    slot.name[sizeof slot.name - 1] = '\0';
    slot.state = slot_used;
}

void remember_written(FileId id, const char *name)
{
    if (WrittenFile *const known = find(s_by_id, id, name, any_name))
        known->state = slot_removed;  // its inode number was freed and used again
    insert(s_by_id, id, name);
    if (find(s_by_name, id, name, same_name) == nullptr)
        insert(s_by_name, id, name);
}

void forget_written(FileId id)
{
    if (WrittenFile *const known = find(s_by_id, id, "", any_name))
        known->state = slot_removed;
}

bool written_as_other_name(FileId id, const char *name)
{
    return find(s_by_id, id, name, other_name) != nullptr;
}

bool folds_onto_written(const char *name)
{
    return find(s_by_name, {0, 0}, name, other_name) != nullptr;
}

bool looks_like_short_alias(const char *name)
{
    for (const char *tilde = std::strchr(name, '~'); tilde != nullptr; tilde = std::strchr(tilde + 1, '~'))
        if (tilde[1] >= '0' && tilde[1] <= '9')
            return true;
    return false;
}
