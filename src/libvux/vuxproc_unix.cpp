#include <libvux/vuxproc.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <stdexcept>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxtest.h>
#include <libvux/vuxthread.h>
#include <libvux/vuxuser.h>

#include "private/vuxsys.h"

extern char** environ;

namespace vux_proc {

namespace {

VUX_LOG_MODULE("proc")

long NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Sleeps the whole time, signals or not; no state report, so callers may use it anywhere.
void Nap(unsigned long ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    vux_sys::RetryAfterSignal([&] { return nanosleep(&left, &left); });
}

// Closes every descriptor for which keep(fd) is false. Only system calls and
// the stack, so that a child between fork and exec may use it.
template <class Keep>
void CloseAllBut(Keep keep) {
    for (;;) {
        int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) {
            for (int fd = getdtablesize() - 1; fd >= 0; --fd)
                if (!keep(fd)) ::close(fd);
            return;
        }
        int found[1024];
        int count = 0;
        alignas(8) char buf[4096];
        for (;;) {
            long n = ::syscall(SYS_getdents64, dir, buf, sizeof buf);
            if (n <= 0) break;
            for (long off = 0; off < n && count < 1024;) {
                struct Entry {
                    unsigned long long ino;
                    long long off;
                    unsigned short reclen;
                    unsigned char type;
                    char name[1];
                };
                const Entry* e = reinterpret_cast<const Entry*>(buf + off);
                off += e->reclen;
                const char* p = e->name;
                if (!*p) continue;
                int fd = 0;
                bool number = true;
                for (; *p; ++p) {
                    if (*p < '0' || *p > '9' || fd > 100000000) {
                        number = false;
                        break;
                    }
                    fd = fd * 10 + (*p - '0');
                }
                if (number && fd != dir && !keep(fd)) found[count++] = fd;
            }
            if (count == 1024) break;
        }
        ::close(dir);
        for (int i = count - 1; i >= 0; --i) ::close(found[i]);
        if (count != 1024) return;
    }
}

// A child reports why it gives up, and warnings, as records on a pipe that
// closes by itself at a successful exec.
enum Step : int {
    StepSignals = 1,
    StepGroup,
    StepUser,
    StepStdio,
    StepCloseFiles,
    StepDir,
    StepStackLimit,  // a warning: the child goes on
    StepExec,
};

struct Report {
    int step;
    int err;
};

struct Plan {
    const char* path;
    char* const* argv;
    char* const* envp;
    const sigset_t* mask;
    bool set_priority;
    int priority;
    bool switch_user;
    uid_t uid;
    gid_t gid;
    const gid_t* groups;
    std::size_t ngroups;
    int src[3];
    bool devnull[3];
    bool close_files;
    bool own_group;
    int status_fd;
    const char* dir;
    bool stack;
    rlim_t stack_limit;
    const char* what[StepExec + 1];  // the parent's message for each fatal step
};

void Tell(const Plan& p, int step, int err) {
    Report r{step, err};
    (void)!::write(p.status_fd, &r, sizeof r);
}

// The parent logs the reason: written to the child's standard error, it
// would pass for the program's own output (or land in the caller's).
[[noreturn]] void GiveUp(const Plan& p, int step, int err) {
    Tell(p, step, err);
    _exit(1);
}

// Between fork and exec: system calls only, nothing that allocates or locks,
// since another thread of the parent may have held a lock at the fork.
[[noreturn]] void Child(const Plan& p) {
    // The parent's handlers must not run here; exec resets them anyway, and
    // children expect the default SIGPIPE even when the parent ignores it.
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int s = 1; s < NSIG; ++s) {
        if (s == SIGKILL || s == SIGSTOP) continue;
        struct sigaction cur;
        if (sigaction(s, nullptr, &cur) != 0) continue;
        if (!(cur.sa_flags & SA_SIGINFO) && cur.sa_handler == SIG_DFL) continue;
        if (!(cur.sa_flags & SA_SIGINFO) && cur.sa_handler == SIG_IGN && s != SIGPIPE) continue;
        sigaction(s, &dfl, nullptr);
    }
    if (sigprocmask(SIG_SETMASK, p.mask, nullptr) != 0) GiveUp(p, StepSignals, errno);
    // Its own process group, so that a time-out ends its children too.
    if (p.own_group && setpgid(0, 0) != 0) GiveUp(p, StepGroup, errno);
    if (p.set_priority) setpriority(PRIO_PROCESS, 0, p.priority);

    // Raw calls: the library's wrappers would also try to switch the
    // parent's other threads, which this child shares memory with.
    if (p.switch_user) {
        if (::syscall(SYS_setgroups, p.ngroups, p.groups) != 0) GiveUp(p, StepUser, errno);
        if (::syscall(SYS_setgid, p.gid) != 0) GiveUp(p, StepUser, errno);
        if (::syscall(SYS_setuid, p.uid) != 0) GiveUp(p, StepUser, errno);
        if (getuid() != p.uid || geteuid() != p.uid || getgid() != p.gid || getegid() != p.gid)
            GiveUp(p, StepUser, EPERM);
    }

