// Undoable changes on plain paths, checked against complete listings of real trees.
#include <libvux/vuxjob.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include <libvux/vuxlog.h>

#include "test_util.h"

namespace {

using testutil::ReadFile;
using testutil::WriteFile;
typedef std::map<std::string, std::string> Listing;

// Every entry below `root` (hidden ones too): kind, mode, owner, group, and content or target.
void ListInto(const std::string& root, const std::string& rel, Listing& out) {
    const std::string path = rel.empty() ? root : root + "/" + rel;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    std::string d = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
    if (S_ISLNK(st.st_mode)) d += " -> " + vux_file::ReadLink(path);
    if (S_ISREG(st.st_mode)) d += " = " + ReadFile(path);
    out[rel.empty() ? "." : rel] = d;
    if (!S_ISDIR(st.st_mode)) return;
    vux_file::Dir dir(path);
    while (dir.Read()) ListInto(root, rel.empty() ? dir.name() : rel + "/" + dir.name(), out);
}

Listing List(const std::string& root) {
    Listing out;
    ListInto(root, "", out);
    return out;
}

bool HasLeftovers(const Listing& l) {
    for (const auto& e : l)
        if (e.first.find(".todelete.") != std::string::npos || e.first.find(".tonew.") != std::string::npos) return true;
    return false;
}

class JobTest : public ::testing::Test {
public:
    ~JobTest() override { vux_job::Rollback(); }
    std::string P(const std::string& rel) const { return dir_ / rel; }
    // A tree with a file, a link, and directories of other modes and owners.
    void Seed() {
        WriteFile(P("f"), "old file");
        ::chmod(P("f").c_str(), 0640);
        ::mkdir(P("d").c_str(), 0750);
        WriteFile(P("d/inner"), "inner");
        ::chown(P("d/inner").c_str(), 65534, 65534);
        ::mkdir(P("d/sub").c_str(), 0700);
        WriteFile(P("d/sub/deep"), "deep");
        ::symlink("f", P("l").c_str());
        ::mkdir(P("src").c_str(), 0755);
        WriteFile(P("src/a"), "a from src");
        WriteFile(P("src/new"), "new from src");
        ::mkdir(P("src/sub").c_str(), 0711);
        WriteFile(P("src/sub/deep"), "deep from src");
        WriteFile(P("src/sub/more"), "more");
    }
    testutil::TempDir dir_;
};

struct Case {
    const char* what;
    std::function<void(const JobTest&)> make;
};

// Each job kind over an existing entry, over a new name, and replacing one kind by another.
const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"CreateFile over a file", [](const JobTest& t) { new vux_job::CreateFile(t.P("f"), "new content"); }},
        {"CreateFile new", [](const JobTest& t) { new vux_job::CreateFile(t.P("n"), "new content"); }},
        {"CreateFile over a directory", [](const JobTest& t) { new vux_job::CreateFile(t.P("d"), "file now"); }},
        {"CreateFile over a link", [](const JobTest& t) { new vux_job::CreateFile(t.P("l"), "not through"); }},
        {"CreateDir over a file", [](const JobTest& t) {
             vux_file::Attrs a(0705);
             new vux_job::CreateDir(t.P("f"), &a);
         }},
        {"CreateDir new", [](const JobTest& t) { new vux_job::CreateDir(t.P("n/m")); }},
        {"SymLink over a directory", [](const JobTest& t) { new vux_job::SymLink("/etc", t.P("d")); }},
        {"SymLink over a link", [](const JobTest& t) { new vux_job::SymLink("d", t.P("l")); }},
        {"SymLink new", [](const JobTest& t) { new vux_job::SymLink("f", t.P("n")); }},
        {"CopyFile a file over a directory", [](const JobTest& t) { new vux_job::CopyFile(t.P("f"), t.P("d")); }},
        {"CopyFile a tree over a file", [](const JobTest& t) { new vux_job::CopyFile(t.P("src"), t.P("f")); }},
        {"CopyFile a tree new", [](const JobTest& t) { new vux_job::CopyFile(t.P("d"), t.P("n")); }},
        {"CopyFile from nothing", [](const JobTest& t) { new vux_job::CopyFile(t.P("none"), t.P("f")); }},
        {"RemoveFile a tree", [](const JobTest& t) { new vux_job::RemoveFile(t.P("d")); }},
        {"RemoveFile nothing", [](const JobTest& t) { new vux_job::RemoveFile(t.P("none")); }},
        {"MoveFile a file over a link", [](const JobTest& t) { new vux_job::MoveFile(t.P("f"), t.P("l")); }},
        {"MoveFile a tree to a new name", [](const JobTest& t) { new vux_job::MoveFile(t.P("d"), t.P("n")); }},
        {"MoveFile a file over a directory", [](const JobTest& t) { new vux_job::MoveFile(t.P("f"), t.P("src")); }},
        {"MoveFile a missing source over a file", [](const JobTest& t) { new vux_job::MoveFile(t.P("none"), t.P("f")); }},
        {"MoveFile merging two trees", [](const JobTest& t) { new vux_job::MoveFile(t.P("src"), t.P("d")); }},
    };
    return cases;
}

