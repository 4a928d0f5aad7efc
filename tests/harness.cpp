#include "harness.h"

#include <dirent.h>
#include <pty.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace harness {

std::string wav(std::uint32_t rate, const std::string &samples)
{
    const auto n = static_cast<std::uint32_t>(samples.size());
    return "RIFF" + u32le(n + 36) + "WAVEfmt " + u32le(16) + u16le(1) + u16le(1) + u32le(rate) +
           u32le(rate) + u16le(1) + u16le(8) + "data" + u32le(n) + samples;
}

bool emulated()
{
    const char *e = std::getenv("ZUMRIP_EMULATOR");
    return e != nullptr && *e != '\0';
}

// The binary under test: ZUMRIP from the environment, else the one built.
static std::string binary()
{
    const char *b = std::getenv("ZUMRIP");
    return b != nullptr && *b != '\0' ? b : ZUMRIP_PATH;
}

bool windows_binary()
{
    const std::string b = binary();
    return b.size() > 4 && b.compare(b.size() - 4, 4, ".exe") == 0;
}

bool wasm_binary()
{
    const std::string b = binary();
    return b.size() > 3 && b.compare(b.size() - 3, 3, ".js") == 0;
}

bool temporary_names()
{
    const char *t = std::getenv("ZUMRIP_TEMPORARY_NAMES");
    return windows_binary() || (t != nullptr && *t != '\0');
}

// Whether a child forked here can run probe, which ends it with status 0 on
// success; the stops of a child that made itself traced are let go.
static bool child_can(void (*probe)())
{
    const pid_t pid = fork();
    if (pid == 0) {
        probe();
        _exit(1);
    }
    int status = -1;
    while (pid > 0 && waitpid(pid, &status, 0) == pid && WIFSTOPPED(status))
        ptrace(PTRACE_CONT, pid, nullptr, 0);
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool can_trace()
{
    static const bool traceable = !windows_binary() && !wasm_binary() && child_can([] {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 && raise(SIGSTOP) == 0)
            _exit(0);
    });
    return traceable;
}

bool can_inject()
{
#ifdef __x86_64__
    return can_trace();
#else
    return false;
#endif
}

bool can_make_pid_namespace()
{
    static const bool possible = child_can([] {
        if (unshare(CLONE_NEWPID) != 0)
            return;
        const pid_t first = fork();  // process 1 of the new namespace
        if (first == 0)
            _exit(0);
        int status = -1;
        if (first > 0 && waitpid(first, &status, 0) == first && WIFEXITED(status))
            _exit(0);
    });
    return possible;
}