    // Sources sitting on 0-2 move up first, so that no dup2 clobbers another.
    int src[3] = {p.src[0], p.src[1], p.src[2]};
    for (int i = 0; i < 3; ++i) {
        if (src[i] < 0 || src[i] > 2 || src[i] == i) continue;
        int moved = fcntl(src[i], F_DUPFD_CLOEXEC, 3);
        if (moved < 0) GiveUp(p, StepStdio, errno);
        for (int j = i + 1; j < 3; ++j)
            if (src[j] == src[i]) src[j] = moved;
        src[i] = moved;
    }
    for (int i = 0; i < 3; ++i) {
        if (src[i] == i) {
            if (fcntl(i, F_SETFD, 0) != 0) GiveUp(p, StepStdio, errno);
        } else if (src[i] >= 0) {
            if (dup2(src[i], i) < 0) GiveUp(p, StepStdio, errno);
        } else if (p.devnull[i]) {
            ::close(i);
            int fd = ::open("/dev/null", i == 0 ? O_RDONLY : O_WRONLY);
            if (fd < 0) GiveUp(p, StepStdio, errno);
            if (fd != i) {
                if (dup2(fd, i) < 0) GiveUp(p, StepStdio, errno);
                ::close(fd);
            }
        }
    }

    if (p.close_files) {
        const int keep = p.status_fd;
        bool done = (keep <= 3 || ::syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0) &&
                    ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0;
        if (!done) CloseAllBut([keep](int fd) { return fd <= 2 || fd == keep; });
    }

    if (p.dir && chdir(p.dir) != 0) GiveUp(p, StepDir, errno);

    if (p.stack) {
        struct rlimit lim;
        lim.rlim_cur = lim.rlim_max = p.stack_limit;
        if (setrlimit(RLIMIT_STACK, &lim) != 0) Tell(p, StepStackLimit, errno);
    }

    execve(p.path, p.argv, p.envp);
    GiveUp(p, StepExec, errno);
}

// Sanitizer runtimes intercept the child's calls and need a child of its own;
// elsewhere the child borrows the parent's memory until it execs, as
// posix_spawn does, which spares copying the parent's page tables.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VUX_PROC_FORK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VUX_PROC_FORK 1
#endif
#endif

#ifndef VUX_PROC_FORK
int ChildEntry(void* plan) { Child(*static_cast<const Plan*>(plan)); }
#endif

// With all signals blocked by the caller.
pid_t Spawn(const Plan& plan) {
#ifndef VUX_PROC_FORK
    const std::size_t kStack = 64 * 1024;
    void* stack = ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack != MAP_FAILED) {
        pid_t pid = ::clone(&ChildEntry, static_cast<char*>(stack) + kStack, CLONE_VM | CLONE_VFORK | SIGCHLD,
                            const_cast<Plan*>(&plan));
        const int err = errno;
        ::munmap(stack, kStack);
        errno = err;
        return pid;
    }
#endif
    pid_t pid = ::fork();
    if (pid == 0) Child(plan);
    return pid;
}

// The parent of a process, or 0 when it is gone.
pid_t ParentOf(pid_t pid) {
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    // The name in parentheses may hold anything: the state and the parent
    // follow the last closing one.
    const char* close = strrchr(buf, ')');
    char state;
    int parent = 0;
    if (!close || sscanf(close + 1, " %c %d", &state, &parent) != 2) return 0;
    return parent;
}

// Sends sig to a child and to all its descendants. Each is stopped as it is
// found, so that none forks away while the tree is read: a pass over /proc
// that finds nobody new has seen them all. A descendant whose parent has
// already exited belongs to another process and is out of reach.
void KillTree(pid_t root, int sig) {
    std::set<pid_t> tree{root};
    ::kill(root, SIGSTOP);
    for (bool grew = true; grew;) {
        grew = false;
        DIR* dir = ::opendir("/proc");
        if (!dir) break;
        while (dirent* e = ::readdir(dir)) {
            if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
            const pid_t p = static_cast<pid_t>(std::atoi(e->d_name));
            if (tree.count(p) || !tree.count(ParentOf(p))) continue;
            ::kill(p, SIGSTOP);
            tree.insert(p);
            grew = true;
        }
        ::closedir(dir);
    }
    for (pid_t p : tree) ::kill(p, sig);
    if (sig != SIGKILL)
        for (pid_t p : tree) ::kill(p, SIGCONT);
}

// pipe2 with both ends above the standard descriptors.
void MakePipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) throw vux_err::System("pipe", errno);
    for (int i = 0; i < 2; ++i) {
        if (fds[i] > 2) continue;
        int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
        int err = errno;
        ::close(fds[i]);
        if (moved < 0) {
            ::close(fds[1 - i]);
            throw vux_err::System("pipe", err);
        }
        fds[i] = moved;
    }
}

std::string ErrorText(int err) {
    const char* d = strerrordesc_np(err);
    return d ? d : "error " + std::to_string(err);
}

