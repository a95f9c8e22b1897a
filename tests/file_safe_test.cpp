// The descriptor-relative file layer and the undoable jobs built on it, checked against
// complete listings of the trees they touch.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <libvux/vuxfile.h>
#include <libvux/vuxjob.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxuser.h>

#include "test_util.h"

using testutil::ErrorOf;
using vux_file::Attrs;
using vux_file::safe::File;
using vux_file::safe::Folder;
namespace job = vux_job::safe;

namespace {

// Every entry below root, links not followed: path, kind, mode, owner and group, and a
// file's size and content or a link's target. Two trees are alike when their listings are.
std::string Listing(const std::string& root) {
    std::vector<std::string> lines;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = e.path().string();
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return "cannot stat " + path;
        const char kind = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : S_ISREG(st.st_mode) ? 'f' : 'o';
        char head[96];
        snprintf(head, sizeof head, " %c %04o %u:%u ", kind, st.st_mode & 07777, st.st_uid, st.st_gid);
        std::string line = path.substr(root.size()) + head;
        if (S_ISREG(st.st_mode)) line += std::to_string(st.st_size) + " " + testutil::ReadFile(path);
        if (S_ISLNK(st.st_mode)) line += "-> " + std::filesystem::read_symlink(path).string();
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

// Whether name is prefix + "." + 8 lowercase hex digits + ".tmp".
bool IsTmpName(const std::string& name, const std::string& prefix) {
    const std::size_t n = prefix.size();
    return name.size() == n + 13 && name.compare(0, n + 1, prefix + ".") == 0 &&
           name.find_first_not_of("0123456789abcdef", n + 1) == n + 9 && name.compare(n + 9, 4, ".tmp") == 0;
}

std::string Kind(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return "none";
    if (S_ISLNK(st.st_mode)) return "link " + std::filesystem::read_symlink(path).string();
    if (S_ISDIR(st.st_mode)) return "dir";
    return "file " + testutil::ReadFile(path);
}

void Own(const std::string& path, unsigned uid, int mode) {
    EXPECT_TRUE(geteuid() != 0 || lchown(path.c_str(), uid, uid + 1) == 0) << path;
    EXPECT_TRUE(mode < 0 || chmod(path.c_str(), static_cast<mode_t>(mode)) == 0) << path;
}

// Puts an entry of the given kind at path, with modes and owners of its own.
void MakeEntry(const std::string& path, const std::string& kind) {
    if (kind == "file") {
        testutil::WriteFile(path, "old content");
        Own(path, 4321, 0640);
    } else if (kind == "dir") {
        testutil::WriteFile(path + "/in", "inside");
        testutil::WriteFile(path + "/sub/deeper", "deeper");
        Own(path + "/sub", 4322, 0711);
        Own(path, 4321, 0750);
    } else if (kind == "link") {
        EXPECT_EQ(symlink("old-target", path.c_str()), 0);
        Own(path, 4321, -1);
    }
}

// A base folder holding "x" of the given kind, and the sources the jobs take from: a file
// "src" and a tree "tree" that overlaps "x" as a directory ("sub" merges, "in" changes kind).
struct Scene {
    explicit Scene(const std::string& x) {
        std::filesystem::create_directory(base);
        MakeEntry(base + "/x", x);
        testutil::WriteFile(base + "/src", "source");
        Own(base + "/src", 1234, 0604);
        testutil::WriteFile(base + "/tree/a", "a");
        testutil::WriteFile(base + "/tree/in/c", "c");
        testutil::WriteFile(base + "/tree/sub/b", "b");
        EXPECT_EQ(symlink("a", (base + "/tree/lnk").c_str()), 0);
        EXPECT_EQ(mkfifo((base + "/tree/fifo").c_str(), 0620), 0);
        Own(base + "/tree", 1234, 0705);
        folder = Folder(base);
    }
    testutil::TempDir dir;
    std::string base = dir / "b";
    Folder folder;
};

struct JobCase {
    const char* name;
    std::function<void(const Folder&)> make;
    // What "x" is once the job is made, as Kind gives it.
    std::string after;
};

const std::vector<JobCase>& JobCases() {
    static const std::vector<JobCase> cases = {
        {"CreateFile", [](const Folder& f) { new job::CreateFile(f, "x", "new", Attrs(0600)); }, "file new"},
        {"CreateDir", [](const Folder& f) { new job::CreateDir(f, "x", Attrs(0700)); }, "dir"},
        {"SymLink", [](const Folder& f) { new job::SymLink(f, "x", "new-target"); }, "link new-target"},
        {"HardLink", [](const Folder& f) { new job::HardLink(f.GetFile("src"), f, "x"); }, "file source"},
        {"CopyFile of a file", [](const Folder& f) { new job::CopyFile(f, "src", f, "x"); }, "file source"},
        {"CopyFile of a tree", [](const Folder& f) { new job::CopyFile(f, "tree", f, "x"); }, "dir"},
        {"RemoveFile", [](const Folder& f) { new job::RemoveFile(f, "x"); }, "none"},
        {"MoveFile of a file", [](const Folder& f) { new job::MoveFile(f, "src", f, "x"); }, "file source"},
        {"MoveFile of a tree", [](const Folder& f) { new job::MoveFile(f, "tree", f, "x"); }, "dir"},
    };
    return cases;
}

const char* const kPriorKinds[] = {"none", "file", "dir", "link"};

// A job of the library's user that makes a safe job of its own, then fails.
struct Composite : vux_job::SafeJob {
    explicit Composite(const Folder& f) {
        new job::CreateFile(f, "inner", "x");
        throw vux_file::Fail("composite");
    }
};

// Sets or clears the immutable flag; false where the file system has none.
bool Immutable(const std::string& path, bool on) {
    return std::system(((on ? "chattr +i '" : "chattr -i '") + path + "' 2>/dev/null").c_str()) == 0;
}

// Runs the vux utility; its exit code.
int Tool(const std::string& args) {
    const int status = std::system(("'" + std::string(VUX_TOOL) + "' " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The unprivileged user the hostile test acts as, made when missing; the reason when there
// can be none.
std::string HostileUser(uid_t& uid, gid_t& gid) {
    if (std::string why = testutil::UnprivilegedPathsBlocked(); !why.empty()) return why;
    if (geteuid() != 0) return "needs root to act as another user";
    if (access("/usr/sbin/useradd", X_OK) != 0) return "useradd is not installed";
    if (!getpwnam("vuxhostile") &&
        std::system("/usr/sbin/useradd --system --no-create-home --shell /usr/sbin/nologin vuxhostile") != 0)
        return "useradd failed";
    uid = vux_user::Uid("vuxhostile");
    gid = vux_user::Gid("vuxhostile");
    return "";
}

// As that user, for at most 20 seconds: swaps its directory home/d for a link to `outside`,
// and d/f for a link to a file there, as fast as it can.
pid_t Swapper(const std::string& home, const std::string& outside, uid_t uid, gid_t gid) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int at = open(home.c_str(), O_RDONLY | O_DIRECTORY);
    if (at < 0 || setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(1);
    const std::string secret = outside + "/passwd";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (renameat(at, "d", at, "d.real") == 0) {
            if (symlinkat(outside.c_str(), at, "d") == 0) unlinkat(at, "d", 0);
            renameat(at, "d.real", at, "d");
        }
        const int d = openat(at, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (d >= 0 && renameat(d, "f", d, "f.real") == 0) {
            if (symlinkat(secret.c_str(), d, "f") == 0) unlinkat(d, "f", 0);
            renameat(d, "f.real", d, "f");
        }
        if (d >= 0) close(d);
    }
    _exit(0);
}

}  // namespace

TEST(FileSafe, FoldersStayInsideTheirBase) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "outside/secret", "s");
    testutil::WriteFile(dir / "b/sub/inner/f", "f");
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "b/out").c_str()), 0);
    ASSERT_EQ(symlink("sub/inner", (dir / "b/in").c_str()), 0);
    ASSERT_EQ(symlink("../../outside", (dir / "b/sub/up").c_str()), 0);
    const Folder base(dir / "b");
    const struct {
        const char* path;
        std::string expect;  // the real path below dir, or the error
    } cases[] = {
        {"sub", "/b/sub"},
        {"sub/inner", "/b/sub/inner"},
        {"in", "/b/sub/inner"},
        {"sub/../sub/inner/..", "/b/sub"},
        {"/sub", "/b/sub"},
        {"..", "file/notchild/../report"},
        {"out", "file/notchild/out/report"},
        {"sub/up", "file/notchild/sub/up/report"},
        {"sub/../..", "file/notchild/sub/../../report"},
        {"sub/inner/f", "file/open/sub/inner/f/report"},
        {"missing", "(empty)"},
        {"sub/missing/x", "(empty)"},
    };
    const std::string real = std::filesystem::canonical(dir.path()).string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string got = ErrorOf([&] { base.GetFolder(c.path); });
        if (got == "no error") {
            const Folder f = base.GetFolder(c.path);
            got = f ? f.RealName().substr(real.size()) : "(empty)";
        }
        EXPECT_EQ(got, c.expect);
    }
    EXPECT_EQ(ErrorOf([&] { base.GetFile("sub/inner"); }), "file/name/sub/inner/report");
    EXPECT_EQ(base.GetFolder("sub/inner").GetParent().name(), base.name() + "/sub");
    EXPECT_EQ(vux_file::safe::GetFile(base, "sub/inner/f").Read(), "f");
    EXPECT_TRUE(vux_file::safe::Info(base, "sub/missing/f").IsMissed());
}

