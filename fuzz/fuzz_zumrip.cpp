// libFuzzer target: runs the tool's own main on arbitrary bytes written to a
// resource file, inside a private temporary directory.
//
// Huge declared sample sizes are legitimate input (the samples are
// zero-padded), so each run is bounded instead: malloc'd buffers above
// 64 MiB fail and the tool takes its "Can't allocate" path (buffers of
// 4 MiB and more are mapped instead, and only the bytes read into them are
// touched), and output files are limited to 1 MiB so larger writes take its
// "Cannot write" path.
#include <dirent.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int zumrip_main(int argc, char **argv);  // the tool's main, renamed for this build

extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=64";
}

static std::string s_top;    // private directory holding the two below
static std::string s_input;  // resource file, beside the working directory

// Removes what the runs left in the working directory.
static void clean_work();

static void remove_private_directory()
{
    clean_work();
    std::remove(s_input.c_str());
    rmdir((s_top + "/work").c_str());
    rmdir(s_top.c_str());
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Under TMPDIR when set, else memory-backed when the machine has it: runs
    // create many small files. A run cut short by -max_total_time can leave
    // its files behind, so callers that care point TMPDIR at a folder of
    // their own.
    const char *tmpdir = std::getenv("TMPDIR");
    std::string pattern = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir
        : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    pattern += "/zumrip-fuzz-XXXXXX";
    const char *top = mkdtemp(&pattern[0]);
    if (top == nullptr)
        std::abort();
    const std::string work = std::string(top) + "/work";
    if (mkdir(work.c_str(), 0700) != 0 || chdir(work.c_str()) != 0)
        std::abort();
    s_top = top;
    s_input = s_top + "/input.mrv";
    std::atexit(remove_private_directory);
    const rlimit limit = {1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    return 0;
}

// Every run starts from an empty working directory.
static void clean_work()
{
    DIR *dir = opendir(".");
    for (dirent *d; dir != nullptr && (d = readdir(dir)) != nullptr;) {
        const std::string name = d->d_name;
        if (name != "." && name != "..")
            std::remove(name.c_str());
    }
    if (dir != nullptr)
        closedir(dir);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::FILE *f = std::fopen(s_input.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        std::abort();
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    char program[] = "zumrip";
    std::string path = s_input;
    char *argv[] = {program, &path[0], nullptr};
    zumrip_main(2, argv);
    std::fflush(stdout);
    clean_work();
    return 0;
}