TEST_F(JobTest, RollbackRestoresTheExactTreeAndCommitLeavesNoBackup) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.what);
        vux_file::Remove(dir_.path());
        ::mkdir(dir_.path().c_str(), 0700);
        Seed();
        const Listing before = List(dir_.path());
        c.make(*this);
        const Listing changed = List(dir_.path());
        vux_job::Rollback();
        EXPECT_EQ(List(dir_.path()), before);

        c.make(*this);
        vux_job::Commit();
        Listing committed = List(dir_.path());
        EXPECT_FALSE(HasLeftovers(committed));
        // The committed tree is the changed one without its backups.
        Listing expected;
        for (const auto& e : changed)
            if (e.first.find(".todelete.") == std::string::npos) expected.insert(e);
        EXPECT_EQ(committed, expected);
    }
}

TEST_F(JobTest, ChangesTakeEffectAtOnce) {
    Seed();
    new vux_job::CreateFile(P("f"), "new content");
    new vux_job::SymLink("f", P("d"));
    new vux_job::MoveFile(P("src"), P("moved"));
    EXPECT_EQ(ReadFile(P("f")), "new content");
    EXPECT_EQ(vux_file::ReadLink(P("d")), "f");
    EXPECT_EQ(ReadFile(P("moved/sub/more")), "more");
    EXPECT_FALSE(vux_file::Exists(P("src")));
    vux_job::Commit();
    EXPECT_EQ(ReadFile(P("f")), "new content");
}

TEST_F(JobTest, JobsOnOnePathAreUndoneNewestFirst) {
    Seed();
    const Listing before = List(dir_.path());
    new vux_job::CreateFile(P("f"), "one");
    new vux_job::CreateDir(P("f"));
    new vux_job::CreateFile(P("f/x"), "inside");
    new vux_job::SymLink("d", P("f"));
    new vux_job::RemoveFile(P("f"));
    new vux_job::CreateFile(P("f"), "last");
    EXPECT_EQ(ReadFile(P("f")), "last");
    vux_job::Rollback();
    EXPECT_EQ(List(dir_.path()), before);
}

TEST_F(JobTest, MergedMoveKeepsAMarkerChainAndRollsBackExactly) {
    Seed();
    const Listing before = List(dir_.path());
    new vux_job::MoveFile(P("src"), P("d"));
    EXPECT_FALSE(vux_file::Exists(P("src")));
    EXPECT_EQ(ReadFile(P("d/a")), "a from src");
    EXPECT_EQ(ReadFile(P("d/inner")), "inner");
    EXPECT_EQ(ReadFile(P("d/sub/deep")), "deep from src");
    // The backup holds the replaced entries and, for each new one, a link to the one before.
    std::string backup;
    for (const auto& e : List(dir_.path()))
        if (e.first.find("d.todelete.") == 0 && e.first.find('/') == std::string::npos) backup = P(e.first);
    ASSERT_FALSE(backup.empty());
    EXPECT_EQ(ReadFile(backup + "/sub/deep"), "deep");
    // The links of the new entries form one chain, from the newest back to ".".
    std::set<std::string> targets, made;
    for (const char* rel : {"a", "new", "sub/more"}) {
        targets.insert(vux_file::ReadLink(backup + "/" + rel));
        made.insert(P(std::string("d/") + rel));
    }
    EXPECT_EQ(targets.size(), 3u);
    EXPECT_EQ(targets.count("."), 1u);
    for (const std::string& t : targets) EXPECT_TRUE(t == "." || made.count(t)) << t;
    vux_job::Rollback();
    EXPECT_EQ(List(dir_.path()), before);
}

// A job whose constructor makes a job and then fails.
struct Failing : vux_job::Job {
    explicit Failing(const std::string& path) {
        new vux_job::CreateFile(path, "made by a failing job");
        throw std::runtime_error("failed");
    }
};

TEST_F(JobTest, AFailedConstructorUndoesTheJobsMadeAfterItsOwnStart) {
    Seed();
    new vux_job::CreateFile(P("f"), "kept");
    const Listing kept = List(dir_.path());
    EXPECT_THROW(new Failing(P("n")), std::runtime_error);
    EXPECT_EQ(List(dir_.path()), kept);
    EXPECT_EQ(testutil::ErrorOf([&] { new vux_job::CreateFile(P("absent/x"), "y"); }), "file/open_w/" + P("absent/.x.tonew.0") + "/report");
    EXPECT_EQ(List(dir_.path()), kept);
    // Only the first job is still listed: a rollback takes back its change alone.
    vux_job::Rollback();
    EXPECT_EQ(ReadFile(P("f")), "old file");
    vux_job::Commit();
    EXPECT_EQ(ReadFile(P("f")), "old file");
}

