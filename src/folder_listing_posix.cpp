// ZUM Sound Ripper: what the current folder lists, on POSIX systems.
//
// The listing is read once, when a name first turns out to exist, and kept
// current with the run's own changes; a name missing from it means that
// someone else changed the folder, and it is read again. A run that has to
// read it a third time (other runs at work in the folder, or a file of
// names that keep missing) watches the folder from then on: on Linux,
// inotify reports every name made or removed there, so the listing stays
// current without reading it again, until the queue overflows. Not from
// the start, as a watch costs about 10 ms when the process ends.
#if !defined(_WIN32)
#include "folder_listing.h"

#include "name_policy.h"

#include <dirent.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

#ifdef __linux__
#include <sys/inotify.h>
#endif

static std::unordered_set<std::string> s_names;
// By folded name, made when a name first reaches an entry of another
// spelling (on a file system that folds), and kept from then on.
static std::unordered_multimap<std::string, std::string> s_by_folded_name;
static bool s_folded = false;
static int s_reads = 0;         // times the folder has been read
static bool s_current = false;  // the watch has missed no change since
static int s_watch = -1;        // inotify on the folder, from the third read

// True for the temporary names of this run or another (".NAME.WAV." and 8
// hex digits, partial_file.h): no output name equals one, folded or not, as
// none ends in anything but ".WAV", so they are not kept.
static bool is_temporary(const std::string &name)
{
    const std::size_t length = name.size();
    if (length < 15 || name[0] != '.' || name.compare(length - 13, 5, ".WAV.") != 0)
        return false;
    return name.find_first_not_of("0123456789abcdef", length - 8) == std::string::npos;
}

static void add_name(const std::string &name)
{
    if (!is_temporary(name) && s_names.insert(name).second && s_folded)
        s_by_folded_name.emplace(folded_name(name.c_str()), name);
}

#ifdef __linux__
static void remove_name(const std::string &name)
{
    if (s_names.erase(name) == 0 || !s_folded)
        return;
    const auto range = s_by_folded_name.equal_range(folded_name(name.c_str()));
    for (auto i = range.first; i != range.second; ++i)
        if (i->second == name) {
            s_by_folded_name.erase(i);
            return;
        }
}
#endif

// Starts watching the folder for names made and removed, before it is read,
// so that no change slips between the reading and the watching.
static void watch_folder()
{
#ifdef __linux__
    static bool s_tried = false;  // once: a system out of watches stays so
    if (s_tried)
        return;
    s_tried = true;
    s_watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (s_watch >= 0 &&
        inotify_add_watch(s_watch, ".", IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR) < 0) {
        close(s_watch);
        s_watch = -1;
    }
#endif
}

// Takes in the changes inotify has queued; a lost one (an overflow, the
// folder gone) makes the listing to be read anew.
static void take_changes()
{
#ifdef __linux__
    alignas(inotify_event) char events[16384];
    for (ssize_t got; s_watch >= 0 && (got = read(s_watch, events, sizeof events)) > 0;) {
        for (const char *p = events; p < events + got;) {
            const auto *const event = reinterpret_cast<const inotify_event *>(p);
            if ((event->mask & (IN_Q_OVERFLOW | IN_IGNORED)) != 0)
                s_current = false;
            else if ((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0)
                add_name(event->name);
            else if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0)
                remove_name(event->name);
            p += sizeof *event + event->len;
        }
    }
#endif
}

// Reads the whole listing of the folder; false when it cannot be listed.
static bool read_folder()
{
    if (s_reads >= 2)
        watch_folder();
    take_changes();  // all before this read are in it
    DIR *const folder = opendir(".");
    if (folder == nullptr)
        return false;
    s_names.clear();
    s_by_folded_name.clear();
    for (const dirent *d; (d = readdir(folder)) != nullptr;)
        add_name(d->d_name);
    closedir(folder);
    ++s_reads;
    s_current = s_watch >= 0;
    return true;
}

bool listed_name(const char *name, std::string *listed)
{
    take_changes();
    // Without a watch, a name missing from the listing means that someone
    // else changed the folder: read again.
    const bool stale = s_watch >= 0 ? !s_current : s_reads == 0 || s_names.count(name) == 0;
    if (stale && !read_folder())
        return false;
    if (s_names.count(name) != 0) {
        *listed = name;
        return true;
    }
    if (!s_folded) {
        for (const std::string &n : s_names)
            s_by_folded_name.emplace(folded_name(n.c_str()), n);
        s_folded = true;
    }
    const auto variant = s_by_folded_name.find(folded_name(name));
    *listed = variant != s_by_folded_name.end() ? variant->second : std::string();
    return true;
}

void note_listed(const char *name)
{
    // Until the folder is first read there is nothing to keep current; with
    // a watch the change comes as an event.
    if (s_reads > 0 && s_watch < 0)
        add_name(name);
}
#endif
