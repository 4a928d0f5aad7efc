// Fault injection for the tests: holds the tool, traced with ptrace, inside
// one of its system calls, and makes a call fail or a read of its input
// return an I/O error, so that what the real binary does then can be seen.
#include "harness.h"

#include <linux/audit.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <sstream>

namespace harness {

// The path descriptor fd of process pid stands for, "" when none.
static std::string fd_path(pid_t pid, std::uint64_t fd)
{
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    return std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Where in its file descriptor fd of process pid stands.
static std::uint64_t fd_position(pid_t pid, std::uint64_t fd)
{
    std::istringstream info(read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd)));
    std::string key;
    std::uint64_t position = 0;
    info >> key >> position;  // "pos:" comes first
    return position;
}

// Makes the system call a traced process stands at the exit of return value.
static void set_return(pid_t pid, long value)
{
#ifdef __x86_64__
    ptrace(PTRACE_POKEUSER, pid, offsetof(user_regs_struct, rax), value);
#else
    (void)pid;
    (void)value;
    ADD_FAILURE() << "no fault injection on this architecture";
#endif
}

// The number a system call has on this host (x86-64): a 32-bit x86 tool
// makes its reads, writes, closes, fchmods and syncfs under numbers of its
// own.
static long native_syscall(const __ptrace_syscall_info &info)
{
    const auto nr = static_cast<long>(info.entry.nr);
    if (info.arch != AUDIT_ARCH_I386)
        return nr;
    switch (nr) {
    case 3: return SYS_read;
    case 4: return SYS_write;
    case 6: return SYS_close;
    case 94: return SYS_fchmod;
    case 344: return SYS_syncfs;
    default: return -1;
    }
}

bool Zumrip::hold(pid_t pid, long call, std::size_t count, const std::string &input,
                  const std::vector<std::uint64_t> &bad_bytes)
{
    int status = 0;
    bool options_set = false;
    std::uint64_t read_at = 0;  // of a read of the input under way
    bool reading = false;
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        int deliver = 0;
        if (!options_set) {  // the stop at exec
            ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
            options_set = true;
        } else if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
            __ptrace_syscall_info info = {};
            ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info);
            const auto nr = native_syscall(info);
            if (info.op == PTRACE_SYSCALL_INFO_ENTRY && (nr == SYS_read || nr == SYS_close || (call >= 0 && nr == call))) {
                const std::string path = fd_path(pid, info.entry.args[0]);
                if (nr == call && path.compare(0, work_.size() + 1, work_ + "/") == 0 &&
                    (count == 0 || info.entry.args[2] == count))
                    return true;
                if (nr == SYS_close && !input.empty() && path == input) {
                    // Done with its input: let it go, so that LeakSanitizer,
                    // which cannot work traced, may check it at exit.
                    ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
                    return false;
                }
                reading = nr == SYS_read && !input.empty() && path == input;
                if (reading)
                    read_at = fd_position(pid, info.entry.args[0]);
            } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && reading) {
                reading = false;
                const auto end = read_at + static_cast<std::uint64_t>(std::max<std::int64_t>(info.exit.rval, 0));
                for (const std::uint64_t bad : bad_bytes)
                    if (bad >= read_at && bad < end)
                        set_return(pid, -EIO);
            }
        } else {
            deliver = WSTOPSIG(status);  // a signal of its own: pass it on
        }
        ptrace(PTRACE_SYSCALL, pid, nullptr, deliver);
    }
    reaped_ = status;
    return false;
}

void Zumrip::release(pid_t pid, int sig, int fail)
{
    if (sig != 0)
        kill(pid, sig);
    int status = 0;
    if (fail != 0 && ptrace(PTRACE_SYSCALL, pid, nullptr, 0) == 0 && waitpid(pid, &status, 0) == pid)
        set_return(pid, -fail);
    ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
}

}  // namespace harness