TEST(FileSafe, FilesAreNeverReachedThroughLinks) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "target", "target");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0700), 0);
    const Folder f(dir.path());
    EXPECT_EQ(ErrorOf([&] { f.GetFile("link"); }), "file/open/link/report");
    EXPECT_EQ(ErrorOf([&] { f.GetFile("fifo"); }), "file/open/fifo/report");
    EXPECT_EQ(ErrorOf([&] { f.GetFile("d"); }), "file/open/d/report");
    EXPECT_EQ(ErrorOf([&] { f.GetFileLocked("link", LOCK_EX); }), "file/open/link/report");
    EXPECT_EQ(ErrorOf([&] { f.MkFile("link"); }), "file/create/link/report");
    EXPECT_FALSE(f.GetFile("missing"));
    EXPECT_EQ(testutil::AssertText([&] { File().Write("x"); }), "Bad file handle");

    File file = f.MkFile("new", Attrs(0604));
    file.Write("longer text");
    file.Write("short");
    file.Append("+tail");
    EXPECT_EQ(f.GetFile("new").Read(), "short+tail");
    EXPECT_EQ(f.Info("new").GetAttrs().mode(), 0604);
    // A symbolic link that is there already with the same target counts as made.
    EXPECT_NO_THROW(f.MkSymLink("link", dir / "target"));
    EXPECT_EQ(ErrorOf([&] { f.MkSymLink("link", "elsewhere"); }), "file/create/link/report");
    EXPECT_EQ(f.ReadLink("link"), dir / "target");
    const File held = f.GetFileLocked("lock", LOCK_EX | LOCK_NB);
    EXPECT_TRUE(held);
    EXPECT_FALSE(f.GetFileLocked("lock", LOCK_EX | LOCK_NB));
}