// A child's output in pieces that are never moved: growing one string would
// copy and fault in its pages over and over, which dominates big outputs.
class Collector {
public:
    // Free room at the end, for a read straight into it.
    char* Room(std::size_t& n) {
        if (pieces_.empty() || used_ == piece_) {
            piece_ = std::min<std::size_t>(kMaxPiece, std::max<std::size_t>(4096, size_));
            pieces_.emplace_back(new char[piece_]);
            sizes_.push_back(0);
            used_ = 0;
        }
        n = piece_ - used_;
        return pieces_.back().get() + used_;
    }
    void Commit(std::size_t n) {
        used_ += n;
        size_ += n;
        sizes_.back() = used_;
    }
    void Append(const char* p, std::size_t n) {
        while (n > 0) {
            std::size_t room;
            char* to = Room(room);
            const std::size_t k = std::min(room, n);
            memcpy(to, p, k);
            Commit(k);
            p += k;
            n -= k;
        }
    }
    std::size_t size() const { return size_; }
    void AppendTo(std::string& out) const {
        for (std::size_t i = 0; i < pieces_.size(); ++i) out.append(pieces_[i].get(), sizes_[i]);
    }

private:
    static constexpr std::size_t kMaxPiece = 1 << 20;
    std::vector<std::unique_ptr<char[]>> pieces_;
    std::vector<std::size_t> sizes_;
    std::size_t piece_ = 0;
    std::size_t used_ = 0;
    std::size_t size_ = 0;
};

}  // namespace

class Execute::Data {
public:
    int flags = 0;
    std::string user;
    int priority = 100;
    Pid_t pid = 0;
    int status = 0;
    bool finished = false;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string dir;
    std::shared_ptr<vux_stream::Stream> in;
    std::shared_ptr<vux_stream::Stream> out;
    std::shared_ptr<vux_stream::Stream> err;
    ResHandle in_handle, out_handle, err_handle;
    Collector collected[2];  // stdout, stderr
    time_t deadline = 0;

    bool dir_set = false;
    bool user_set = false;
    long deadline_ms = 0;  // monotonic; immune to clock changes
    bool reaped = false;   // the exit status is known and the pid is no longer ours
    bool shared_group = false;  // the child stays in the caller's process group
    int out_fd = -1;       // the parent's read ends, valid while their streams are open
    int err_fd = -1;

    ~Data();
    void Run(int extra);
    void Finish();
    std::string CommandLine() const;
    bool ReapNoHang();
    void Record(int wstatus);
    void KillGroup(int sig);
    void Stop(int timeout);
    void Reap(int lost);

private:
    // The messages the parent logs for the steps a child may fail at.
    struct Messages {
        std::string user, dir, exec;
    };
    void PlanUser(Plan& plan, std::vector<gid_t>& groups) const;
    void MakePipes();
    bool ReadsCallersTerminal() const;
    std::string SearchPath() const;
    std::vector<std::string> Environment() const;
    bool TakeStackLimit(std::vector<std::string>& entries, Plan& plan) const;
    void FillPlan(Plan& plan, const Messages& messages, const std::string& path, const std::vector<char*>& argv,
                  const std::vector<char*>& envp, int status_fd) const;
    void SpawnWithSignalsBlocked(Plan& plan);
    void AwaitExec(ResHandle& status_read, const Plan& plan);
    void Drain();
    void Wait();
};

std::string Execute::Data::CommandLine() const {
    std::string line;
    for (const std::string& a : args) str::inpl::Append(line, Escape(a), " ");
    return line;
}

void Execute::Data::Record(int wstatus) {
    status = WIFSIGNALED(wstatus) ? -1 : WEXITSTATUS(wstatus);
    reaped = true;
    vux_thread::NoFail nofail;
    VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "Process %d finished with status %d", pid, status);
}

bool Execute::Data::ReapNoHang() {
    if (reaped) return true;
    int st = 0;
    pid_t r = ::waitpid(pid, &st, WNOHANG);
    if (r == pid) {
        Record(st);
        return true;
    }
    if (r == 0 || errno == EINTR) return false;
    throw vux_err::System("waitpid", errno);
}

// Only while the child is unreaped: its zombie keeps the group id (and, in
// the caller's group, its children's parent link) from reuse.
void Execute::Data::KillGroup(int sig) {
    if (reaped || pid <= 0) return;
    if (shared_group) return KillTree(pid, sig);
    if (::kill(-pid, sig) != 0) ::kill(pid, sig);
}

// Ends the child and its group, gently first, and reaps it; never throws.
void Execute::Data::Stop(int timeout) {
    if (reaped || pid <= 0) return;
    KillGroup(SIGTERM);
    for (int i = 0; i < timeout * 10; ++i) {
        siginfo_t info;
        info.si_pid = 0;
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid)
            break;
        Nap(100);
    }
    KillGroup(SIGKILL);
    Reap(-1);
}

