#include <libvux/vuxlog.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

#include <libvux/vuxdate.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxstream.h>
#include <libvux/vuxthread.h>

#include "private/vuxsys.h"

namespace vux_log {

// ---- rules ----

class Module::Info {
public:
    class Rule {
    public:
        class Cond {
        public:
            virtual bool Check() const = 0;
            virtual ~Cond() {}
        };

        class Eq : public Cond {
        public:
            Eq(const std::string& k, const std::string& v) : key(k), value(v) {}
            bool Check() const override { return vux_thread::GetInfo(key) == value; }
            std::string key, value;
        };

        class Like : public Cond {
        public:
            Like(const std::string& k, const std::string& v) : key(k), value(v) {}
            bool Check() const override { return vux_thread::GetInfo(key).find(value) != std::string::npos; }
            std::string key, value;
        };

        class Or : public Cond {
        public:
            Or(std::unique_ptr<Cond> l, std::unique_ptr<Cond> r) : left(std::move(l)), right(std::move(r)) {}
            bool Check() const override { return left->Check() || right->Check(); }
            std::unique_ptr<Cond> left, right;
        };

        class And : public Or {
        public:
            And(std::unique_ptr<Cond> l, std::unique_ptr<Cond> r) : Or(std::move(l), std::move(r)) {}
            bool Check() const override { return left->Check() && right->Check(); }
        };

        // Throws std::runtime_error for a condition that does not parse.
        Rule(int level, std::string condition);

        bool Holds() const { return !condition || condition->Check(); }

        int level;
        std::unique_ptr<Cond> condition;
        std::string source;  // where the rule was read, for Explain
    };

    typedef std::vector<std::unique_ptr<Rule>> RuleList;
    struct Rules {
        RuleList specific;
        RuleList generic;
    };

    Info(const std::string& n, const std::string& p) : name(n), program(p) {}

    // Rules are built aside and published at once, so that Check, which takes
    // no lock, sees either the old or the new set and never a half-built one.
    void AddRule(bool specific, int level, std::string condition) {
        auto rule = std::make_unique<Rule>(level, condition);
        rule->source = std::to_string(level) + " " + condition;
        Add(specific, std::move(rule));
    }
    void Add(bool specific, std::unique_ptr<Rule> rule) {
        if (!pending) pending = std::make_unique<Rules>();
        (specific ? pending->specific : pending->generic).push_back(std::move(rule));
    }
    void Clear() { pending = std::make_unique<Rules>(); }
    // Returns the replaced set, or null; readers may still walk a replaced
    // set, so it is freed only once no walk is under way. Unchanged rules (a Reload of the same files)
    // and empty ones replace nothing, so that reloads do not pile sets up.
    const Rules* Publish() {
        std::unique_ptr<Rules> next = std::move(pending);
        if (next && next->specific.empty() && next->generic.empty()) next.reset();
        const Rules* current = rules.load(std::memory_order_relaxed);
        if (Same(current, next.get())) return nullptr;
        return rules.exchange(next.release(), std::memory_order_seq_cst);
    }

    static bool Same(const RuleList& a, const RuleList& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (a[i]->level != b[i]->level || a[i]->source != b[i]->source) return false;
        return true;
    }
    // The source holds the rule's text, so equal sources mean equal conditions.
    static bool Same(const Rules* a, const Rules* b) {
        if (!a || !b) return a == b;
        return Same(a->specific, b->specific) && Same(a->generic, b->generic);
    }

    std::string name;
    std::string program;
    std::atomic<const Rules*> rules{nullptr};
    // The answer when the first deciding list starts with a plain rule: its
    // level; kNoRule when no list has a rule; kWalk when conditions must be tested.
    Module::Fast fast;
    // The Module objects of this module, which each keep a copy of `fast`; under the registry lock.
    std::vector<Module*> mirrors;
    std::unique_ptr<Rules> pending;