struct Hooked : vux_job::SafeJob {
    explicit Hooked(std::string& trace) : trace(trace) {}
    void onCommit() override {
        trace += "commit ";
        throw std::runtime_error("commit failed");
    }
    void onRollback() override {
        trace += "rollback ";
        throw 42;
    }
    std::string& trace;
};

TEST_F(JobTest, SafeJobHooksNeverThrowOutAndOrderIsKept) {
    std::string trace;
    new Hooked(trace);
    new Hooked(trace);
    EXPECT_NO_THROW(vux_job::Commit());
    new Hooked(trace);
    EXPECT_NO_THROW(vux_job::Rollback());
    EXPECT_EQ(trace, "commit commit rollback ");
}

TEST_F(JobTest, AThreadEndingWithJobsDropsThemAndKeepsTheBackups) {
    testutil::ChDir cd(dir_.path());
    WriteFile(P("etc/debug.conf"), "libvux 9\n");
    ::setenv("VUX_LOGFILE", P("job.log").c_str(), 1);
    vux_log::Init("job_test", 9);
    WriteFile(P("f"), "old");
    void* job = nullptr;
    std::thread([&] { job = new vux_job::CreateFile(P("f"), "new"); }).join();
    vux_log::Close();
    ::unsetenv("VUX_LOGFILE");
    char address[32];
    std::snprintf(address, sizeof address, "%p", job);
    EXPECT_NE(ReadFile(P("job.log")).find(std::string("Drop job ") + address + " without commit/rollback"), std::string::npos);
    EXPECT_EQ(ReadFile(P("f")), "new");
    EXPECT_EQ(ReadFile(P(".f.todelete.0")), "old");
}

// Killed at random points while it makes jobs, commits or rolls back, on plain paths or on the
// descriptor-relative layer, a process leaves every file with its old or its new content, and
// every old one it set aside under a ".todelete." name.
TEST_F(JobTest, AKilledProcessLeavesEachFileOldOrNew) {
    const int kFiles = 12;
    const std::string oldc(8192, 'o'), newc(16384, 'n');
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        const std::string root = P("r" + std::to_string(round));
        ::mkdir(root.c_str(), 0700);
        for (int i = 0; i < kFiles; ++i) WriteFile(root + "/" + std::to_string(i), oldc + std::to_string(i));
        const bool commit = round % 2 == 0, safe = round % 4 >= 2;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const vux_file::safe::Folder folder(root);
            for (int i = 0; i < kFiles; ++i) {
                const std::string name = std::to_string(i), path = root + "/" + name;
                if (i % 3 == 0 && safe) new vux_job::safe::CreateFile(folder, name, newc + name);
                if (i % 3 == 0 && !safe) new vux_job::CreateFile(path, newc + name);
                if (i % 3 == 1 && safe) new vux_job::safe::CopyFile(folder, "0", folder, name);
                if (i % 3 == 1 && !safe) new vux_job::CopyFile(root + "/0", path);
                if (i % 3 == 2 && safe) new vux_job::safe::RemoveFile(folder, name);
                if (i % 3 == 2 && !safe) new vux_job::RemoveFile(path);
            }
            commit ? vux_job::Commit() : vux_job::Rollback();
            ::_exit(0);
        }
        ::usleep(std::uniform_int_distribution<int>(0, 3000)(random));
        ::kill(child, SIGKILL);
        int status;
        ::waitpid(child, &status, 0);
        for (const auto& e : List(root)) {
            if (e.first == ".") continue;
            SCOPED_TRACE("round " + std::to_string(round) + ": " + e.first);
            const std::string content = ReadFile(root + "/" + e.first);
            const std::string::size_type hidden = e.first.find(".todelete.");
            if (hidden != std::string::npos) {
                // A backup holds the old content of the name it hides.
                EXPECT_EQ(content, oldc + e.first.substr(1, hidden - 1));
            } else if (e.first.find(".tonew.") != std::string::npos) {
                // An entry being made (its size may be set before its bytes are written) or one
                // on its way out: never an old entry.
                EXPECT_EQ(content.find_first_not_of(std::string("n0123456789\0", 12)), std::string::npos);
            } else {
                const int i = std::stoi(e.first);
                EXPECT_TRUE(content == oldc + e.first || content == (i % 3 == 0 ? newc + e.first : newc + "0"))
                    << content.size() << " bytes";
            }
        }
        // Only a removed name may be missing; the others are replaced in one step either way.
        for (int i = 0; i < kFiles; ++i)
            if (i % 3 != 2) {
                EXPECT_TRUE(vux_file::Exists(root + "/" + std::to_string(i))) << "round " << round << ": " << i;
            }
        vux_file::Remove(root);
    }
}

}  // namespace