// Waits for the child however long it takes; a status that cannot be had (someone else
// reaped it) is taken as `lost`.
void Execute::Data::Reap(int lost) {
    int st = 0;
    const pid_t r = vux_sys::RetryAfterSignal([&] { return ::waitpid(pid, &st, 0); });
    if (r == pid) {
        Record(st);
    } else {
        reaped = true;
        status = lost;
    }
}

void Execute::Data::Run(int extra) {
    if (pid != 0 || args.empty()) return;
    flags |= extra;
    Plan plan;
    memset(&plan, 0, sizeof plan);
    std::vector<gid_t> groups;
    if (!user.empty()) PlanUser(plan, groups);
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s m_flags = %X", "Run", flags);
    MakePipes();
    shared_group = ReadsCallersTerminal();
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string path = SearchPath();
    std::vector<std::string> entries = Environment();
    const bool bad_stack = !TakeStackLimit(entries, plan);
    std::vector<char*> envp;
    for (const std::string& e : entries) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int status_pipe[2];
    MakePipe(status_pipe);
    ResHandle status_read(status_pipe[0]);
    ResHandle status_write(status_pipe[1]);
    const Messages messages{"cannot switch to user '" + user + "'", "cannot change directory to '" + dir + "'",
                            "cannot execute '" + path + "'"};
    FillPlan(plan, messages, path, argv, envp, status_pipe[1]);
    SpawnWithSignalsBlocked(plan);
    // The child exists now: an abort must not leave it half set up.
    vux_thread::NoFail nofail;
    status_write.Close();
    in_handle.Close();
    out_handle.Close();
    err_handle.Close();
    VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "Run '%s' pid %d", CommandLine().c_str(), pid);
    if (bad_stack) VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Failed to set stack rlimit");
    AwaitExec(status_read, plan);
}

// The user's ids and every group it belongs to, and whether a switch is needed at all.
void Execute::Data::PlanUser(Plan& plan, std::vector<gid_t>& groups) const {
    plan.uid = vux_user::Uid(user);
    plan.gid = vux_user::Gid(user);
    int n = 32;
    groups.resize(n);
    for (;;) {
        int want = n;
        if (::getgrouplist(user.c_str(), plan.gid, groups.data(), &want) >= 0) {
            groups.resize(want);
            break;
        }
        n = std::max(want, n * 2);
        groups.resize(n);
    }
    // Already that user (and not root): there is nothing to switch.
    plan.switch_user = geteuid() == 0 || getuid() != plan.uid || geteuid() != plan.uid || getgid() != plan.gid ||
                       getegid() != plan.gid;
    plan.groups = groups.data();
    plan.ngroups = groups.size();
}

namespace {
std::shared_ptr<vux_stream::Stream> ParentEnd(int fd) {
    return std::make_shared<vux_stream::Stream>(vux_stream::Stream::Desc(ResHandle(fd)),
                                                std::ios_base::in | std::ios_base::out);
}
}  // namespace

// The pipes asked for and not given by the caller; the child's ends stay in the handles.
void Execute::Data::MakePipes() {
    int fds[2];
    if ((flags & PipeIn) && !in_handle) {
        VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Create input pipe", VUX_SOURCE_NAME, __LINE__);
        MakePipe(fds);
        in_handle = fds[0];
        in = ParentEnd(fds[1]);
    }
    if ((flags & PipeOut) && !out_handle) {
        VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Create output pipe", VUX_SOURCE_NAME, __LINE__);
        MakePipe(fds);
        out_handle = fds[1];
        out = ParentEnd(fds[0]);
        out_fd = fds[0];
    }
    if (err_handle) return;
    if ((flags & MergeErr) && (flags & PipeOut) && (flags & PipeErr)) {
        VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Merge streams", VUX_SOURCE_NAME, __LINE__);
        err_handle = out_handle;
        err = out;
        err_fd = out_fd;
    } else if (flags & PipeErr) {
        VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Create error pipe", VUX_SOURCE_NAME, __LINE__);
        MakePipe(fds);
        err_handle = fds[1];
        err = ParentEnd(fds[0]);
        err_fd = fds[0];
    }
}

// A child reading the caller's terminal from a process group of its own would be stopped
// (SIGTTIN) at its first read: it stays in the caller's group, part of the caller's job, and
// a time-out ends it and its descendants one by one instead of as a group.
bool Execute::Data::ReadsCallersTerminal() const {
    const int child_in = in_handle ? in_handle.fd() : (flags & InRedirected) ? -1 : 0;
    return child_in >= 0 && ::isatty(child_in) && ::tcgetsid(child_in) == ::getsid(0);
}

// The program's path: a name without "/" is looked up in the caller's PATH.
std::string Execute::Data::SearchPath() const {
    if (args[0].find('/') != std::string::npos) return args[0];
    const char* parent_path = ::getenv("PATH");
    StringVector dirs;
    str::Split(parent_path ? parent_path : "/bin:/usr/bin", ":", dirs);
    for (const std::string& d : dirs) {
        char candidate[4097];
        snprintf(candidate, sizeof candidate, "%.*s/%s", static_cast<int>(d.size()), d.c_str(), args[0].c_str());
        struct stat st;
        if (::stat(candidate, &st) == 0) return candidate;
    }
    return args[0];
}