    void SetFast(int level, std::uint64_t admits) {
        fast.level.store(level, std::memory_order_relaxed);
        fast.admits.store(admits, std::memory_order_relaxed);
        for (Module* m : mirrors) Mirror(*m);
    }
    void Mirror(Module& m) const {
        m.fast_.level.store(fast.level.load(std::memory_order_relaxed), std::memory_order_relaxed);
        m.fast_.admits.store(fast.admits.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    void Attach(Module& m) {
        mirrors.push_back(&m);
        Mirror(m);
    }
    void Detach(Module& m) { mirrors.erase(std::find(mirrors.begin(), mirrors.end(), &m)); }

    static const int kNoRule = Module::kNoRule;
    static const int kWalk = Module::kWalk;
};

typedef Module::Info Info;
typedef Info::Rule Rule;

namespace {

const char* const kBlanks = " \t\r\n\v\f";

std::vector<std::string> Tokens(const std::string& text) {
    std::vector<std::string> tokens;
    std::size_t i = 0;
    while ((i = text.find_first_not_of(kBlanks, i)) != std::string::npos) {
        std::size_t e = text.find_first_of(kBlanks, i);
        if (e == std::string::npos) e = text.size();
        tokens.push_back(text.substr(i, e - i));
        i = e;
    }
    return tokens;
}

// Reads a condition with two stacks, values and pending operators: "and" is applied as soon
// as its right operand is complete, so it binds tighter than "or"; both associate left.
class ConditionParser {
public:
    typedef std::unique_ptr<Rule::Cond> CondPtr;

    void Take(const std::string& t) {
        const std::size_t at = t.find_first_of("=~");
        if (at != std::string::npos)
            Value(t, at);
        else if (t == "(")
            Open();
        else if (t == "and" || t == "or")
            Operator(t);
        else if (t == ")")
            Close();
        else
            throw std::runtime_error("bad op: " + t);
    }

    CondPtr Finish() {
        if (!ops_.empty()) throw std::runtime_error("bad ')'");
        if (values_.size() != 1) throw std::runtime_error("too many values");
        return std::move(values_.front());
    }

private:
    void Value(const std::string& t, std::size_t at) {
        if (operand_) throw std::runtime_error("too many values");
        const std::string key = t.substr(0, at), value = t.substr(at + 1);
        if (t[at] == '=')
            values_.push_back(std::make_unique<Rule::Eq>(key, value));
        else
            values_.push_back(std::make_unique<Rule::Like>(key, value));
        operand_ = true;
        Reduce('&');
    }

    void Open() {
        if (operand_) throw std::runtime_error("too many values");
        ops_.push_back('(');
    }

    void Operator(const std::string& t) {
        if (!operand_) throw std::runtime_error("bad " + t);
        ops_.push_back(t == "and" ? '&' : '|');
        operand_ = false;
    }

    void Close() {
        if (!operand_) {
            if (!ops_.empty() && ops_.back() == '&') throw std::runtime_error("bad and");
            if (!ops_.empty() && ops_.back() == '|') throw std::runtime_error("bad or");
            throw std::runtime_error("bad ')'");
        }
        Reduce('|');
        if (ops_.empty() || ops_.back() != '(') throw std::runtime_error("bad ')'");
        ops_.pop_back();
        Reduce('&');
    }

    // Applies the pending operators op ('&' makes And, '|' makes Or) on top of the stack.
    void Reduce(char op) {
        while (!ops_.empty() && ops_.back() == op) {
            ops_.pop_back();
            if (values_.size() < 2) throw std::runtime_error(op == '&' ? "bad and" : "bad or");
            CondPtr right = std::move(values_.back());
            values_.pop_back();
            CondPtr left = std::move(values_.back());
            values_.pop_back();
            if (op == '&')
                values_.push_back(std::make_unique<Rule::And>(std::move(left), std::move(right)));
            else
                values_.push_back(std::make_unique<Rule::Or>(std::move(left), std::move(right)));
        }
    }

    std::vector<CondPtr> values_;
    std::vector<char> ops_;  // '(', '&' and '|'
    bool operand_ = false;   // the last token completed an operand
};

}  // namespace

Rule::Rule(int l, std::string text) : level(l) {
    if (text.find_first_not_of(kBlanks) == std::string::npos) return;
    ConditionParser parser;
    for (const std::string& t : Tokens("( " + text + " )")) parser.Take(t);
    condition = parser.Finish();
}

namespace {

const unsigned long long kDefaultMaxSize = 100000000ULL;
const unsigned long long kMinMaxSize = 102400ULL;
const std::size_t kCaptureLimit = 0x400000;
const std::size_t kCaptureKeep = 20;

const char* const kPlainLabels[] = {"WATCH", "NOTE", "FATAL", "ERROR", "WARNING",
                                    "INFO", "EXTINFO", "EXT", "TRACE", "DEBUG"};
const char* const kColorLabels[] = {"\033[34mWATCH",   "\033[1;34mNOTE", "\033[1;31mFATAL", "\033[1;31mERROR",
                                    "\033[1;35mWARNING", "\033[1;32mINFO", "\033[1;36mEXTINFO", "\033[36mEXT",
                                    "\033[1mTRACE",    "\033[1;33mDEBUG"};

int LabelIndex(Level level) {
    return level < 0 ? 0 : level > 9 ? 9 : level;
}

// Set while a thread formats or stores a line, applies the configuration or
// rotates, and for the whole life of the "thread" storage's writer: a line
// logged from there would re-enter the buffers or wait on a lock this thread holds.
thread_local bool t_busy = false;

class Busy {
public:
    Busy() : saved_(t_busy) { t_busy = true; }
    ~Busy() { t_busy = saved_; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    bool saved_;
};

// getpid() is a system call; a forked child refreshes the copy.
std::atomic<pid_t> g_pid{0};

// Set around the log's own forks (compression): their child makes system
// calls only, and the fork handlers, waiting there for the registry lock
// while this thread holds a storage's lock, could deadlock.
thread_local bool t_own_fork = false;

pid_t Pid() {
    pid_t p = g_pid.load(std::memory_order_relaxed);
    if (p == 0) {
        p = ::getpid();
        g_pid.store(p, std::memory_order_relaxed);
    }
    return p;
}

struct ThreadInfo {
    int number = 0;
    bool capture = false;
    std::deque<std::string> pieces;
    unsigned long long total = 0;
    std::string id;
    pid_t id_pid = 0;
};

// ---- storages ----

class Storage {
public:
    virtual const char* name() const = 0;
    virtual bool Good() const = 0;
    virtual void Write(const char* prefix, std::size_t prefix_len, const char* label, const char* message,
                       std::size_t message_len, const char* suffix) = 0;
    virtual void SetLimit(unsigned long long) {}
    // Takes (true) or releases (false) what a forked child's first line
    // needs, so that no other thread holds it at the fork; the caller holds
    // the registry lock throughout.
    virtual void ForkHold(bool) {}
    virtual ~Storage() {}
};

int FillLine(iovec* iov, const char* prefix, std::size_t prefix_len, const char* label, const char* message,
             std::size_t message_len, const char* suffix) {
    iov[0] = {const_cast<char*>(prefix), prefix_len};
    iov[1] = {const_cast<char*>(label), std::strlen(label)};
    iov[2] = {const_cast<char*>(" "), 1};
    iov[3] = {const_cast<char*>(message), message_len};
    iov[4] = {const_cast<char*>(suffix), std::strlen(suffix)};
    return 5;
}

class Console : public Storage {
public:
    const char* name() const override { return "console"; }
    bool Good() const override { return true; }
    void Write(const char* prefix, std::size_t prefix_len, const char* label, const char* message,
               std::size_t message_len, const char* suffix) override {
        iovec iov[5];
        vux_sys::WriteAll(2, iov, FillLine(iov, prefix, prefix_len, label, message, message_len, suffix));
    }
};

void LockFd(int fd, int op) {
    vux_sys::RetryAfterSignal([&] { return ::flock(fd, op); });
}

std::atomic<unsigned> g_compress_delay{60};

// The first fork lets the caller reap at once; the grandchild, re-parented,
// waits and then compresses.
void Compress(const std::string& backup) {
    std::string gzip = "/bin/gzip";
    if (const char* path = ::getenv("PATH")) {
        std::string dirs = path;
        std::size_t i = 0;
        while (i <= dirs.size()) {
            std::size_t e = dirs.find(':', i);
            if (e == std::string::npos) e = dirs.size();
            std::string candidate = (e > i ? dirs.substr(i, e - i) : std::string(".")) + "/gzip";
            if (::access(candidate.c_str(), X_OK) == 0) {
                gzip = candidate;
                break;
            }
            i = e + 1;
        }
    }
    const char* argv[] = {"gzip", "-9", backup.c_str(), nullptr};
    const unsigned delay = g_compress_delay.load();
    t_own_fork = true;
    pid_t child = ::fork();
    if (child != 0) t_own_fork = false;
    if (child < 0) throw std::runtime_error("Failed to fork");
    if (child == 0) {
        ::signal(SIGCHLD, SIG_IGN);
        if (::fork() == 0) {
            // Nothing of the logging program may stay open here for a minute:
            // a pipe held open would keep its reader waiting for the end.
            int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, 0);
                ::dup2(null, 1);
                ::dup2(null, 2);
            }
            if (::close_range(3, ~0U, 0) != 0)
                for (int fd = 3; fd < 4096; ++fd) ::close(fd);
            ::signal(SIGCHLD, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            unsigned left = delay;
            while (left > 0) left = ::sleep(left);
            ::execv(gzip.c_str(), const_cast<char* const*>(argv));
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status;
    vux_sys::RetryAfterSignal([&] { return ::waitpid(child, &status, 0); });
}

// Copies the file open on fd (whose exclusive flock the caller holds) into
// a new backup under "logs" beside it and empties it; returns the backup path.
std::string RotateLocked(int fd, const std::string& path) {
    const std::string dir = vux_file::SplitPath(path).first;
    const std::string logs = dir.empty() ? "logs" : dir == "/" ? "/logs" : dir + "/logs";
    struct stat st;
    if (::stat(logs.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw std::runtime_error("logs is not folder");
    } else if (!vux_sys::MakeDirs(logs)) {
        throw std::runtime_error("failed to create logs folder " + logs);
    }
    std::string stamp = vux_date::DateTime().AsDateTime();
    for (char& c : stamp)
        if (c == ' ' || c == '-' || c == ':') c = '_';
    const std::string stem = logs + "/" + vux_file::Name(path) + "." + stamp + ".";
    std::string backup;
    for (unsigned n = 0;; ++n) {
        backup = stem + std::to_string(n);
        if (!vux_sys::PathExists(backup) && !vux_sys::PathExists(backup + ".gz")) break;
    }
    int out = ::open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (out < 0) throw std::runtime_error("failed to create logs backup with name " + backup);
    char block[4096];
    off_t offset = 0;
    bool whole = true;
    for (;;) {
        const ssize_t n = vux_sys::RetryAfterSignal([&] { return ::pread(fd, block, sizeof block, offset); });
        if (n < 0) whole = false;
        if (n <= 0) break;
        if (!vux_sys::WriteAll(out, block, static_cast<std::size_t>(n))) {
            whole = false;
            break;
        }
        offset += n;
    }
    if (::close(out) != 0) whole = false;
    // Emptying the log after a failed copy would lose its lines; it stays
    // over the limit until the next attempt instead.
    if (!whole || ::ftruncate(fd, 0) != 0) {
        ::unlink(backup.c_str());
        throw std::runtime_error("failed to write log backup");
    }
    Compress(backup);
    return backup;
}

std::string LogPath(const std::string& program) {
    const char* env = ::getenv("VUX_LOGFILE");
    if (env && *env) {
        std::string path = env;
        // Children must not write into their parent's file.
        ::setenv("VUX_LOGFILE", "", 1);
        return path;
    }
    return "var/" + program + ".log";
}

class File : public Storage {
public:
    explicit File(const std::string& path, unsigned long long limit = kDefaultMaxSize)
        : limit_(limit), path_(path), pid_(Pid()) {
        Open();
    }

    const char* name() const override { return "file"; }
    bool Good() const override { return static_cast<bool>(fd_); }

    void Write(const char* prefix, std::size_t prefix_len, const char* label, const char* message,
               std::size_t message_len, const char* suffix) override {
        if (lock_.IsOwner()) return;
        vux_thread::SafeSection section(lock_);
        if (pid_ != Pid()) Reopen();
        VUX_ASSERT_AT(fd_, 419, __PRETTY_FUNCTION__, "Bad output");
        iovec iov[5];
        const int count = FillLine(iov, prefix, prefix_len, label, message, message_len, suffix);
        std::size_t size = 0;
        for (int i = 0; i < count; ++i) size += iov[i].iov_len;
        const int fd = fd_.fd();
        LockFd(fd, LOCK_EX);
        vux_sys::WriteAll(fd, iov, count);
        // The size is asked for when our own lines bring it to the limit, and
        // otherwise every few KiB only, for the lines of other processes:
        // each system call costs as much as the write.
        unchecked_ += size;
        known_end_ += size;
        if (unchecked_ >= kCheckEvery || known_end_ >= limit_) {
            unchecked_ = 0;
            RotateIfFull(fd);
        }
        LockFd(fd, LOCK_UN);
    }

    void SetLimit(unsigned long long size) override {
        vux_thread::SafeSection section(lock_);
        const bool smaller = size < limit_;
        limit_ = size;
        if (!smaller || !fd_) return;
        const int fd = fd_.fd();
        LockFd(fd, LOCK_EX);
        RotateIfFull(fd);
        LockFd(fd, LOCK_UN);
    }

    // The file's lock is only taken under the registry lock, so it is
    // free here; the section makes a forked child find it so too.
    void ForkHold(bool hold) override {
        if (hold)
            fork_section_.emplace(lock_);
        else
            fork_section_.reset();
    }

    const std::string& path() const { return path_; }

protected:
    static const std::size_t kCheckEvery = 4096;

    void Open() {
        vux_sys::MakeDirs(vux_file::SplitPath(path_).first);
        int fd = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd < 0) {
            std::fprintf(stderr,
                         "Failed to open logfile '%s'. You can change it using environment variable VUX_LOGFILE\n",
                         path_.c_str());
            return;
        }
        ::fchmod(fd, 0600);
        fd_ = fd;
        LockFd(fd, LOCK_EX);
        RotateIfFull(fd);
        LockFd(fd, LOCK_UN);
    }

    // A forked child shares the parent's open file, and with it the flock:
    // it needs an open file of its own to be kept apart from the parent.
    void Reopen() {
        pid_ = Pid();
        unchecked_ = 0;
        int fd = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd >= 0) fd_ = fd;
    }

    // The caller holds lock_ and the exclusive flock.
    void RotateIfFull(int fd) {
        off_t end = ::lseek(fd, 0, SEEK_END);
        if (end < 0) return;
        known_end_ = static_cast<unsigned long long>(end);
        if (known_end_ < limit_) return;
        try {
            const std::string backup = RotateLocked(fd, path_);
            known_end_ = 0;
            const std::string line = "Rotated. Previous file is " + backup + "\n";
            if (vux_sys::WriteAll(fd, line.data(), line.size())) known_end_ = line.size();
        } catch (...) {
            // The file stays over the limit until the next attempt.
        }
    }

    vux_thread::SafeLock lock_;
    std::optional<vux_thread::SafeSection> fork_section_;
    ResHandle fd_;
    unsigned long long limit_ = kDefaultMaxSize;
    std::string path_;
    pid_t pid_;
    std::size_t unchecked_ = 0;
    unsigned long long known_end_ = 0;  // the size last seen plus our lines since
};

// Writers only queue whole rows; one background thread writes them in
// batches, so that file I/O stays off the logging threads.
class ThreadFile : public File {
public:
    explicit ThreadFile(const std::string& path) : File(path), q_(new Queue) {
        if (Good()) q_->thread.Start(new vux_thread::Handle::Impl<vux_thread::RunIt_t<ThreadFile>>(vux_thread::RunIt(this)));
    }

    ~ThreadFile() noexcept override {
        if (pid_ != Pid()) {
            // The writer thread stayed in the parent, perhaps waiting on the
            // condition: destroying it would wait for that thread for ever.
            q_.release();
            return;
        }
        Queue& q = *q_;
        q.mutex.Lock();
        q.running = false;
        q.mutex.Unlock();
        q.cond.NotifyOne();
        q.space.NotifyAll();
        if (q.thread.joinable()) q.thread.join();
    }

    const char* name() const override { return "thread"; }

    // In a forked child the file's lock belongs to the parent's writer
    // thread: the limit goes to the child's own file.
    void SetLimit(unsigned long long size) override {
        if (pid_ == Pid()) return File::SetLimit(size);
        limit_ = size;
        if (child_) child_->SetLimit(size);
    }

    // The writer thread may hold the file's lock for a whole batch; a child
    // touches neither that lock nor the queue, only a file of its own.
    void ForkHold(bool hold) override {
        if (child_) child_->ForkHold(hold);
    }

    void Write(const char* prefix, std::size_t prefix_len, const char* label, const char* message,
               std::size_t message_len, const char* suffix) override {
        if (lock_.IsOwner()) return;
        if (pid_ != Pid()) {
            // No writer thread survives a fork: the child writes its own lines.
            if (!child_) child_ = std::make_unique<File>(path_, limit_);
            child_->Write(prefix, prefix_len, label, message, message_len, suffix);
            return;
        }
        Queue& q = *q_;
        VUX_ASSERT_AT(q.thread.joinable(), 493, __PRETTY_FUNCTION__, "Bad output");
        const std::size_t label_len = std::strlen(label), suffix_len = std::strlen(suffix);
        const std::size_t size = prefix_len + label_len + 1 + message_len + suffix_len;
        q.mutex.Lock();
        // Bounded, so that a slow disk holds the writers back instead of eating memory.
        while (q.running && !q.pending.empty() && q.pending.size() + size > kQueueLimit) q.space.Wait(q.mutex);
        q.pending.append(prefix, prefix_len).append(label, label_len).append(1, ' ');
        q.pending.append(message, message_len).append(suffix, suffix_len);
        q.pending_ends.push_back(q.pending.size());
        const bool wake = q.waiting;
        q.mutex.Unlock();
        if (wake) q.cond.NotifyOne();
    }

    void operator()() {
        t_busy = true;
        Queue& q = *q_;
        q.mutex.Lock();
        for (;;) {
            while (q.pending.empty() && q.running) {
                q.waiting = true;
                q.cond.Wait(q.mutex);
                q.waiting = false;
            }
            if (q.pending.empty()) break;
            q.pending.swap(q.writing);
            q.pending_ends.swap(q.writing_ends);
            q.mutex.Unlock();
            q.space.NotifyAll();
            try {
                Flush();
            } catch (...) {
                // A batch that cannot be written is dropped; the thread goes on.
            }
            q.writing.clear();
            q.writing_ends.clear();
            q.mutex.Lock();
        }
        q.mutex.Unlock();
    }

private:
    static const std::size_t kQueueLimit = 4 << 20;
    static const std::size_t kSlice = 64 << 10;

    // Apart from the storage, so that a forked child can leave it alone.
    struct Queue {
        vux_thread::Mutex mutex;
        vux_thread::Condition cond;
        vux_thread::Condition space;
        bool running = true;
        bool waiting = false;
        vux_thread::Handle thread;
        std::string pending, writing;
        std::vector<std::size_t> pending_ends, writing_ends;
    };

    // Slices end on row ends, so a rotation never splits a row.
    void Flush() {
        vux_thread::SafeSection section(lock_);
        VUX_ASSERT_AT(fd_, 493, __PRETTY_FUNCTION__, "Bad output");
        const int fd = fd_.fd();
        const std::string& rows = q_->writing;
        const std::vector<std::size_t>& ends = q_->writing_ends;
        std::size_t start = 0, row = 0;
        while (start < rows.size()) {
            std::size_t end = ends[row++];
            while (row < ends.size() && ends[row] - start <= kSlice) end = ends[row++];
            LockFd(fd, LOCK_EX);
            vux_sys::WriteAll(fd, rows.data() + start, end - start);
            RotateIfFull(fd);
            LockFd(fd, LOCK_UN);
            start = end;
        }
    }

    std::unique_ptr<Queue> q_;
    std::unique_ptr<File> child_;
};

// ---- the log object and the registry ----

struct Log {
    Log(const std::string& n, Level l) : name(n), level(l) {}
    std::string name;
    Level level;
    bool color = true;
    unsigned long long max_size = kDefaultMaxSize;
    std::unique_ptr<Storage> storage;
    std::string path;  // chosen once: VUX_LOGFILE is cleared after its first use
    std::string prefix;
    std::vector<char> message = std::vector<char>(256);
    time_t stamp_time = -1;
    char stamp[16] = {};
};

void PrepareFork();
void ParentAfterFork();
void ChildAfterFork();

struct Global {
    Global() : defaults(std::make_shared<Info>("", "core")) {
        ::pthread_atfork(&PrepareFork, &ParentAfterFork, &ChildAfterFork);
    }

    vux_thread::SafeLock lock;
    std::shared_ptr<Info> defaults;
    std::map<std::string, std::shared_ptr<Info>> modules;
    int threads = 0;
    vux_thread::AutoKey<ThreadInfo> thread;
    std::atomic<Log*> log{nullptr};
    std::vector<const Info::Rules*> retired;
    std::set<std::string> reported;
    std::map<std::string, Level> binaries;
    // The program the rules were last loaded for, for a Reload without a log object.
    bool loaded = false;
    std::string name;
    Level level = 0;
};

// Never destroyed: modules are used from static destructors of other files.
Global& GetGlobal() {
    static Global* global = new Global;
    return *global;
}

// Walks under way outside the registry lock. A walk counts itself before it
// loads the rule sets, and the loader looks at the count after publishing new
// ones: seeing 0 then, no walk can still hold a replaced set.
std::atomic<int> g_walkers{0};

// The registry lock (and what the storage needs) is held across every fork,
// so that a child never inherits it held by a thread it does not have.
thread_local std::optional<vux_thread::SafeSection> t_fork_section;
thread_local Storage* t_fork_storage = nullptr;

void PrepareFork() {
    if (t_own_fork) return;
    Global& g = GetGlobal();
    t_fork_section.emplace(g.lock);
    Log* log = g.log.load();
    if (log && log->storage) {
        t_fork_storage = log->storage.get();
        t_fork_storage->ForkHold(true);
    }
}

void ReleaseFork() {
    if (t_fork_storage) t_fork_storage->ForkHold(false);
    t_fork_storage = nullptr;
    t_fork_section.reset();
}

void ParentAfterFork() {
    ReleaseFork();
}

void ChildAfterFork() {
    g_pid.store(::getpid(), std::memory_order_relaxed);
    // A walk of another thread was under way at the fork: it never ends here.
    g_walkers.store(0, std::memory_order_relaxed);
    ReleaseFork();
}

// The lists a Check consults, in order (null where a set has none): the
// module's program rules, those of all modules, the module's generic rules,
// those of all modules.
struct Lists {
    Lists(const Info& module, const Info& defaults) {
        const Info::Rules* m = module.rules.load(std::memory_order_seq_cst);
        const Info::Rules* d = defaults.rules.load(std::memory_order_seq_cst);
        list[0] = m ? &m->specific : nullptr;
        list[1] = d ? &d->specific : nullptr;
        list[2] = m ? &m->generic : nullptr;
        list[3] = d ? &d->generic : nullptr;
    }
    const Info::RuleList* list[4];
};

const Rule* Decide(const Info& module, const Info& defaults) {
    for (const Info::RuleList* list : Lists(module, defaults).list) {
        if (!list) continue;
        for (const auto& rule : *list)
            if (rule->Holds()) return rule.get();
    }
    return nullptr;
}

int FastLevel(const Info& module, const Info& defaults) {
    for (const Info::RuleList* list : Lists(module, defaults).list) {
        if (!list || list->empty()) continue;
        const Rule& first = *list->front();
        // A level equal to a marker is left to a walk, which answers exactly.
        if (first.condition || first.level == Info::kNoRule || first.level == Info::kWalk) return Info::kWalk;
        return first.level;
    }
    return Info::kNoRule;
}

// Every level a rule of that level admits, and bit 63 for the levels outside 0..62.
std::uint64_t Admits(int level) {
    if (level == Info::kNoRule) return 0;
    if (level == Info::kWalk || level >= 62) return ~std::uint64_t(0);
    const std::uint64_t out_of_range = std::uint64_t(1) << 63;
    if (level < 0) return out_of_range;
    return ((std::uint64_t(1) << (level + 1)) - 1) | out_of_range;
}

void StoreFast(Info& module, const Info& defaults) {
    const int level = FastLevel(module, defaults);
    module.SetFast(level, Admits(level));
}

ThreadInfo& Thread(Global& g) {
    ThreadInfo* t = g.thread.Get();
    if (t->number == 0) t->number = ++g.threads;
    const pid_t pid = Pid();
    if (t->id_pid != pid) {
        t->id = std::to_string(pid) + ":" + std::to_string(t->number);
        t->id_pid = pid;
    }
    return *t;
}

void Capture(ThreadInfo& t, std::string piece) {
    while (t.total + piece.size() > kCaptureLimit && t.pieces.size() > kCaptureKeep) {
        t.total -= t.pieces.front().size();
        t.pieces.pop_front();
    }
    t.total += piece.size();
    t.pieces.push_back(std::move(piece));
}

std::size_t Format(std::vector<char>& buffer, const char* format, va_list ap) {
    for (;;) {
        va_list copy;
        va_copy(copy, ap);
        int n = std::vsnprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n < 0) throw vux_err::Error("system", "vsnprintf");
        if (static_cast<std::size_t>(n) < buffer.size()) return static_cast<std::size_t>(n);
        buffer.resize(std::max(buffer.size() * 2, static_cast<std::size_t>(n) + 1));
    }
}

// Formats the prefix and hands one line to the storage; the caller holds the registry lock.
void Emit(Global& g, Log& log, const std::string& module, Level level, const char* message, std::size_t len) {
    Busy busy;
    ThreadInfo& t = Thread(g);
    const time_t now = ::time(nullptr);
    if (now != log.stamp_time) {
        char text[32];
        ::ctime_r(&now, text);
        std::memcpy(log.stamp, text + 4, 15);
        log.stamp[15] = 0;
        log.stamp_time = now;
    }
    std::string& p = log.prefix;
    p.assign(log.stamp, 15);
    p.append(" [").append(t.id).append("] ").append(module).append(1, ' ');
    const int i = LabelIndex(level);
    log.storage->Write(p.data(), p.size(), log.color ? kColorLabels[i] : kPlainLabels[i], message, len,
                       log.color ? "\033[0m\n" : "\n");
    if (t.capture) {
        // One piece per line, so that dropping old pieces never tears a line.
        std::string piece;
        piece.reserve(p.size() + 10 + len);
        piece.append(p).append(kPlainLabels[i]).append(1, ' ').append(message, len).append(1, '\n');
        Capture(t, std::move(piece));
    }
}

// ---- configuration ----

struct Problem {
    std::string key;  // file and line text: the same line is reported once
    std::string text;
};

struct Settings {
    std::map<std::string, std::string> values{{"storage", "file"}, {"max_log_size", "100000000"}, {"color", "on"}};
    std::set<std::string> fixed;
};

struct ParsedRule {
    bool specific;
    std::string module;
    std::unique_ptr<Rule> rule;
};

struct Parsed {
    std::vector<ParsedRule> rules;
    Settings settings;
    std::vector<Problem> problems;
};

std::string NextWord(const std::string& s, std::size_t& i) {
    i = s.find_first_not_of(kBlanks, i);
    if (i == std::string::npos) {
        i = s.size();
        return "";
    }
    std::size_t e = s.find_first_of(kBlanks, i);
    if (e == std::string::npos) e = s.size();
    std::string w = s.substr(i, e - i);
    i = e;
    return w;
}

bool ParseLevel(const std::string& s, int& out) {
    if (s.empty()) return false;
    std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size()) return false;
    for (std::size_t j = i; j < s.size(); ++j)
        if (s[j] < '0' || s[j] > '9') return false;
    errno = 0;
    long v = std::strtol(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v > INT_MAX) v = INT_MAX;
    // Clamped as rule files have always been read, so that extreme levels keep their meaning.
    if (v < INT_MIN + 2) v = INT_MIN + 2;
    out = static_cast<int>(v);
    return true;
}

bool AllDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

void ParseLine(const std::string& raw, const std::string& source, int number, const std::string& program,
               Parsed& out) {
    std::string line = raw.substr(0, raw.find('#'));
    std::size_t i = 0;
    const std::string word = NextWord(line, i);
    if (word.empty()) return;
    const std::size_t b = line.find_first_not_of(kBlanks), e = line.find_last_not_of(kBlanks);
    const std::string trimmed = line.substr(b, e - b + 1);
    const std::string where = source + ":" + std::to_string(number);
    auto problem = [&](const std::string& why, const char* fate = "ignored") {
        out.problems.push_back({source + "\n" + trimmed, "Malformed line " + where + " " + fate + " (" + why + "): " + trimmed});
    };
    if (word == "SET") {
        const std::string pair = NextWord(line, i);
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos) return problem("expected SET key=value");
        std::string key = pair.substr(0, eq);
        const std::string value = pair.substr(eq + 1);
        bool specific = false;
        const std::size_t dot = key.rfind('.');
        if (dot != std::string::npos) {
            if (key.substr(0, dot) != program) return;
            key = key.substr(dot + 1);
            specific = true;
        }
        if (key != "storage" && key != "max_log_size" && key != "color") return;
        // Still read as the number it starts with (none: the minimum), but said.
        if (key == "max_log_size" && !AllDigits(value))
            problem("max_log_size is not a number", "read as far as it is one");
        Settings& s = out.settings;
        if (s.fixed.count(key)) return;
        s.values[key] = value;
        if (specific) s.fixed.insert(key);
        return;
    }
    bool specific = false;
    std::string module = word;
    const std::size_t dot = word.rfind('.');
    if (dot != std::string::npos) {
        const std::string prog = word.substr(0, dot);
        if (prog != "*" && !prog.empty() && prog != program) return;
        specific = prog == program;
        module = word.substr(dot + 1);
    }
    int level;
    if (!ParseLevel(NextWord(line, i), level)) return problem("bad level");
    const std::size_t c = line.find_first_not_of(kBlanks, i);
    std::unique_ptr<Rule> rule;
    try {
        rule = std::make_unique<Rule>(level, c == std::string::npos ? std::string() : line.substr(c));
    } catch (const std::runtime_error& err) {
        return problem(err.what());
    }
    rule->source = where + ": " + trimmed;
    out.rules.push_back({specific, module, std::move(rule)});
}

// A missing file gives false; an unreadable one is a problem.
bool ReadText(const std::string& path, std::string& out, Parsed& parsed) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            parsed.problems.push_back({path + "\n", std::string("Cannot read ") + path + ": " + std::strerror(errno)});
        return false;
    }
    char buf[8192];
    ssize_t n;
    while ((n = vux_sys::ReadSome(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return true;
}

void ParseText(const std::string& text, const std::string& source, const std::string& program, Parsed& out) {
    std::size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ParseLine(text.substr(start, end - start), source, ++number, program, out);
        start = end + 1;
    }
}

void ParseFiles(const std::string& program, Parsed& out) {
    std::vector<std::string> files;
    if (DIR* dir = ::opendir("etc/debug.conf.d")) {
        while (dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".conf") != 0) continue;
            const std::string path = "etc/debug.conf.d/" + name;
            struct stat st;
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(path);
        }
        ::closedir(dir);
    }
    std::sort(files.begin(), files.end());
    files.push_back("etc/debug.conf");
    for (const std::string& f : files) {
        std::string text;
        if (ReadText(f, text, out)) ParseText(text, f, program, out);
    }
}

