// The panel's long-task runner. It holds the task's description file locked for the task's
// life, so that others see it running, runs the task, collects what it writes and records
// the end in the description and in the queue's state file.
//
//   lt_wrapper DESCRIPTION [--reenter|--restart CONTENT]
//
// CONTENT (removed once read) becomes the description: with --restart always, with
// --reenter unless a queued one is already there. Without it the description must be
// queued ("status=PRE"). Started by a task of its own (VUX_LT_PID holds the task's pid) it
// finds the description's lock on descriptor 3 and the task's output on 4.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <libvux/vuxdate.h>
#include <libvux/vuxfile.h>

namespace {

// The result goes last: readers take everything after its marker.
const char* const kSections[] = {"[params]", "[environment]", "[result]"};
// What one task may leave in its description; the rest is cut, so a chatty task cannot
// fill the disk through it.
const std::size_t kMaxOutput = 1u << 20;

// Set by SIGTERM: a task still waiting for its dependencies is killed through its runner.
volatile sig_atomic_t g_stop = 0;

void Stop(int) { g_stop = 1; }

struct Description {
    std::vector<std::pair<std::string, std::string>> header;
    std::map<std::string, std::vector<std::string>> sections;

    std::string Get(const std::string& key) const {
        for (const auto& [k, v] : header)
            if (k == key) return v;
        return std::string();
    }
    std::vector<std::string> All(const std::string& key) const {
        std::vector<std::string> out;
        for (const auto& [k, v] : header)
            if (k == key) out.push_back(v);
        return out;
    }
    void Set(const std::string& key, const std::string& value) {
        for (auto& [k, v] : header)
            if (k == key) {
                v = value;
                return;
            }
        header.emplace_back(key, value);
    }
};

bool IsSection(const std::string& line) {
    for (const char* s : kSections)
        if (line == s) return true;
    return false;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return lines;
}

Description Parse(const std::string& text) {
    Description d;
    std::string section;
    for (const std::string& line : Lines(text)) {
        if (IsSection(line)) {
            section = line;
            d.sections[section];
        } else if (!section.empty()) {
            d.sections[section].push_back(line);
        } else if (!line.empty()) {
            std::size_t eq = line.find('=');
            d.header.emplace_back(line.substr(0, eq), eq == std::string::npos ? "" : line.substr(eq + 1));
        }
    }
    return d;
}

std::string Format(const Description& d) {
    std::string out;
    for (const auto& [k, v] : d.header) out.append(k).append("=").append(v).append("\n");
    for (const char* s : kSections) {
        auto it = d.sections.find(s);
        if (it == d.sections.end()) continue;
        out.append(s).append("\n");
        for (const std::string& line : it->second) out.append(line).append("\n");
    }
    return out;
}

std::string ReadFd(int fd) {
    std::string out;
    char buf[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

void WriteFd(int fd, const std::string& data) {
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size())) {
        std::perror("lt_wrapper: write");
        std::exit(1);
    }
}

int OpenFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    return fd;
}

// -1 when an interruptible wait is stopped.
int OpenLocked(const std::string& path, int op, bool interruptible = false) {
    int fd = OpenFile(path);
    // A stop that lands between the check of g_stop and a blocking flock would never interrupt
    // it, so a wait that a stop must end polls instead.
    const int how = interruptible ? op | LOCK_NB : op;
    while (::flock(fd, how) != 0) {
        const bool busy = errno == EINTR || (interruptible && errno == EWOULDBLOCK);
        if (!busy || (interruptible && g_stop)) {
            ::close(fd);
            return -1;
        }
        if (errno == EWOULDBLOCK) ::usleep(20 * 1000);
    }
    return fd;
}

// The queue's state lock for a runner that is being stopped. Whoever stops it may hold the
// lock exclusively until we are gone; while it does, no reader can be inside, so we may
// write without it. Only readers (shared holders) are waited for.
int StateLockWhenStopping(const std::string& path) {
    for (;;) {
        int fd = OpenFile(path);
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 || ::flock(fd, LOCK_SH | LOCK_NB) != 0) return fd;
        ::close(fd);
        ::usleep(10 * 1000);
    }
}

