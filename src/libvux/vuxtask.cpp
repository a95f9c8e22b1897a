#include <libvux/vuxtask.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <libvux/vuxdate.h>
#include <libvux/vuxenv.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxthread.h>

#include "private/vuxsys.h"

extern char** environ;

VUX_LOG_MODULE("longtask")

namespace vux_task {

namespace {

const char kRunner[] = "sbin/lt_wrapper";
const char* const kSections[] = {"[params]", "[result]", "[environment]"};

std::string QueueDir(const std::string& queue) { return vux_file::ConcatPath("var/run", queue); }

std::string StateFile(const std::string& queue) { return vux_file::ConcatPath("var/run", queue, ".state"); }

bool IsSectionLine(const std::string& line) {
    for (const char* s : kSections)
        if (line == s) return true;
    return false;
}

// The header: the lines before the first section.
std::string HeaderOf(const std::string& content) {
    std::size_t end = std::string::npos;
    for (const char* s : kSections) end = std::min(end, content.find(std::string("\n") + s + "\n"));
    return content.substr(0, end);
}

std::string HeaderValue(const std::string& content, const std::string& key) {
    std::map<std::string, std::string> header;
    str::Split(HeaderOf(content), "\n", header);
    auto it = header.find(key);
    return it == header.end() ? std::string() : it->second;
}

// Lock::Read goes on from where the descriptor stands; a description is always read whole.
std::string ReadLocked(vux_file::Lock& lock) {
    if (::lseek(lock.GetResHandle().fd(), 0, SEEK_SET) < 0) throw vux_file::Lock::LockFail("lock_read");
    return lock.Read();
}

// Lines exactly as written: results and parameters keep their blanks and empty lines.
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

void MarkFailed(vux_file::Lock& lock) {
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s", __PRETTY_FUNCTION__);
    std::string header, sections;
    bool in_header = true;
    for (const std::string& line : Lines(ReadLocked(lock))) {
        if (in_header && IsSectionLine(line)) in_header = false;
        if (!in_header) {
            sections += line + "\n";
        } else if (line.substr(0, line.find('=')) != "status") {
            header += line + "\n";
        }
    }
    lock.Write(header + "status=ERR\n" + sections);
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

void OpenDevNull() {
    ::open("/dev/null", O_RDONLY);
    ::open("/dev/null", O_WRONLY);
    ::open("/dev/null", O_WRONLY);
}

[[noreturn]] void RunLauncherChild(char** argv, char** envp) {
    static const std::set<int> none;
    vux_proc::CloseFiles(none);
    OpenDevNull();
    ::setpgid(0, 0);
    ::setpgrp();
    pid_t pid = ::fork();
    // The runner is re-parented at once, so it never becomes the caller's zombie.
    if (pid != 0) ::_exit(0);
    ::execve(kRunner, argv, envp);
    ::_exit(1);
}

// The first task the queue's state names, or "".
std::string FirstListed(const std::string& state) {
    for (const std::string& line : Lines(state))
        if (!line.empty()) return line;
    return std::string();
}

std::string Unlisted(const std::string& state, const std::string& entry) {
    std::string out;
    for (const std::string& line : Lines(state))
        if (!line.empty() && line != entry) out.append(line).append("\n");
    return out;
}

// Waits, holding `state` between looks, until the queue's state names no task. A task whose
// runner is gone would be waited for forever: it is marked failed and struck off instead.
void WaitForQueue(const std::string& queue, vux_file::Lock& state) {
    for (;;) {
        const std::string text = ReadLocked(state);
        const std::string entry = FirstListed(text);
        if (entry.empty()) return;
        VUX_LOG(VuxLogModule(), vux_log::LevelExt, "Waiting for '%s'", entry.c_str());
        const std::string other = vux_file::ConcatPath(QueueDir(queue), vux_file::Name(entry));
        vux_file::Lock task;
        if (!vux_file::Exists(other) || task.TryLock(other, true)) {
            if (task) MarkFailed(task);
            state.Write(Unlisted(text, entry));
            continue;
        }
        task.Release();
        state.Release();
        task.DoLock(other, false);
        task.Release();
        state.DoLock(StateFile(queue), true);
    }
}

// Descriptors 0-2 on /dev/null, the description's lock on 3, the task's output on 4; nothing else.
void HandOverDescriptors(int lock, int output) {
    const int high_lock = ::fcntl(lock, F_DUPFD, 10);
    const int high_output = ::fcntl(output, F_DUPFD, 10);
    vux_proc::CloseFiles({high_lock, high_output});
    OpenDevNull();
    ::dup2(high_lock, 3);
    ::dup2(high_output, 4);
    ::close(high_lock);
    ::close(high_output);
}

}  // namespace

std::string TaskInfoFile(const std::string& name, const std::string& id, const std::string& queue) {
    std::string last = vux_file::Name(vux_file::GoodPath(name));
    std::string word = str::GetWord(last, '.');
    return vux_file::ConcatPath("var/run", queue, str::Append(word, id, "."));
}

namespace {

// The description holds one item a line: a line break or a section marker inside one would
// turn into other parameters, header keys or a forged result when read back.
void CheckItem(const std::string& item) {
    if (item.find('\n') == std::string::npos && !IsSectionLine(item)) return;
    throw vux_err::Error("value", "longtask", item);
}

}  // namespace

struct LongTask::Data {
    std::string name;
    std::string id;
    std::string queue;
    std::set<std::string> depends;
    std::vector<std::string> params;
    std::map<std::string, std::string> env;
    vux_file::Lock lock;
};

LongTask::LongTask() {}

LongTask::LongTask(const std::string& name, const std::string& id, const std::string& queue)
    : data_(std::make_shared<Data>()) {
    data_->name = name;
    data_->id = id;
    data_->queue = queue;
}

LongTask::Data& LongTask::Need() const {
    VUX_ASSERT(data_, "dummy long task");
    return *data_;
}

const std::string& LongTask::name() const { return Need().name; }
const std::string& LongTask::id() const { return Need().id; }
const std::string& LongTask::queue() const { return Need().queue; }

LongTask& LongTask::SetDepend(const std::string& task) {
    Need().depends.insert(task);
    return *this;
}

LongTask& LongTask::SetParams(const std::vector<std::string>& params) {
    Need().params = params;
    return *this;
}

LongTask& LongTask::SetParam(const std::string& param) {
    Need().params.push_back(param);
    return *this;
}

LongTask& LongTask::SetEnv(const std::string& name, const std::string& value) {
    Need().env[name] = value;
    return *this;
}

std::string LongTask::GetContent() const {
    const Data& d = Need();
    std::string out = "status=PRE\ncreated=" + std::string(vux_date::AccurateDateTime());
    out.append("\nrealname=").append(d.name);
    std::string manager = vux_env::GetEnv("VUX_NAME");
    if (!manager.empty()) out.append("\nmanager=").append(manager);
    for (const std::string& dep : d.depends) out.append("\ndepend=").append(dep);
    if (!d.params.empty()) out.append("\n[params]");
    for (const std::string& p : d.params) out.append("\n").append(p);
    if (!d.env.empty()) out.append("\n[environment]");
    for (const auto& [key, value] : d.env) out.append("\n").append(key).append("=").append(value);
    return out;
}

bool LongTask::Lock() {
    Data& d = Need();
    const std::string path = TaskInfoFile(d.name, d.id, d.queue);
    vux_file::MkDir(QueueDir(d.queue));
    vux_file::Lock state(StateFile(d.queue), true);
    if (!d.lock.TryLock(path, true)) return false;
    if (HeaderValue(ReadLocked(d.lock), "status") == "PRE") {
        // Queued by someone else already.
        d.lock.Release();
        return false;
    }
    d.lock.Write(GetContent());
    return true;
}

void LongTask::Start(int mode) {
    VUX_ASSERT(mode & (1 | 8), "Unknown Longtask mode");
    VUX_ASSERT(mode & (2 | 4), "Unknown Longtask startup mode");
    const Data& d = Need();
    for (const std::string& item : {d.name, d.id, d.queue}) CheckItem(item);
    for (const std::string& item : d.depends) CheckItem(item);
    for (const std::string& item : d.params) CheckItem(item);
    for (const auto& [key, value] : d.env) CheckItem(key + "=" + value);
    if (!(mode & 8)) {
        new LongTaskJob(*this, mode | 8 | 2);
        return;
    }
    if (Need().lock) {
        Start(std::string(), 0);
        return;
    }
    // The runner removes the content file once it has read it: it starts after we return.
    vux_file::Tmp tmp("tmp/longtask");
    vux_file::Write(tmp.name(), GetContent());
    Start(tmp.name(), mode);
    tmp.Keep();
}

void LongTask::Start(const std::string& file, int mode) {
    const Data& d = Need();
    VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "Start longtask '%s' with id '%s' in queue '%s'", d.name.c_str(),
            d.id.c_str(), d.queue.c_str());
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        if (!str::StartsWith(*e, "VUX_LT_PID=")) env.push_back(*e);
    env.push_back("VUX_LT_PID=dummy");
    std::vector<std::string> args = {kRunner, TaskInfoFile(d.name, d.id, d.queue)};
    if (!file.empty()) {
        args.push_back((mode & 4) ? "--restart" : "--reenter");
        args.push_back(file);
    }
    std::vector<char*> argv = CStrings(args);
    std::vector<char*> envp = CStrings(env);