TEST(FileSafe, TemporariesGoOnlyWhileTheirNameIsTheirs) {
    testutil::TempDir dir;
    const Folder f(dir.path());
    {
        File t = f.MkTmpFile("p");
        EXPECT_TRUE(IsTmpName(t.name(), "p")) << t.name();
        Folder d = f.MkTmpFolder("p");
        EXPECT_TRUE(IsTmpName(vux_file::Name(d.name()), "p")) << d.name();
        d.MkFolder("deep").MkFile("f").Write("x");
        EXPECT_NE(Listing(dir.path()).find(".tmp/deep/f f"), std::string::npos);
    }
    EXPECT_EQ(Listing(dir.path()), "");
    {
        File t = f.MkTmpFile("p");
        t.Write("kept");
        t.Move(f, "placed");
    }
    {
        File t = f.MkTmpFile("p");
        testutil::WriteFile(dir / "other", "other");
        ASSERT_EQ(rename((dir / "other").c_str(), (dir / t.name()).c_str()), 0);
        Folder d = f.MkTmpFolder("q");
        ASSERT_EQ(rename((dir / vux_file::Name(d.name())).c_str(), (dir / "moved").c_str()), 0);
        ASSERT_EQ(mkdir(d.name().c_str(), 0700), 0);
        testutil::WriteFile(d.name() + "/f", "theirs");
        File r = f.MkTmpFile("r");
        r.Release();
    }
    const std::string left = Listing(dir.path());
    EXPECT_NE(left.find("/placed f 0"), std::string::npos) << left;
    EXPECT_NE(left.find(" 5 other"), std::string::npos) << left;
    EXPECT_NE(left.find(" 6 theirs"), std::string::npos) << left;
    EXPECT_NE(left.find("/moved d"), std::string::npos) << left;
    EXPECT_NE(left.find("/r."), std::string::npos) << left;
}