std::string shown_argv0(const std::string &argv0)
{
    const char *shown = std::getenv("ZUMRIP_ARGV0");
    if (shown != nullptr && *shown != '\0')
        return shown;
    if (!windows_binary())
        return argv0;
    // wine passes the program's Windows path, whatever it is asked.
    static const std::string windows_path = [] {
        std::FILE *const pipe = popen(("winepath -w '" + binary() + "' 2>/dev/null").c_str(), "r");
        char path[4096] = "";
        if (pipe != nullptr && std::fgets(path, sizeof path, pipe) == nullptr)
            path[0] = '\0';
        if (pipe != nullptr)
            pclose(pipe);
        return std::string(path, std::strcspn(path, "\n"));
    }();
    return windows_path;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Writes all of bytes to fd; false when it cannot (the reader has gone).
static bool write_all(int fd, const std::string &bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void Zumrip::SetUp()
{
    // Memory-backed when the machine has it: some runs create many files.
    const char *tmp = std::getenv("TMPDIR");
    struct stat shm;
    const std::string base = tmp != nullptr && *tmp != '\0' ? tmp
        : stat("/dev/shm", &shm) == 0 && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string dir = base + "/zumrip-test-XXXXXX";
    ASSERT_NE(mkdtemp(&dir[0]), nullptr);
    top_ = dir;
    work_ = top_ + "/work";
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
}

void Zumrip::TearDown()
{
    if (!mount_.empty()) {
        EXPECT_EQ(std::system(("umount '" + work_ + "'").c_str()), 0);
    }
    const std::string cmd = "rm -rf '" + top_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

std::string Zumrip::input(const std::string &name, const std::string &bytes)
{
    write_file(top_ + "/" + name, bytes);
    return "../" + name;
}

pid_t Zumrip::start(const std::string &argv0, const std::vector<std::string> &args,
                    const Limits &limits, int *terminal, bool traced)
{
    // Another user may not reach the build folder: it runs a copy made here.
    std::string bin = binary();
    if (limits.user != 0) {
        write_file(top_ + "/zumrip.bin", read_file(bin));
        bin = top_ + "/zumrip.bin";
        chmod(bin.c_str(), 0755);
    }
    // Natively argument 0 is argv0; under an emulator the command is its
    // prefix (split at blanks, "@ARGV0@" standing for argv0) and the binary.
    std::vector<std::string> words;
    if (emulated()) {
        std::istringstream prefix(std::getenv("ZUMRIP_EMULATOR"));
        for (std::string w; prefix >> w;)
            words.push_back(w == "@ARGV0@" ? argv0 : w);
        words.push_back(bin);
    } else {
        words.push_back(argv0);
    }
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const std::string program = emulated() ? words[0] : bin;
    const std::string out = top_ + "/stdout", err = top_ + "/stderr";

    int feed_pipe[2] = {-1, -1};
    if (feeding_) {
        feeding_ = false;
        if ((feed_fifo_.empty() && pipe(feed_pipe) != 0) || (go_on_[0] < 0 && pipe2(go_on_, O_CLOEXEC) != 0))
            return -1;
        feeder_ = fork();
        if (feeder_ == 0) {
            const int fd = feed_fifo_.empty() ? feed_pipe[1] : open(feed_fifo_.c_str(), O_WRONLY);
            if (!feed_rest_.empty()) {
                char go = 0;
                if (!write_all(fd, feed_) || read(go_on_[0], &go, 1) != 1)
                    _exit(0);
                feed_ = feed_rest_;
            }
            const std::string zeros(1 << 16, '\0');
            for (bool more = write_all(fd, feed_); more && feed_endless_;)
                more = write_all(fd, zeros);
            if (!feed_rest_.empty())
                pause();  // the stream stays open until finish() ends this
            _exit(0);
        }
    }
    // The next child forked is process 1 of a new PID namespace; later ones
    // are born in ours again.
    const int own_namespace = limits.pid_namespace ? open("/proc/self/ns/pid", O_RDONLY) : -1;
    if (limits.pid_namespace && (own_namespace < 0 || unshare(CLONE_NEWPID) != 0))
        return -1;
    // On a terminal the child's standard output is the pty's slave side.
    const pid_t pid = terminal != nullptr ? forkpty(terminal, nullptr, nullptr, nullptr) : fork();
    if (own_namespace >= 0) {
        setns(own_namespace, CLONE_NEWPID);
        close(own_namespace);
    }
    if (pid == 0) {
        const int o = terminal != nullptr ? 1 : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(work_.c_str()) != 0)
            _exit(120);
        if (limits.address_space != 0) {
            const rlimit r = {limits.address_space, limits.address_space};
            setrlimit(RLIMIT_AS, &r);
        }
        if (limits.file_size != 0) {
            const rlimit r = {limits.file_size, limits.file_size};
            setrlimit(RLIMIT_FSIZE, &r);
        }
        if (feed_pipe[0] >= 0 && (dup2(feed_pipe[0], 0) < 0 || close(feed_pipe[1]) != 0))
            _exit(123);
        if (!limits.tmpdir.empty())
            setenv("TMPDIR", limits.tmpdir.c_str(), 1);
        if (!limits.locale.empty())
            setenv("LC_ALL", limits.locale.c_str(), 1);
        if (limits.user != 0 && (setgid(limits.user) != 0 || setuid(limits.user) != 0))
            _exit(122);
        if (limits.closed_std) {
            close(0);
            close(1);
        }
        if (traced)
            ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execvp(program.c_str(), argv.data());
        _exit(121);
    }
    for (const int end : feed_pipe)
        if (end >= 0)
            close(end);
    return pid;
}

Result Zumrip::finish(pid_t pid, int seconds)
{
    // A tool that runs away (a write that never ends, console text without
    // end) is stopped after 50 s or 64 MiB of text, failing the test, so
    // that it still cleans up before ctest's limit and fills no memory.
    int status = reaped_;
    const std::string out = top_ + "/stdout";
    struct stat text = {};
    for (int waited = 0; reaped_ == -1 && waitpid(pid, &status, WNOHANG) == 0; ++waited) {
        if (waited == 100 * seconds || (stat(out.c_str(), &text) == 0 && text.st_size > 64 << 20)) {
            ADD_FAILURE() << "zumrip ran away: killed";
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    reaped_ = -1;
    if (feeder_ > 0) {
        kill(feeder_, SIGKILL);
        waitpid(feeder_, nullptr, 0);
        feeder_ = -1;
    }
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.out = read_file(out);
    if (windows_binary()) {
        // Text-mode standard output: every line must end in "\r\n".
        std::string lines;
        int bare_line_feeds = 0;
        for (const char c : r.out) {
            if (c == '\n' && !lines.empty() && lines.back() == '\r')
                lines.pop_back();
            else if (c == '\n')
                ++bare_line_feeds;
            lines += c;
        }
        EXPECT_EQ(bare_line_feeds, 0);
        r.out = lines;
    }
    r.err = read_file(top_ + "/stderr");
    return r;
}

bool Zumrip::blocked_reading(pid_t pid)
{
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    for (int i = 0; i < 500; ++i, usleep(10000))
        if (read_file(wchan).find("pipe_read") != std::string::npos)
            return true;
    return false;
}

std::string Zumrip::mount_work(const std::string &mkfs, const std::string &type)
{
    if (geteuid() != 0)
        return "only root may mount a file system";
    const std::string image = top_ + "/fs.img";
    write_file(image, "");
    if (truncate(image.c_str(), 320 << 20) != 0)  // XFS needs 300 MiB
        return "no room for a file system image";
    if (std::system((mkfs + " '" + image + "' >/dev/null 2>&1").c_str()) != 0)
        return "cannot make a file system here: " + mkfs;
    mount_ = "mount -o loop -t " + type + " '" + image + "' '" + work_ + "' 2>/dev/null";
    if (std::system(mount_.c_str()) != 0) {
        mount_.clear();
        return "cannot mount " + type + " on a loop device here";
    }
    return "";
}

bool Zumrip::remount_work()
{
    return std::system(("umount '" + work_ + "'").c_str()) == 0 && std::system(mount_.c_str()) == 0;
}

std::map<std::string, std::string> Zumrip::outputs() const
{
    std::map<std::string, std::string> files;
    DIR *dir = opendir(work_.c_str());
    for (dirent *d; dir != nullptr && (d = readdir(dir)) != nullptr;) {
        const std::string name = d->d_name;
        if (name != "." && name != "..")
            files[name] = read_file(work_ + "/" + name);
    }
    if (dir != nullptr)
        closedir(dir);
    return files;
}

}  // namespace harness
