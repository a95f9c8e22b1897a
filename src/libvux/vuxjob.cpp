#include <libvux/vuxjob.h>

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <list>

#include <libvux/vuxlog.h>
#include <libvux/vuxthread.h>

VUX_LOG_MODULE("libvux")

namespace vux_job {

namespace {

// The job its owner is deleting now: its destructor has nothing to take off the list, even when
// the deletion runs while an exception unwinds.
thread_local Job* t_releasing = nullptr;

void Release(Job* job) {
    t_releasing = job;
    delete job;
    t_releasing = nullptr;
}

// The jobs of one thread, oldest first. A thread that ends with jobs still listed drops them
// without touching the disk: their backups stay where an operator can find them.
struct JobList {
    std::list<Job*> jobs;

    ~JobList() {
        while (!jobs.empty()) {
            Job* job = jobs.front();
            jobs.pop_front();
            VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Drop job %p without commit/rollback",
                    static_cast<void*>(job));
            Release(job);
        }
    }
};

vux_thread::AutoKey<JobList>& Jobs() {
    static vux_thread::AutoKey<JobList> key;
    return key;
}

std::list<Job*>& List() {
    return Jobs().Get()->jobs;
}

// Takes the job off the list; false when it was not listed.
bool Unlist(Job* job) {
    std::list<Job*>& jobs = List();
    for (auto it = jobs.rbegin(); it != jobs.rend(); ++it) {
        if (*it == job) {
            jobs.erase(std::next(it).base());
            return true;
        }
    }
    return false;
}

void LogRollbackError(const std::exception& e) {
    VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Exception during MoveFile::Rollback. %s", e.what());
}

// Rolls back and deletes the jobs listed after `job`, newest first; nothing may escape, since
// this runs while another exception unwinds.
void UndoJobsAfter(Job* job) {
    std::list<Job*>& jobs = List();
    while (!jobs.empty() && jobs.back() != job) {
        Job* last = jobs.back();
        jobs.pop_back();
        try {
            last->Rollback();
        } catch (const std::exception& e) {
            LogRollbackError(e);
        } catch (...) {
        }
        Release(last);
    }
}

// Takes jobs off the list one at a time, oldest or newest first, so that a job that throws is
// off it already.
void Drain(bool oldest_first, void (Job::*act)()) {
    std::list<Job*>& jobs = List();
    while (!jobs.empty()) {
        Job* job = oldest_first ? jobs.front() : jobs.back();
        oldest_first ? jobs.pop_front() : jobs.pop_back();
        try {
            (job->*act)();
        } catch (...) {
            Release(job);
            throw;
        }
        Release(job);
    }
}

void RemoveQuietly(const std::string& path) {
    try {
        vux_thread::NoFail nofail;
        vux_file::Remove(path);
    } catch (...) {
    }
}

}  // namespace

// ---- the job protocol ----

Job::Job() : exceptions_(std::uncaught_exceptions()) {
    List().push_back(this);
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s %p", "Job", static_cast<void*>(this));
}

Job::~Job() {
    if (t_releasing == this) return;
    if (std::uncaught_exceptions() <= exceptions_) {
        // Deleted by hand: it must not stay listed.
        Unlist(this);
        return;
    }
    VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Job was destroyed because exception in job destructor");
    std::list<Job*>& jobs = List();
    if (std::find(jobs.begin(), jobs.end(), this) == jobs.end()) {
        if (jobs.empty()) VUX_LOG(VuxLogModule(), vux_log::LevelError, "Where is failed job ???");
        return;
    }
    UndoJobsAfter(this);
    Unlist(this);
}

void Commit() {
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "void vux_job::Commit()");
    Drain(true, &Job::Commit);
}

void Rollback() {
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "void vux_job::Rollback()");
    Drain(false, &Job::Rollback);
}

namespace {

// A user's hook may throw anything; none of it may stop the other jobs.
void RunHook(SafeJob& job, void (SafeJob::*hook)(), const char* name) {
    try {
        (job.*hook)();
    } catch (const std::exception& e) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Error in SafeJob::%s: %s", name, e.what());
    } catch (...) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Unknown error in SafeJob::%s", name);
    }
}

}  // namespace

void SafeJob::Commit() {
    RunHook(*this, &SafeJob::onCommit, "Commit");
}

void SafeJob::Rollback() {
    RunHook(*this, &SafeJob::onRollback, "Rollback");
}

// ---- moves on plain paths ----

// What a move did, step by step, so that a rollback undoes exactly that, newest first,
// whatever kind of entry stands at either path by then.
struct MoveFile::Journal {
    enum Kind {
        kPlaced,         // src went to dst, where nothing stood; bak, when given, holds a marker link
        kReplaced,       // dst went to bak, then src to dst
        kMadeBackupDir,  // bak was made to receive a merge's old entries
        kRemovedSource,  // src, a merged directory, was removed; attrs are its own
    };
    struct Step {
        Kind kind;
        std::string src, dst, bak;
        vux_file::Attrs attrs;
    };
    std::vector<Step> steps;
};