// Whether the locked descriptor still is the file at path (a withdrawn task's is removed).
bool StillThere(int fd, const std::string& path) {
    struct stat a, b;
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

class Runner {
public:
    explicit Runner(const std::string& desc)
        : desc_(desc), dir_(vux_file::SplitPath(desc).first), entry_(vux_file::Name(desc)) {}

    // The queue's state: the description files of the tasks its runners hold, one a line.
    // Every change of a description happens under it, so readers never see one half written.
    template <class F>
    void UnderState(F change) {
        const std::string path = vux_file::ConcatPath(dir_, ".state");
        int fd = g_stop && child_ < 0 ? StateLockWhenStopping(path) : OpenLocked(path, LOCK_EX);
        std::string state = ReadFd(fd);
        std::string kept;
        for (const std::string& line : Lines(state))
            if (!line.empty() && line != entry_) kept.append(line).append("\n");
        bool listed = change();
        if (listed) kept.append(entry_).append("\n");
        if (kept != state) WriteFd(fd, kept);
        ::close(fd);
    }

    int Enter(const char* option, const char* content_file) {
        std::string content;
        if (content_file) {
            content = vux_file::ReadE(content_file);
            ::unlink(content_file);
        }
        vux_file::MkDir(dir_);
        lock_ = OpenLocked(desc_, LOCK_EX);
        if (lock_ < 0 || !StillThere(lock_, desc_)) return 0;
        Description d = Parse(ReadFd(lock_));
        bool keep_queued = content_file && std::strcmp(option, "--reenter") == 0 && d.Get("status") == "PRE";
        if (content_file && !keep_queued) d = Parse(content);
        if (d.Get("status") != "PRE") return 0;
        // Until the task starts, a kill reaches it through us.
        d.Set("pid", std::to_string(::getpid()));
        UnderState([&] {
            WriteFd(lock_, Format(d));
            return false;
        });
        if (!WaitForDepends(d)) {
            Finish(d, W_EXITCODE(0, SIGTERM), "");
            return 0;
        }
        Launch(d);
        return Collect(d);
    }

    int Adopt(pid_t pid) {
        lock_ = 3;
        out_ = 4;
        child_ = pid;
        return Collect(Parse(ReadFd(lock_)));
    }

private:
    // False when stopped meanwhile.
    bool WaitForDepends(const Description& d) {
        for (const std::string& dep : d.All("depend")) {
            const std::string path = vux_file::ConcatPath(dir_, vux_file::Name(dep));
            for (;;) {
                if (g_stop) return false;
                if (::access(path.c_str(), F_OK) != 0) break;
                int fd = OpenLocked(path, LOCK_SH, true);
                bool queued = fd >= 0 && Parse(ReadFd(fd)).Get("status") == "PRE";
                if (fd >= 0) ::close(fd);
                if (!queued) break;
                ::usleep(50 * 1000);
            }
        }
        return !g_stop;
    }

    void Launch(Description& d) {
        int pipe_fds[2];
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) std::exit(1);
        const pid_t runner = ::getpid();
        std::vector<std::string> args = {d.Get("realname")};
        for (const std::string& p : d.sections["[params]"]) args.push_back(p);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        child_ = ::fork();
        if (child_ < 0) std::exit(1);
        if (child_ == 0) {
            // The task dies with its runner: a description nobody holds is never left "running".
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != runner) ::_exit(1);
            ::setpgid(0, 0);
            ::dup2(pipe_fds[1], 1);
            ::dup2(pipe_fds[1], 2);
            ::setenv("VUX_LT_PID", std::to_string(::getpid()).c_str(), 1);
            for (const std::string& e : d.sections["[environment]"]) {
                std::size_t eq = e.find('=');
                if (eq != std::string::npos && eq > 0) ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
            }
            ::execvp(argv[0], argv.data());
            std::fprintf(stderr, "cannot run '%s': %s\n", argv[0], std::strerror(errno));
            ::_exit(127);
        }
        ::close(pipe_fds[1]);
        out_ = pipe_fds[0];
        d.Set("status", "RUN");
        d.Set("startdate", vux_date::AccurateDateTime());
        d.Set("pid", std::to_string(child_));
        UnderState([&] {
            WriteFd(lock_, Format(d));
            return true;
        });
    }

    // Reads until the task ends; what it left running in the background is not waited for.
    int Collect(Description d) {
        std::string output;
        int status = 0;
        bool ended = false;
        ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);
        for (;;) {
            char buf[4096];
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n > 0) {
                if (output.size() < kMaxOutput) output.append(buf, std::min<std::size_t>(n, kMaxOutput - output.size()));
                continue;
            }
            if (n == 0 || ended) break;
            if (errno != EAGAIN && errno != EINTR) break;
            ended = ::waitpid(child_, &status, WNOHANG) == child_;
            if (!ended) {
                pollfd p = {out_, POLLIN, 0};
                ::poll(&p, 1, 100);
            }
        }
        if (!ended) ::waitpid(child_, &status, 0);
        Finish(d, status, output);
        return 0;
    }

    void Finish(Description d, int status, const std::string& output) {
        const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        d.Set("status", ok ? "OK" : "ERR");
        d.Set("enddate", vux_date::AccurateDateTime());
        if (WIFSIGNALED(status))
            d.Set("signal", std::to_string(WTERMSIG(status)));
        else
            d.Set("exitcode", std::to_string(WEXITSTATUS(status)));
        d.sections["[result]"] = {output};
        // Let the task go before the queue does: whoever reads the end finds it free.
        UnderState([&] {
            WriteFd(lock_, Format(d));
            ::close(lock_);
            return false;
        });
    }

    std::string desc_;
    std::string dir_;
    std::string entry_;
    int lock_ = -1;
    int out_ = -1;
    pid_t child_ = -1;
};

int Usage() {
    std::fprintf(stderr, "usage: lt_wrapper DESCRIPTION [--reenter|--restart CONTENT]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) return Usage();
    if (argc == 4 && std::strcmp(argv[2], "--reenter") != 0 && std::strcmp(argv[2], "--restart") != 0)
        return Usage();
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop = {};
    stop.sa_handler = Stop;
    ::sigaction(SIGTERM, &stop, nullptr);
    Runner runner(argv[1]);
    const char* pid = std::getenv("VUX_LT_PID");
    char* end = nullptr;
    const long adopted = pid ? std::strtol(pid, &end, 10) : 0;
    if (argc == 2 && adopted > 1 && end && *end == '\0') return runner.Adopt(static_cast<pid_t>(adopted));
    return runner.Enter(argc == 4 ? argv[2] : "", argc == 4 ? argv[3] : nullptr);
}