// Writes a line whatever the rules say; the caller holds the registry lock.
void WriteRaw(Global& g, Log& log, const char* module, Level level, const std::string& text) {
    if (!log.storage || !log.storage->Good()) return;
    Emit(g, log, module, level, text.data(), text.size());
}

void Report(Global& g, const std::vector<Problem>& problems, StringList* out) {
    for (const Problem& p : problems) {
        if (out) {
            out->push_back(p.text);
            continue;
        }
        if (!g.reported.insert(p.key).second) continue;
        Log* log = g.log.load();
        if (log && log->storage && log->storage->Good())
            WriteRaw(g, *log, "log", LevelWarning, p.text);
        else
            std::fprintf(stderr, "%s\n", p.text.c_str());
    }
}

void ApplyRules(Global& g, bool init, Level level, Parsed& parsed) {
    for (auto& m : g.modules) m.second->Clear();
    g.defaults->Clear();
    std::stable_sort(parsed.rules.begin(), parsed.rules.end(), [](const ParsedRule& a, const ParsedRule& b) {
        if (a.specific != b.specific) return a.specific;
        const bool ac = static_cast<bool>(a.rule->condition), bc = static_cast<bool>(b.rule->condition);
        if (ac != bc) return !ac;
        return a.rule->level > b.rule->level;
    });
    bool plain_default = false;
    for (ParsedRule& r : parsed.rules) {
        Info* target = nullptr;
        if (r.module == "*") {
            target = g.defaults.get();
            if (!r.rule->condition) plain_default = true;
        } else {
            auto it = g.modules.find(r.module);
            if (it != g.modules.end()) {
                target = it->second.get();
            } else if (init) {
                // Modules of code loaded later still get the rules read now.
                auto info = std::make_shared<Info>(r.module, "core");
                info->Clear();
                target = info.get();
                g.modules[r.module] = info;
            }
        }
        if (target) target->Add(r.specific, std::move(r.rule));
    }
    if (!plain_default) {
        auto rule = std::make_unique<Rule>(level, std::string());
        rule->source = "the level given to Init (" + std::to_string(level) + ")";
        g.defaults->Add(false, std::move(rule));
    }
    if (const Info::Rules* old = g.defaults->Publish()) g.retired.push_back(old);
    for (auto& m : g.modules)
        if (const Info::Rules* old = m.second->Publish()) g.retired.push_back(old);
    if (!g.retired.empty() && g_walkers.load(std::memory_order_seq_cst) == 0) {
        for (const Info::Rules* old : g.retired) delete old;
        g.retired.clear();
    }
    for (auto& m : g.modules) StoreFast(*m.second, *g.defaults);
}

