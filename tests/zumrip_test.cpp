// Black-box tests of zumrip: console text, exit status and output files.
#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <random>
#include <sstream>
#include <thread>

using namespace harness;
using namespace std::string_literals;

namespace {

std::string usage(const std::string &argv0 = "zumrip")
{
    return "Usage: " + shown_argv0(argv0) +
           " <filename>\n - Where <filename> is a valid MRV sound resource.\n";
}

std::string opened(const std::string &path)
{
    return std::string(banner) + "[" + path + "] opened.  Processing...\n";
}

// The 33-byte file with one 22 kHz entry BEEP of four samples.
const std::string beep = resource({{"BEEP", 0x0220, std::string("\x80\x00\xff\x7f", 4)}});

// What a cmd command prints, run by wine in the folder work.
static std::string windows_command(const std::string &work, const std::string &command)
{
    const std::string line = "cd '" + work + "' && wine cmd /c " + command + " 2>/dev/null";
    std::FILE *const pipe = popen(line.c_str(), "r");
    std::string text;
    char chunk[512];
    while (pipe != nullptr && std::fgets(chunk, sizeof chunk, pipe) != nullptr)
        text += chunk;
    if (pipe != nullptr)
        pclose(pipe);
    return text;
}

// The 8.3 short name Windows (here wine, asked with dir /x) gives the file
// name in the working directory, without its extension; "MY_R~OSA" elsewhere.
static std::string short_name(const std::string &work, const std::string &name)
{
    std::string found = "MY_R~OSA.WAV";
    std::istringstream lines(windows_binary() ? windows_command(work, "dir /x") : "");
    for (std::string line; std::getline(lines, line);) {
        const std::size_t at = line.find(" " + name);
        if (at != std::string::npos)
            found = line.substr(line.rfind(' ', at - 1) + 1, at - line.rfind(' ', at - 1) - 1);
    }
    return found.substr(0, found.find('.'));
}

// The command line: usage, paths that cannot be opened, paths in any script.
using CommandLine = Zumrip;

TEST_F(CommandLine, UsageAndUnopenablePaths)
{
    const std::string in = input("a.mrv", beep);
    const struct {
        std::vector<std::string> args;
        std::string text;  // after the banner
    } cases[] = {
        {{}, usage("./some/rip")},
        {{in, in}, usage("./some/rip")},
        {{"../missing.mrv"}, "File [../missing.mrv] not found.\n" + usage("./some/rip")},
        {{".."}, "File [..] not found.\n" + usage("./some/rip")},
        // ESC, a raw CSI byte (which wine and node hand on as U+FFFD) and CSI in UTF-8.
        {{"../\x1b[41mX\x9b\xc2\x9b.mrv"},
         "File [../?[41mX" + (windows_binary() || wasm_binary() ? "\xef\xbf\xbd"s : "?") + "??.mrv] not found.\n" +
             usage("./some/rip")},
    };
    for (const auto &c : cases) {
        const Result r = run_argv("./some/rip", c.args);
        EXPECT_EQ(r.out, banner + c.text);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(outputs().empty());
}

TEST_F(CommandLine, UnicodePathsOpenAndShowAsTyped)
{
    // A folder and a file named in CJK and Polish characters, in UTF-8.
    const std::string folder = "\xe9\x9f\xb3", path = "../" + folder + "/\xc3\xa9\xe9\x9f\xb3\xc5\x82\xc3\xb3.mrv";
    ASSERT_EQ(mkdir((top_ + "/" + folder).c_str(), 0755), 0);
    write_file(work_ + "/" + path, beep);
    EXPECT_EQ(run(path).out, opened(path) + "This file has 1 entries.\nCreating BEEP.WAV... [22KHz] ... Done.\n");
    const std::string missing = "../" + folder + "/\xc5\x81\xc3\xb3" "d\xc5\xba.mrv";
    EXPECT_EQ(run(missing).out, std::string(banner) + "File [" + missing + "] not found.\n" + usage());
}

// The format: the header decides whether a file is read at all; each entry
// becomes one exact WAV file.
using Header = Zumrip;

TEST_F(Header, MagicAndCountDecideTheRun)
{
    for (const std::string &bytes : {""s, "MSR"s, "MSRW\x01\x00"s, "msrv\x00\x00"s, "MSRV"s, "MSRV\x01"s}) {
        const Result r = run(input("bad.mrv", bytes));
        EXPECT_EQ(r.out, opened("../bad.mrv") + "This is not a valid MRV sound resource file.\n")
            << "file of " << bytes.size() << " bytes";
        EXPECT_EQ(r.status, 255);
    }
    const std::string long_name(200, 'p');  // shown whole
    const Result r = run(input(long_name, resource({})));
    EXPECT_EQ(r.out, opened("../" + long_name) + "This file has 0 entries.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(outputs().empty());
}

using OneEntry = Zumrip;

TEST_F(OneEntry, MinimalFileGivesExactConsoleAndWav)
{
    ASSERT_EQ(beep.size(), 33u);
    write_file(work_ + "/BEEP.WAV", std::string(1000, 'o'));  // replaced, not appended to
    const Result r = run(input("beep.bin", beep));
    EXPECT_EQ(r.out, opened("../beep.bin") + "This file has 1 entries.\n"
                     "Creating BEEP.WAV... [22KHz] ... Done.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // The header spelled out once, independently of the wav() helper.
    const std::string expected("RIFF\x28\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x22\x56\0\0"
                               "\x22\x56\0\0\x01\0\x08\0data\x04\0\0\0\x80\x00\xff\x7f", 48);
    EXPECT_EQ(outputs(), (std::map<std::string, std::string>{{"BEEP.WAV", expected}}));
}

TEST_F(OneEntry, RatesSizesNamesAndUnknownCodes)
{
    const struct {
        Entry entry;
        std::string line;  // after "Creating "
        std::string file;  // empty: none written
        std::string wav;
    } cases[] = {
        {{"LOW", 0x0340, "abc"}, "LOW.WAV... [11KHz] ... Done.\n", "LOW.WAV", wav(11025, "abc")},
        {{"EMPTY", 0x0220, ""}, "EMPTY.WAV... [22KHz] ... Done.\n", "EMPTY.WAV", wav(22050, "")},
        {{"EIGHTCHRnine", 0x0220, "x"}, "EIGHTCHR.WAV... [22KHz] ... Done.\n", "EIGHTCHR.WAV",
         wav(22050, "x")},
        {{std::string("\0AB", 3), 0x0220, "y"}, ".WAV... [22KHz] ... Done.\n", ".WAV", wav(22050, "y")},
        {{"ODD1", 0x2002, "s"}, "ODD1.WAV... [WTF???] ... Aborting!\n", "", ""},
        {{"ODD2", 0x0221, "s"}, "ODD2.WAV... [WTF???] ... Aborting!\n", "", ""},
        {{"ODD3", 0x4003, "s"}, "ODD3.WAV... [WTF???] ... Aborting!\n", "", ""},
        {{"ODD4", 0x0000, "s"}, "ODD4.WAV... [WTF???] ... Aborting!\n", "", ""},
        {{"ODD5", 0xFFFF, "s"}, "ODD5.WAV... [WTF???] ... Aborting!\n", "", ""},
        {{"ODD6", 0x1220, "s"}, "ODD6.WAV... [WTF???] ... Aborting!\n", "", ""},
        // Last in the file, declaring more than it holds: zero-padded.
        {{"CUT", 0x0340, "zz", 6}, "CUT.WAV... [11KHz] ... Done.\n", "CUT.WAV",
         wav(11025, std::string("zz\0\0\0\0", 6))},
    };
    std::vector<Entry> entries;
    std::string expected = opened("../one.mrv") + "This file has 11 entries.\n";
    std::map<std::string, std::string> files;
    for (const auto &c : cases) {
        entries.push_back(c.entry);
        expected += "Creating " + c.line;
        if (!c.file.empty())
            files[c.file] = c.wav;
    }
    const Result r = run(input("one.mrv", resource(entries)));
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(outputs(), files);
}

using ManyEntries = Zumrip;

TEST_F(ManyEntries, TableOrderSharedOffsetsReplacedNamesAndShortClips)
{
    // Entries laid out A, B, C, B, S; the table lists C, B, A, S, A's offset
    // again and the second "B", which replaces the first. S declares as many
    // samples as A but holds only the file's last 2: its padding must be
    // zero whatever A left in memory, and A read after it must not shift.
    const std::string a(100, 'a');
    const std::string file = resource({{"A", 0x0220, a}, {"B", 0x0340, "bbb"}, {"C", 0x0220, "c"},
                                       {"B", 0x0220, "b2"}, {"S", 0x0220, "xy", 100}},
                                      {2, 1, 0, 4, 0, 3});
    const Result r = run(input("many.mrv", file));
    EXPECT_EQ(r.out, opened("../many.mrv") + "This file has 6 entries.\n"
                     "Creating C.WAV... [22KHz] ... Done.\n"
                     "Creating B.WAV... [11KHz] ... Done.\n"
                     "Creating A.WAV... [22KHz] ... Done.\n"
                     "Creating S.WAV... [22KHz] ... Done.\n"
                     "Creating A.WAV... [22KHz] ... Done.\n"
                     "Creating B.WAV... [22KHz] ... Done.\n");
    EXPECT_EQ(outputs(), (std::map<std::string, std::string>{
                             {"A.WAV", wav(22050, a)},
                             {"B.WAV", wav(22050, "b2")},
                             {"C.WAV", wav(22050, "c")},
                             {"S.WAV", wav(22050, "xy" + std::string(98, '\0'))}}));
}

TEST_F(ManyEntries, AllOf65535SlotsAreVisited)
{
    // Most slots name the same clip of an unknown rate (nothing to write);
    // slots past 16384 (where 4 x index no longer fits 16 bits) and the
    // last name others.
    std::vector<std::size_t> slots(65535, 0);
    slots[16384] = 1;
    slots[65534] = 2;
    const std::string file = resource({{"Z", 0x0000, ""}, {"Y", 0x0220, "y"}, {"X", 0x0340, "x"}}, slots);
    const Result r = run(input("big.mrv", file));
    std::string expected = opened("../big.mrv") + "This file has 65535 entries.\n";
    const char *const lines[] = {"Creating Z.WAV... [WTF???] ... Aborting!\n",
                                 "Creating Y.WAV... [22KHz] ... Done.\n", "Creating X.WAV... [11KHz] ... Done.\n"};
    for (const std::size_t slot : slots)
        expected += lines[slot];
    EXPECT_TRUE(r.out == expected) << "console text differs";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(outputs(), (std::map<std::string, std::string>{{"X.WAV", wav(11025, "x")},
                                                             {"Y.WAV", wav(22050, "y")}}));
}

TEST_F(ManyEntries, LargeClipsAreCopiedExactly)
{
    // Sizes around the reader's 64 KiB windows and the writer's 4 MiB
    // large-buffer threshold, the last one cut short by the end of the file.
    std::vector<Entry> entries;
    std::map<std::string, std::string> expected;
    int n = 0;
    for (const std::size_t size : {32767u, 32769u, 65536u, 4194260u, 4194261u, 6000001u}) {
        std::string samples(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            samples[i] = static_cast<char>((i * 7 + size) % 251);
        const std::string name = "L" + std::to_string(n++);
        entries.push_back({name, 0x0340, samples});
        expected[name + ".WAV"] = wav(11025, samples);
    }
    const std::string tail = entries.back().samples.substr(0, 1000);
    entries.back().declared = static_cast<std::int64_t>(entries.back().samples.size());
    entries.back().samples = tail;
    const Result r = run(input("large.mrv", resource(entries)));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("Aborting"), std::string::npos) << r.out;
    expected["L5.WAV"] = wav(11025, tail + std::string(6000001 - 1000, '\0'));
    EXPECT_TRUE(outputs() == expected);
    struct stat padded;  // the zero tail is a hole, not written blocks
    ASSERT_EQ(stat((work_ + "/L5.WAV").c_str(), &padded), 0);
    EXPECT_LT(padded.st_blocks * 512, 1 << 20);
}

// Damaged files: what lies outside the file is reported per entry, never
// guessed at.
using Damaged = Zumrip;

TEST_F(Damaged, OffsetsOutsideTheFileAreReportedPerEntry)
{
    // Slots: below the least offset; the least, 19 (a header made of the
    // file's first bytes, its rate code two zero bytes of slot 1); past the
    // end; exactly at the end (header whole, samples all missing); a good
    // entry. The count covers the whole file, so the further slots are the
    // entries' own bytes, all damaged but the last, which ends exactly at the
    // end of the file and names the good entry again.
    const std::uint32_t ok_at = 6 + 20 + 19;
    const std::string ok = std::string("OK\0\0\0\0\0\0", 8) + u32le(0) + u16le(0x0220) + '\0' +
                           u32le(2) + "ok";
    const std::string end = std::string("END\0\0\0\0\0", 8) + u32le(0) + u16le(0x0340) + '\0' +
                            u32le(ok_at);
    const auto size = static_cast<std::uint32_t>(6 + 20 + ok.size() + end.size());
    const std::string file = "MSRV" + u16le((size - 6) / 4) + u32le(18) + u32le(19) + u32le(size + 1) +
                             u32le(size) + u32le(ok_at) + ok + end;
    ASSERT_EQ(file.size() % 4, 2u);
    const Result r = run(input("dmg.mrv", file));
    std::string expected = opened("../dmg.mrv") + "This file has 15 entries.\n"
                           "Entry 0 is damaged... Aborting.\n"
                           "Creating MSRV?.WAV... [WTF???] ... Aborting!\n"
                           "Entry 2 is damaged... Aborting.\n"
                           "Creating END.WAV... [11KHz] ... Done.\n"
                           "Creating OK.WAV... [22KHz] ... Done.\n";
    for (int i = 5; i < 14; ++i)
        expected += "Entry " + std::to_string(i) + " is damaged... Aborting.\n";
    EXPECT_EQ(r.out, expected + "Creating OK.WAV... [22KHz] ... Done.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(outputs(), (std::map<std::string, std::string>{
                             {"END.WAV", wav(11025, std::string(ok_at, '\0'))},
                             {"OK.WAV", wav(22050, "ok")}}));

    // A table cut inside its last slot, whose 3 bytes would make offset 29.
    std::string cut = resource({{"BEEP", 0x0220, std::string("\x80\x1d\0\0", 4)}});
    cut[4] = 7;
    cut.pop_back();
    std::string lines = opened("../cut.mrv") + "This file has 7 entries.\n";
    for (int i = 0; i < 7; ++i)
        lines += i == 0 ? "Creating BEEP.WAV... [22KHz] ... Done.\n" : "Entry " + std::to_string(i) + " is damaged... Aborting.\n";
    EXPECT_EQ(run(input("cut.mrv", cut)).out, lines);
}

TEST_F(Damaged, EveryCutOfAValidFileGivesPaddedClipsOrDamagedEntries)
{
    // Cut anywhere: an entry whose slot or header is gone is damaged, one
    // whose samples are cut short is padded with zero bytes.
    const std::vector<Entry> entries = {{"ONE", 0x0220, "first"}, {"TWO", 0x0340, "second"}, {"THREE", 0x0220, "third"}};
    const std::string file = resource(entries);
    for (std::size_t n = 0; n <= file.size(); ++n) {
        const Result r = run(input("cut.mrv", file.substr(0, n)));
        std::string expected = n < 6 ? "This is not a valid MRV sound resource file.\n" : "This file has 3 entries.\n";
        std::map<std::string, std::string> files;
        for (std::size_t i = 0; n >= 6 && i < entries.size(); ++i) {
            const std::size_t at = file.find(entries[i].samples), size = entries[i].samples.size();
            if (n < 6 + 4 * (i + 1) || n < at) {
                expected += "Entry " + std::to_string(i) + " is damaged... Aborting.\n";
                continue;
            }
            const std::string name = entries[i].name + ".WAV";
            expected += "Creating " + name + (i == 1 ? "... [11KHz]" : "... [22KHz]") + " ... Done.\n";
            std::string samples = file.substr(at, std::min(size, n - at));
            samples.resize(size, '\0');
            files[name] = wav(i == 1 ? 11025 : 22050, samples);
        }
        EXPECT_EQ(r.out, opened("../cut.mrv") + expected) << n << " bytes";
        EXPECT_EQ(r.status, n < 6 ? 255 : 0) << n << " bytes";
        EXPECT_EQ(r.err, "") << n << " bytes";
        EXPECT_EQ(outputs(), files) << n << " bytes";
        for (const auto &f : files)
            std::remove((work_ + "/" + f.first).c_str());
    }
}

// Hostile names: a name is never a path, never terminal control.
using Hostile = Zumrip;

TEST_F(Hostile, NamesNeverLeaveTheWorkingDirectory)
{
    write_file(top_ + "/SENTINEL", "sentinel");
    ASSERT_EQ(mkdir((work_ + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((work_ + "/DIR.WAV").c_str(), 0755), 0);
    std::remove("/tmp/AB.WAV");
    const std::string file = resource({{"../UP", 0x0220, "1"}, {"/tmp/AB", 0x0220, "2"},
                                       {"a\\b", 0x0340, "3"}, {"sub/X", 0x0220, "4"},
                                       {"DIR", 0x0220, "d"}, {"..", 0x0220, "5"}});
    const Result r = run(input("names.mrv", file));
    const std::string tag = "[22KHz] ... ";
    EXPECT_EQ(r.out, opened("../names.mrv") + "This file has 6 entries.\n"
        "Creating ../UP.WAV... " + tag + "Cannot create [../UP.WAV]... Aborting.\n"
        "Creating /tmp/AB.WAV... " + tag + "Cannot create [/tmp/AB.WAV]... Aborting.\n"
        "Creating a\\b.WAV... [11KHz] ... Cannot create [a\\b.WAV]... Aborting.\n"
        "Creating sub/X.WAV... " + tag + "Cannot create [sub/X.WAV]... Aborting.\n"
        "Creating DIR.WAV... " + tag + "Cannot create [DIR.WAV]... Aborting.\n"
        "Creating ...WAV... " + tag + "Done.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(top_ + "/SENTINEL"), "sentinel");
    EXPECT_EQ(access((top_ + "/UP.WAV").c_str(), F_OK), -1);
    EXPECT_EQ(access("/tmp/AB.WAV", F_OK), -1);
    EXPECT_EQ(outputs(), (std::map<std::string, std::string>{{"...WAV", wav(22050, "5")},
                                                             {"DIR.WAV", ""}, {"sub", ""}}));
}

TEST_F(Hostile, NamesThatCouldDriveATerminalAreShownAsQuestionMarks)
{
    ASSERT_EQ(mkdir((work_ + "/\x01\x7f.WAV").c_str(), 0755), 0);
    // Windows reads a name that is not UTF-8 in its ANSI code page (1252
    // under wine here), creates the file so and shows that name.
    const struct {
        std::string bytes, shown, on_windows;
    } names[] = {
        {"\x1b[2J\t\x07", "?[2J??", ""},                     // C0 controls
        {"\x9b" "2J", "?2J", "\xe2\x80\xba" "2J"},              // C1 CSI, raw (1252: U+203A)
        {"\xc2\x9b" "2J", "??2J", ""},                          // and UTF-8 encoded
        {"\xc2\xa0\xe0\xb8\x81\xc3\xa9", "\xc2\xa0\xe0\xb8\x81\xc3\xa9", ""},  // U+00A0, Thai, e acute
        {"\xc1\xbf\xed\xa0\x80\xe9\x9f", "???????",           // overlong, surrogate, cut short
         "\xc3\x81\xc2\xbf\xc3\xad\xc2\xa0\xe2\x82\xac\xc3\xa9\xc5\xb8"},
        {"\xf0\xa0\x80\x80\xf4\x90\x80\x80", "\xf0\xa0\x80\x80????",  // U+20000, past U+10FFFF
         "\xc3\xb0\xc2\xa0\xe2\x82\xac\xe2\x82\xac\xc3\xb4%90\xe2\x82\xac\xe2\x82\xac"},  // 0x90: none in 1252
        // Characters that render as nothing: soft hyphens (beside a visible
        // Hiragana letter), a variation selector, a private-use character,
        // a combining grapheme joiner, a tag and a plane 16 private use one.
        {"\xc2\xad\xc2\xadZ\xe3\x81\x82", "????Z\xe3\x81\x82", ""},
        {"\xef\xb8\x8f\xee\x80\x80\xcd\x8f", "????????", ""},
        {"\xf3\xa0\x80\x81\xf4\x8f\xbf\xbd", "????????", ""},
        {"\xe2\x80\xae" "A\xe2\x81\xa9", "???A???", ""},       // bidi override, isolate end
        {"\xe2\x80\x8f" "B\xe2\x80\xa8", "???B???", ""},       // right-to-left mark, line separator
        {"\xe2\x80\x8b\xef\xbb\xbf\xd8\x9c", "????????", ""},     // zero width, BOM, Arabic mark
        {"\x01\x7f", "??", ""},                                  // a directory stands there
    };
    std::vector<Entry> entries;
    std::string expected = opened("../ctl.mrv") + "This file has 13 entries.\n";
    for (const auto &n : names) {
        entries.push_back({n.bytes, 0x0220, "e"});
        const std::string shown = windows_binary() && !n.on_windows.empty() ? n.on_windows : n.shown;
        // Windows allows no control bytes in file names.
        const bool refused = n.bytes == "\x01\x7f" || (windows_binary() && n.bytes[0] == '\x1b');
        expected += "Creating " + shown + ".WAV... [22KHz] ... " +
                    (refused ? "Cannot create [" + shown + ".WAV]... Aborting.\n" : "Done.\n");
    }
    EXPECT_EQ(run(input("ctl.mrv", resource(entries))).out, expected);
    // The file carries the name's bytes as they are, or on Windows the name
    // shown; emscripten hands names to the file system as JavaScript strings,
    // whole only when they are UTF-8.
    const std::string made = windows_binary() ? names[1].on_windows : wasm_binary() ? names[3].bytes : names[4].bytes;
    EXPECT_EQ(read_file(work_ + "/" + made + ".WAV"), wav(22050, "e"));
    EXPECT_EQ(outputs().size(), windows_binary() ? 12u : 13u);
}

// Failures of the machine (memory, reads, limits) cost single clips, never
// the run or a file of the user's.
using Failures = Zumrip;

TEST_F(Failures, ClipsTooLargeForWavOrMemoryLeaveExistingFilesAlone)
{
    if (windows_binary())
        GTEST_SKIP() << "wine needs more address space than the limit leaves";
    const std::string emulator = emulated() ? std::getenv("ZUMRIP_EMULATOR") : "";
    if (emulator.find("qemu-arm") != std::string::npos || emulator.find("qemu-i386") != std::string::npos)
        GTEST_SKIP() << "qemu-user reserves a 32-bit guest's whole 4 GiB at start";
    // Under 1.5 GiB of address space (an emulator takes a few hundred MiB of
    // it; the WebAssembly build has 2 GiB of memory of its own): the largest
    // size a WAV header holds gets no buffer, and clip P (1 GiB, mapped)
    // three times over and Q (just under 4 MiB, from the heap) 400 times fit
    // only if each buffer is released before the next.
    write_file(work_ + "/MAX.WAV", "keep");
    write_file(work_ + "/HUGE.WAV", "keep");
    const std::uint32_t gib = 1u << 30;
    std::vector<std::size_t> slots = {0, 1, 2, 2, 2};
    slots.resize(405, 3);
    const std::string file = resource({{"MAX", 0x0220, "", 0xFFFFFFDC}, {"HUGE", 0x0220, "", 0xFFFFFFDB},
                                       {"P", 0x0340, "p", gib}, {"Q", 0x0340, "q", (4 << 20) - 100}},
                                      slots);
    const Result r = run(input("huge.mrv", file), wasm_binary() ? Limits{} : Limits{1536u << 20, 0, 0, ""});
    std::string expected = opened("../huge.mrv") + "This file has 405 entries.\n"
                           "Creating MAX.WAV... [22KHz] ... Too large for a WAV file... Aborting.\n"
                           "Creating HUGE.WAV... [22KHz] ... Can't allocate buffer for conversion.\n";
    for (std::size_t i = 2; i < slots.size(); ++i)
        expected += slots[i] == 2 ? "Creating P.WAV... [11KHz] ... Done.\n" : "Creating Q.WAV... [11KHz] ... Done.\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(work_ + "/MAX.WAV") + read_file(work_ + "/HUGE.WAV"), "keepkeep");
    struct stat p;
    EXPECT_EQ(stat((work_ + "/P.WAV").c_str(), &p), 0);
    EXPECT_EQ(p.st_size, gib + 44);
}

TEST_F(Failures, ReadErrorsCostOnlyTheEntriesOnBadBytes)
{
    if (!can_inject())
        GTEST_SKIP() << "needs ptrace on x86-64";
    // Bad bytes in table slot 4, in B's header and in C's samples; A lies
    // within one input window of them all and must still be read.
    write_file(work_ + "/CCC.WAV", "keep");
    const std::string a(100, 'a'), c(1000, 'c');
    const std::string file = resource({{"AAA", 0x0220, a}, {"BBB", 0x0220, "bb"}, {"CCC", 0x0220, c},
                                       {"DDD", 0x0220, "dd"}}, {0, 1, 2, 3, 3});
    const std::string in = input("r.mrv", file);
    char *const real = realpath((top_ + "/r.mrv").c_str(), nullptr);
    const std::string path = real;
    std::free(real);
    pid_t pid = start("zumrip", {in}, {}, nullptr, true);
    EXPECT_FALSE(hold(pid, -1, 0, path, {6 + 4 * 4, file.find("BBB") + 9, file.find(c) + 500}));
    Result r = finish(pid);
    EXPECT_EQ(r.out, opened(in) + "This file has 5 entries.\n"
                     "Creating AAA.WAV... [22KHz] ... Done.\n"
                     "Entry 1 cannot be read... Aborting.\n"
                     "Creating CCC.WAV... [22KHz] ... Cannot read [../r.mrv]... Aborting.\n"
                     "Creating DDD.WAV... [22KHz] ... Done.\n"
                     "Entry 4 cannot be read... Aborting.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(outputs(), (std::map<std::string, std::string>{
                             {"AAA.WAV", wav(22050, a)}, {"CCC.WAV", "keep"}, {"DDD.WAV", wav(22050, "dd")}}));
    // A start that cannot be read is a file that cannot be opened.
    pid = start("zumrip", {in}, {}, nullptr, true);
    EXPECT_FALSE(hold(pid, -1, 0, path, {5}));
    r = finish(pid);
    EXPECT_EQ(r.out, banner + "File [../r.mrv] not found.\n"s + usage());
    EXPECT_EQ(r.status, 255);
}

TEST_F(Failures, FileSizeLimitFailsEntriesNotTheRun)
{
    if (windows_binary())
        GTEST_SKIP() << "wine's server cannot start under a file-size limit";
    // Past 4096 bytes: a new file, the replacement of an existing one, and
    // the zero padding of a clip cut short by the end of the file.
    write_file(work_ + "/OLD.WAV", "mine");
    const std::string big(5000, 'b');
    const std::string file = resource({{"BIG", 0x0220, big}, {"OLD", 0x0220, big}, {"SMALL", 0x0220, "s"},
                                       {"PAD", 0x0220, "p", 5000}});
    const Result r = run(input("w.mrv", file), {0, 4096, 0, ""});
    EXPECT_EQ(r.out, opened("../w.mrv") + "This file has 4 entries.\n"
                     "Creating BIG.WAV... [22KHz] ... Cannot write [BIG.WAV]... Aborting.\n"
                     "Creating OLD.WAV... [22KHz] ... Cannot write [OLD.WAV]... Aborting.\n"
                     "Creating SMALL.WAV... [22KHz] ... Done.\n"
                     "Creating PAD.WAV... [22KHz] ... Cannot write [PAD.WAV]... Aborting.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(outputs(), (std::map<std::string, std::string>{{"OLD.WAV", "mine"},
                                                             {"SMALL.WAV", wav(22050, "s")}}));
}

// The console: a terminal sees each message as it is printed.
using Console = Zumrip;

// The tool is held inside the write of its second output file, after one
// finished line and with the second unfinished: a terminal must show all of
// that, a file nothing yet.
TEST_F(Console, TerminalSeesEachMessageFileOnlyAtExit)
{
    if (!can_trace())
        GTEST_SKIP() << "ptys and ptrace need a Linux process that may be traced";
    const std::string in = input("b.mrv", resource({{"ONE", 0x0220, "1"}, {"TWO", 0x0220, "22"}}));
    const std::string text = opened("../b.mrv") + "This file has 2 entries.\n"
                             "Creating ONE.WAV... [22KHz] ... Done.\n"
                             "Creating TWO.WAV... [22KHz] ... ";
    for (const bool on_terminal : {true, false}) {
        int terminal = -1;
        const pid_t pid = start("zumrip", {in}, {}, on_terminal ? &terminal : nullptr, true);
        ASSERT_TRUE(hold(pid, SYS_write, 44 + 2)) << on_terminal;
        std::string shown;
        if (on_terminal) {  // the pty turns "\n" into "\r\n"
            char chunk[256];
            for (pollfd p = {terminal, POLLIN, 0}; poll(&p, 1, 200) > 0;) {
                const ssize_t n = read(terminal, chunk, sizeof chunk);
                for (ssize_t i = 0; i < n; ++i)
                    if (chunk[i] != '\r')
                        shown += chunk[i];
                if (n <= 0)
                    break;
            }
        } else {
            shown = read_file(top_ + "/stdout");
        }
        EXPECT_EQ(shown, on_terminal ? text : "");
        release(pid);
        const Result r = finish(pid);
        EXPECT_EQ(r.status, 0);
        if (on_terminal)
            close(terminal);
        else
            EXPECT_EQ(r.out, text + "Done.\n");
    }
}

// Existing files: never written through, replaced only by a whole file that
// grants no more, one file for every name said done, nothing left unsaid.
using Outputs = Zumrip;

TEST_F(Outputs, LinksExistingFilesAndTheInputAreNeverWrittenThrough)
{
    write_file(top_ + "/target", "target");
    write_file(top_ + "/other", "other");
    ASSERT_EQ(symlink("../target", (work_ + "/RISE.WAV").c_str()), 0);
    ASSERT_EQ(symlink("../nowhere", (work_ + "/FALL.WAV").c_str()), 0);
    ASSERT_EQ(link((top_ + "/other").c_str(), (work_ + "/BEEP.WAV").c_str()), 0);
    // A private file stays private (and, for root, its owner's).
    write_file(work_ + "/CHORD.WAV", "mine");
    ASSERT_EQ(chmod((work_ + "/CHORD.WAV").c_str(), 0600), 0);
    const bool root = geteuid() == 0;
    if (root && !windows_binary()) {
        ASSERT_EQ(chown((work_ + "/CHORD.WAV").c_str(), 65534, 65534), 0);
    }
    if (windows_binary())  // a hidden file stays hidden
        windows_command(work_, "attrib +h CHORD.WAV");
    // The input itself lies in the working directory under a name that one
    // of its entries would write.
    std::vector<Entry> entries;
    std::string expected = opened("GAME.WAV") + "This file has 7 entries.\n";
    std::map<std::string, std::string> files;
    for (const char *name : {"RISE", "FALL", "BEEP", "CHORD", "GAME", "NEW", "LATER"}) {
        entries.push_back({name, 0x0340, name + "."s + name});
        expected += "Creating "s + name + ".WAV... [11KHz] ... " +
                    (name == "GAME"s ? "Cannot create [GAME.WAV]... Aborting.\n" : "Done.\n");
        files[name + ".WAV"s] = wav(11025, name + "."s + name);
    }
    files["GAME.WAV"] = resource(entries);
    write_file(work_ + "/GAME.WAV", files["GAME.WAV"]);
    const Result r = run("GAME.WAV");
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(outputs(), files);
    EXPECT_EQ(read_file(top_ + "/target") + read_file(top_ + "/other"), "targetother");
    EXPECT_NE(access((top_ + "/nowhere").c_str(), F_OK), 0);
    const mode_t mask = umask(0);
    umask(mask);
    for (const char *name : {"RISE.WAV", "FALL.WAV", "BEEP.WAV", "CHORD.WAV", "NEW.WAV"}) {
        struct stat st;
        ASSERT_EQ(lstat((work_ + "/" + name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        if (!windows_binary()) {
            const bool chord = name == "CHORD.WAV"s;
            EXPECT_EQ(st.st_mode & 0777, chord ? 0600 : 0666 & ~mask) << name;
            EXPECT_EQ(st.st_uid, chord && root ? 65534 : geteuid()) << name;
        }
    }

    // A read-only file is no one's to replace but root's: run as another user.
    if (windows_binary()) {
        EXPECT_EQ(windows_command(work_, "attrib CHORD.WAV").substr(0, 5), "A   H");
        return;
    }
    ASSERT_EQ(chmod(top_.c_str(), 0755) | chmod(work_.c_str(), 0777), 0);
    write_file(work_ + "/RO.WAV", "read-only");
    ASSERT_EQ(chmod((work_ + "/RO.WAV").c_str(), 0444), 0);
    const Result ro = run(input("ro.mrv", resource({{"RO", 0x0220, "r"}})), {0, 0, root ? 65534u : 0, ""});
    EXPECT_EQ(ro.out, opened("../ro.mrv") + "This file has 1 entries.\n"
                      "Creating RO.WAV... [22KHz] ... Cannot create [RO.WAV]... Aborting.\n");
    EXPECT_EQ(read_file(work_ + "/RO.WAV"), "read-only");
}

TEST_F(Outputs, ARunRemovesOnlyWhatItMade)
{
    if (!can_inject())
        GTEST_SKIP() << "needs ptrace on x86-64";
    // Run A has named its BIG.WAV and is held in closing it; run B replaces
    // BIG.WAV with its own; then A's close fails. A must take back only its
    // own file, which is no longer there.
    const std::string a = input("a.mrv", resource({{"BIG", 0x0220, "aaaa"}}));
    const std::string b = input("b.mrv", resource({{"BIG", 0x0340, "bbbbb"}}));
    const pid_t pid = start("zumrip", {a}, {}, nullptr, true);
    ASSERT_TRUE(hold(pid, SYS_close));
    EXPECT_EQ(run(b).out, opened(b) + "This file has 1 entries.\nCreating BIG.WAV... [11KHz] ... Done.\n");
    release(pid, 0, EIO);
    EXPECT_EQ(finish(pid).out, opened(a) + "This file has 1 entries.\n"
                               "Creating BIG.WAV... [22KHz] ... Cannot write [BIG.WAV]... Aborting.\n");
    EXPECT_EQ(outputs(), (std::map<std::string, std::string>{{"BIG.WAV", wav(11025, "bbbbb")}}));
}

TEST_F(Outputs, ParallelRunsIntoOneFolderRefuseNoClip)
{
    // Four runs of the same 200 names into one folder, as `xargs -P4` starts
    // them, on ext4 where the machine can mount one: a file that another run
    // removed and made anew reuses the inode numbers of files this run
    // wrote. No clip may be refused for that, and every file is one run's
    // whole clip.
    if (wasm_binary())
        GTEST_SKIP() << "the WebAssembly build runs alone in a folder of its own in the page; under node its "
                        "file layer opens a new temporary file twice, which a race with another run can fail";
    if (!windows_binary())
        mount_work("mkfs.ext4 -q", "ext4");  // else the folder as it is
    std::vector<std::string> ins;
    std::vector<std::vector<Entry>> runs(4);
    for (std::size_t r = 0; r < runs.size(); ++r) {
        for (int i = 0; i < 200; ++i)
            runs[r].push_back({"C" + std::to_string(i), 0x0220, std::string(static_cast<std::size_t>(1 + i % 7), static_cast<char>('a' + r))});
        ins.push_back(input("p" + std::to_string(r) + ".mrv", resource(runs[r])));
    }
    for (int round = 0; round < 3; ++round) {
        std::vector<pid_t> pids;
        for (const std::string &in : ins)
            pids.push_back(start("zumrip", {in}));
        for (const pid_t pid : pids) {
            const Result r = finish(pid);
            EXPECT_EQ(r.out.find("Cannot"), std::string::npos) << r.out;
        }
        const std::map<std::string, std::string> found = outputs();
        EXPECT_EQ(found.size(), 200u + (mount_.empty() ? 0 : 1));  // lost+found
        for (int i = 0; i < 200; ++i) {
            const auto f = found.find("C" + std::to_string(i) + ".WAV");
            bool whole = false;
            for (const std::vector<Entry> &entries : runs)
                whole = whole || (f != found.end() && f->second == wav(22050, entries[static_cast<std::size_t>(i)].samples));
            EXPECT_TRUE(whole) << i;
        }
    }
}

TEST_F(Outputs, AFolderThatCannotBeListedRefusesNothingItCannotProve)
{
    if (windows_binary() || wasm_binary() || geteuid() != 0)
        GTEST_SKIP() << "another user's write-only folder, made as root";
    // In a folder its user may write but not read (0333), nothing can prove
    // A~1.WAV an alias of another file: it is replaced, as B.WAV is.
    ASSERT_EQ(chmod(top_.c_str(), 0711), 0);
    for (const char *name : {"/A~1.WAV", "/B.WAV"}) {
        write_file(work_ + name, "mine");
        ASSERT_EQ(chown((work_ + name).c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(chown(work_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(work_.c_str(), 0333), 0);
    const std::string in = input("w.mrv", resource({{"A~1", 0x0220, "a"}, {"B", 0x0220, "b"}}));
    ASSERT_EQ(chmod((top_ + "/w.mrv").c_str(), 0644), 0);
    EXPECT_EQ(run(in, {0, 0, 65534, ""}).out, opened(in) + "This file has 2 entries.\n"
                                              "Creating A~1.WAV... [22KHz] ... Done.\n"
                                              "Creating B.WAV... [22KHz] ... Done.\n");
    ASSERT_EQ(chmod(work_.c_str(), 0755), 0);
    EXPECT_EQ(read_file(work_ + "/A~1.WAV") + read_file(work_ + "/B.WAV"), wav(22050, "a") + wav(22050, "b"));
}

TEST_F(Outputs, AFailedFlushIsNoSuccess)
{
    if (!can_inject())
        GTEST_SKIP() << "the failing syncfs needs ptrace on x86-64";
    if (windows_binary() || wasm_binary())
        GTEST_SKIP() << "flushed file by file there, each told on its clip's line";
    // The flush at the end fails (EIO): the clips said to be done may not
    // be on the disk, which the run must say, and not exit with success.
    const std::string in = input("f.mrv", resource({{"ONE", 0x0220, "1"}, {"TWO", 0x0220, "2"}}));
    const pid_t pid = start("zumrip", {in}, {}, nullptr, true);
    ASSERT_TRUE(hold(pid, SYS_syncfs));
    release(pid, 0, EIO);
    const Result r = finish(pid);
    EXPECT_EQ(r.out, opened(in) + "This file has 2 entries.\n"
                     "Creating ONE.WAV... [22KHz] ... Done.\nCreating TWO.WAV... [22KHz] ... Done.\n"
                     "Cannot flush the written clips to the disk... They may be lost.\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Outputs, AReplacementGrantsNoMoreThanTheFileItReplaced)
{
    if (windows_binary() || wasm_binary())
        GTEST_SKIP() << "POSIX ACLs and extended attributes: the Linux build's";
    // A private clip that one other user may read through an ACL (owner rw,
    // user 65534 r, group none, mask r, others none), with an attribute.
    const std::string path = work_ + "/ACL.WAV";
    write_file(path, "mine");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    const auto acl_entry = [](unsigned tag, unsigned perm, std::uint32_t id) { return u16le(tag) + u16le(perm) + u32le(id); };
    const std::string acl = u32le(2) + acl_entry(1, 6, ~0u) + acl_entry(2, 4, 65534) + acl_entry(4, 0, ~0u) +
                            acl_entry(0x10, 4, ~0u) + acl_entry(0x20, 0, ~0u);
    if (setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
        setxattr(path.c_str(), "user.origin", "disc 3", 6, 0) != 0)
        GTEST_SKIP() << "this file system keeps no ACLs or user attributes";
    // A folder default ACL that the new file would inherit must not stay.
    const std::string folder_acl = u32le(2) + acl_entry(1, 7, ~0u) + acl_entry(2, 7, 1234) + acl_entry(4, 5, ~0u) +
                                   acl_entry(0x10, 7, ~0u) + acl_entry(0x20, 5, ~0u);
    ASSERT_EQ(setxattr(work_.c_str(), "system.posix_acl_default", folder_acl.data(), folder_acl.size(), 0), 0);
    struct stat before, after;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    const std::string in = input("acl.mrv", resource({{"ACL", 0x0220, "a"}}));
    EXPECT_EQ(run(in).out, opened(in) + "This file has 1 entries.\nCreating ACL.WAV... [22KHz] ... Done.\n");
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    char value[256];
    const ssize_t acl_size = getxattr(path.c_str(), "system.posix_acl_access", value, sizeof value);
    EXPECT_EQ(std::string(value, static_cast<std::size_t>(std::max<ssize_t>(acl_size, 0))), acl);
    const ssize_t origin = getxattr(path.c_str(), "user.origin", value, sizeof value);
    EXPECT_EQ(std::string(value, static_cast<std::size_t>(std::max<ssize_t>(origin, 0))), "disc 3");
    EXPECT_EQ(read_file(path), wav(22050, "a"));

    // Permissions that cannot be handed on refuse the clip.
    if (!can_inject())
        GTEST_SKIP() << "the failing fchmod needs ptrace on x86-64";
    const pid_t pid = start("zumrip", {in}, {}, nullptr, true);
    ASSERT_TRUE(hold(pid, SYS_fchmod));
    release(pid, 0, EPERM);
    EXPECT_EQ(finish(pid).out, opened(in) + "This file has 1 entries.\n"
                               "Creating ACL.WAV... [22KHz] ... Cannot create [ACL.WAV]... Aborting.\n");
    EXPECT_EQ(read_file(path), wav(22050, "a"));
    EXPECT_EQ(outputs().size(), 1u);
}

TEST_F(Outputs, EveryNameSaidDoneIsAFileOfItsOwn)
{
    if (windows_binary())
        GTEST_SKIP() << "a FAT file system mounted under Linux";
    // FAT folds letter case and gives "My Recording.wav" the short alias
    // MYRECO~1.WAV: neither may make two entries one file, while an entry
    // of the same bytes replaces, and so does one for a file of the user's
    // that differs in case only. Without FAT in the kernel, exFAT through
    // FUSE folds case (and has no aliases), where identity numbers differ
    // by spelling: only the folder's listing tells that IN.WAV is the input
    // in.wav, and that ÉTÉ.WAV is the été.WAV just written.
    std::string why = mount_work("mkfs.vfat", "vfat");
    const bool aliases = why.empty();
    if (!aliases)
        why = mount_work("mkfs.exfat", "exfat-fuse");
    if (!why.empty())
        GTEST_SKIP() << why;
    write_file(work_ + "/My Recording.wav", "mine");
    write_file(work_ + "/old.wav", "old");
    const std::string bytes = resource({{"drum", 0x0220, "1"}, {"DRUM", 0x0220, "2"}, {"drum", 0x0220, "3"},
                                        {"MYRECO~1", 0x0220, "4"}, {"OLD", 0x0220, "5"}, {"IN", 0x0220, "6"},
                                        {"\xc3\xa9t\xc3\xa9", 0x0220, "7"}, {"\xc3\x89T\xc3\x89", 0x0220, "8"}});
    write_file(work_ + "/in.wav", bytes);
    const Result r = run("in.wav");
    EXPECT_EQ(r.out.substr(0, r.out.find("Creating \xc3\x89")),
              opened("in.wav") + "This file has 8 entries.\n"
              "Creating drum.WAV... [22KHz] ... Done.\n"
              "Creating DRUM.WAV... [22KHz] ... Cannot create [DRUM.WAV]... Aborting.\n"
              "Creating drum.WAV... [22KHz] ... Done.\n"
              "Creating MYRECO~1.WAV... [22KHz] ... " +
                  (aliases ? "Cannot create [MYRECO~1.WAV]... Aborting.\n" : "Done.\n") +
              "Creating OLD.WAV... [22KHz] ... Done.\n"
              "Creating IN.WAV... [22KHz] ... Cannot create [IN.WAV]... Aborting.\n"
              "Creating \xc3\xa9t\xc3\xa9.WAV... [22KHz] ... Done.\n");
    // Read by the names the tool used: FUSE may keep what it knew of old.wav.
    EXPECT_EQ(read_file(work_ + "/drum.WAV") + read_file(work_ + "/My Recording.wav") + read_file(work_ + "/OLD.WAV") +
                  read_file(work_ + "/in.wav") + read_file(work_ + "/\xc3\xa9t\xc3\xa9.WAV"),
              wav(22050, "3") + "mine" + wav(22050, "5") + bytes + wav(22050, "7"));
    // Whether a file system folds É is its own affair; two files or one
    // refused, never two "Done." over one file.
    const bool folds = r.out.find("Cannot create [\xc3\x89T\xc3\x89.WAV]") != std::string::npos;
    if (!folds) {
        EXPECT_EQ(read_file(work_ + "/\xc3\x89T\xc3\x89.WAV"), wav(22050, "8"));
    }
    EXPECT_EQ(outputs().size(), (aliases ? 5u : 6u) + !folds);
}

TEST_F(Outputs, NoTemporaryIsLeftSilently)
{
    if (windows_binary() || wasm_binary())
        GTEST_SKIP() << (wasm_binary() ? "the WebAssembly build names a file by a rename, which such a folder forbids"
                                       : "append-only folders are Linux's");
    // In an append-only folder names can be made but never taken away: a
    // temporary name that cannot be removed must be told on the clip's line.
    write_file(work_ + "/OLD.WAV", "mine");
    const int folder = open(work_.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (ioctl(folder, FS_IOC_GETFLAGS, &flags) != 0 || (flags |= FS_APPEND_FL, ioctl(folder, FS_IOC_SETFLAGS, &flags)) != 0) {
        close(folder);
        GTEST_SKIP() << "no append-only folder here (root, and a file system that has them)";
    }
    const std::string in = input("a.mrv", resource({{"NEW", 0x0220, "n"}, {"OLD", 0x0220, "o"}}));
    const Result r = run(in);
    flags &= ~FS_APPEND_FL;
    EXPECT_EQ(ioctl(folder, FS_IOC_SETFLAGS, &flags), 0);
    close(folder);
    // Unnamed, a new file needs no temporary name; a replacement always does.
    EXPECT_EQ(r.out, opened(in) + "This file has 2 entries.\n"
                     "Creating NEW.WAV... [22KHz] ... " + (temporary_names() ? "Cannot write [NEW.WAV]... Aborting.\n" : "Done.\n") +
                     "Creating OLD.WAV... [22KHz] ... Cannot write [OLD.WAV]... Aborting.\n");
    EXPECT_EQ(read_file(work_ + "/NEW.WAV") + read_file(work_ + "/OLD.WAV"), wav(22050, "n") + "mine");
}

// Interruptions, kills and power cuts leave the old file or the whole new
// one, never a part.
using Interruptions = Zumrip;

TEST_F(Interruptions, InterruptionOrAKillLeavesNoPartialFile)
{
    if (!can_trace())
        GTEST_SKIP() << "ptrace needs a Linux process that may be traced";
    write_file(work_ + "/OLD.WAV", "mine");
    const std::string in = input("i.mrv", resource({{"DONE", 0x0220, "d"}, {"NEW", 0x0220, "nn"},
                                                    {"OLD", 0x0220, "ooo"}, {"LATER", 0x0220, "l"}}));
    // Held inside the write of a new file or of the one to replace OLD.WAV,
    // or (held 0) waiting on a stream for the first clip's bytes. As process
    // 1 of a PID namespace the signal's default action does nothing: the
    // tool must end all the same.
    const struct {
        int sig;
        std::size_t held;
        bool process_1;
    } cases[] = {{SIGTERM, 0, true}, {SIGINT, 44 + 2, false}, {SIGTERM, 44 + 3, false},
                 {SIGHUP, 44 + 2, false}, {SIGTERM, 44 + 2, true}, {SIGKILL, 44 + 2, false}};
    std::string not_tried;
    for (const auto &c : cases) {
        // qemu-user as process 1 waits for ever for its own death.
        if (c.process_1 && (emulated() || !can_make_pid_namespace())) {
            not_tried = emulated() ? "process 1 not tried under an emulator"
                                   : "process 1 not tried: no PID namespace for this user or kernel";
            continue;
        }
        Limits limits;
        limits.pid_namespace = c.process_1;
        const std::string bytes = read_file(top_ + "/i.mrv");
        if (c.held == 0)
            feed(bytes.substr(0, 40), "", bytes.substr(40));
        const pid_t pid = start("zumrip", {c.held == 0 ? "/dev/stdin" : in}, limits, nullptr, c.held != 0);
        ASSERT_GT(pid, 0);
        if (c.held == 0) {
            ASSERT_TRUE(blocked_reading(pid));
            kill(pid, c.sig);
        } else {
            ASSERT_TRUE(hold(pid, SYS_write, c.held)) << c.sig;
            release(pid, c.sig);
        }
        const Result r = finish(pid, 10);
        EXPECT_EQ(c.process_1 ? r.status : r.signal, c.process_1 ? 128 + c.sig : c.sig) << c.sig;
        // Every line printed before the signal reaches the file (SIGKILL
        // gives no chance), and nothing after it.
        std::string printed = opened(c.held == 0 ? "/dev/stdin" : in) + "This file has 4 entries.\n";
        if (c.held != 0)
            printed += "Creating DONE.WAV... [22KHz] ... Done.\nCreating NEW.WAV... [22KHz] ... ";
        if (c.held == 44 + 3)
            printed += "Done.\nCreating OLD.WAV... [22KHz] ... ";
        EXPECT_EQ(r.out, c.sig == SIGKILL ? "" : printed) << c.sig;
        std::map<std::string, std::string> expected = {{"OLD.WAV", "mine"}};
        if (c.held != 0)
            expected["DONE.WAV"] = wav(22050, "d");
        if (c.held == 44 + 3)  // NEW.WAV came before
            expected["NEW.WAV"] = wav(22050, "nn");
        std::map<std::string, std::string> found = outputs();
        // Without unnamed files, SIGKILL leaves the temporary file, whole or not.
        if (c.sig == SIGKILL && temporary_names() && found.size() == expected.size() + 1 &&
            found.begin()->first.compare(0, 9, ".NEW.WAV.") == 0)
            found.erase(found.begin());
        EXPECT_EQ(found, expected) << c.sig;
        std::remove((work_ + "/NEW.WAV").c_str());
    }
    if (!not_tried.empty())
        GTEST_SKIP() << not_tried;  // the other cases have passed
}

TEST_F(Interruptions, InterruptedAtRandomMomentsLeavesNothingHalfDone)
{
    if (wasm_binary())
        GTEST_SKIP() << "a signal ends node, whose signals are not the tool's";
    // 2000 clips, every other one replacing a file of the user's, and a
    // Ctrl-C (SIGINT; wine makes it a console event) at a random moment of
    // each run: every file is the user's or whole, and no temporary is left.
    std::vector<Entry> entries;
    for (int i = 0; i < 2000; ++i)
        entries.push_back({"N" + std::to_string(i), 0x0220, "n" + std::to_string(i)});
    const std::string in = input("r.mrv", resource(entries));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run(in).status, 0);
    const auto whole_run = std::chrono::steady_clock::now() - started;
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    for (int round = 0; round < 16; ++round) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::string path = work_ + "/" + entries[i].name + ".WAV";
            if (i % 2 == 1)
                write_file(path, "mine");
            else
                std::remove(path.c_str());
        }
        const pid_t pid = start("zumrip", {in});
        std::this_thread::sleep_for(whole_run * std::uniform_real_distribution<>(0.0, 1.0)(random));
        kill(pid, SIGINT);
        finish(pid);
        const std::map<std::string, std::string> found = outputs();
        std::size_t bad = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const auto f = found.find(entries[i].name + ".WAV");
            const bool whole = f != found.end() && f->second == wav(22050, entries[i].samples);
            bad += i % 2 == 1 ? !whole && (f == found.end() || f->second != "mine") : !whole && f != found.end();
        }
        EXPECT_EQ(bad, 0u) << "files lost or half done, seed " << seed;
        EXPECT_LE(found.size(), entries.size()) << "temporaries left, seed " << seed;
    }
}

TEST_F(Interruptions, APowerCutLosesNoFileThatWasThere)
{
    if (!can_trace())
        GTEST_SKIP() << "ptrace needs a Linux process that may be traced";
    const std::string why = mount_work("mkfs.xfs -q", "xfs");
    if (!why.empty())
        GTEST_SKIP() << why;
    // XFS is shut down as a power cut would leave it: what its log holds is
    // on disk, data not yet written back is lost. First while the tool is
    // held inside the write of the clip after one that replaced OLD.WAV,
    // then right after a whole run.
    write_file(work_ + "/OLD.WAV", "mine");
    sync();
    const std::string shutdown = "xfs_io -x -c 'shutdown -f' '" + work_ + "'";
    const std::string held = input("h.mrv", resource({{"OLD", 0x0220, "old"}, {"LATER", 0x0220, "later"}}));
    const pid_t pid = start("zumrip", {held}, {}, nullptr, true);
    ASSERT_TRUE(hold(pid, SYS_write, 44 + 5));
    ASSERT_EQ(std::system(shutdown.c_str()), 0);
    release(pid, SIGKILL);
    finish(pid);
    ASSERT_TRUE(remount_work());
    EXPECT_EQ(read_file(work_ + "/OLD.WAV"), wav(22050, "old")) << "the old file or the new one, never empty";

    const std::string whole = input("w.mrv", resource({{"OLD", 0x0340, "o2"}, {"NEW", 0x0340, "n"}}));
    EXPECT_EQ(run(whole).status, 0);
    ASSERT_EQ(std::system(shutdown.c_str()), 0);
    ASSERT_TRUE(remount_work());
    EXPECT_EQ(read_file(work_ + "/OLD.WAV") + read_file(work_ + "/NEW.WAV"), wav(11025, "o2") + wav(11025, "n"));

    // Interrupted after two clips, the run flushes the clips it keeps.
    const std::string cut = input("c.mrv", resource({{"A", 0x0220, "a"}, {"B", 0x0220, "b"}, {"C", 0x0220, "cc"}}));
    const pid_t interrupted = start("zumrip", {cut}, {}, nullptr, true);
    ASSERT_TRUE(hold(interrupted, SYS_write, 44 + 2));
    release(interrupted, SIGTERM);
    EXPECT_EQ(finish(interrupted).signal, SIGTERM);
    ASSERT_EQ(std::system(shutdown.c_str()), 0);
    ASSERT_TRUE(remount_work());
    EXPECT_EQ(read_file(work_ + "/A.WAV") + read_file(work_ + "/B.WAV"), wav(22050, "a") + wav(22050, "b"));
}

// Input: streams read as far as needed, a copy that cannot grow, closed
// standard streams.
using Input = Zumrip;

TEST_F(Input, StreamsAreReadAsFarAsNeededAndNoFurther)
{
    if (wasm_binary())
        GTEST_SKIP() << "emscripten's file system under node reads no pipes or FIFOs, and sets no TMPDIR";
    const std::string big(200000, 'b');  // more than one piece of the copy
    const std::string file = resource({{"RISE", 0x0220, big}, {"FALL", 0x0340, "fall"}, {"CUT", 0x0220, "c", 9}});
    const std::map<std::string, std::string> files = {{"RISE.WAV", wav(22050, big)},
                                                      {"FALL.WAV", wav(11025, "fall")},
                                                      {"CUT.WAV", wav(22050, "c" + std::string(8, '\0'))}};
    // Whatever misbehaves with endless input meets the file-size limit soon.
    // Windows has no /dev/stdin, and wine's server can neither start under
    // such a limit nor be found from another TMPDIR: there a FIFO is read,
    // and nothing follows the resource.
    const bool windows = windows_binary();
    const std::string spool = top_ + "/spool", fifo = top_ + "/in.fifo";
    const Limits limits = windows ? Limits{} : Limits{0, 1 << 20, 0, spool};
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::size_t first_clip_end = file.find(big) + big.size();
    for (const std::string &path : {"/dev/stdin"s, fifo}) {
        if (windows && path != fifo)
            continue;
        // The stream pauses after the first clip, which must be out by then;
        // then the rest comes, and after it endless zero bytes (the pipe), or
        // CUT's missing samples and nothing more while the stream stays open
        // (the FIFO): the run must end all the same.
        ASSERT_EQ(mkdir(spool.c_str(), 0755), 0);
        const std::string rest = file.substr(first_clip_end) + (path == fifo ? std::string(8, '\0') : "");
        feed(file.substr(0, first_clip_end), path == fifo ? fifo : "", rest, path != fifo);
        const pid_t pid = start("zumrip", {path}, limits);
        bool first_out = false;
        for (int i = 0; i < 500 && !first_out; ++i, usleep(10000))
            first_out = read_file(work_ + "/RISE.WAV") == files.at("RISE.WAV");
        EXPECT_TRUE(first_out) << "RISE.WAV waited for the rest of the stream";
        send_rest();
        const Result r = finish(pid, 10);
        EXPECT_EQ(r.out, opened(path) + "This file has 3 entries.\n"
                         "Creating RISE.WAV... [22KHz] ... Done.\n"
                         "Creating FALL.WAV... [11KHz] ... Done.\n"
                         "Creating CUT.WAV... [22KHz] ... Done.\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(outputs(), files);
        EXPECT_EQ(rmdir(spool.c_str()), 0) << "the copy was left in TMPDIR";
    }
    if (windows)
        return;
    // Streams that are no resource file are refused before any copying.
    ASSERT_EQ(mkdir(spool.c_str(), 0755), 0);
    for (const std::string &path : {"/dev/zero"s, "/dev/stdin"s}) {
        feed("y\ny\ny\n", "", "", true);
        EXPECT_EQ(run(path, limits).out, opened(path) + "This is not a valid MRV sound resource file.\n");
    }
    // Without a TMPDIR to copy it into, the pipe cannot be opened.
    feed(file);
    const Result r = run("/dev/stdin", {0, 0, 0, top_ + "/missing"});
    EXPECT_EQ(r.out, banner + "File [/dev/stdin] not found.\n"s + usage());
    EXPECT_EQ(r.status, 255);

    // A file that reports no size (procfs) holds what it holds: here the
    // environment of a process, made of a resource's bytes, which end in a
    // zero byte as every string there does.
    const std::string bytes = resource({{"PROC", 0x0220, "ab"s + '\0'}});
    std::vector<std::string> strings;
    std::istringstream split(bytes.substr(0, bytes.size() - 1));
    for (std::string piece; std::getline(split, piece, '\0');)
        strings.push_back(piece);
    std::vector<char *> environment;
    for (std::string &piece : strings)
        environment.push_back(&piece[0]);
    environment.push_back(nullptr);
    const pid_t holder = fork();
    if (holder == 0) {
        char sleep[] = "sleep", seconds[] = "100";
        char *const args[] = {sleep, seconds, nullptr};
        execve("/bin/sleep", args, environment.data());
        _exit(127);
    }
    const std::string path = "/proc/" + std::to_string(holder) + "/environ";
    for (int i = 0; i < 3000 && read_file(path) != bytes; ++i)
        usleep(10000);
    EXPECT_EQ(run(path).out, opened(path) + "This file has 1 entries.\nCreating PROC.WAV... [22KHz] ... Done.\n");
    EXPECT_EQ(read_file(work_ + "/PROC.WAV"), wav(22050, "ab"s + '\0'));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

TEST_F(Input, ACopyThatCannotGrowServesNothingPastIt)
{
    if (windows_binary() || wasm_binary())
        GTEST_SKIP() << (wasm_binary() ? "emscripten's file system under node reads no pipes"
                                       : "wine's server cannot start under a file-size limit");
    // Twenty clips of 14000 bytes piped in, with a file-size limit that
    // stops the copy at 64 KiB: the clips wholly before that are exact, the
    // one across it cannot be read, the headers after it neither.
    std::vector<Entry> entries;
    for (int i = 0; i < 20; ++i)
        entries.push_back({"E" + std::to_string(i), 0x0220, std::string(14000, static_cast<char>('a' + i))});
    const std::string file = resource(entries), spool = top_ + "/spool";
    ASSERT_EQ(mkdir(spool.c_str(), 0755), 0);
    feed(file);
    const Result r = run("/dev/stdin", {0, 64 << 10, 0, spool});
    std::string expected = opened("/dev/stdin") + "This file has 20 entries.\n";
    std::map<std::string, std::string> files;
    for (std::size_t i = 0; i < 20; ++i) {
        const std::size_t end = file.find(entries[i].samples) + 14000;
        const std::string name = entries[i].name + ".WAV";
        if (end - 14000 > 64 << 10) {
            expected += "Entry " + std::to_string(i) + " cannot be read... Aborting.\n";
        } else if (end > 64 << 10) {
            expected += "Creating " + name + "... [22KHz] ... Cannot read [/dev/stdin]... Aborting.\n";
        } else {
            expected += "Creating " + name + "... [22KHz] ... Done.\n";
            files[name] = wav(22050, entries[i].samples);
        }
    }
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(outputs() == files) << outputs().size() << " files";
}

TEST_F(Input, ClosedStandardStreamsTakeNoFileOfTheTool)
{
    if (windows_binary() || wasm_binary())
        GTEST_SKIP() << (wasm_binary() ? "emscripten's file system under node reads no FIFOs" : "FIFOs are Linux paths");
    // Enough console text to be written out during the run: were it to go
    // into the temporary copy of the FIFO, the later clips would be lost.
    std::vector<Entry> entries;
    std::map<std::string, std::string> files;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "N" + std::to_string(i);
        entries.push_back({name, 0x0220, name});
        files[name + ".WAV"] = wav(22050, name);
    }
    const std::string fifo = top_ + "/in.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    feed(resource(entries), fifo);
    Limits limits;
    limits.closed_std = true;
    const Result r = run(fifo, limits);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(outputs() == files) << outputs().size() << " files";
}

// The Windows build: device names, names in every code page, hidden
// temporaries, its import table.
using Windows = Zumrip;

TEST_F(Windows, DeviceNamesAndStreamsAreRefusedThere)
{
    // Nor is another file replaced through its short name, while a name
    // that differs from a file's in case only replaces it, as NTFS folds
    // case: ÉTÉ over été.WAV.
    write_file(work_ + "/My Recording.wav", "mine");
    write_file(work_ + "/\xc3\xa9t\xc3\xa9.WAV", "summer");
    const std::string alias = short_name(work_, "My Recording.wav");
    ASSERT_EQ(alias.size(), 8u);
    const std::vector<std::string> refused = {"CON", "nul", "Com1", "lpt9", "aux.x", "PRN  ", "a:b", "COM0", "lpt0",
                                              "COM\xb9", "LPT\xc2\xb3", "CONOUT$", "conin$.x", alias};
    const std::vector<std::string> allowed = {"CONX", "COM10", "NULL", "CONIN", "\xc3\x89T\xc3\x89"};
    std::vector<Entry> entries;
    for (const auto *names : {&refused, &allowed})
        for (const std::string &name : *names)
            entries.push_back({name, 0x0220, "w"});
    const Result r = run(input("dev.mrv", resource(entries)));
    std::string expected = opened("../dev.mrv") + "This file has 19 entries.\n";
    for (const auto *names : {&refused, &allowed})
        for (const std::string &name : *names) {
            // A stray 0xB9 shows as '?', on Windows as the superscript 1 it is in 1252.
            const std::string shown = name != "COM\xb9" ? name : windows_binary() ? "COM\xc2\xb9" : "COM?";
            expected += "Creating " + shown + ".WAV... [22KHz] ... " +
                        (windows_binary() && names == &refused ? "Cannot create [" + shown + ".WAV]... Aborting.\n"
                                                               : "Done.\n");
        }
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(outputs().size(), (windows_binary() ? allowed.size() + 1 : entries.size() + 2));
    EXPECT_EQ(read_file(work_ + "/My Recording.wav"), "mine");
    // On Windows one file is left, under either spelling.
    EXPECT_EQ(read_file(work_ + "/\xc3\xa9t\xc3\xa9.WAV") + read_file(work_ + "/\xc3\x89T\xc3\x89.WAV"),
              windows_binary() ? wav(22050, "w") : "summer" + wav(22050, "w"));
}

TEST_F(Windows, NamesStayDistinctInEveryCodePage)
{
    if (!windows_binary())
        GTEST_SKIP() << "file names are bytes on POSIX systems";
    // Under Japanese (code page 932) and Hindi (no ANSI code page: UTF-8)
    // locales a lone lead byte is shown and created as %XX, a '%' before two
    // hex digits as %25; the private-use character that F0 40 is in 932
    // (U+E000) is shown as ?.
    const std::string in = input("cp.mrv", resource({{"X\x81", 0x0220, "1"}, {"X\x82", 0x0220, "2"},
                                                     {"X%81", 0x0220, "3"}, {"Y\xf0\x40", 0x0220, "4"}}));
    const struct {
        std::string locale, y_shown, y_file;
    } cases[] = {{"ja_JP.UTF-8", "Y???", "Y\xee\x80\x80"}, {"hi_IN.UTF-8", "Y%F0@", "Y%F0@"}};
    for (const auto &c : cases) {
        Limits limits;
        limits.locale = c.locale;
        EXPECT_EQ(run(in, limits).out, opened(in) + "This file has 4 entries.\n"
                                       "Creating X%81.WAV... [22KHz] ... Done.\n"
                                       "Creating X%82.WAV... [22KHz] ... Done.\n"
                                       "Creating X%2581.WAV... [22KHz] ... Done.\n"
                                       "Creating " + c.y_shown + ".WAV... [22KHz] ... Done.\n") << c.locale;
        const std::map<std::string, std::string> files = outputs();
        EXPECT_EQ(files.size(), 4u) << c.locale;
        EXPECT_EQ(read_file(work_ + "/X%81.WAV") + read_file(work_ + "/X%2581.WAV") + read_file(work_ + "/" + c.y_file + ".WAV"),
                  wav(22050, "1") + wav(22050, "3") + wav(22050, "4")) << c.locale;
        for (const auto &f : files)
            std::remove((work_ + "/" + f.first).c_str());
    }
    // In Windows-1252, é in UTF-8 and é in 1252 are two entries of one name:
    // the second may not replace the file of the first.
    const std::string e = input("e.mrv", resource({{"\xc3\xa9", 0x0220, "5"}, {"\xe9", 0x0220, "6"}}));
    EXPECT_EQ(run(e).out, opened(e) + "This file has 2 entries.\n"
                          "Creating \xc3\xa9.WAV... [22KHz] ... Done.\n"
                          "Creating \xc3\xa9.WAV... [22KHz] ... Cannot create [\xc3\xa9.WAV]... Aborting.\n");
    EXPECT_EQ(outputs(), (std::map<std::string, std::string>{{"\xc3\xa9.WAV", wav(22050, "5")}}));
}

TEST_F(Windows, TemporariesAreHidden)
{
    if (!windows_binary())
        GTEST_SKIP() << "a Windows file attribute";
    // Caught while a 96 MiB clip is written, its temporary file must be
    // hidden, so that one left by a kill does not show in Explorer (wine
    // keeps the attribute as user.DOSATTRIB; a leading dot alone sets none).
    const std::string in = input("big.mrv", resource({{"BIG", 0x0220, std::string(96 << 20, 'b')}}));
    const pid_t pid = start("zumrip", {in});
    std::string attribute;
    int status = 0;
    while (attribute.empty() && waitpid(pid, &status, WNOHANG) == 0) {
        DIR *const dir = opendir(work_.c_str());
        for (dirent *d; dir != nullptr && (d = readdir(dir)) != nullptr;) {
            char value[16];
            const ssize_t n = std::strncmp(d->d_name, ".BIG.WAV.", 9) == 0
                ? getxattr((work_ + "/" + d->d_name).c_str(), "user.DOSATTRIB", value, sizeof value) : -1;
            if (n > 0)
                attribute.assign(value, static_cast<std::size_t>(n));
        }
        if (dir != nullptr)
            closedir(dir);
    }
    if (!attribute.empty()) {
        EXPECT_EQ(finish(pid).status, 0);
    }
    EXPECT_EQ(attribute, "0x2") << "the temporary file was never seen hidden";
}

TEST_F(Windows, ImportsNothingThatWithholdsConsoleEvents)
{
    if (!windows_binary())
        GTEST_SKIP() << "a Windows binary's import table";
    // Loading user32 or gdi32 (shell32 loads both) would keep logoff and
    // shutdown events from the program.
    std::FILE *const pipe = popen(("x86_64-w64-mingw32-objdump -p '" + std::string(std::getenv("ZUMRIP")) + "'").c_str(), "r");
    std::string imports;
    char line[512];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr)
        if (std::strstr(line, "DLL Name:") != nullptr)
            imports += line;
    if (pipe != nullptr)
        pclose(pipe);
    EXPECT_NE(imports.find("KERNEL32.dll"), std::string::npos) << "no import table read";
    for (const char *dll : {"USER32", "GDI32", "SHELL32", "user32", "gdi32", "shell32"})
        EXPECT_EQ(imports.find(dll), std::string::npos) << imports;
}

}  // namespace