// The child's environment: only what was set (and PATH) for a clean one, else the caller's
// (without LD_LIBRARY_PATH unless kept) overridden by what was set.
std::vector<std::string> Execute::Data::Environment() const {
    const char* parent_path = ::getenv("PATH");
    std::vector<std::string> entries;
    if (flags & CleanEnv) {
        bool has_path = false;
        for (const std::string& e : env) {
            entries.push_back(e);
            if (e.compare(0, 5, "PATH=") == 0) has_path = true;
        }
        if (!has_path) entries.push_back(std::string("PATH=") + (parent_path ? parent_path : "/bin:/usr/bin"));
        return entries;
    }
    std::map<std::string, std::string> vars;
    for (char** e = environ; e && *e; ++e) {
        const char* eq = strchr(*e, '=');
        if (!eq) continue;
        std::string name(*e, static_cast<std::size_t>(eq - *e));
        if (name == "LD_LIBRARY_PATH" && !(flags & KeepLdLibraryPath)) continue;
        vars[name] = *e;
    }
    for (const std::string& e : env) {
        std::string::size_type eq = e.find('=');
        if (eq == std::string::npos) continue;
        vars[e.substr(0, eq)] = e;
    }
    for (auto& v : vars) entries.push_back(std::move(v.second));
    return entries;
}

// STACK_RLIMIT is for this library, not the child: it leaves the environment and becomes the
// child's stack limit. False when its value is not a number.
bool Execute::Data::TakeStackLimit(std::vector<std::string>& entries, Plan& plan) const {
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->compare(0, 13, "STACK_RLIMIT=") != 0) continue;
        std::string number = it->substr(it->rfind('=') + 1);
        entries.erase(it);
        if (number.empty() || number.size() >= 20 || !test::Numeric(number)) return false;
        plan.stack = true;
        plan.stack_limit = static_cast<rlim_t>(std::strtoull(number.c_str(), nullptr, 10));
        return true;
    }
    return true;
}

// Everything the child needs, in memory it may read between fork and exec.
void Execute::Data::FillPlan(Plan& plan, const Messages& messages, const std::string& path,
                             const std::vector<char*>& argv, const std::vector<char*>& envp, int status_fd) const {
    plan.what[StepSignals] = "cannot set the signal mask";
    plan.what[StepGroup] = "cannot make a process group";
    plan.what[StepUser] = messages.user.c_str();
    plan.what[StepStdio] = "cannot set up standard descriptors";
    plan.what[StepCloseFiles] = "cannot close descriptors";
    plan.what[StepDir] = messages.dir.c_str();
    plan.what[StepStackLimit] = "cannot set the stack limit";
    plan.what[StepExec] = messages.exec.c_str();
    plan.path = path.c_str();
    plan.argv = argv.data();
    plan.envp = envp.data();
    plan.set_priority = priority >= -20 && priority <= 19;
    plan.priority = priority;
    const ResHandle* handles[3] = {&in_handle, &out_handle, &err_handle};
    const int redirected[3] = {InRedirected, OutRedirected, ErrRedirected};
    for (int i = 0; i < 3; ++i) {
        plan.src[i] = handles[i]->fd();
        plan.devnull[i] = (flags & redirected[i]) != 0;
    }
    plan.close_files = !(flags & KeepFiles);
    plan.own_group = !shared_group;
    plan.status_fd = status_fd;
    plan.dir = dir.empty() ? nullptr : dir.c_str();
}

// The child starts with every signal blocked and restores the caller's mask itself, so no
// handler of the caller runs in it before the exec.
void Execute::Data::SpawnWithSignalsBlocked(Plan& plan) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    plan.mask = &old;
    const pid_t child = Spawn(plan);
    const int fork_errno = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (child < 0) throw vux_err::System("fork", fork_errno);
    pid = child;
}

// Blocks until the exec (the status pipe closes) or the child's report of the step that
// failed; a failed child is reaped at once, and the failure goes to the log only.
void Execute::Data::AwaitExec(ResHandle& status_read, const Plan& plan) {
    Report failure{0, 0};
    for (;;) {
        Report r;
        const ssize_t n = vux_sys::RetryAfterSignal([&] { return ::read(status_read.fd(), &r, sizeof r); });
        if (n != static_cast<ssize_t>(sizeof r)) break;
        if (r.step == StepStackLimit) {
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Failed to set stack rlimit");
            continue;
        }
        failure = r;
    }
    if (!failure.step) return;
    // The child is on its way out: reap it now rather than leave a zombie to whoever waits
    // later, or never.
    VUX_LOG(VuxLogModule(), vux_log::LevelError, "Failed to run '%s': %s: %s", CommandLine().c_str(),
            plan.what[failure.step], ErrorText(failure.err).c_str());
    Reap(1);
}