void ApplySettings(Global& g, Log& log, const Settings& s, const std::vector<Problem>& problems) {
    const std::string& type = s.values.at("storage");
    if (!log.storage || type != log.storage->name()) {
        std::unique_ptr<Storage> fresh;
        if (type == "file" || type == "thread") {
            if (log.path.empty()) log.path = LogPath(log.name);
            if (type == "file")
                fresh = std::make_unique<File>(log.path);
            else
                fresh = std::make_unique<ThreadFile>(log.path);
        } else if (type == "console") {
            fresh = std::make_unique<Console>();
        } else {
            Report(g, problems, nullptr);
            throw std::runtime_error("bad storage type");
        }
        log.storage.swap(fresh);
    }
    // strtoull reads "-1" as the largest value: a negative size is below the minimum.
    const std::string& text = s.values.at("max_log_size");
    unsigned long long size = text.empty() || text[0] == '-' ? 0 : std::strtoull(text.c_str(), nullptr, 10);
    if (size < kMinMaxSize) size = kMinMaxSize;
    log.max_size = size;
    log.storage->SetLimit(size);
    log.color = s.values.at("color") != "off";
    Report(g, problems, nullptr);
}

// Settings need a log object; without one (LoadRules) only the rules are loaded.
void Load(Global& g, bool init, const std::string& name, Level level, bool settings, StringList* problems) {
    Parsed parsed;
    ParseFiles(name, parsed);
    ApplyRules(g, init, level, parsed);
    g.loaded = true;
    g.name = name;
    g.level = level;
    Log* log = g.log.load();
    if (settings && log)
        ApplySettings(g, *log, parsed.settings, parsed.problems);
    else
        Report(g, parsed.problems, problems);
}

}  // namespace