TEST(FileSafe, TreesAreCopiedMovedAndRemovedWhole) {
    Scene s("dir");
    const Folder& f = s.folder;
    const std::string tree = Listing(s.base + "/tree");
    f.Copy("tree", f, "copy");
    EXPECT_EQ(Listing(s.base + "/copy"), tree);
    // A tree copied into itself is copied once.
    f.Copy("copy", f.GetFolder("copy"), "self");
    EXPECT_EQ(Listing(s.base + "/copy/self"), tree);
    f.Remove("copy", true);
    EXPECT_EQ(Kind(s.base + "/copy"), "none");
    f.Move("tree", f.GetFolder("x"), "moved");
    EXPECT_EQ(Listing(s.base + "/x/moved"), tree);
    EXPECT_EQ(ErrorOf([&] { f.Remove("x"); }), "file/remove/x/report");
    // Onto a directory with entries: merged by a copy.
    testutil::WriteFile(s.base + "/y/sub/other", "other");
    f.Move("x", f, "y");
    EXPECT_EQ(Kind(s.base + "/x"), "none");
    EXPECT_EQ(Kind(s.base + "/y/sub/other"), "file other");
    EXPECT_EQ(Kind(s.base + "/y/sub/deeper"), "file deeper");
    EXPECT_EQ(Kind(s.base + "/y/moved/lnk"), "link a");
    EXPECT_EQ(ErrorOf([&] { f.Copy("missing", f, "z"); }), "file/open/missing/report");
}

TEST(SafeJob, EveryKindOverEveryEntryRollsBackExactly) {
    for (const JobCase& c : JobCases()) {
        for (const char* prior : kPriorKinds) {
            SCOPED_TRACE(std::string(c.name) + " over " + prior);
            {
                Scene s(prior);
                const std::string before = Listing(s.dir.path());
                c.make(s.folder);
                EXPECT_EQ(Kind(s.base + "/x"), c.after);
                vux_job::Rollback();
                EXPECT_EQ(Listing(s.dir.path()), before);
            }
            Scene s(prior);
            c.make(s.folder);
            vux_job::Commit();
            EXPECT_EQ(Kind(s.base + "/x"), c.after);
            const std::string after = Listing(s.dir.path());
            EXPECT_EQ(after.find(".todelete"), std::string::npos) << after;
            EXPECT_EQ(after.find("dummy."), std::string::npos) << after;
        }
    }
}

TEST(SafeJob, MergedDirectoriesComeApartExactly) {
    Scene s("dir");
    if (geteuid() == 0) Own(s.base + "/tree/sub", 777, 0701);
    const std::string before = Listing(s.dir.path());
    new job::MoveFile(s.folder, "tree", s.folder, "x");
    EXPECT_EQ(Kind(s.base + "/tree"), "none");
    EXPECT_EQ(Kind(s.base + "/x/sub/deeper"), "file deeper");
    EXPECT_EQ(Kind(s.base + "/x/sub/b"), "file b");
    EXPECT_EQ(Kind(s.base + "/x/in/c"), "file c");
    vux_job::Rollback();
    EXPECT_EQ(Listing(s.dir.path()), before);
}

TEST(SafeJob, JobsOnOneNameAreUndoneNewestFirst) {
    for (const bool commit : {false, true}) {
        Scene s("file");
        const std::string before = Listing(s.dir.path());
        new job::CreateFile(s.folder, "x", "one");
        new job::CreateDir(s.folder, "x");
        new job::CopyFile(s.folder, "tree", s.folder, "x");
        new job::SymLink(s.folder, "x", "three");
        new job::RemoveFile(s.folder, "x");
        new job::CreateFile(s.folder, "x", "last");
        if (commit) {
            vux_job::Commit();
            EXPECT_EQ(Kind(s.base + "/x"), "file last");
            EXPECT_EQ(Listing(s.dir.path()).find(".todelete"), std::string::npos);
        } else {
            vux_job::Rollback();
            EXPECT_EQ(Listing(s.dir.path()), before);
        }
    }
}