void Execute::Data::Drain() {
    std::shared_ptr<vux_stream::Stream> src[2] = {out, err == out ? nullptr : err};
    const int fds[2] = {out_fd, err_fd};
    Collector* text = collected;
    bool open[2];
    for (int i = 0; i < 2; ++i) {
        open[i] = src[i] && src[i]->IsOpen();
        if (!open[i]) continue;
        // What the caller's reads left in the stream's buffer comes first.
        std::streambuf* sb = src[i]->rdbuf();
        std::streamsize avail = sb ? sb->in_avail() : 0;
        if (avail > 0) {
            std::string left(static_cast<std::size_t>(avail), '\0');
            left.resize(static_cast<std::size_t>(sb->sgetn(&left[0], avail)));
            text[i].Append(left.data(), left.size());
        }
    }
    long killed_at = 0;
    while (open[0] || open[1]) {
        vux_thread::SetStateC("read");
        int timeout = 500;
        if (deadline_ms && !reaped && !killed_at) {
            long left = deadline_ms - NowMs();
            if (left <= 0) {
                VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Process %d timed out, killing its group", pid);
                KillGroup(SIGKILL);
                killed_at = NowMs();
            } else {
                timeout = static_cast<int>(std::min<long>(left, timeout));
            }
        }
        if (killed_at) timeout = 200;
        pollfd p[2];
        int index[2];
        int n = 0;
        for (int i = 0; i < 2; ++i) {
            if (!open[i]) continue;
            p[n].fd = fds[i];
            p[n].events = POLLIN;
            p[n].revents = 0;
            index[n++] = i;
        }
        int r = ::poll(p, n, timeout);
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) {
            // Killed, yet something outside the group keeps the pipe open:
            // once the child is gone and the pipe is quiet, stop waiting.
            if (killed_at && ReapNoHang() && (r == 0 || NowMs() - killed_at > 2000)) break;
            continue;
        }
        for (int k = 0; k < n; ++k) {
            if (!p[k].revents) continue;
            const int i = index[k];
            std::size_t room;
            char* to = text[i].Room(room);
            ssize_t got = ::read(fds[i], to, room);
            if (got > 0) text[i].Commit(static_cast<std::size_t>(got));
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) open[i] = false;
        }
    }
    for (int i = 0; i < 2; ++i)
        if (src[i]) src[i]->Close();
}

void Execute::Data::Wait() {
    if (reaped) return;
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{pidfd};
    long nap = 1;
    for (;;) {
        vux_thread::SetStateC("waitpid");
        if (ReapNoHang()) return;
        long wait = 100;
        if (deadline_ms) {
            long left = deadline_ms - NowMs();
            if (left <= 0) {
                VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Process %d timed out, killing its group", pid);
                KillGroup(SIGKILL);
            } else {
                wait = std::min(wait, left);
            }
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(wait));
        } else {
            // Short children are the common case: look again soon, then less often.
            Sleep(static_cast<unsigned long>(std::min(nap, wait)));
            nap = std::min(nap * 2, 100L);
        }
    }
}

void Execute::Data::Finish() {
    if (finished) return;
    Run(0);
    finished = true;
    if (pid == 0) {
        // Nothing to run: a failure, as a child that could not start.
        status = 1;
        return;
    }
    try {
        if (in) in->Close();
        Drain();
        Wait();
    } catch (...) {
        vux_thread::NoFail nofail;
        Stop(3);
        throw;
    }
}

Execute::Data::~Data() {
    try {
        if (pid == 0) {
            if (!finished)
                VUX_LOG(VuxLogModule(), vux_log::LevelWarning,
                    "vux_proc::Execute class with command '%s' destroyed but not executed",
                    CommandLine().c_str());
            return;
        }
        if (finished) return;
        if (std::uncaught_exceptions() == 0) {
            try {
                Finish();
            } catch (const vux_err::Error& e) {
                VUX_LOG(VuxLogModule(), vux_log::LevelWarning,
                    "vux_proc::Execute('%s') exception on destroy: %s", CommandLine().c_str(), e.what());
            }
            return;
        }
        vux_thread::NoFail nofail;
        const bool was_reaped = reaped;
        Stop(3);
        if (!was_reaped) VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Process %d killed. waitpid still need",
                                 pid);
    } catch (...) {
        // A destructor must not throw; the child is reaped whatever happened.
        try {
            vux_thread::NoFail nofail;
            Stop(0);
        } catch (...) {
        }
    }
}

// ---- Execute ----

Execute::Execute(const std::vector<std::string>& args, int flags) : data_(std::make_shared<Data>()) {
    data_->args = args;
    data_->flags = flags;
}

Execute::Execute(const std::string& command, int flags) : data_(std::make_shared<Data>()) {
    data_->args = {"/bin/sh", "-c", command};
    data_->flags = flags;
}

Execute::Execute(const char** argv, int flags) : data_(std::make_shared<Data>()) {
    for (; argv && *argv; ++argv) data_->args.push_back(*argv);
    data_->flags = flags;
}

Execute::Data& Execute::Need(const char* func) const {
    // Names the public call that met the dummy, not this helper.
    VUX_ASSERT_AT(data_, __LINE__, func, "Dummy process handle");
    return *data_;
}