// ---- modules ----

Module::Module(const char* name, const char* binary) {
    Global& g = GetGlobal();
    const std::string key = name ? name : "";
    vux_thread::SafeSection section(g.lock);
    std::shared_ptr<Info>& slot = g.modules[key];
    if (!slot) {
        slot = std::make_shared<Info>(key, binary ? binary : "core");
        StoreFast(*slot, *g.defaults);
    }
    info_ = slot;
    info_->Attach(*this);
}

Module::Module(const Module& other) : info_(other.info_) {
    vux_thread::SafeSection section(GetGlobal().lock);
    info_->Attach(*this);
}

Module& Module::operator=(const Module& other) {
    if (info_ == other.info_) return *this;
    vux_thread::SafeSection section(GetGlobal().lock);
    info_->Detach(*this);
    info_ = other.info_;
    info_->Attach(*this);
    return *this;
}

Module::~Module() {
    vux_thread::SafeSection section(GetGlobal().lock);
    info_->Detach(*this);
}

bool Module::Walk(Level level) const {
    struct Walking {
        Walking() { g_walkers.fetch_add(1, std::memory_order_seq_cst); }
        ~Walking() { g_walkers.fetch_sub(1, std::memory_order_release); }
    } walking;
    const Rule* rule = Decide(*info_, *GetGlobal().defaults);
    return rule && level <= rule->level;
}