namespace {

vux_file::Info Lstat(const std::string& path) {
    return vux_file::Info(path, 1 | 2);
}

bool SameEntry(const vux_file::Info& a, const vux_file::Info& b) {
    return !a.IsMissed() && !b.IsMissed() && a.Inode() == b.Inode() && a.Dev() == b.Dev();
}

// Puts `src` at `dst`, whose entry `old` goes to `bak` first: as a second hard link when it is
// not a directory, so that `dst` names the old entry or the new one at every moment; else by a
// rename. What cannot replace the old entry in one rename (a directory over a file) goes in
// after it. On failure both paths are as they were.
void ReplaceKeepingOld(const std::string& src, const std::string& dst, const std::string& bak,
                       const vux_file::Info& old) {
    const bool linked = !old.IsDir() && ::link(dst.c_str(), bak.c_str()) == 0;
    if (!linked) vux_file::Move(dst, bak);
    try {
        if (::rename(src.c_str(), dst.c_str()) == 0) return;
        if (linked && SameEntry(Lstat(dst), old)) vux_file::RemoveFile(dst);
        vux_file::Move(src, dst);
    } catch (...) {
        if (Lstat(dst).IsMissed())
            vux_file::Move(bak, dst);
        else if (linked)
            ::unlink(bak.c_str());
        throw;
    }
}

}  // namespace

MoveFile::MoveFile(const std::string& path)
    : from_(path), link_("."), rolling_back_(false), journal_(new Journal) {}

MoveFile::MoveFile(const std::string& from, const std::string& to)
    : from_(from), to_(to), link_("."), rolling_back_(false), journal_(new Journal) {
    if (Lstat(from_).IsMissed()) return;
    if (!Lstat(to_).IsMissed()) {
        vux_file::Tmp reserved(to_ + ".todelete");
        backup_ = reserved.name();
    }
    try {
        PrivateMove(from_, to_, backup_);
    } catch (...) {
        // Nothing of a failed move stays: what it did so far is undone before the error goes on.
        Rollback();
        throw;
    }
}

MoveFile::~MoveFile() {}

void MoveFile::PrivateMove(const std::string& src, const std::string& dst, const std::string& bak) {
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s src = '%s', dst = '%s', bak = '%s'", "PrivateMove", src.c_str(),
            dst.c_str(), bak.c_str());
    const vux_file::Info old = Lstat(dst);
    if (old.IsMissed()) {
        vux_file::Move(src, dst);
        journal_->steps.push_back({Journal::kPlaced, src, dst, bak, {}});
        if (!bak.empty()) {
            vux_file::MkLink(link_, bak);
            link_ = dst;
        }
        return;
    }
    const vux_file::Info moving = Lstat(src);
    if (moving.IsDir() && old.IsDir()) {
        MergeDirs(src, dst, bak, moving, old);
        return;
    }
    ReplaceKeepingOld(src, dst, bak, old);
    journal_->steps.push_back({Journal::kReplaced, src, dst, bak, {}});
}

void MoveFile::MergeDirs(const std::string& src, const std::string& dst, const std::string& bak,
                         const vux_file::Info& moving, const vux_file::Info& old) {
    const vux_file::Attrs dst_attrs = old.GetAttrs();
    vux_file::MkDir(bak, &dst_attrs);
    journal_->steps.push_back({Journal::kMadeBackupDir, src, dst, bak, {}});
    vux_file::Dir entries(src);
    while (entries.Read()) {
        const std::string& name = entries.name();
        PrivateMove(vux_file::ConcatPath(src, name), vux_file::ConcatPath(dst, name), vux_file::ConcatPath(bak, name));
    }
    if (::rmdir(src.c_str()) != 0) throw vux_file::Fail("remove", src);
    journal_->steps.push_back({Journal::kRemovedSource, src, dst, bak, moving.GetAttrs()});
}

namespace {

void Undo(const MoveFile::Journal::Step& step) {
    typedef MoveFile::Journal Journal;
    switch (step.kind) {
    case Journal::kPlaced: {
        if (!step.bak.empty()) vux_file::RemoveFile(step.bak);
        const vux_file::Info back = Lstat(step.dst);
        // A hard link kept aside while the original still stands: only the extra name goes.
        if (SameEntry(back, Lstat(step.src)))
            vux_file::RemoveFile(step.dst);
        else if (!back.IsMissed())
            vux_file::Move(step.dst, step.src);
        break;
    }
    case Journal::kReplaced:
        if (!Lstat(step.dst).IsMissed()) vux_file::Move(step.dst, step.src);
        vux_file::Move(step.bak, step.dst);
        break;
    case Journal::kMadeBackupDir:
        if (::rmdir(step.bak.c_str()) != 0 && errno != ENOENT) throw vux_file::Fail("remove", step.bak);
        break;
    case Journal::kRemovedSource:
        vux_file::MkDir(step.src, &step.attrs);
        break;
    }
}

}  // namespace

