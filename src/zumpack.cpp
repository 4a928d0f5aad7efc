// zumpack: builds a sound resource from WAV files, or patches the clips of
// one. Reads and checks every input whole before anything is written; the
// output is written as zumrip writes its clips (output_file.h), complete
// or not at all.
#include "output_file.h"
#include "pack_files.h"
#include "pack_resource.h"
#include "resource_format.h"
#include "wav_input.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#ifdef _WIN32
#include "names_windows.h"

#include <cstdlib>
#endif

static const char usage[] =
    "Usage: zumpack [--from SOURCE] OUTPUT FILE.WAV...\n"
    "Builds the sound resource OUTPUT of the WAV files, one entry each, in\n"
    "their order; with --from, OUTPUT is SOURCE with the samples of the\n"
    "entries the WAV files name replaced (OUTPUT may be SOURCE).\n"
    "An entry's name is its WAV file's name without \".WAV\", 8 bytes at most.\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n";

// A resource's offsets are 32-bit: no input beyond that is of use.
static const std::uint64_t input_limit = UINT32_MAX;

// Prints "zumpack: FILE: reason" on standard error.
static void complain(const std::string &file, const std::string &reason)
{
    std::fprintf(stderr, "zumpack: %s: %s\n", file.c_str(), reason.c_str());
}

// The entry name that the WAV file path stands for: its last part without
// ".WAV" (any case); on Windows the '%' escapes zumrip writes (a '%' and two
// hex digits) undone. False with *error when that is no name of 1 to 8 bytes.
static bool entry_name(const char *path, bool as_file_name, std::string *name, std::string *error)
{
    std::string n = last_part(path);
    const std::size_t len = n.size();
    if (len < 4 || n[len - 4] != '.' || (n[len - 3] | 0x20) != 'w' || (n[len - 2] | 0x20) != 'a' ||
        (n[len - 1] | 0x20) != 'v') {
        *error = "its name does not end in .WAV";
        return false;
    }
    n.resize(len - 4);
#ifdef _WIN32
    for (std::size_t i = 0; !as_file_name && i + 2 < n.size(); ++i)
        if (n[i] == '%' && std::isxdigit(static_cast<unsigned char>(n[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(n[i + 2])))
            n.replace(i, 3, 1, static_cast<char>(std::strtoul(n.substr(i + 1, 2).c_str(), nullptr, 16)));
#endif
    if (n.empty() || (!as_file_name && n.size() > entry_name_size)) {
        *error = "an entry name is 1 to 8 bytes long, not " + std::to_string(n.size());
        return false;
    }
    *name = n;
    return true;
}

// Reads and decodes every WAV file into *clips; with patching, names stay
// as zumrip names its files (matched against the source's entries).
// Complains of each bad one. True when all were good.
static bool read_clips(char **files, int count, bool patching, std::vector<Clip> *clips)
{
    bool good = true;
    std::vector<unsigned char> bytes;
    for (int i = 0; i < count; ++i) {
        Clip clip;
        clip.file = files[i];
        std::string error;
        if (!entry_name(files[i], patching, &clip.name, &error) ||
            !read_whole_file(files[i], input_limit, 0, &bytes, &error) ||
            !decode_wav(bytes.data(), bytes.size(), &clip.samples, &clip.rate, &error)) {
            complain(files[i], error);
            good = false;
            continue;
        }
        for (const Clip &other : *clips)
            if (other.name == clip.name) {
                complain(files[i], "names the same entry as " + other.file);
                good = false;
            }
        std::printf("Read %s: %zu samples at %u Hz\n", files[i], clip.samples.size(), clip.rate);
        clips->push_back(std::move(clip));
    }
    return good;
}

// Writes bytes as output (see write_output): false after a complaint.
static bool write_resource(const char *output, const std::vector<unsigned char> &bytes)
{
    std::string error;
    if (!enter_folder_of(output, &error)) {
        complain(output, "cannot enter its folder: " + error);
        return false;
    }
    const std::string name = last_part(output);
    char shown[40];
    output_name(name.c_str(), shown, sizeof shown);  // on Windows: the name write_output tells files by
    const OutputResult result = write_output(name.c_str(), bytes.data(), bytes.size(), bytes.size());
    if (result == output_not_created)
        complain(output, "cannot be created or put in place");
    else if (result == output_not_written)
        complain(output, "cannot be written");
    else if (!finish_output())
        complain(output, "cannot be flushed to the disk");
    else
        return true;
    return false;
}

// The run over arguments in UTF-8: 0 done, 1 failed, 2 a wrong command line.
static int run(int argc, char **argv)
{
    int first = 1;
    const char *source = nullptr;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("zumpack %s\n", ZUMRIP_VERSION);
        return 0;
    }
    if (argc > 2 && std::strcmp(argv[1], "--from") == 0) {
        source = argv[2];
        first = 3;
    }
    if (argc - first < 2 || std::strncmp(argv[first], "--", 2) == 0) {
        std::fputs(usage, stderr);
        return 2;
    }
    const char *const output = argv[first];
    for (int i = first + 1; i < argc; ++i)
        if (same_file(output, argv[i])) {
            complain(output, "is one of the WAV files; the output is a sound resource");
            return 1;
        }

    // The clips first: the source is then read with room for them.
    std::vector<Clip> clips;
    bool good = read_clips(argv + first + 1, argc - first - 1, source != nullptr, &clips);
    std::uint64_t appended = 0;
    for (const Clip &clip : clips)
        appended += entry_header_size + clip.samples.size();
    std::vector<unsigned char> resource;
    std::string error;
    if (source != nullptr && !read_whole_file(source, input_limit, appended, &resource, &error)) {
        complain(source, error);
        good = false;
        error.clear();
    }
    std::size_t replaced = 0;
    if (good && source == nullptr)
        good = build_resource(clips, &resource, &error);
    else if (good)
        good = patch_resource(&resource, clips, &replaced, &error);
    if (!good) {
        if (!error.empty())
            complain(source != nullptr ? source : output, error);
        return 1;
    }
    start_output();
    if (!write_resource(output, resource))
        return 1;
    if (source == nullptr)
        std::printf("Wrote %s: %zu %s\n", output, clips.size(), clips.size() == 1 ? "entry" : "entries");
    else
        std::printf("Wrote %s: %s with %zu %s replaced\n", output, source, replaced,
                    replaced == 1 ? "entry" : "entries");
    return 0;
}

// The run, where memory may run out: whole files are held in memory, and
// a 32-bit system cannot hold one of several GiB. Nothing is written then.
static int run_or_fail(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {  // std::bad_alloc, std::length_error
        std::fprintf(stderr, "zumpack: not enough memory for the files (%s)\n", e.what());
        return 1;
    }
}

#ifdef _WIN32
int wmain(int argc, wchar_t **wide)
{
    char **const argv = utf8_arguments(argc, wide);
    return argv == nullptr ? 1 : run_or_fail(argc, argv);
}
#else
#ifdef ZUMRIP_ONE_MODULE
int zumpack_main(int argc, char **argv)  // the page's module holds zumrip too (web/page_main.cpp)
#else
int main(int argc, char **argv)
#endif
{
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);  // past a file-size limit: EFBIG, told
#endif
    return run_or_fail(argc, argv);
}
#endif