void Module::Write(Level level, const char* format, ...) const {
    if (t_busy) return;
    Global& g = GetGlobal();
    if (!g.log.load(std::memory_order_acquire)) return;
    vux_thread::SafeSection section(g.lock);
    Log* log = g.log.load(std::memory_order_relaxed);
    if (!log || !log->storage || !log->storage->Good()) return;
    Busy busy;
    va_list ap;
    va_start(ap, format);
    std::size_t len;
    try {
        len = Format(log->message, format, ap);
    } catch (...) {
        va_end(ap);
        throw;
    }
    va_end(ap);
    Emit(g, *log, info_->name, level, log->message.data(), len);
}

const std::string& Module::Name() const {
    return info_->name;
}

std::string Module::Explain(Level) const {
    Global& g = GetGlobal();
    vux_thread::SafeSection section(g.lock);
    const Lists lists(*info_, *g.defaults);
    const char* kinds[4] = {"program rule of module", "program rule of all modules", "rule of module",
                            "rule of all modules"};
    for (int i = 0; i < 4; ++i) {
        if (!lists.list[i]) continue;
        for (const auto& rule : *lists.list[i])
            if (rule->Holds())
                return rule->source + " [" + kinds[i] + (i % 2 == 0 ? " " + info_->name : std::string()) + "]";
    }
    return "";
}

