// zumpack as users run it: the built binary in a fresh folder, its WAVs
// made by zumrip, by the test, and by sox, ffmpeg and Python's wave where
// they are installed. Another build is tested when ZUMPACK names its
// zumpack beside ZUMRIP (under ZUMRIP_EMULATOR too), not under wine or
// node; with ZUMRIP alone it skips.
#include "harness.h"
#include "resource_writer.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

using resource_writer::Entry;
using resource_writer::u16le;
using resource_writer::u32le;
using harness::read_file;
using harness::wav;
using harness::write_file;

struct Result {
    int status = -1;
    std::string out, err;
};

// Every byte value, rising and falling: a clip any rounding fault shows in.
std::string all_values()
{
    std::string s;
    for (int i = 0; i < 512; ++i)
        s += static_cast<char>(i < 256 ? i : 511 - i);
    return s;
}

class Zumpack : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Another build names its zumpack in ZUMPACK beside ZUMRIP.
        const std::string other = env("ZUMRIP"), pack = env("ZUMPACK");
        if (!other.empty() && pack.empty())
            GTEST_SKIP() << "ZUMRIP names another build but ZUMPACK names no zumpack for it";
        zumrip_ = command(other.empty() ? ZUMRIP_PATH : other, "zumrip");
        zumpack_ = command(pack.empty() ? ZUMPACK_PATH : pack, "zumpack");
        const std::string &b = zumpack_.back();
        if (b.size() > 4 && (b.compare(b.size() - 4, 4, ".exe") == 0 || b.compare(b.size() - 3, 3, ".js") == 0))
            GTEST_SKIP() << "zumpack is not tested under wine or node";
        char folder[] = "/tmp/zumpack_test.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        top_ = folder;
    }
    static std::string env(const char *name)
    {
        const char *v = std::getenv(name);
        return v != nullptr ? v : "";
    }
    // The words that run binary: ZUMRIP_EMULATOR's first (@ARGV0@ standing
    // for argument 0), then the binary.
    static std::vector<std::string> command(const std::string &binary, const std::string &argv0)
    {
        std::vector<std::string> words;
        std::istringstream emulator(env("ZUMRIP_EMULATOR"));
        for (std::string w; emulator >> w;)
            words.push_back(w == "@ARGV0@" ? argv0 : w);
        words.push_back(binary);
        return words;
    }
    void TearDown() override
    {
        if (!top_.empty()) {
            EXPECT_EQ(std::system(("rm -rf '" + top_ + "'").c_str()), 0);
        }
    }

public:
    // Runs binary (zumpack, zumrip or a shell command line for sh -c) in
    // the folder top_/dir, made when missing.
    Result run_in(const std::string &dir, const std::vector<std::string> &words, const std::vector<std::string> &args)
    {
        const std::string cwd = top_ + "/" + dir, out = top_ + "/.out", err = top_ + "/.err";
        mkdir(cwd.c_str(), 0777);
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char *> argv;
            for (const std::string &w : words)
                argv.push_back(const_cast<char *>(w.c_str()));
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (chdir(cwd.c_str()) != 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
                _exit(127);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        Result r;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            r.status = WEXITSTATUS(status);
        r.out = read_file(out);
        r.err = read_file(err);
        return r;
    }
    Result pack(const std::vector<std::string> &args, const std::string &dir = "work")
    {
        return run_in(dir, zumpack_, args);
    }
    // Extracts the resource path with zumrip into the new folder dir.
    std::map<std::string, std::string> extract(const std::string &path, const std::string &dir)
    {
        EXPECT_EQ(run_in(dir, zumrip_, {path}).status, 0) << path;
        return files(dir);
    }
    // The files of top_/dir by name, with their contents.
    std::map<std::string, std::string> files(const std::string &dir)
    {
        std::map<std::string, std::string> found;
        if (DIR *d = opendir((top_ + "/" + dir).c_str())) {
            while (const dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    found[e->d_name] = read_file(top_ + "/" + dir + "/" + e->d_name);
            closedir(d);
        }
        return found;
    }
    // Arguments that name every file of top_/dir, as seen from work.
    std::vector<std::string> paths(const std::string &dir)
    {
        std::vector<std::string> all;
        for (const auto &f : files(dir))
            all.push_back("../" + dir + "/" + f.first);
        return all;
    }
    // True when the shell finds program.
    bool have(const std::string &program)
    {
        return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
    }

    std::string top_;
    std::vector<std::string> zumrip_, zumpack_;  // the words that run each
};

}  // namespace

