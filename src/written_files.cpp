// ZUM Sound Ripper: the files this run has written, kept in the order they
// were written, with two hash indexes into them (open addressing, linear
// probing): one by identity, one by name with ASCII letters folded to lower
// case. Slots hold a file's position plus one; 0 is free, and a removed
// file's slot stays taken, as a tombstone, until the index is rebuilt.
// Looked up only when a name exists already.
#include "written_files.h"

#include <cstdlib>
#include <cstring>

struct WrittenFile {
    FileId id;
    char name[16];
};

// One index: by identity, or by folded name.
struct FileIndex {
    std::uint32_t *slots;
    std::size_t capacity;  // a power of two, or 0
    std::size_t taken;     // slots used or removed
    bool by_name;
};

static const std::uint32_t removed_slot = UINT32_MAX;

static WrittenFile *s_files = nullptr;
static std::size_t s_count = 0, s_room = 0;
static FileIndex s_by_id = {nullptr, 0, 0, false};
static FileIndex s_by_name = {nullptr, 0, 0, true};

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

// Where in index the search for a file of identity id or name starts.
static std::size_t home_slot(const FileIndex &index, FileId id, const char *name)
{
    std::uint64_t hash = id.volume * 0x9E3779B97F4A7C15u ^ id.index;
    if (index.by_name)
        for (hash = 14695981039346656037u; *name != '\0'; ++name)  // FNV-1a
            hash = (hash ^ folded(*name)) * 1099511628211u;
    return static_cast<std::size_t>((hash * 0xBF58476D1CE4E5B9u) >> 32) & (index.capacity - 1);
}

// Which names find accepts beside the identity or folded name it looks for.
enum NameTest { any_name, same_name, other_name };

// The slot of index for the first file that matches id (by identity) or
// name (by name, folded) and passes test against name byte for byte;
// nullptr if none.
static std::uint32_t *find(const FileIndex &index, FileId id, const char *name, NameTest test)
{
    std::size_t i = index.capacity == 0 ? 0 : home_slot(index, id, name);
    for (std::size_t probes = 0; probes < index.capacity && index.slots[i] != 0; ++probes) {
        if (index.slots[i] != removed_slot) {
            const WrittenFile &file = s_files[index.slots[i] - 1];
            const bool match = index.by_name ? same_folded(file.name, name)
                                             : file.id.volume == id.volume && file.id.index == id.index;
            if (match && (test == any_name || (std::strcmp(file.name, name) == 0) == (test == same_name)))
                return &index.slots[i];
        }
        i = (i + 1) & (index.capacity - 1);
    }
    return nullptr;
}

// Enters the file at position into index, first rebuilding the index with
// room for four times the files it holds when it is half taken (tombstones
// dropped). False when there is no memory for that.
static bool insert(FileIndex &index, std::size_t position)
{
    if (2 * (index.taken + 1) > index.capacity) {
        std::size_t used = 0, capacity = 256;
        for (std::size_t i = 0; i < index.capacity; ++i)
            used += index.slots[i] != 0 && index.slots[i] != removed_slot;
        while (capacity < 4 * (used + 1))
            capacity *= 2;
        auto *const slots = static_cast<std::uint32_t *>(std::calloc(capacity, sizeof(std::uint32_t)));
        if (slots == nullptr)
            return false;
        FileIndex old = index;
        index.slots = slots;
        index.capacity = capacity;
        index.taken = 0;
        for (std::size_t i = 0; i < old.capacity; ++i)
            if (old.slots[i] != 0 && old.slots[i] != removed_slot)
                insert(index, old.slots[i] - 1);
        std::free(old.slots);
    }
    const WrittenFile &file = s_files[position];
    std::size_t i = home_slot(index, file.id, file.name);
    while (index.slots[i] != 0 && index.slots[i] != removed_slot)
        i = (i + 1) & (index.capacity - 1);
    index.taken += index.slots[i] == 0;
    index.slots[i] = static_cast<std::uint32_t>(position + 1);
    return true;
}

void remember_written(FileId id, const char *name)
{
    const std::size_t length = std::strlen(name);
    if (length >= sizeof s_files->name || s_count >= removed_slot - 1)
        return;
    if (s_count == s_room) {
        const std::size_t room = s_room == 0 ? 256 : 2 * s_room;
        auto *const files = static_cast<WrittenFile *>(std::realloc(s_files, room * sizeof(WrittenFile)));
        if (files == nullptr)
            return;
        s_files = files;
        s_room = room;
    }
    if (std::uint32_t *const stale = find(s_by_id, id, name, any_name))
        *stale = removed_slot;  // its inode number was freed and used again
    s_files[s_count].id = id;
    std::memcpy(s_files[s_count].name, name, length + 1);
    const bool indexed = insert(s_by_id, s_count);
    if (indexed && find(s_by_name, id, name, same_name) == nullptr)
        insert(s_by_name, s_count);
    s_count += indexed;
}

void forget_written(FileId id)
{
    if (std::uint32_t *const known = find(s_by_id, id, "", any_name))
        *known = removed_slot;
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