// ---- the log ----

void Init(const std::string& name, Level level) {
    Global& g = GetGlobal();
    vux_thread::SafeSection section(g.lock);
    Busy busy;
    Log* log = g.log.load();
    if (!log) {
        log = new Log(name, level);
        g.log.store(log, std::memory_order_release);
    }
    Load(g, true, log->name, log->level, true, nullptr);
}

void Reload() {
    Global& g = GetGlobal();
    vux_thread::SafeSection section(g.lock);
    Busy busy;
    Log* log = g.log.load();
    if (log) {
        if (log->storage && !log->storage->Good()) return;
        Load(g, false, log->name, log->level, true, nullptr);
    } else if (g.loaded) {
        Load(g, false, g.name, g.level, false, nullptr);
    }
}

void LoadRules(const std::string& name, Level level, StringList* problems) {
    Global& g = GetGlobal();
    vux_thread::SafeSection section(g.lock);
    Busy busy;
    Load(g, true, name, level, false, problems);
}

void Close() {
    Global& g = GetGlobal();
    vux_thread::SafeSection section(g.lock);
    Busy busy;
    Log* log = g.log.load();
    if (!log) return;
    log->color = false;
    WriteRaw(g, *log, "log", LevelInfo, "Finished");
    g.log.store(nullptr, std::memory_order_release);
    delete log;
}

