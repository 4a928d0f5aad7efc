// Test harness: builds sound resource files and runs the zumrip binary in a
// fresh working directory, capturing its console text, error stream, exit
// status and the files it leaves behind.
#ifndef ZUMRIP_TEST_HARNESS_H
#define ZUMRIP_TEST_HARNESS_H

#include "resource_writer.h"

#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace harness {

using resource_writer::Entry;
using resource_writer::u16le;
using resource_writer::u32le;

// A resource file with the entries laid out one after the other behind the
// header and the offset table. Slot i of the table holds the offset of entry
// slots[i]; by default the table lists the entries in their order. The bytes
// the tool ignores are not zero, so that nothing may rely on them.
inline std::string resource(const std::vector<Entry> &entries, std::vector<std::size_t> slots = {})
{
    return resource_writer::contents(entries, {std::move(slots), '\xA5'});
}

// The WAV file the tool must write for these samples at this rate.
std::string wav(std::uint32_t rate, const std::string &samples);

const char *const banner = "ZUM Sound Ripper\n----------------\n";

// What the tool runs under, beside its arguments.
struct Limits {
    std::uint64_t address_space = 0;  // RLIMIT_AS in bytes, 0 = unlimited
    std::uint64_t file_size = 0;      // RLIMIT_FSIZE in bytes, 0 = unlimited
    unsigned user = 0;                // user (and group) id to run as, 0 = ours
    std::string tmpdir;               // TMPDIR for the tool, empty = ours
    bool pid_namespace = false;       // run it as process 1 of a PID namespace of its own
    bool closed_std = false;          // start it with standard input and output closed
    std::string locale = "";          // LC_ALL for the tool (under wine: its code page), empty = ours
};


struct Result {
    int status = -1;  // exit status, or -1 when killed by a signal
    int signal = 0;   // the signal that ended it, if one did
    std::string out;
    std::string err;
};

// True when the binary runs under an emulator (ZUMRIP_EMULATOR).
bool emulated();
// True when the binary under test is a Windows one (run under wine): its
// console lines end in "\r\n", which finish() checks and folds to "\n".
bool windows_binary();
// True when the binary under test is the WebAssembly build for node (a .js
// file, run with ZUMRIP_EMULATOR=node): it has no processes or signals of
// its own, and emscripten's file system reads no pipes.
bool wasm_binary();
// True when the tool under test writes its files under temporary names
// before it names them (Windows, or ZUMRIP_TEMPORARY_NAMES set for a build
// without unnamed files): a killed run may leave one behind.
bool temporary_names();
// True when the tool runs as a Linux process of its own (not under wine or
// node) and this machine lets a process trace its child (no seccomp filter
// or Yama setting forbids ptrace); tests that hold the tool skip otherwise.
bool can_trace();
// True when the tool's system calls can be made to fail here (x86-64 Linux,
// natively or under qemu-user, with ptrace); tests that need it skip otherwise.
bool can_inject();
// True when this process may make a PID namespace (root, on a kernel that
// has them and a sandbox that allows them).
bool can_make_pid_namespace();
// Argument 0 as the tool will see it: argv0, unless the emulator cannot pass
// it on, in which case ZUMRIP_ARGV0 says what it passes instead (under wine,
// when unset: the binary's Windows path, from winepath).
std::string shown_argv0(const std::string &argv0);

// Test fixture: a fresh directory holding the working directory "work" that
// the tool runs in; inputs are written beside it.
class Zumrip : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes bytes to a file beside the working directory; returns the path
    // relative to the working directory ("../NAME").
    std::string input(const std::string &name, const std::string &bytes);
    // Starts zumrip with argument 0 argv0 and the given arguments; its
    // standard output goes to a file, or to a new pty whose master side is
    // stored in *terminal. finish() waits for it and collects the results.
    // A traced start stops the tool at exec, for hold().
    pid_t start(const std::string &argv0, const std::vector<std::string> &args,
                const Limits &limits = {}, int *terminal = nullptr, bool traced = false);
    // A tool that has not ended after seconds fails the test and is killed.
    Result finish(pid_t pid, int seconds = 50);
    // Waits until the tool blocks reading a pipe (up to 5 s): false if not.
    bool blocked_reading(pid_t pid);
    // Makes the working directory a new file system of its own, made by the
    // command mkfs (for example "mkfs.xfs -q") on a loop device and mounted
    // as type; TearDown unmounts it. Returns "" when done, else why it
    // cannot be done on this machine.
    std::string mount_work(const std::string &mkfs, const std::string &type);
    // Unmounts the working directory's file system and mounts it again, as
    // a restart after a power cut would; false when that fails.
    bool remount_work();
    // hold() and release(), in inject.cpp, work the tool through ptrace.
    // Runs a traced tool until it enters the system call numbered call (SYS_write,
    // SYS_close) on a file of the working directory, of count bytes when
    // count is not 0, and holds it there: true. False when the tool exits
    // first (finish() still reports how). No timeout: a tool that never gets
    // there runs to its end. Meanwhile every read of the file input (an
    // absolute path) that returns one of bad_bytes fails with EIO instead,
    // until the tool closes input: then it is let go (false).
    bool hold(pid_t pid, long call, std::size_t count = 0, const std::string &input = "",
              const std::vector<std::uint64_t> &bad_bytes = {});
    // Has the next start() feed bytes to the tool's standard input through a
    // pipe, or into the FIFO fifo, from a process of its own that finish()
    // ends, so that a tool that reads nothing never holds a test up. Then,
    // once send_rest() is called, rest, and then zero bytes without end when
    // endless; after rest the stream stays open.
    void feed(const std::string &bytes, const std::string &fifo = "", const std::string &rest = "",
              bool endless = false)
    {
        feed_ = bytes;
        feed_fifo_ = fifo;
        feed_rest_ = rest;
        feed_endless_ = endless;
        feeding_ = true;
    }
    void send_rest() { EXPECT_EQ(write(go_on_[1], "", 1), 1); }
    // Lets a held tool go on, after sending it sig when that is not 0; with
    // fail, the held call returns that error once it has run.
    void release(pid_t pid, int sig = 0, int fail = 0);
    Result run_argv(const std::string &argv0, const std::vector<std::string> &args,
                    const Limits &limits = {})
    {
        return finish(start(argv0, args, limits));
    }
    Result run(const std::string &path, const Limits &limits = {})
    {
        return run_argv("zumrip", {path}, limits);
    }
    // The files in the working directory, by name, with their contents.
    std::map<std::string, std::string> outputs() const;

    std::string top_;   // the fresh directory
    int reaped_ = -1;   // wait status of a tool that exited while traced
    std::string feed_, feed_fifo_, feed_rest_;
    bool feeding_ = false, feed_endless_ = false;
    int go_on_[2] = {-1, -1};  // send_rest() to the feeder
    pid_t feeder_ = -1;
    std::string work_;  // top_/work, the tool's working directory
    std::string mount_;  // how the working directory is mounted, if it is
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

}  // namespace harness

#endif