#define VUX_CONFIGURE()                                                                         \
    Data& d = Need(__PRETTY_FUNCTION__);                                                        \
    VUX_ASSERT(d.pid == 0, "Process already started")

Execute& Execute::SetEnv(const std::string& name, const std::string& value) {
    VUX_CONFIGURE();
    VUX_ASSERT(!(d.flags & CleanEnv), "SetEnv second call");
    d.env.push_back(name + "=" + value);
    return *this;
}

Execute& Execute::SetEnv(const StringMap& env) {
    VUX_CONFIGURE();
    VUX_ASSERT(!(d.flags & CleanEnv), "SetEnv second call");
    VUX_ASSERT(d.env.empty(), "Some env was already set");
    d.flags |= CleanEnv;
    for (const auto& e : env) d.env.push_back(e.first + "=" + e.second);
    return *this;
}

Execute& Execute::SetDir(const std::string& dir) {
    VUX_CONFIGURE();
    VUX_ASSERT(!d.dir_set, "SetDir second call");
    d.dir_set = true;
    d.dir = dir;
    return *this;
}

Execute& Execute::SetUser(const std::string& user) {
    VUX_CONFIGURE();
    VUX_ASSERT(!d.user_set, "SetUser second call");
    d.user_set = true;
    d.user = user;
    return *this;
}

Execute& Execute::SetPriority(int nice) {
    Need(__PRETTY_FUNCTION__).priority = nice;
    return *this;
}

Execute& Execute::SetTimeout(int seconds) {
    VUX_CONFIGURE();
    d.deadline = time(nullptr) + seconds;
    d.deadline_ms = NowMs() + static_cast<long>(seconds) * 1000;
    if (d.deadline_ms == 0) d.deadline_ms = 1;
    return *this;
}

Execute& Execute::RedirectInTo(const ResHandle& h) {
    VUX_CONFIGURE();
    d.in_handle = h;
    d.flags |= InRedirected;
    return *this;
}

Execute& Execute::RedirectOutTo(const ResHandle& h) {
    VUX_CONFIGURE();
    d.out_handle = h;
    d.flags |= OutRedirected;
    return *this;
}

Execute& Execute::RedirectErrTo(const ResHandle& h) {
    VUX_CONFIGURE();
    d.err_handle = h;
    d.flags |= ErrRedirected;
    return *this;
}

#undef VUX_CONFIGURE

Execute& Execute::Run() {
    Need(__PRETTY_FUNCTION__).Run(0);
    return *this;
}

std::ostream& Execute::In() {
    Data& d = Need(__PRETTY_FUNCTION__);
    d.Run(PipeIn);
    VUX_ASSERT(d.in, "Input stream not available");
    return *d.in;
}

std::istream& Execute::Out() {
    Data& d = Need(__PRETTY_FUNCTION__);
    d.Run(PipeOut);
    VUX_ASSERT(d.out, "Output stream not available");
    return *d.out;
}

std::istream& Execute::Err() {
    Data& d = Need(__PRETTY_FUNCTION__);
    d.Run(PipeErr);
    VUX_ASSERT(d.err, "Error stream not available");
    return *d.err;
}

Execute& Execute::CloseIn() {
    Data& d = Need(__PRETTY_FUNCTION__);
    VUX_ASSERT(d.pid != 0, "Process is not started yet");
    if (d.in) d.in->Close();
    return *this;
}

Execute& Execute::CloseOut() {
    Data& d = Need(__PRETTY_FUNCTION__);
    VUX_ASSERT(d.pid != 0, "Process is not started yet");
    if (d.out) d.out->Close();
    return *this;
}

Execute& Execute::CloseErr() {
    Data& d = Need(__PRETTY_FUNCTION__);
    VUX_ASSERT(d.pid != 0, "Process is not started yet");
    if (d.err) d.err->Close();
    return *this;
}

Pid_t Execute::Pid() const {
    Data& d = Need(__PRETTY_FUNCTION__);
    VUX_ASSERT(d.pid != 0, "Proccess not started yet");
    return d.pid;
}

bool Execute::IsAlive() const {
    Data& d = Need(__PRETTY_FUNCTION__);
    if (d.pid == 0 || d.finished || d.reaped) return false;
    int st = 0;
    if (::waitpid(d.pid, &st, WNOHANG) != d.pid) return true;
    // The output stays in the pipes for Result and Str.
    d.Record(st);
    return false;
}

int Execute::Result() {
    Data& d = Need(__PRETTY_FUNCTION__);
    d.Finish();
    return d.status;
}

std::string Execute::Str() {
    Data& d = Need(__PRETTY_FUNCTION__);
    if (!(d.flags & (PipeOut | PipeErr))) d.Run(PipeOut);
    vux_thread::SetStateC("exec");
    d.Finish();
    std::string out;
    out.reserve(d.collected[0].size() + d.collected[1].size());
    d.collected[0].AppendTo(out);
    d.collected[1].AppendTo(out);
    return out;
}

