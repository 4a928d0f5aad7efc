// Black-box tests of the Windows build, run under wine: replacing in a
// drive's root folder, a kill during a replacement, an interrupted run's
// log and names the ANSI code page leaves undefined.
#include "harness.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

using namespace harness;
using namespace std::string_literals;

namespace {

std::string opened(const std::string &path)
{
    return std::string(banner) + "[" + path + "] opened.  Processing...\n";
}

// The Windows path wine gives the Unix path path through its drive Z:.
std::string z_path(const std::string &path)
{
    std::string windows = "Z:" + path;
    for (char &c : windows)
        if (c == '/')
            c = '\\';
    return windows;
}

}  // namespace

using WindowsOutputs = Zumrip;

TEST_F(WindowsOutputs, ADriveRootFolderIsLikeAnyOther)
{
    if (!windows_binary())
        GTEST_SKIP() << "drive letters are wine's";
    // The working directory becomes the root folder of a drive of its own
    // (a letter in wine's dosdevices). There, too, a replaced file hands
    // over its security (wine keeps it as the Unix permission bits): a
    // private file stays private, one others may read stays so, while a
    // link is replaced, its target untouched.
    const char *const prefix = std::getenv("WINEPREFIX");
    const std::string devices = (prefix != nullptr ? prefix : std::getenv("HOME") + "/.wine"s) + "/dosdevices/";
    std::string drive;
    for (char letter = 'm'; letter <= 'y' && drive.empty(); ++letter)
        if (symlink(work_.c_str(), (devices + letter + ':').c_str()) == 0)
            drive = devices + letter + ':';
    if (drive.empty())
        GTEST_SKIP() << "no drive letter free in " << devices;
    write_file(work_ + "/PRIV.WAV", "mine");
    write_file(work_ + "/OPEN.WAV", "mine");
    write_file(top_ + "/target", "target");
    const bool made = chmod((work_ + "/PRIV.WAV").c_str(), 0600) == 0 && chmod((work_ + "/OPEN.WAV").c_str(), 0644) == 0 &&
                      symlink("../target", (work_ + "/RISE.WAV").c_str()) == 0;
    const std::string in = z_path(top_ + "/r.mrv");
    write_file(top_ + "/r.mrv", resource({{"PRIV", 0x0220, "p"}, {"OPEN", 0x0220, "o"}, {"RISE", 0x0220, "r"}}));
    const Result r = run(in);
    unlink(drive.c_str());
    ASSERT_TRUE(made);
    EXPECT_EQ(r.out, opened(in) + "This file has 3 entries.\n"
                     "Creating PRIV.WAV... [22KHz] ... Done.\n"
                     "Creating OPEN.WAV... [22KHz] ... Done.\n"
                     "Creating RISE.WAV... [22KHz] ... Done.\n");
    EXPECT_EQ(outputs(), (std::map<std::string, std::string>{
                             {"PRIV.WAV", wav(22050, "p")}, {"OPEN.WAV", wav(22050, "o")}, {"RISE.WAV", wav(22050, "r")}}));
    EXPECT_EQ(read_file(top_ + "/target"), "target");
    struct stat priv = {}, open = {}, rise = {};
    ASSERT_EQ(stat((work_ + "/PRIV.WAV").c_str(), &priv) | stat((work_ + "/OPEN.WAV").c_str(), &open) |
              lstat((work_ + "/RISE.WAV").c_str(), &rise), 0);
    // Others: wine maps the group's access more loosely.
    EXPECT_EQ(priv.st_mode & 07, 0u) << std::oct << priv.st_mode;
    EXPECT_NE(open.st_mode & 04, 0u) << std::oct << open.st_mode;
    EXPECT_TRUE(S_ISREG(rise.st_mode));
}