    pid_t pid = ::fork();
    if (pid < 0) throw vux_err::System("fork", errno);
    if (pid == 0) RunLauncherChild(argv.data(), envp.data());
    vux_thread::SetStateC("waitpid");
    if (vux_sys::RetryAfterSignal([&] { return ::waitpid(pid, nullptr, 0); }) < 0)
        VUX_LOG(VuxLogModule(), vux_log::LevelError, "Waitpid for child process %d filed %d", pid, errno);
}

LongTaskJob::LongTaskJob(const LongTask& task, int mode) : task_(task), mode_(mode) {}

void LongTaskJob::onCommit() { task_.Start(mode_ | 8 | 2); }

void LongTaskJob::onRollback() {
    // Only a description this process queued is ours to take back.
    if (!task_.Need().lock) return;
    vux_file::Lock state(StateFile(task_.queue()), false);
    vux_file::RemoveFile(TaskInfoFile(task_.name(), task_.id(), task_.queue()));
    task_.Need().lock.Release();
}

bool IsRuning(const std::string& name, const std::string& id, const std::string& queue) {
    const std::string path = TaskInfoFile(name, id, queue);
    if (!vux_file::Exists(path)) return false;
    vux_file::Lock state(StateFile(queue), false);
    VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "Check longtask '%s' with id '%s' in queue '%s'", name.c_str(),
            id.c_str(), queue.c_str());
    vux_file::Lock task;
    if (!task.TryLock(path, false)) return true;
    return HeaderValue(ReadLocked(task), "status") == "PRE";
}