int Execute::Terminate() {
    Data& d = Need(__PRETTY_FUNCTION__);
    if (!IsAlive()) return 0;
    VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "Terminate process pid %d", d.pid);
    d.KillGroup(SIGKILL);
    return Result();
}

// ---- free functions ----

Pid_t Id() { return ::getpid(); }

void Sleep(unsigned long ms) {
    vux_thread::SetStateC("sleep");
    Nap(ms);
}

bool Exists(const Pid_t& pid) {
    vux_thread::SetStateC("exists");
    if (pid <= 0) return false;
    const std::string dir = "/proc/" + std::to_string(pid);
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return false;
    int fd = ::open((dir + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    // The name in parentheses may hold spaces and parentheses: the state
    // follows the last closing one.
    const char* close = strrchr(buf, ')');
    if (!close || close[1] != ' ') return true;
    return close[2] != 'Z';
}

void Kill(const Pid_t& pid, int timeout) {
    VUX_ASSERT(timeout >= 1, "Invalid kill timeout");
    // 0 and negative numbers name process groups, -1 every process.
    VUX_ASSERT(pid > 0, "Invalid pid");
    if (::kill(pid, SIGTERM) != 0 && errno == ESRCH) return;
    // An abort may fire at either state report; the process goes all the same.
    try {
        for (int i = 0; i < timeout * 10; ++i) {
            if (!Exists(pid)) return;
            Sleep(100);
        }
    } catch (const vux_thread::Aborted&) {
        ::kill(pid, SIGKILL);
        throw;
    }
    ::kill(pid, SIGKILL);
}

bool List(const std::string& name, std::vector<int>& pids, bool all) {
    vux_thread::SetStateC("proc.list");
    pids.clear();
    const std::string wanted = "Name:\t" + name;
    vux_file::Dir dir("/proc", 2);
    while (dir.Read()) {
        const std::string& entry = dir.name();
        if (entry.empty() || entry[0] < '1' || entry[0] > '9') continue;
        vux_file::Info info = dir.Info(3);
        if (info.IsMissed() || !info.IsDir()) continue;
        std::string status;
        try {
            status = vux_file::Read("/proc/" + entry + "/status");
        } catch (const vux_err::Error&) {
            continue;  // gone meanwhile
        }
        StringVector lines;
        str::Split(status, "\n", lines);
        for (std::string& line : lines) {
            if (str::inpl::Trim(line) != wanted) continue;
            pids.push_back(str::Int(entry));
            if (!all) return true;
            break;
        }
    }
    return !pids.empty();
}

void CloseFiles(const std::set<int>& keep) {
    CloseAllBut([&keep](int fd) { return keep.count(fd) != 0; });
}

std::string Escape(const std::string& s) {
    // Tab, '#' and '~' are shell syntax too; a backslash before a newline would
    // join the lines, so a newline is quoted instead.
    static const char kSpecial[] = "[]{}()'&;|$\"\\ <>?*`\t#~";
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (char c : s) {
        if (c == '\n') {
            out += "'\n'";
            continue;
        }
        if (c != '\0' && strchr(kSpecial, c)) out += '\\';
        out += c;
    }
    return out;
}

std::string DecorateEnvParam(const std::string& name) { return "$" + name; }

vux_date::DateTime GetBootTime() {
    static const vux_date::DateTime boot = [] {
        std::string stat;
        try {
            stat = vux_file::Read("/proc/stat");
        } catch (const vux_err::Error&) {
            return vux_date::DateTime();
        }
        StringVector lines;
        str::Split(stat, "\n", lines);
        for (const std::string& line : lines)
            if (line.compare(0, 6, "btime ") == 0) return vux_date::DateTime(std::atol(line.c_str() + 6));
        return vux_date::DateTime();
    }();
    return boot;
}

void Reboot() {
    const std::string reboot = vux_file::GetFullPath("reboot");
    // An empty command would "succeed" without rebooting anything.
    if (reboot.empty()) throw vux_err::Missed("program", "reboot");
    Execute(reboot, 0).Run();
}

// ---- Pipe ----

Pipe::Pipe() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("Failed to open pipe");
    read_ = fds[0];
    write_ = fds[1];
}

namespace {
ResHandle& AddFlags(ResHandle& h, int flags) {
    if (flags && h) ::fcntl(h.fd(), F_SETFL, ::fcntl(h.fd(), F_GETFL) | flags);
    return h;
}
}  // namespace

ResHandle& Pipe::read_side(int flags) { return AddFlags(read_, flags); }

ResHandle& Pipe::write_side(int flags) { return AddFlags(write_, flags); }

// ---- SingleInstance ----

SingleInstance::SingleInstance(const std::string& name) : pidfile_(PidFile(name)) {
    if (!lock_.TryLock(pidfile_, true)) throw vux_err::Exists("proc", name);
    lock_.Write(ToString(Id()));
}

SingleInstance::~SingleInstance() {
    ::unlink(pidfile_.c_str());
    lock_.Release();
}

std::string SingleInstance::PidFile(const std::string& name) { return vux_file::ConcatPath("var", name + ".pid"); }

}  // namespace vux_proc