TEST_F(WindowsOutputs, AKillLeavesTheOldFileOrTheNewUnderItsName)
{
    if (!windows_binary())
        GTEST_SKIP() << "replacing on POSIX systems is one rename, tested with the rest";
    // 200 clips, each replacing a file of the user's, and a SIGKILL at a
    // random moment of each run: every name is there, the user's file or
    // the whole clip (a hidden temporary may be left: the kill's).
    std::vector<Entry> entries;
    for (int i = 0; i < 200; ++i)
        entries.push_back({"K" + std::to_string(i), 0x0220, "k" + std::to_string(i)});
    const std::string in = input("k.mrv", resource(entries));
    for (const Entry &e : entries)
        write_file(work_ + "/" + e.name + ".WAV", "mine");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run(in).status, 0);
    const auto whole_run = std::chrono::steady_clock::now() - started;
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    for (int round = 0; round < 32; ++round) {
        for (const Entry &e : entries)
            write_file(work_ + "/" + e.name + ".WAV", "mine");
        const pid_t pid = start("zumrip", {in});
        std::this_thread::sleep_for(whole_run * std::uniform_real_distribution<>(0.0, 1.0)(random));
        kill(pid, SIGKILL);
        finish(pid);
        std::size_t lost = 0;
        for (const Entry &e : entries) {
            const std::string found = read_file(work_ + "/" + e.name + ".WAV");
            lost += found != "mine" && found != wav(22050, e.samples);
        }
        EXPECT_EQ(lost, 0u) << "names gone or half done, round " << round << ", seed " << seed;
    }
}

TEST_F(WindowsOutputs, AnInterruptedRunKeepsItsLog)
{
    if (!windows_binary())
        GTEST_SKIP() << "the console control handler is Windows'";
    // Ctrl-C (SIGINT; wine makes it a console event) while the run waits on
    // a FIFO for the second entry: the lines printed before reach the file
    // standard output goes to.
    const std::string fifo = top_ + "/in.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::string file = resource({{"FIRST", 0x0220, "f"}, {"SECOND", 0x0220, "s"}});
    const std::size_t first_end = file.find('f', 6 + 8) + 1;
    feed(file.substr(0, first_end), fifo, file.substr(first_end));
    const pid_t pid = start("zumrip", {fifo});
    bool first_out = false;
    for (int i = 0; i < 3000 && !first_out; ++i, usleep(10000))
        first_out = read_file(work_ + "/FIRST.WAV") == wav(22050, "f");
    ASSERT_TRUE(first_out);
    kill(pid, SIGINT);
    const Result r = finish(pid);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, opened(fifo) + "This file has 2 entries.\nCreating FIRST.WAV... [22KHz] ... Done.\n");
}

using WindowsNames = Zumrip;

TEST_F(WindowsNames, BytesTheCodePageLeavesUndefinedAreEscaped)
{
    if (!windows_binary())
        GTEST_SKIP() << "file names are bytes on POSIX systems";
    // Code page 1252 (wine's here) has no characters at 0x81, 0x8D, 0x8F,
    // 0x90 and 0x9D; Windows converts them to C1 control characters without
    // an error. They are shown and created as %XX, as other bytes that do
    // not convert, beside 0x80, which is the euro sign.
    std::vector<Entry> entries;
    std::string expected = opened("../u.mrv") + "This file has 6 entries.\n";
    std::map<std::string, std::string> files;
    for (const char *name : {"X\x81", "X\x8d", "X\x8f", "X\x90", "X\x9d", "X\x80"}) {
        entries.push_back({name, 0x0220, name});
        char shown[8];
        std::snprintf(shown, sizeof shown, "X%%%02X", static_cast<unsigned char>(name[1]));
        const std::string file = name[1] == '\x80' ? "X\xe2\x82\xac.WAV" : shown + ".WAV"s;
        expected += "Creating " + file + "... [22KHz] ... Done.\n";
        files[file] = wav(22050, name);
    }
    EXPECT_EQ(run(input("u.mrv", resource(entries))).out, expected);
    EXPECT_EQ(outputs(), files);
}