TEST(SafeJob, AMoveOfAMissingSourceChangesNothing) {
    Scene s("dir");
    const std::string before = Listing(s.dir.path());
    new job::MoveFile(s.folder, "missing", s.folder, "x");
    new job::MoveFile(s.folder, "missing", s.folder, "none");
    EXPECT_EQ(Listing(s.dir.path()), before);
    vux_job::Rollback();
    EXPECT_EQ(Listing(s.dir.path()), before);
}

TEST(SafeJob, AFailingConstructorLeavesNothingBehind) {
    Scene s("dir");
    const File renamed = s.folder.MkFile("hl");
    ASSERT_EQ(rename((s.base + "/hl").c_str(), (s.base + "/hl2").c_str()), 0);
    const Folder gone = s.folder.MkFolder("gone");
    s.folder.Remove("gone");
    ASSERT_EQ(mkdir((s.base + "/x/in.d").c_str(), 0755), 0);
    testutil::WriteFile(s.base + "/tree/in.d/f", "f");
    const std::string initial = Listing(s.dir.path());
    new job::CreateFile(s.folder, "early", "early");
    const struct {
        const char* what;
        std::function<void()> make;
        std::string error;
    } cases[] = {
        {"a name with a slash", [&] { new job::CreateFile(s.folder, "a/b", "x"); }, "file/name/a/b/report"},
        {"a folder that is gone", [&] { new job::CreateFile(gone, "x", "x"); }, "file/create/"},
        {"a missing source", [&] { new job::CopyFile(s.folder, "missing", s.folder, "x"); },
         "file/open/missing/report"},
        {"a directory into itself", [&] { new job::MoveFile(s.folder, "x", s.folder.GetFolder("x/sub"), "x"); },
         "file/move/x/report"},
        {"a file renamed away", [&] { new job::HardLink(renamed, s.folder, "x"); }, "file/badfile/hl/report"},
        {"a job that makes jobs", [&] { new Composite(s.folder); }, "file/composite//report"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string at = Listing(s.dir.path());
        EXPECT_EQ(ErrorOf(c.make).substr(0, c.error.size()), c.error);
        EXPECT_EQ(Listing(s.dir.path()), at);
    }
    // A merge that stops halfway puts back what it had moved.
    const std::string at = Listing(s.dir.path());
    if (Immutable(s.base + "/x/in.d", true)) {
        EXPECT_EQ(ErrorOf([&] { new job::MoveFile(s.folder, "tree", s.folder, "x"); }), "file/move/f/report");
        Immutable(s.base + "/x/in.d", false);
        EXPECT_EQ(Listing(s.dir.path()), at);
    }
    vux_job::Rollback();
    EXPECT_EQ(Listing(s.dir.path()), initial);
}

// A job dropped at thread end, or one whose rollback finds its places taken, keeps its
// backup on disk; both say so in the log, as do the moves.
TEST(SafeJob, BackupsThatCannotBeSettledStayOnDisk) {
    Scene s("file");
    testutil::ChDir cd(s.dir.path());
    testutil::WriteFile(s.dir / "etc/debug.conf", "libvux 9\n");
    setenv("VUX_LOGFILE", (s.dir / "safe.log").c_str(), 1);
    vux_log::Init("safe_test", 9);
    std::thread([&] { new job::MoveFile(s.folder, "src", s.folder, "x"); }).join();
    testutil::WriteFile(s.base + "/z", "z");
    new job::MoveFile(s.folder, "z", s.folder, "x");
    testutil::WriteFile(s.base + "/z", "taken");
    vux_job::Rollback();
    vux_log::Close();
    unsetenv("VUX_LOGFILE");
    const std::string log = testutil::ReadFile(s.dir / "safe.log"), left = Listing(s.base);
    EXPECT_NE(log.find("PrivateMove src = '" + s.base + "/src', dst = '" + s.base + "/x'"), std::string::npos);
    EXPECT_NE(log.find("Drop job "), std::string::npos);
    EXPECT_NE(log.find("Exception during MoveFile::Rollback. "), std::string::npos) << log;
    std::multiset<std::string> kept;
    for (const auto& e : std::filesystem::directory_iterator(s.base))
        if (IsTmpName(e.path().filename(), "x.todelete")) kept.insert(Kind(e.path().string() + "/x"));
    EXPECT_EQ(kept, (std::multiset<std::string>{"file old content", "file source"})) << left;
    EXPECT_EQ(Kind(s.base + "/z"), "file taken");
    EXPECT_EQ(Kind(s.base + "/x"), "file z");
}

TEST(FileSafe, ToolCopiesAndRemovesWithoutFollowingLinks) {
    Scene s("link");
    const std::string tree = Listing(s.base + "/tree");
    EXPECT_EQ(Tool("file safe-copy '" + s.base + "/tree' '" + s.base + "/copy'"), 0);
    EXPECT_EQ(Listing(s.base + "/copy"), tree);
    EXPECT_EQ(Tool("file safe-copy '" + s.base + "/x' '" + (s.dir / "x") + "'"), 0);
    EXPECT_EQ(Kind(s.dir / "x"), "link old-target");
    EXPECT_EQ(Tool("file safe-remove '" + s.base + "' copy"), 0);
    EXPECT_EQ(Kind(s.base + "/copy"), "none");
    EXPECT_EQ(Listing(s.base + "/tree"), tree);
    EXPECT_EQ(Tool("file safe-remove '" + s.base + "' tree/sub"), 1);
    EXPECT_EQ(Tool("file safe-copy '" + s.base + "/tree'"), 2);
}

TEST(FileSafe, HostileTreeOwnerCannotLeadTheLayerOutside) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (const std::string why = HostileUser(uid, gid); !why.empty()) GTEST_SKIP() << why;
    testutil::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    testutil::WriteFile(dir / "outside/sub/keep", "keep");
    for (const char* name : {"passwd", "group", "hostname"})
        if (access(("/etc/" + std::string(name)).c_str(), R_OK) == 0)
            std::filesystem::copy_file("/etc/" + std::string(name), dir / ("outside/" + std::string(name)));
    testutil::WriteFile(dir / "outside/passwd", "root:x:0:0::/root:/bin/sh\n");
    testutil::WriteFile(dir / "base/home/d/f", "hostile");
    for (const char* p : {"base/home", "base/home/d", "base/home/d/f"})
        ASSERT_EQ(chown((dir / p).c_str(), uid, gid), 0);
    const std::string outside = Listing(dir / "outside"), real_base = std::filesystem::canonical(dir / "base");
    const std::set<ino_t> out_inodes{vux_file::Info(dir / "outside", true).Inode(),
                                     vux_file::Info(dir / "outside/passwd", true).Inode()};

    const pid_t swapper = Swapper(dir / "base/home", dir / "outside", uid, gid);
    ASSERT_GT(swapper, 0);
    const Folder base(dir / "base"), home = base.GetFolder("home");
    std::set<std::string> violations;
    int rounds = 0, failures = 0, reached = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (; std::chrono::steady_clock::now() < end; ++rounds) {
        try {
            const Folder d = rounds % 2 ? home.GetFolder("d") : vux_file::safe::GetFolder(base, "home/d");
            if (!d) continue;
            ++reached;
            if (out_inodes.count(d.Info().Inode())) violations.insert("a folder outside");
            if (const File f = d.GetFile("f"); f && out_inodes.count(f.Info().Inode()))
                violations.insert("a file outside");
            new job::CreateFile(d, "c", "data", Attrs(0640, uid, gid));
            new job::CopyFile(d, "f", d, "copy");
            new job::MoveFile(d, "copy", d, "moved");
            new job::SymLink(d, "l", "target", Attrs(-1, uid, gid));
            new job::CreateDir(d, "sub", Attrs(0750, uid, gid));
            new job::HardLink(d.GetFile("c"), d, "hl");
            d.Set(Attrs(0755, uid, gid), true);
            home.Copy("d", base, "snapshot");
            base.Remove("snapshot", true);
            if (const std::string real = d.RealName(); real.compare(0, real_base.size(), real_base) != 0)
                violations.insert("real name " + real);
        } catch (const vux_err::Error&) {
            ++failures;
        }
        if (rounds % 3) vux_job::Rollback(); else vux_job::Commit();
    }
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);
    EXPECT_EQ(violations, std::set<std::string>());
    EXPECT_EQ(Listing(dir / "outside"), outside);
    EXPECT_GT(reached, 0);
    RecordProperty("rounds", rounds);
    RecordProperty("failures", failures);
    RecordProperty("reached", reached);
}