void Kill(const std::string& name, const std::string& id, const std::string& queue, int timeout) {
    const std::string path = TaskInfoFile(name, id, queue);
    if (!vux_file::Exists(QueueDir(queue)) || !vux_file::Exists(path)) return;
    vux_file::Lock state(StateFile(queue), true);
    vux_file::Lock task;
    if (task.TryLock(path, false)) {
        // No runner holds it: it must never start.
        MarkFailed(task);
        return;
    }
    // A pid of 0 or 1 would reach our own process group or init.
    const std::string pid = HeaderValue(vux_file::ReadE(path), "pid");
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(pid.c_str(), &end, 10);
    if (pid.empty() || *end || errno || n <= 1 || n > 0x3fffffff) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Longtask '%s' has no usable pid '%s'", path.c_str(),
                pid.c_str());
        return;
    }
    vux_proc::Kill(static_cast<vux_proc::Pid_t>(n), timeout);
}

std::map<std::string, std::string> GetInfo(const std::string& name, const std::string& id,
                                           const std::string& queue) {
    std::map<std::string, std::string> info;
    if (vux_file::Exists(QueueDir(queue))) {
        vux_file::Lock state(StateFile(queue), false);
        std::string content = vux_file::ReadE(TaskInfoFile(name, id, queue));
        const std::string marker = "\n[result]\n";
        const std::size_t at = content.rfind(marker);
        std::string result;
        if (at != std::string::npos) {
            result = str::Trim(content.substr(at + marker.size()));
            content.erase(at);
        }
        std::string header = str::GetWord(content, "\n[params]\n");
        header = str::GetWord(header, "\n[environment]\n");
        str::Split(header, "\n", info);
        info.erase("depend");
        if (at != std::string::npos) info["result"] = result;
    }
    info.emplace("status", "OK");
    return info;
}

void Emulate(int argc, char** argv, const std::string& id, const std::string& queue, const std::string& manager) {
    if (!vux_env::GetEnv("VUX_LT_PID").empty()) {
        vux_env::DropEnv("VUX_LT_PID");
        return;
    }
    VUX_ASSERT(argc >= 1 && argv && argv[0], "no program name");
    const std::string name = argv[0];
    const std::string path = TaskInfoFile(name, id, queue);
    vux_file::Lock state;
    if (!queue.empty()) {
        vux_file::MkDir(QueueDir(queue));
        state.DoLock(StateFile(queue), true);
        WaitForQueue(queue, state);
    }
    vux_file::Lock own;
    if (!own.TryLock(path, true)) {
        vux_err::Exists e("longtask", name);
        e.add_param("id", id);
        e.add_param("queue", queue);
        throw e;
    }
    if (!manager.empty()) vux_env::SetEnv("VUX_NAME", manager);
    int fds[2];
    if (::pipe(fds) != 0) throw vux_err::System("pipe", errno);
    const pid_t pid = ::fork();
    if (pid < 0) throw vux_err::System("fork", errno);
    if (pid == 0) {
        state.Release();
        own.Release();
        ::close(fds[0]);
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::close(fds[1]);
        return;
    }
    const std::string now = vux_date::AccurateDateTime();
    std::string content = "status=RUN\ncreated=" + now;
    content.append("\nrealname=").append(name).append("\nstartdate=").append(now);
    content.append("\npid=").append(std::to_string(pid));
    content.append("\nmanager=").append(manager.empty() ? vux_env::GetEnv("VUX_NAME") : manager);
    if (argc > 1) content.append("\n[params]");
    for (int i = 1; i < argc; ++i) content.append("\n").append(argv[i]);
    own.Write(content);
    if (state) state.Write(Unlisted(ReadLocked(state), vux_file::Name(path)) + vux_file::Name(path) + "\n");
    vux_env::SetEnv("VUX_LT_PID", std::to_string(pid));
    ::close(fds[1]);
    HandOverDescriptors(own.GetResHandle().fd(), fds[0]);
    ::execl(kRunner, kRunner, path.c_str(), static_cast<char*>(nullptr));
    ::_exit(1);
}

}  // namespace vux_task