void MoveFile::Commit() {
    if (backup_.empty()) return;
    try {
        vux_file::Remove(backup_);
    } catch (...) {
    }
}

void MoveFile::Rollback() {
    rolling_back_ = true;
    for (auto it = journal_->steps.rbegin(); it != journal_->steps.rend(); ++it) {
        try {
            Undo(*it);
        } catch (const std::exception& e) {
            LogRollbackError(e);
        }
    }
    journal_->steps.clear();
}

// ---- the remove family ----

std::string RemoveFile::HiddenName(const std::string& path) {
    return FreeSibling(path, ".todelete.");
}

std::string RemoveFile::FreeSibling(const std::string& path, const char* infix) {
    const std::pair<std::string, std::string> parts = vux_file::SplitPath(vux_file::GoodPath(path));
    for (unsigned long n = 0;; ++n) {
        const std::string candidate =
            vux_file::ConcatPath(parts.first, "." + parts.second + infix + std::to_string(n));
        if (Lstat(candidate).IsMissed()) return candidate;
    }
}

RemoveFile::RemoveFile(const std::string& path) : MoveFile(path, HiddenName(path)) {}

// The new entry is made aside under a ".tonew." name, so that a ".todelete." name only ever
// holds an old entry; it then takes the path's place, the old entry going to the hidden name
// first (as a hard link when it is not a directory, so that the path never lacks an entry).
RemoveFile::RemoveFile(const std::string& path, const std::function<void(const std::string&)>& make)
    : MoveFile(path) {
    to_ = HiddenName(path);
    if (!make) {
        // Nothing to make: the old entry only goes aside.
        if (Lstat(from_).IsMissed()) return;
        vux_file::Move(from_, to_);
        journal_->steps.push_back({Journal::kPlaced, from_, to_, std::string(), {}});
        return;
    }
    for (std::string dir = vux_file::SplitPath(vux_file::GoodPath(path)).first;
         !dir.empty() && dir != "/" && Lstat(dir).IsMissed(); dir = vux_file::SplitPath(dir).first)
        parents_.push_back(dir);
    const std::string fresh = FreeSibling(path, ".tonew.");
    try {
        make(fresh);
        PutInPlace(fresh);
    } catch (...) {
        RemoveQuietly(fresh);
        for (const std::string& dir : parents_) ::rmdir(dir.c_str());
        throw;
    }
    made_ = true;
}

void RemoveFile::PutInPlace(const std::string& fresh) {
    const vux_file::Info old = Lstat(from_);
    if (old.IsMissed()) {
        vux_file::Move(fresh, from_);
        return;
    }
    ReplaceKeepingOld(fresh, from_, to_, old);
    journal_->steps.push_back({Journal::kPlaced, from_, to_, std::string(), {}});
}

void RemoveFile::Commit() {
    if (journal_->steps.empty()) return;
    try {
        vux_file::Remove(to_);
    } catch (...) {
    }
}

void RemoveFile::Rollback() {
    rolling_back_ = true;
    std::string aside;
    try {
        if (made_) aside = DropMade();
    } catch (const std::exception& e) {
        LogRollbackError(e);
        return;
    }
    MoveFile::Rollback();
    if (!aside.empty()) RemoveQuietly(aside);
    for (const std::string& dir : parents_) ::rmdir(dir.c_str());
}

// An old non-directory returns over a new non-directory in one rename; otherwise the new entry
// first goes aside under a ".tonew." name, removed once the old one is back.
std::string RemoveFile::DropMade() {
    if (journal_->steps.empty()) {
        vux_file::Remove(from_);
        return std::string();
    }
    const vux_file::Info made = Lstat(from_);
    if (made.IsMissed()) return std::string();
    const vux_file::Info old = Lstat(to_);
    if (!made.IsDir() && !old.IsDir() && !old.IsMissed() && ::rename(to_.c_str(), from_.c_str()) == 0) {
        journal_->steps.clear();
        return std::string();
    }
    const std::string aside = FreeSibling(from_, ".tonew.");
    vux_file::Move(from_, aside);
    return aside;
}

CreateFile::CreateFile(const std::string& path, const std::string& content, const vux_file::Attrs* attrs)
    : RemoveFile(path, [&](const std::string& at) { vux_file::Create(at, content, attrs); }) {}

CopyFile::CopyFile(const std::string& from, const std::string& to, const vux_file::Attrs* attrs)
    : RemoveFile(to, Lstat(from).IsMissed() ? std::function<void(const std::string&)>()
                                             : [&](const std::string& at) { vux_file::Copy(from, at, attrs); }) {}

CreateDir::CreateDir(const std::string& path, const vux_file::Attrs* attrs)
    : RemoveFile(path, [&](const std::string& at) { vux_file::MkDir(at, attrs); }) {}

SymLink::SymLink(const std::string& target, const std::string& path)
    : RemoveFile(path, [&](const std::string& at) { vux_file::MkLink(target, at); }) {}

}  // namespace vux_job