using CommandLine = Zumpack;
using Build = Zumpack;
using RoundTrip = Zumpack;
using WavInput = Zumpack;
using Outputs = Zumpack;


TEST_F(CommandLine, HelpVersionAndWrongUse)
{
    const Result help = pack({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: zumpack [--from SOURCE] OUTPUT FILE.WAV..."), std::string::npos);
    const Result version = pack({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("zumpack ", 0), 0u);
    for (const std::vector<std::string> &wrong :
         {std::vector<std::string>{}, {"OUT.MRV"}, {"--from", "SRC.MRV", "OUT.MRV"}, {"--frm", "A", "B.WAV"}}) {
        const Result r = pack(wrong);
        EXPECT_EQ(r.status, 2) << wrong.size();
        EXPECT_NE(r.err.find("Usage:"), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(files("work").empty());
}

TEST_F(Build, EntriesInTheOrderGivenNamedByTheirFiles)
{
    // Names from the file names (".wav" in any case), rates from the WAVs,
    // the format's unused bytes zero: the resource the writer makes.
    const std::string a = all_values(), b = "\x01\x02\x03";
    write_file(top_ + "/RISE.wav", wav(22050, a));
    write_file(top_ + "/b8chars_.WAV", wav(11025, b));
    // Chunks in any order, an odd one padded.
    write_file(top_ + "/E.Wav", "RIFF" + u32le(50) + "WAVEdata" + u32le(0) + "junk" + u32le(3) + std::string("abc\0fmt ", 8) +
                                    u32le(16) + u16le(1) + u16le(1) + u32le(22050) + u32le(22050) + u16le(1) +
                                    u16le(8));
    const Result r = pack({"OUT.MRV", "../b8chars_.WAV", "../RISE.wav", "../E.Wav"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files("work").at("OUT.MRV"),
              resource_writer::contents({{"b8chars_", 0x0340, b}, {"RISE", 0x0220, a}, {"E", 0x0220, ""}}));

    // A name that does not fit or no .WAV: nothing is written, every bad
    // file is named on standard error.
    write_file(top_ + "/NINE_LONG.WAV", wav(22050, "x"));
    write_file(top_ + "/clip.raw", wav(22050, "x"));
    const Result bad = pack({"BAD.MRV", "../RISE.wav", "../NINE_LONG.WAV", "../clip.raw"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("../NINE_LONG.WAV: an entry name is 1 to 8 bytes long, not 9"), std::string::npos);
    EXPECT_NE(bad.err.find("../clip.raw: its name does not end in .WAV"), std::string::npos);
    EXPECT_EQ(files("work").count("BAD.MRV"), 0u);
}

// Extracts R, patches R with every WAV extracted, extracts again: the same
// WAVs, and the bytes past the table the same as R's, the new entries
// behind them. Then one WAV changed changes that clip only.
static void check_round_trip(Zumpack &t, const std::string &r, const std::string &changed_name)
{
    SCOPED_TRACE(changed_name);
    write_file(t.top_ + "/R.MRV", r);
    const auto first = t.extract("../R.MRV", "one");
    ASSERT_FALSE(first.empty());
    std::vector<std::string> args{"--from", "../R.MRV", "P.MRV"};
    for (const std::string &p : t.paths("one"))
        args.push_back(p);
    const Result packed = t.pack(args);
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(t.extract("../work/P.MRV", "two"), first);
    const std::string p = t.files("work").at("P.MRV");
    const std::size_t table_end = 6 + 4 * (std::size_t{static_cast<unsigned char>(r[4])} +
                                           256 * std::size_t{static_cast<unsigned char>(r[5])});
    const std::size_t kept = std::min(table_end, r.size());
    EXPECT_EQ(p.substr(kept, r.size() - kept), r.substr(kept));
    EXPECT_EQ(p.substr(0, 6), r.substr(0, 6));

    // The changed clip, patched into R in place.
    const std::string new_samples = "\x10\x20\x30\x40";
    write_file(t.top_ + "/" + changed_name, wav(11025, new_samples));
    const Result in_place = t.pack({"--from", "R.MRV", "R.MRV", changed_name}, "");
    ASSERT_EQ(in_place.status, 0) << in_place.err;
    auto expected = first;
    expected[changed_name] = wav(11025, new_samples);
    EXPECT_EQ(t.extract("../R.MRV", "three"), expected);
}

TEST_F(RoundTrip, SharedOffsetsReversedTablesDamagedSlotsAndShortClips)
{
    // The table lists C, B, A, S, A's offset again and a second "B"; S
    // declares more samples than the file holds.
    check_round_trip(*this,
                     resource_writer::contents({{"A", 0x0220, all_values()}, {"B", 0x0340, "bbb"},
                                                {"C", 0x0220, "c"}, {"B", 0x0220, "b2"}, {"S", 0x0220, "xy", 100}},
                                               {{2, 1, 0, 4, 0, 3}, '\xA5'}),
                     "A.WAV");
}

TEST_F(RoundTrip, DamagedSlotsAndUnknownRatesStayAsTheyAre)
{
    // Slots below the least offset, past the end, exactly at the end (all
    // samples missing), one of an unknown rate code named as a good entry,
    // a good entry, and a count that reaches past the table into entries.
    std::string r = resource_writer::contents(
        {{"OK", 0x0220, "ok"}, {"OK", 0x1234, "zz"}, {"END", 0x0340, ""}}, {{0, 1, 2, 0, 0, 0}, '\x5A'});
    const auto size = static_cast<std::uint32_t>(r.size());
    r.replace(6, 4, u32le(18));
    r.replace(6 + 12, 4, u32le(size + 1));
    r.replace(r.size() - 4, 4, u32le(40));  // END: 40 samples, none there
    r.replace(6 + 16, 4, u32le(size));
    r[4] = 10;
    check_round_trip(*this, r, "OK.WAV");
}

TEST_F(RoundTrip, PatchedEntriesKeepTheirUnusedBytesAndAWavMustNameAnEntry)
{
    // Both slots of X reach one entry: one copy, both slots pointed there.
    const std::string r = resource_writer::contents({{"X", 0x0340, "abc"}}, {{0, 0}, '\x77'});
    write_file(top_ + "/R.MRV", r);
    write_file(top_ + "/X.WAV", wav(22050, "\x01\x02"));
    const Result ok = pack({"--from", "../R.MRV", "P.MRV", "../X.WAV"});
    ASSERT_EQ(ok.status, 0) << ok.err;
    // The old header, its rate code and size new, at the end; the slot there.
    const std::string head = std::string("X\0\0\0\0\0\0\0", 8) + "\x77\x77\x77\x77" + u16le(0x0220) + "\x77" + u32le(2);
    const std::string slot = u32le(static_cast<std::uint32_t>(r.size() + 19));
    EXPECT_EQ(files("work").at("P.MRV"), r.substr(0, 6) + slot + slot + r.substr(14) + head + "\x01\x02");

    write_file(top_ + "/Y.WAV", wav(22050, "\x01"));
    const Result none = pack({"--from", "../R.MRV", "R2.MRV", "../X.WAV", "../Y.WAV"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no entry is named Y (from ../Y.WAV)"), std::string::npos);
    EXPECT_EQ(files("work").count("R2.MRV"), 0u);
}

TEST_F(WavInput, TheSameClipFromEveryWriterPacksTheSame)
{
    // An 8-bit clip, converted losslessly by each writer to wider samples,
    // float, stereo, extensible headers and extra chunks, packs into the
    // very resource the 8-bit WAV does.
    write_file(top_ + "/TONE.WAV", wav(22050, all_values()));
    ASSERT_EQ(pack({"REF.MRV", "../TONE.WAV"}).status, 0);
    const std::string ref = files("work").at("REF.MRV");
    std::vector<std::string> commands;
    if (have("sox"))
        for (const char *options : {"-b 16", "-b 24", "-b 32", "-e floating-point -b 32", "-c 2 -b 16",
                                    "-e floating-point -b 32 -c 2"})
            commands.push_back(std::string("sox ../TONE.WAV ") + options + " TONE.WAV");
    else
        std::printf("sox not installed: its WAVs are not tested\n");
    if (have("ffmpeg"))
        for (const char *codec : {"pcm_s16le", "pcm_s24le", "pcm_s32le", "pcm_f32le", "pcm_s16le -af 'pan=stereo|c0=c0|c1=c0'"})
            commands.push_back(std::string("ffmpeg -v error -i ../TONE.WAV -metadata title=t -c:a ") + codec +
                               " TONE.WAV");
    else
        std::printf("ffmpeg not installed: its WAVs are not tested\n");
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const std::string dir = "w" + std::to_string(i);
        ASSERT_EQ(run_in(dir, {"sh"}, {"-c", commands[i]}).status, 0) << commands[i];
        const Result r = pack({"OUT" + std::to_string(i) + ".MRV", "../" + dir + "/TONE.WAV"});
        EXPECT_EQ(r.status, 0) << commands[i] << r.err;
        EXPECT_EQ(files("work")["OUT" + std::to_string(i) + ".MRV"], ref) << commands[i];
    }
}

TEST_F(WavInput, WiderSamplesRoundToTheNearestAndStereoToTheMean)
{
    if (!have("python3"))
        GTEST_SKIP() << "python3 not installed";
    // 16-bit values at and around the halves of an 8-bit step; then the
    // mean of two channels.
    const std::string script =
        "import wave, struct\n"
        "def w(n, ch, v):\n"
        "    f = wave.open(n, 'wb'); f.setnchannels(ch); f.setsampwidth(2); f.setframerate(11025)\n"
        "    f.writeframes(struct.pack('<%dh' % len(v), *v)); f.close()\n"
        "w('M.WAV', 1, [-32768, -129, -128, -127, 0, 127, 128, 32767])\n"
        "w('S.WAV', 2, [100 * 256, 101 * 256, -32768, 32767, 256, 0])\n";
    write_file(top_ + "/make.py", script);
    ASSERT_EQ(run_in("py", {"python3"}, {"../make.py"}).status, 0);
    ASSERT_EQ(pack({"OUT.MRV", "../py/M.WAV", "../py/S.WAV"}).status, 0);
    EXPECT_EQ(files("work").at("OUT.MRV"),
              resource_writer::contents({{"M", 0x0340, "\x00\x7F\x80\x80\x80\x80\x81\xFF"s},
                                         {"S", 0x0340, "\xE5\x80\x81"s}}));
}

TEST_F(WavInput, DamagedHostileAndUnsupportedWavsWriteNothing)
{
    const std::string good = wav(22050, std::string(16, 'x'));
    std::vector<std::pair<std::string, std::string>> bad;  // bytes, what the error says
    for (std::size_t cut = 0; cut < good.size(); ++cut)
        bad.push_back({good.substr(0, cut), cut < 12 ? "not a RIFF/WAVE file" : ""});
    const std::string fmt = "fmt " + u32le(16) + u16le(1) + u16le(1) + u32le(22050) + u32le(22050) + u16le(1) + u16le(8);
    bad.push_back({"RIFF" + u32le(100) + "WAVE" + fmt + "data" + u32le(0xFFFFFFFF) + "ab", "data chunk runs past"});
    bad.push_back({"RIFF" + u32le(100) + "WAVELIST" + u32le(0xFFFFFFF8) + fmt + "data" + u32le(1) + "a",
                   "chunk runs past"});
    bad.push_back({"RIFF" + u32le(100) + "WAVEdata" + u32le(1) + "a", "no format chunk"});
    std::string zero = good;
    zero.replace(22, 2, u16le(0));
    bad.push_back({zero, "it has 0 channels"});
    std::string rate = good;
    rate.replace(24, 4, u32le(44100));
    bad.push_back({rate, "its rate is 44100 Hz; the format takes 22050 or 11025 Hz (convert it first: "
                         "sox IN.wav -r 22050 -c 1 -b 8 OUT.WAV)"});
    std::string adpcm = good;
    adpcm.replace(20, 2, u16le(2));
    bad.push_back({adpcm, "neither 8, 16, 24 or 32-bit PCM nor 32-bit float"});

    write_file(top_ + "/OUT.MRV", "old");
    for (const auto &b : bad) {
        write_file(top_ + "/X.WAV", b.first);
        const Result r = pack({"../OUT.MRV", "../X.WAV"});
        EXPECT_EQ(r.status, 1) << b.first.size() << ": " << r.err;
        EXPECT_NE(r.err.find("zumpack: ../X.WAV: "), std::string::npos) << b.first.size();
        EXPECT_NE(r.err.find(b.second), std::string::npos) << r.err;
    }
    // Past 4 GiB, told before a byte is read (a sparse file).
    ASSERT_EQ(truncate((top_ + "/X.WAV").c_str(), 5LL << 30), 0);
    const Result huge = pack({"../OUT.MRV", "../X.WAV"});
    EXPECT_EQ(huge.status, 1);
    EXPECT_NE(huge.err.find("larger than 4294967295 bytes"), std::string::npos) << huge.err;
    EXPECT_EQ(read_file(top_ + "/OUT.MRV"), "old");
    EXPECT_TRUE(files("work").empty());
}

TEST_F(Outputs, ReplacedWholeNeverThroughALinkNeverOverAWav)
{
    write_file(top_ + "/A.WAV", wav(22050, "a"));
    const std::string made = resource_writer::contents({{"A", 0x0220, "a"}});
    // An existing file replaced, in another folder; a link replaced, its
    // target kept.
    write_file(top_ + "/OLD.MRV", "old");
    write_file(top_ + "/target", "target");
    ASSERT_EQ(symlink("target", (top_ + "/LINK.MRV").c_str()), 0);
    EXPECT_EQ(pack({"../OLD.MRV", "../A.WAV"}).status, 0);
    EXPECT_EQ(read_file(top_ + "/OLD.MRV"), made);
    EXPECT_EQ(pack({top_ + "/LINK.MRV", "../A.WAV"}).status, 0);
    struct stat st;
    ASSERT_EQ(lstat((top_ + "/LINK.MRV").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(top_ + "/LINK.MRV"), made);
    EXPECT_EQ(read_file(top_ + "/target"), "target");
    // A forgotten OUTPUT would make the first WAV the output: refused.
    write_file(top_ + "/B.WAV", wav(22050, "b"));
    const Result r = pack({"../B.WAV", "../A.WAV", "../B.WAV"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("../B.WAV: is one of the WAV files"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(top_ + "/B.WAV"), wav(22050, "b"));
    // A folder that does not exist: told, nothing made.
    const Result nowhere = pack({"../none/OUT.MRV", "../A.WAV"});
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_NE(nowhere.err.find("zumpack: ../none/OUT.MRV: cannot enter its folder"), std::string::npos);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

TEST_F(Outputs, NotEnoughMemoryIsToldAndWritesNothing)
{
#ifdef UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
    if (!env("ZUMRIP_EMULATOR").empty())
        GTEST_SKIP() << "an emulator needs more address space than the limit leaves";
    // A WAV of 1 GiB (sparse) read under a 300 MiB address space.
    write_file(top_ + "/BIG.WAV", wav(22050, ""));
    ASSERT_EQ(truncate((top_ + "/BIG.WAV").c_str(), 1LL << 30), 0);
    std::string words;
    for (const std::string &w : zumpack_)
        words += "'" + w + "' ";
    const Result r = run_in("work", {"sh"}, {"-c", "ulimit -v 307200 && exec " + words + "OUT.MRV ../BIG.WAV"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("zumpack: not enough memory for the files"), std::string::npos) << r.err;
    EXPECT_TRUE(files("work").empty());
}