bool Has() {
    return GetGlobal().log.load(std::memory_order_acquire) != nullptr;
}

unsigned long long MaxLogSize() {
    Global& g = GetGlobal();
    vux_thread::SafeSection section(g.lock);
    Log* log = g.log.load();
    return log ? log->max_size : kDefaultMaxSize;
}

std::string Rotate(const std::string& path) {
    Busy busy;
    vux_file::Lock lock(path, true);
    return RotateLocked(lock.GetResHandle().fd(), path);
}

std::string Id() {
    Global& g = GetGlobal();
    vux_thread::SafeSection section(g.lock);
    return Thread(g).id;
}

void StartThreadLog() {
    GetGlobal().thread.Get()->capture = true;
}

std::string GetThreadLog() {
    const ThreadInfo* t = GetGlobal().thread.Get();
    std::string out;
    out.reserve(t->total);
    for (const std::string& piece : t->pieces) out += piece;
    return out;
}

void GetModulesList(StringList& out) {
    GetModulesList("*", out);
}

void GetModulesList(const std::string& binary, StringList& out) {
    Global& g = GetGlobal();
    vux_thread::SafeSection section(g.lock);
    for (const auto& m : g.modules)
        if (binary == "*" || m.second->program == binary) out.push_back(m.first);
}

void AddBinary(const std::string& name, Level level) {
    Global& g = GetGlobal();
    vux_thread::SafeSection section(g.lock);
    g.binaries[name] = level;
}

void GetBinarysList(StringList& out) {
    Global& g = GetGlobal();
    vux_thread::SafeSection section(g.lock);
    for (const auto& b : g.binaries) out.push_back(b.first);
}

void SetCompressDelay(unsigned seconds) {
    g_compress_delay.store(seconds);
}

}  // namespace vux_log

void InitInteractiveLog() {
    vux_log::Init("", vux_log::LevelDebug);
}
