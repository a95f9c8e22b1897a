#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <libvux/vuxfile.h>

#include "test_util.h"

using testutil::TempDir;
using vux_file::Info;

namespace {

// Names the file system must take as they are.
const std::vector<std::string> kOddNames = {"with space", "new\nline", std::string("bad\xff\xfe-utf8"), "-dash",
                                            "tab\there"};
const uid_t kNobody = 65534;

// The object of the file error f throws.
template <class F>
std::string FailOf(F&& f) {
    return testutil::Catch<vux_file::Fail>(f).object();
}

std::string Param(const vux_err::Error& e, const std::string& name) {
    vux_xml::XmlNode text = e.xml().GetNode("/doc/error/param[@name='" + name + "']/text()");
    return text ? text.Str() : "";
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

void Link(const std::string& target, const std::string& at) { ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at; }

void MkDirs(const TempDir& dir, std::initializer_list<const char*> names) {
    for (const char* n : names) ASSERT_EQ(mkdir((dir / n).c_str(), 0755), 0) << n;
}

bool BecomeNobody() { return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0; }

void ChownTree(const std::string& root, uid_t uid) {
    ASSERT_EQ(lchown(root.c_str(), uid, uid), 0);
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        ASSERT_EQ(lchown(e.path().c_str(), uid, uid), 0) << e.path();
}

std::string Content(const std::string& path) {
    try {
        return testutil::ReadFile(path);
    } catch (const std::exception&) {
        return "(unreadable)";
    }
}

// Runs f in a forked child and gives back what it returns ("" when all went well) or
// the description of what it threw.
template <class F>
std::string InChild(F f) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return "pipe";
    const pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        std::string out;
        try {
            out = f();
        } catch (const vux_err::Error& e) {
            out = "threw " + e.type() + "/" + e.object() + " " + e.value();
        } catch (const std::exception& e) {
            out = std::string("threw ") + e.what();
        } catch (...) {
            out = "threw";
        }
        out = "=" + out;
        (void)!write(p[1], out.data(), out.size());
        _exit(0);
    }
    close(p[1]);
    const std::string text = testutil::ReadToEnd(p[0]);
    close(p[0]);
    waitpid(pid, nullptr, 0);
    return text.empty() ? "the child died" : text.substr(1);
}

}  // namespace

TEST(FileInfo, FilesLinksDescriptorsAndDevices) {
    TempDir dir;
    const std::string name = "a file\nwith newline", file = dir / name;
    testutil::WriteFile(file, "12345");
    ASSERT_EQ(chmod(file.c_str(), 0750), 0);
    Link(file, dir / "link");
    Info f(file, false);
    EXPECT_TRUE(f.IsFile());
    EXPECT_FALSE(f.IsDir());
    EXPECT_EQ(f.Size(), 5);
    EXPECT_TRUE(f.IsExecutable());
    EXPECT_FALSE(f.IsMissed());
    EXPECT_EQ(f.GetAttrs().mode(), 0750);
    EXPECT_EQ(f.Owner(), getuid());
    Info followed(dir / "link", false), link(dir / "link", true);
    EXPECT_TRUE(followed.IsFile());
    EXPECT_EQ(followed.Inode(), f.Inode());
    EXPECT_TRUE(link.IsLink());
    EXPECT_FALSE(link.IsFile());
    EXPECT_TRUE(Info(dir.path(), false).IsDir());
    EXPECT_TRUE(Info("/dev/null", false).IsDev());
    ResHandle fd(open(file.c_str(), O_RDONLY | O_CLOEXEC)),
        at(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(fd && at);
    EXPECT_EQ(Info(fd.fd()).Size(), 5);
    EXPECT_EQ(Info(at.fd(), name).Size(), 5);
    EXPECT_TRUE(Info(at.fd(), "nothing").IsMissed());
}

TEST(FileInfo, MissingFilesAndDummies) {
    TempDir dir;
    const std::string missing = dir / "none";
    EXPECT_EQ(testutil::ErrorOf<Info::InfoFail>([&] { Info i(missing, false); }), "file/stat/" + missing + "/report");
    Info soft(missing, 2);
    EXPECT_TRUE(soft.IsMissed());
    EXPECT_EQ(soft.Size(), 0);
    EXPECT_FALSE(soft.IsExecutable());
    EXPECT_THROW(soft.GetAttrs(), vux_file::Fail);
    EXPECT_TRUE(Info(-1).IsMissed());
    // A dangling link exists for lstat only.
    Link(missing, dir / "dangling");
    EXPECT_TRUE(Info(dir / "dangling", 1 | 2).IsLink());
    EXPECT_TRUE(Info(dir / "dangling", 2).IsMissed());
    Info dummy;
    EXPECT_TRUE(dummy.IsMissed());
    EXPECT_FALSE(dummy.IsExecutable());
    testutil::ExpectAssert([&] { dummy.Size(); }, "get size of dummy info", "vuxfile_unix");
    testutil::ExpectAssert([&] { dummy.GetAttrs(); }, "copy permissions on dummy info", "vuxfile_unix");
    testutil::ExpectAssert([&] { dummy.HardLinkCount(); }, "get link of dummy info", "vuxfile_unix");
}

// ---- paths ----

TEST(FilePath, StringsOnly) {
    using namespace vux_file;
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(GoodPath("//a///b/"), "/a/b");
    EXPECT_EQ(GoodPath("/"), "/");
    EXPECT_EQ(GoodPath("///"), "/");
    EXPECT_EQ(GoodPath("a//b/"), "a/b");
    EXPECT_EQ(GoodPath(""), "");
    EXPECT_EQ(SplitPath("/a"), P("", "a"));
    EXPECT_EQ(SplitPath("a/b/c"), P("a/b", "c"));
    EXPECT_EQ(SplitPath("plain"), P("", "plain"));
    EXPECT_EQ(Name("/x/y.conf"), "y.conf");
    EXPECT_EQ(ConcatPath("a/", "/b"), "a/b");
    EXPECT_EQ(ConcatPath("", "b"), "b");
    EXPECT_EQ(ConcatPath("a", ""), "a");
    EXPECT_EQ(ConcatPath("/srv", "www/", "x"), "/srv/www/x");
    EXPECT_EQ(ConcatNPath(4, "/a", "", "b//", "c"), "/a/b/c");
    EXPECT_EQ(ConcatNPath(0), "");
}

// A link is judged by where it points (a write through it lands there); a missing tail
// is kept as written.
TEST(FilePath, RealPathAndIsChildFollowLinks) {
    TempDir dir;
    const std::string base = vux_file::RealPath(dir.path()), tree = dir / "tree";
    MkDirs(dir, {"real", "outside", "tree", "tree2", "tree/a"});
    Link("real", dir / "ln");
    Link("nowhere", dir / "dangling");
    Link(dir / "outside/new", tree + "/abs");
    Link("../outside/new", tree + "/rel");
    Link("sub/new", tree + "/inside");
    Link("rel", tree + "/chain");
    Link(dir / "no-such-dir/new", tree + "/deep");
    Link("/etc", tree + "/out");
    const struct {
        std::string path, want;
    } real[] = {
        {dir / "ln", base + "/real"},
        {dir / "ln/no/../such", base + "/real/no/../such"},
        {"/no-such-root-entry/a", "/no-such-root-entry/a"},
        {dir / "dangling", base + "/nowhere"},
        {tree + "/abs", base + "/outside/new"},
        {tree + "/rel", base + "/outside/new"},
        {tree + "/chain", base + "/outside/new"},
        {tree + "/abs/more/x", base + "/outside/new/more/x"},
        {tree + "/inside", base + "/tree/sub/new"},
        {tree + "/deep", base + "/no-such-dir/new"},
    };
    for (const auto& c : real) EXPECT_EQ(vux_file::RealPath(c.path), c.want) << c.path;
    const struct {
        std::string parent, child;
        bool want;
    } child[] = {
        {tree, tree + "/a", true},
        {tree, tree + "/new/file", true},
        {tree, tree, false},
        {tree, dir / "tree2/a", false},
        {tree, tree + "/b/../../etc", false},
        {tree, tree + "/a/../a/x", true},  // an existing prefix is resolved
        {tree, tree + "/out/passwd", false},
        {tree, tree + "/abs", false},
        {tree, tree + "/rel", false},
        {tree, tree + "/chain", false},
        {tree, tree + "/abs/more", false},
        {tree, tree + "/deep", false},
        {tree, tree + "/inside", true},
        {tree, tree + "/inside/x", true},
        {"/", "/etc", true},
    };
    for (const auto& c : child) EXPECT_EQ(vux_file::IsChild(c.parent, c.child), c.want) << c.child;
    {
        testutil::ChDir cd(dir.path());
        EXPECT_EQ(vux_file::RealPath("x/y"), base + "/x/y");
        EXPECT_EQ(vux_file::RealPath("ln/z"), base + "/real/z");
        EXPECT_EQ(vux_file::GetCurrentDir(), base);
    }
    {
        testutil::ChDir cd(tree);
        EXPECT_EQ(vux_file::RealPath("rel"), base + "/outside/new");
        EXPECT_EQ(vux_file::RealPath("deep/x"), base + "/no-such-dir/new/x");
        EXPECT_FALSE(vux_file::IsChild(".", "rel"));
        EXPECT_TRUE(vux_file::IsChild(".", "inside"));
    }
    // A loop of links resolves to nothing.
    Link("loop2", tree + "/loop1");
    Link("loop1", tree + "/loop2");
    EXPECT_THROW(vux_file::RealPath(tree + "/loop1"), vux_err::Error);
}

TEST(FilePath, GetFullPathSearchesSortedDirectories) {
    TempDir dir;
    testutil::WriteFile(dir / "b/tool-xyz", "#!/bin/sh\n");
    testutil::WriteFile(dir / "a/tool-xyz", "#!/bin/sh\n");
    const std::string saved = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (dir / "b" + ":" + dir / "a").c_str(), 1);
    EXPECT_EQ(vux_file::GetFullPath("tool-xyz"), dir / "a/tool-xyz");
    EXPECT_EQ(vux_file::GetFullPath("no-such-tool-xyz"), "");
    std::string sh = vux_file::GetFullPath("sh");
    EXPECT_TRUE(sh == "/bin/sh" || sh == "/usr/bin/sh") << sh;
    setenv("PATH", saved.c_str(), 1);
}

// ---- contents ----

TEST(FileContent, ReadWriteAppendOddNames) {
    TempDir dir;
    const std::string data = testutil::RandomBytes(300000, 7);
    for (const std::string& name : kOddNames) {
        const std::string path = dir / name;
        vux_file::Write(path, data);
        EXPECT_EQ(vux_file::Read(path), data) << name;
        vux_file::Append(path, "tail");
        EXPECT_EQ(vux_file::Read(path), data + "tail");
        vux_file::Write(path, "short");
        EXPECT_EQ(vux_file::Read(path), "short");
        vux_file::Truncate(path, 2);
        EXPECT_EQ(testutil::ReadFile(path), "sh");
    }
    vux_file::Write(dir / "empty", "");
    EXPECT_EQ(vux_file::Read(dir / "empty"), "");
    // Files that report no size still have content.
    EXPECT_NE(vux_file::Read("/proc/self/status").find("Pid:"), std::string::npos);
}

TEST(FileContent, FailuresAreReportedNotSwallowed) {
    TempDir dir;
    auto e = testutil::Catch<vux_file::Fail>([&] { vux_file::Read(dir / "none"); });
    EXPECT_EQ(e.object(), "open_r");
    EXPECT_EQ(e.value(), dir / "none");
    EXPECT_EQ(vux_file::ReadE(dir / "none"), "");
    EXPECT_EQ(vux_file::ReadE(dir.path()), "");  // a directory reads as an error
    EXPECT_THROW(vux_file::Read(dir.path()), vux_err::Error);
    EXPECT_EQ(FailOf([&] { vux_file::Write(dir / "no/dir/f", "x"); }), "open_w");
    EXPECT_EQ(FailOf([&] { vux_file::Truncate(dir / "none", 0); }), "truncate");
    // A full device must never pass for success, small writes (held in the buffer) included.
    for (std::size_t n : {std::size_t(1), std::size_t(100), std::size_t(1 << 20)}) {
        auto w = testutil::Catch<vux_file::Fail>([&] { vux_file::Write("/dev/full", std::string(n, 'x')); });
        EXPECT_EQ(w.object(), "write");
        EXPECT_EQ(w.value(), "/dev/full");
        EXPECT_EQ(FailOf([&] { vux_file::Append("/dev/full", std::string(n, 'x')); }), "write");
    }
}

TEST(FileContent, CreateIsExclusiveAndRefusesLinks) {
    TempDir dir;
    vux_file::Attrs attrs(0640);
    vux_file::Create(dir / "new", "data", &attrs);
    EXPECT_EQ(testutil::ReadFile(dir / "new"), "data");
    EXPECT_EQ(ModeOf(dir / "new"), 0640u);
    vux_file::Create(dir / "plain", "");
    EXPECT_EQ(ModeOf(dir / "plain"), 0600u);
    EXPECT_EQ(FailOf([&] { vux_file::Create(dir / "new", "other"); }), "open_w");
    EXPECT_EQ(testutil::ReadFile(dir / "new"), "data");
    // A planted link is not followed to its target.
    testutil::WriteFile(dir / "target", "keep");
    Link(dir / "target", dir / "planted");
    EXPECT_THROW(vux_file::Create(dir / "planted", "evil"), vux_file::Fail);
    EXPECT_EQ(testutil::ReadFile(dir / "target"), "keep");
    Link(dir / "absent", dir / "dangling");
    EXPECT_THROW(vux_file::Create(dir / "dangling", "evil"), vux_file::Fail);
    EXPECT_FALSE(vux_file::Exists(dir / "absent"));
}

// ---- trees ----

TEST(FileTree, CopyKeepsLinksModesAndContent) {
    TempDir dir;
    const std::string src = dir / "src";
    testutil::WriteFile(src + "/sub/deep/file", "deep");
    testutil::WriteFile(src + "/" + kOddNames[1], "odd");
    testutil::WriteFile(src + "/big", testutil::RandomBytes(3 << 20, 3));
    ASSERT_EQ(chmod((src + "/sub").c_str(), 0710), 0);
    ASSERT_EQ(chmod((src + "/big").c_str(), 0604), 0);
    Link("sub/deep/file", src + "/link");
    Link("/nonexistent", src + "/dangling");
    ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0600), 0);
    vux_file::Copy(src, dir / "dst");
    EXPECT_EQ(testutil::ReadFile(dir / "dst/sub/deep/file"), "deep");
    EXPECT_EQ(testutil::ReadFile(dir / "dst/" + kOddNames[1]), "odd");
    EXPECT_EQ(testutil::ReadFile(dir / "dst/big"), testutil::ReadFile(src + "/big"));
    EXPECT_EQ(ModeOf(dir / "dst/sub"), 0710u);
    EXPECT_EQ(ModeOf(dir / "dst/big"), 0604u);
    EXPECT_TRUE(Info(dir / "dst/link", true).IsLink());
    EXPECT_EQ(vux_file::ReadLink(dir / "dst/link"), "sub/deep/file");
    EXPECT_EQ(vux_file::ReadLink(dir / "dst/dangling"), "/nonexistent");
    EXPECT_FALSE(vux_file::Exists(dir / "dst/fifo"));  // special files are not copied
    // The caller's attributes win over the source's, at every level.
    vux_file::Attrs attrs(0700);
    vux_file::Copy(src, dir / "dst2", &attrs);
    for (const char* p : {"dst2", "dst2/sub/deep", "dst2/big"}) EXPECT_EQ(ModeOf(dir / p), 0700u) << p;
    // Copying a tree into itself ends.
    vux_file::Copy(src, src + "/sub/again");
    EXPECT_EQ(testutil::ReadFile(src + "/sub/again/sub/deep/file"), "deep");
    EXPECT_FALSE(vux_file::Exists(src + "/sub/again/sub/again"));
    EXPECT_EQ(testutil::Catch<Info::InfoFail>([&] { vux_file::Copy(dir / "none", dir / "x"); }).object(), "stat");
}

TEST(FileTree, CopyFileReplacesReadOnlyTargetsAndCleansUp) {
    TempDir dir;
    testutil::WriteFile(dir / "from", "new content");
    testutil::WriteFile(dir / "to", "old");
    ASSERT_EQ(chmod((dir / "to").c_str(), 0444), 0);
    vux_file::CopyFile(dir / "from", dir / "to");
    EXPECT_EQ(testutil::ReadFile(dir / "to"), "new content");
    // Copying a file onto itself keeps its content.
    vux_file::CopyFile(dir / "from", dir / "from");
    EXPECT_EQ(testutil::ReadFile(dir / "from"), "new content");
    EXPECT_EQ(FailOf([&] { vux_file::CopyFile(dir / "none", dir / "x"); }), "open_r");
    EXPECT_EQ(FailOf([&] { vux_file::CopyFile(dir / "from", dir / "no/dir/x"); }), "open_w");
    // A read error midway leaves no partial target behind.
    MkDirs(dir, {"adir"});
    auto e = testutil::Catch<vux_err::Error>([&] { vux_file::CopyFile(dir / "adir", dir / "partial"); });
    EXPECT_EQ(e.object(), "copy");
    EXPECT_EQ(Param(e, "from"), dir / "adir");
    EXPECT_EQ(Param(e, "to"), dir / "partial");
    EXPECT_EQ(Param(e, "err"), std::to_string(EISDIR));
    EXPECT_FALSE(vux_file::Exists(dir / "partial"));
}

TEST(FileTree, CopyFileFromAPipeGetsEveryByte) {
    TempDir dir;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::string expected;
    for (int i = 0; i < 200; ++i) expected += std::string(997, static_cast<char>('a' + i % 26));
    // The writer dribbles: the copy sees many short reads.
    std::thread writer([&] {
        for (std::size_t off = 0; off < expected.size(); off += 4099) {
            const std::size_t n = std::min<std::size_t>(4099, expected.size() - off);
            EXPECT_EQ(write(p[1], expected.data() + off, n), static_cast<ssize_t>(n));
            if (off % 40000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        close(p[1]);
    });
    vux_file::CopyFile("/proc/self/fd/" + std::to_string(p[0]), dir / "out");
    writer.join();
    close(p[0]);
    EXPECT_EQ(testutil::ReadFile(dir / "out"), expected);
}

TEST(FileTree, MoveRemoveAndMkDir) {
    TempDir dir;
    testutil::WriteFile(dir / "a/f", "1");
    vux_file::Move(dir / "a", dir / "b");
    EXPECT_FALSE(vux_file::Exists(dir / "a"));
    EXPECT_EQ(testutil::ReadFile(dir / "b/f"), "1");
    // Across file systems the move falls back to copy and remove.
    if (access("/dev/shm", W_OK) == 0) {
        vux_file::TmpDir other("/dev/shm/vuxtest");
        vux_file::Move(dir / "b", other.name() + "/b");
        EXPECT_FALSE(vux_file::Exists(dir / "b"));
        EXPECT_EQ(testutil::ReadFile(other.name() + "/b/f"), "1");
    }
    // Removing a link to a directory, alone or inside a tree, leaves the directory's content.
    testutil::WriteFile(dir / "keep/inner", "x");
    Link(dir / "keep", dir / "ln");
    vux_file::Remove(dir / "ln");
    EXPECT_FALSE(vux_file::Exists(dir / "ln"));
    EXPECT_TRUE(vux_file::Exists(dir / "keep/inner"));
    testutil::WriteFile(dir / "tree/x/" + kOddNames[2], "x");
    Link(dir / "keep", dir / "tree/x/ln");
    vux_file::Remove(dir / "tree");
    EXPECT_FALSE(vux_file::Exists(dir / "tree"));
    EXPECT_TRUE(vux_file::Exists(dir / "keep/inner"));
    EXPECT_NO_THROW(vux_file::Remove(dir / "none"));
    EXPECT_NO_THROW(vux_file::RemoveFile(dir / "none"));
    auto rf = testutil::Catch<vux_err::Error>([&] { vux_file::RemoveFile(dir / "keep"); });
    EXPECT_EQ(rf.object(), "remove");
    EXPECT_EQ(Param(rf, "fserr"), std::to_string(EISDIR));
    // New parents get the attributes, an existing one is left alone.
    MkDirs(dir, {"m"});
    vux_file::Attrs attrs(0701), other(0700);
    vux_file::MkDir(dir / "m/b/c", &attrs);
    EXPECT_EQ(ModeOf(dir / "m"), 0755u);
    EXPECT_EQ(ModeOf(dir / "m/b"), 0701u);
    EXPECT_EQ(ModeOf(dir / "m/b/c"), 0701u);
    vux_file::MkDir(dir / "m/b", &other);
    EXPECT_EQ(ModeOf(dir / "m/b"), 0701u);
    vux_file::MkDir(dir / "keep-link-parent//x///");
    EXPECT_TRUE(Info(dir / "keep-link-parent/x", false).IsDir());
    EXPECT_EQ(FailOf([&] { vux_file::MkDir(dir / "keep/inner"); }), "mkdir_not_folder_exists");
    EXPECT_EQ(FailOf([&] { vux_file::MkDir(dir / "m/nope/.."); }), "mkdir");
    Link(dir / "keep", dir / "dirlink");
    EXPECT_NO_THROW(vux_file::MkDir(dir / "dirlink"));
}

TEST(FileTree, LinksAndTheirErrors) {
    TempDir dir;
    testutil::WriteFile(dir / "t", "x");
    vux_file::MkLink("t", dir / "s");
    EXPECT_EQ(vux_file::ReadLink(dir / "s"), "t");
    vux_file::MkHardLink(dir / "t", dir / "h");
    EXPECT_EQ(Info(dir / "t", false).HardLinkCount(), 2u);
    EXPECT_EQ(FailOf([&] { vux_file::MkLink("t", dir / "s"); }), "symlink_exists");
    EXPECT_EQ(FailOf([&] { vux_file::MkHardLink(dir / "t", dir / "h"); }), "symlink_exists");
    auto e = testutil::Catch<vux_err::Error>([&] { vux_file::MkLink("t", dir / "no/dir/s"); });
    EXPECT_EQ(e.object(), "symlink");
    EXPECT_EQ(Param(e, "fserr"), std::to_string(ENOENT));
    auto r = testutil::Catch<vux_err::Error>([&] { vux_file::ReadLink(dir / "t"); });
    EXPECT_EQ(r.object(), "read_link");
    EXPECT_EQ(Param(r, "fserr"), std::to_string(EINVAL));
    // Targets longer than the first buffer.
    std::string longtarget(4095, 'x');
    for (std::size_t i = 200; i < longtarget.size(); i += 200) longtarget[i] = '/';
    Link(longtarget, dir / "long");
    EXPECT_EQ(vux_file::ReadLink(dir / "long"), longtarget);
}

TEST(FileTree, MoveIntoItselfThrowsAndTouchesNothing) {
    TempDir dir;
    testutil::WriteFile(dir / "a/f", "1");
    testutil::WriteFile(dir / "a/sub/g", "2");
    Link(dir / "a/sub", dir / "via");
    for (const char* to : {"a/b", "a/sub/deeper/b", "via/b"})
        EXPECT_EQ(testutil::Catch<vux_err::Error>([&] { vux_file::Move(dir / "a", dir / to); }).type(), "file") << to;
    auto untouched = [&] {
        EXPECT_EQ(testutil::ReadFile(dir / "a/f"), "1");
        EXPECT_EQ(testutil::ReadFile(dir / "a/sub/g"), "2");
        EXPECT_FALSE(vux_file::Exists(dir / "a/b"));
        EXPECT_FALSE(vux_file::Exists(dir / "a/sub/deeper"));
        EXPECT_FALSE(vux_file::Exists(dir / "a/sub/b"));
    };
    untouched();
    // A bind mount makes rename fail for another reason; the copy must still not start.
    if (geteuid() != 0) return;
    EXPECT_EQ(InChild([&]() -> std::string {
                  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                      mkdir((dir / "bind").c_str(), 0755) != 0 ||
                      mount((dir / "a").c_str(), (dir / "bind").c_str(), nullptr, MS_BIND, nullptr) != 0)
                      return "";  // no namespace here: nothing to show
                  // The tree into itself, and a file onto itself under its other name.
                  for (const auto& [from, to] : {std::pair<std::string, std::string>{dir / "a", dir / "bind/sub/b"},
                                                 {dir / "a/f", dir / "bind/f"}}) {
                      try {
                          vux_file::Move(from, to);
                          return "moved " + from + " to " + to;
                      } catch (const vux_err::Error& e) {
                          if (e.type() != "file") return "threw " + e.type();
                      }
                  }
                  return "";
              }),
              "");
    untouched();
}

// ---- trees that other users own, moves across file systems ----

namespace {

void StopChild(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// A process of the tree's owner that, until killed or out of turns, swaps the directory
// `dir` for a link to `outside` and back, as fast as it can. It works from a descriptor of
// dir's parent, opened before it drops root, so it needs no search right on the path there.
pid_t SwapInChild(const std::string& dir, const std::string& outside) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const std::string parent = dir.substr(0, dir.rfind('/'));
    const std::string name = dir.substr(dir.rfind('/') + 1), aside = name + ".aside";
    const int at = open(parent.c_str(), O_RDONLY | O_DIRECTORY);
    if (at < 0 || !BecomeNobody()) _exit(1);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (long i = 0; i < 5000000; ++i) {
        if (renameat(at, name.c_str(), at, aside.c_str()) == 0) {
            if (symlinkat(outside.c_str(), at, name.c_str()) == 0) {
                sched_yield();
                unlinkat(at, name.c_str(), 0);
            }
            renameat(at, aside.c_str(), at, name.c_str());
        }
        if (i % 1024 == 0 && std::chrono::steady_clock::now() > end) break;
    }
    _exit(0);
}

std::size_t CountFiles(const std::string& root) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) n += e.is_regular_file();
    return n;
}

// Round after round, runs op(tree, copy) on a tree of nobody's while its owner swaps
// "tree/d" for a link to a directory of the same names outside it; nothing outside may go,
// and check(copy) looks at what op made.
template <class Op, class Check>
void RaceTheOwner(Op op, Check check) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const int kFiles = 150;
    const std::string tree = dir / "tree", outside = dir / "outside", copy = dir / "copy";
    for (int i = 0; i < kFiles; ++i) {
        testutil::WriteFile(outside + "/f" + std::to_string(i), "secret");
        testutil::WriteFile(outside + "/sub/g" + std::to_string(i), "secret");
        ASSERT_EQ(chmod((outside + "/f" + std::to_string(i)).c_str(), 0600), 0);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int rounds = 0;
    for (; rounds < 40 && std::chrono::steady_clock::now() < end; ++rounds) {
        for (int i = 0; i < kFiles; ++i) {
            testutil::WriteFile(tree + "/d/f" + std::to_string(i), "public");
            testutil::WriteFile(tree + "/d/sub/g" + std::to_string(i), "public");
        }
        ChownTree(tree, kNobody);
        const pid_t swapper = SwapInChild(tree + "/d", outside);
        ASSERT_GT(swapper, 0);
        try {
            op(tree, copy);
        } catch (const vux_err::Error& e) {
            EXPECT_EQ(e.type(), "file") << e.object();
        }
        StopChild(swapper);
        ASSERT_EQ(CountFiles(outside), 2u * kFiles) << "round " << rounds;
        check(copy);
        // The swapper may have been killed with the directory set aside.
        std::filesystem::remove_all(tree);
        std::filesystem::remove_all(copy);
    }
    EXPECT_GT(rounds, 0);
    testing::Test::RecordProperty("rounds", rounds);
}

}  // namespace

TEST(FileHostile, RemoveRacedByTheTreeOwnerStaysInside) {
    RaceTheOwner([](const std::string& tree, const std::string&) { vux_file::Remove(tree); },
                 [](const std::string&) {});
}

TEST(FileHostile, CopyRacedByTheTreeOwnerReadsNothingOutside) {
    RaceTheOwner([](const std::string& tree, const std::string& copy) { vux_file::Copy(tree, copy); },
                 [](const std::string& copy) {
                     if (!vux_file::Exists(copy)) return;
                     for (const auto& e : std::filesystem::recursive_directory_iterator(copy))
                         if (e.is_regular_file() && !e.is_symlink()) {
                             EXPECT_EQ(Content(e.path()), "public") << e.path();
                         }
                 });
}

namespace {

// A directory on another file system than /tmp, for moves that cannot rename: a tmpfs
// mounted on dir/mnt in a private mount namespace (so call it in a child of its own, which
// takes the mount with it), else the directory SpareShm names. "" when there is none.
std::string SpareShm(const TempDir& dir) { return "/dev/shm/" + vux_file::Name(dir.path()); }

std::string OtherFs(const TempDir& dir) {
    const std::string spare = dir / "mnt", shm = SpareShm(dir);
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mkdir(spare.c_str(), 0755) == 0 && mount("tmpfs", spare.c_str(), "tmpfs", 0, "mode=0755") == 0)
        return spare;
    struct stat a, b;
    if (stat("/tmp", &a) == 0 && stat("/dev/shm", &b) == 0 && a.st_dev != b.st_dev && mkdir(shm.c_str(), 0755) == 0)
        return shm;
    return "";
}

// Removes what OtherFs may have left in /dev/shm.
struct ShmCleaner {
    explicit ShmCleaner(const TempDir& dir) : path(SpareShm(dir)) {}
    ~ShmCleaner() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

// Collects failed checks made in a child.
struct Problems {
    std::string text;
    void operator()(bool ok, const std::string& what) {
        if (!ok) text += what + "; ";
    }
};

// A tree with read-only directories, owned by nobody.
void BuildReadOnlyTree(const std::string& src) {
    testutil::WriteFile(src + "/ro/f", "one");
    testutil::WriteFile(src + "/ro/sub/g", "two");
    testutil::WriteFile(src + "/top", "three");
    ChownTree(src, kNobody);
    ASSERT_EQ(chmod((src + "/ro/sub").c_str(), 0500), 0);
    ASSERT_EQ(chmod((src + "/ro").c_str(), 0555), 0);
    ASSERT_EQ(chmod(src.c_str(), 0555), 0);
}

std::string CheckReadOnlyCopy(const std::string& dst) {
    Problems check;
    check(Content(dst + "/ro/f") == "one", "ro/f");
    check(Content(dst + "/ro/sub/g") == "two", "ro/sub/g");
    check(Content(dst + "/top") == "three", "top");
    check(ModeOf(dst) == 0555, "mode of the top");
    check(ModeOf(dst + "/ro") == 0555, "mode of ro");
    check(ModeOf(dst + "/ro/sub") == 0500, "mode of ro/sub");
    return check.text;
}

}  // namespace

// A scratch directory whose "w" belongs to nobody, for tests that act as that user.
class FileTreeAsNobody : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = testutil::UnprivilegedPathsBlocked(); !why.empty()) GTEST_SKIP() << why;
        if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "w").c_str(), 0755), 0);
        ASSERT_EQ(chown((dir / "w").c_str(), kNobody, kNobody), 0);
    }
    TempDir dir;
};

TEST_F(FileTreeAsNobody, ReadOnlyDirectoriesAreCopiedByTheirOwner) {
    const std::string src = dir / "w/src";
    BuildReadOnlyTree(src);
    EXPECT_EQ(InChild([&]() -> std::string {
                  if (!BecomeNobody()) return "setuid";
                  vux_file::Copy(src, dir / "w/copy");
                  // New parents get the top's mode too, after what goes in them.
                  vux_file::Copy(src, dir / "w/p1/p2/copy");
                  return "";
              }),
              "");
    EXPECT_EQ(CheckReadOnlyCopy(dir / "w/copy"), "");
    EXPECT_EQ(CheckReadOnlyCopy(dir / "w/p1/p2/copy"), "");
    EXPECT_EQ(ModeOf(dir / "w/p1"), 0555u);
    EXPECT_EQ(ModeOf(dir / "w/p1/p2"), 0555u);
    EXPECT_EQ(Info(dir / "w/copy/ro/f", true).Owner(), kNobody);
}

TEST_F(FileTreeAsNobody, CrossDeviceMoveOfAReadOnlyTreeByItsOwner) {
    const std::string src = dir / "w/src";
    BuildReadOnlyTree(src);
    ShmCleaner cleaner(dir);
    const std::string r = InChild([&]() -> std::string {
        const std::string other = OtherFs(dir);
        if (other.empty()) return "skip";
        if (chown(other.c_str(), kNobody, kNobody) != 0 || !BecomeNobody()) return "setuid";
        vux_file::Move(src, other + "/dst/moved");
        return CheckReadOnlyCopy(other + "/dst/moved");
    });
    if (r == "skip") GTEST_SKIP() << "no second file system";
    EXPECT_EQ(r, "");
    EXPECT_FALSE(vux_file::Exists(src));
}

TEST(FileTree, CrossDeviceMoveKeepsSpecialFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make device nodes";
    TempDir dir;
    const std::string src = dir / "src";
    testutil::WriteFile(src + "/file", "x");
    ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0640), 0);
    ASSERT_EQ(chmod((src + "/fifo").c_str(), 0642), 0);
    ASSERT_EQ(mknod((src + "/null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    ASSERT_EQ(chmod((src + "/null").c_str(), 0620), 0);
    ASSERT_EQ(mkdir((src + "/in").c_str(), 0750), 0);
    ASSERT_EQ(chmod((src + "/in").c_str(), 0750), 0);
    ASSERT_EQ(mknod((src + "/in/sock").c_str(), S_IFSOCK | 0600, 0), 0);
    ASSERT_EQ(chmod((src + "/in/sock").c_str(), 0604), 0);
    ASSERT_EQ(lchown((src + "/in/sock").c_str(), kNobody, kNobody), 0);
    ShmCleaner cleaner(dir);
    const std::string r = InChild([&]() -> std::string {
        const std::string other = OtherFs(dir);
        if (other.empty()) return "skip";
        const std::string dst = other + "/dst";
        vux_file::Move(src, dst);
        Problems check;
        struct stat st;
        auto is = [&](const char* name, mode_t type, mode_t mode) {
            return lstat((dst + name).c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type &&
                   (st.st_mode & 07777) == mode;
        };
        check(Content(dst + "/file") == "x", "file");
        check(is("/fifo", S_IFIFO, 0642), "fifo");
        check(is("/null", S_IFCHR, 0620) && st.st_rdev == makedev(1, 3), "device");
        check(is("/in/sock", S_IFSOCK, 0604) && st.st_uid == kNobody, "socket");
        check(ModeOf(dst + "/in") == 0750, "mode of in");
        return check.text;
    });
    if (r == "skip") GTEST_SKIP() << "no second file system";
    EXPECT_EQ(r, "");
    EXPECT_FALSE(vux_file::Exists(src));
}

TEST_F(FileTreeAsNobody, CrossDeviceMoveThatCannotKeepAnEntryRemovesNothing) {
    const std::string src = dir / "w/src";
    testutil::WriteFile(src + "/file", "x");
    testutil::WriteFile(src + "/sub/more", "y");
    ASSERT_EQ(mkfifo((src + "/sub/fifo").c_str(), 0600), 0);
    ASSERT_EQ(mknod((src + "/sub/null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    ChownTree(src, kNobody);
    ShmCleaner cleaner(dir);
    const std::string r = InChild([&]() -> std::string {
        const std::string other = OtherFs(dir);
        if (other.empty()) return "skip";
        if (chown(other.c_str(), kNobody, kNobody) != 0 || !BecomeNobody()) return "setuid";
        // Only root may make a device node: the move cannot be complete.
        try {
            vux_file::Move(src, other + "/dst");
            return "moved without the device";
        } catch (const vux_err::Error& e) {
            if (e.type() != "file") return "threw " + e.type();
        }
        return vux_file::Exists(other + "/dst") ? "a partial copy was left" : "";
    });
    if (r == "skip") GTEST_SKIP() << "no second file system";
    EXPECT_EQ(r, "");
    EXPECT_EQ(testutil::ReadFile(src + "/file"), "x");
    EXPECT_EQ(testutil::ReadFile(src + "/sub/more"), "y");
    EXPECT_TRUE(Info(src + "/sub/null", true).IsDev());
    EXPECT_TRUE(S_ISFIFO(Info(src + "/sub/fifo", true).Mode()));
}

// ---- attributes ----

TEST(FileAttrs, MergingTakesOnlyWhatIsSet) {
    vux_file::Attrs a(017777), b(-1, 5);
    EXPECT_EQ(a.mode(), 07777);
    EXPECT_FALSE(a.has_owner() || a.has_group() || b.has_mode());
    a.set(b);
    EXPECT_EQ(a.mode(), 07777);
    EXPECT_EQ(a.owner(), 5u);
    a.drop_mode().set_group(9);
    EXPECT_FALSE(a.has_mode());
    EXPECT_EQ(a.group(), 9u);
    EXPECT_EQ(a.set_mode(0100644).mode(), 0644);
}

TEST(FileAttrs, RecursiveSetDoesNotFollowLinksOutOfTheTree) {
    TempDir dir;
    testutil::WriteFile(dir / "outside", "secret");
    ASSERT_EQ(chmod((dir / "outside").c_str(), 0600), 0);
    testutil::WriteFile(dir / "tree/a/f", "x");
    Link(dir / "outside", dir / "tree/a/ln");
    Link("..", dir / "tree/a/up");                            // would loop if followed
    ASSERT_EQ(mkfifo((dir / "tree/fifo").c_str(), 0600), 0);  // must not block the walk
    const bool root = geteuid() == 0;
    const unsigned id = root ? kNobody : vux_file::Attrs::NotSet;
    vux_file::Attrs(0751, id, id).Set(dir / "tree", true);
    for (const char* p : {"tree", "tree/a/f", "tree/fifo"}) EXPECT_EQ(ModeOf(dir / p), 0751u) << p;
    EXPECT_EQ(ModeOf(dir / "outside"), 0600u);
    if (root) {
        EXPECT_EQ(Info(dir / "tree/a/f", false).Owner(), kNobody);
        EXPECT_EQ(Info(dir / "outside", false).Owner(), 0u);
    }
    vux_file::Attrs(0640).Set(dir / "outside");
    EXPECT_EQ(ModeOf(dir / "outside"), 0640u);
    EXPECT_EQ(FailOf([&] { vux_file::Attrs(0600).Set(dir / "none", true); }), "open_r");
    EXPECT_EQ(FailOf([&] { vux_file::Attrs(0600).Set(dir / "none"); }), "set_permissions");
}

TEST(FileAttrs, SafeSetSkipsLinkedFilesAndRefusesLinks) {
    TempDir dir;
    testutil::WriteFile(dir / "tree/single", "1");
    testutil::WriteFile(dir / "victim", "2");
    ASSERT_EQ(chmod((dir / "victim").c_str(), 0600), 0);
    ASSERT_EQ(link((dir / "victim").c_str(), (dir / "tree/hard").c_str()), 0);
    vux_file::Attrs(0644).SafeSet(dir / "tree", true);
    EXPECT_EQ(ModeOf(dir / "tree"), 0644u);
    EXPECT_EQ(ModeOf(dir / "tree/single"), 0644u);
    EXPECT_EQ(ModeOf(dir / "victim"), 0600u);
    vux_file::Attrs(0666).SafeSet(dir / "victim");
    EXPECT_EQ(ModeOf(dir / "victim"), 0600u);
    Link(dir / "tree/single", dir / "ln");
    EXPECT_EQ(FailOf([&] { vux_file::Attrs(0600).SafeSet(dir / "ln"); }), "open_r");
    EXPECT_EQ(ModeOf(dir / "tree/single"), 0644u);
}

TEST(FileAttrs, RelativeToADirectoryDescriptor) {
    TempDir dir;
    testutil::WriteFile(dir / "d/sub/f", "x");
    testutil::WriteFile(dir / "outside", "x");
    ASSERT_EQ(chmod((dir / "outside").c_str(), 0600), 0);
    Link(dir / "outside", dir / "d/ln");
    ResHandle at(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(at);
    vux_file::Attrs(0700).Set(at.fd(), "d", true);
    EXPECT_EQ(ModeOf(dir / "d"), 0700u);
    EXPECT_EQ(ModeOf(dir / "d/sub/f"), 0700u);
    EXPECT_EQ(ModeOf(dir / "outside"), 0600u);
    EXPECT_EQ(FailOf([&] { vux_file::Attrs(0700).Set(at.fd(), "none", false); }), "open");
}

// ---- listings ----

TEST(FileDir, ListsEverythingButDots) {
    TempDir dir;
    std::set<std::string> expected(kOddNames.begin(), kOddNames.end()), seen;
    expected.insert("x.conf");
    for (const std::string& n : expected) testutil::WriteFile(dir / n, "");
    vux_file::Dir d(dir.path() + "///");
    int confs = 0;
    while (d.Read()) {
        seen.insert(d.name());
        EXPECT_EQ(d.FullName(), dir / d.name());
        EXPECT_TRUE(d.Info(true).IsFile());
        confs += d.HasExt(".conf");
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(confs, 1);
    EXPECT_FALSE(d.Read());
    EXPECT_FALSE(vux_file::Dir(dir / "none", 2).Read());
    EXPECT_EQ(FailOf([&] { vux_file::Dir x(dir / "none"); }), "open_folder");
    EXPECT_EQ(FailOf([&] { vux_file::Dir x(dir / "x.conf", 2); }), "open_folder");
    vux_file::Dir root("");
    EXPECT_EQ((root.Read(), root.FullName().substr(0, 1)), "/");
    testutil::ExpectAssert([] { vux_file::Dir().Read(); }, "read from dummy dir", "vuxfile_unix");

    // A descriptor's listing leaves the descriptor and its position alone.
    ResHandle fd(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    const off_t before = lseek(fd.fd(), 0, SEEK_CUR);
    std::size_t count = 0;
    {
        vux_file::Dir byfd(fd.fd());
        while (byfd.Read()) ++count;
        EXPECT_TRUE(byfd.HasPrefix(""));
    }
    EXPECT_EQ(count, expected.size());
    EXPECT_EQ(lseek(fd.fd(), 0, SEEK_CUR), before);
    EXPECT_EQ(fcntl(fd.fd(), F_GETFD), FD_CLOEXEC);
}

// ---- locks ----

namespace {

// A child process that holds a lock until killed; returns its pid once it holds it.
pid_t HoldInChild(const std::string& path, bool exclusive) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0640);
        if (fd < 0 || flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0 || write(ready[1], "1", 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char c;
    const bool ok = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    return ok ? pid : -1;
}

// Kills the holder after `ms`, having done `first`.
std::thread KillLater(pid_t pid, int ms, std::function<void()> first = nullptr) {
    return std::thread([=] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (first) first();
        StopChild(pid);
    });
}

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(FileLock, HeldByAnotherProcessUntilItDies) {
    TempDir dir;
    const std::string path = dir / "lock file";
    const pid_t child = HoldInChild(path, true);
    ASSERT_GT(child, 0);
    vux_file::Lock lock;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock.TryLock(path, true));
    EXPECT_FALSE(lock.TryLock(path, false));
    EXPECT_LT(Since(start), 0.5);
    EXPECT_FALSE(lock);
    EXPECT_EQ(testutil::Catch<vux_file::Lock::LockFail>([&] { lock.DoLockWithTimeout(path, true, 0, 1); }).object(),
              "lock");
    // A blocking lock waits for the holder's death.
    std::thread killer = KillLater(child, 200);
    lock.DoLock(path, true);
    killer.join();
    EXPECT_TRUE(lock);
    EXPECT_EQ(ModeOf(path), 0640u);
    EXPECT_EQ(fcntl(lock.GetResHandle().fd(), F_GETFD), FD_CLOEXEC);
    // Another descriptor in this process is excluded as well; copies share the lock.
    vux_file::Lock other;
    EXPECT_FALSE(other.TryLock(path, true));
    {
        vux_file::Lock copy = lock;
        lock.Release();
        EXPECT_FALSE(other.TryLock(path, true));
    }
    EXPECT_TRUE(other.TryLock(path, true));
}

// Shared holders coexist and keep an exclusive one out; a time-out is time, with an
// interval or without.
TEST(FileLock, SharedLocksCoexistAndTimeoutsAreTime) {
    TempDir dir;
    const std::string path = dir / "l";
    pid_t child = HoldInChild(path, false);
    ASSERT_GT(child, 0);
    vux_file::Lock shared, lock;
    EXPECT_TRUE(shared.TryLock(path, false));
    EXPECT_FALSE(lock.TryLock(path, true));
    shared.Release();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(testutil::Catch<vux_file::Lock::LockFail>([&] { lock.DoLockWithTimeout(path, true, 1, 0); }).object(),
              "lock");
    EXPECT_GE(Since(start), 0.95);
    EXPECT_LT(Since(start), 3);
    // Freed within the time-out: taken without waiting for a whole interval.
    std::thread killer = KillLater(child, 400);
    start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(lock.DoLockWithTimeout(path, true, 5, 0));
    killer.join();
    EXPECT_TRUE(lock);
    EXPECT_LT(Since(start), 2);
    // A time-out shorter than the interval is kept too; a longer one outlasts the holder.
    lock.Release();
    child = HoldInChild(path, true);
    ASSERT_GT(child, 0);
    start = std::chrono::steady_clock::now();
    EXPECT_THROW(lock.DoLockWithTimeout(path, true, 1, 30), vux_file::Lock::LockFail);
    EXPECT_LT(Since(start), 3);
    killer = KillLater(child, 300);
    lock.DoLockWithTimeout(path, true, 5, 1);
    killer.join();
    EXPECT_TRUE(lock);
}

TEST(FileLock, ReplacedLockFileIsLockedAfresh) {
    TempDir dir;
    const std::string path = dir / "l";
    const pid_t child = HoldInChild(path, true);
    ASSERT_GT(child, 0);
    vux_file::Lock lock;
    // The holder's death releases the lock on the old, removed file.
    std::thread replacer = KillLater(child, 200, [path] {
        unlink(path.c_str());
        testutil::WriteFile(path, "");
    });
    lock.DoLock(path, true);
    replacer.join();
    ASSERT_TRUE(lock);
    struct stat locked, now;
    ASSERT_EQ(fstat(lock.GetResHandle().fd(), &locked), 0);
    ASSERT_EQ(stat(path.c_str(), &now), 0);
    EXPECT_EQ(locked.st_ino, now.st_ino);
}

TEST(FileLock, ContentOfTheLockFile) {
    TempDir dir;
    vux_file::Lock lock(dir / "pid", true), reader;
    lock.Write("12345\n");
    lock.Append("more");
    EXPECT_EQ(testutil::ReadFile(dir / "pid"), "12345\nmore");
    lock.Write("1");
    EXPECT_EQ(testutil::ReadFile(dir / "pid"), "1");
    testutil::WriteFile(dir / "other", std::string(5000, 'r'));
    ASSERT_TRUE(reader.TryLock(dir / "other", false));
    EXPECT_EQ(reader.Read(), std::string(5000, 'r'));
    testutil::ExpectAssert([] { vux_file::Lock().Write("x"); }, "try to write to dummy lock", "vuxfile_unix");
    EXPECT_THROW(vux_file::Lock(dir / "no/dir/l", true), vux_file::Lock::LockFail);
}

// ---- temporary entries ----

TEST(FileTmp, RemovedUnlessKept) {
    TempDir dir;
    std::string a, b, kept;
    {
        vux_file::Tmp t(dir / "t");
        a = t.name();
        EXPECT_EQ(a.substr(0, (dir / "t.").size()), dir / "t.");
        EXPECT_TRUE(Info(a, false).IsFile());
        vux_file::TmpDir d(dir / "d");
        b = d.name();
        EXPECT_EQ(b.substr(0, (dir / "d_").size()), dir / "d_");
        testutil::WriteFile(b + "/nested/file", "x");
        vux_file::Tmp k(dir / "k");
        kept = k.Keep();
        // A removal that fails stays inside the destructor.
        vux_file::TmpDir gone(dir / "g");
        rmdir(gone.name().c_str());
    }
    EXPECT_FALSE(vux_file::Exists(a));
    EXPECT_FALSE(vux_file::Exists(b));
    EXPECT_TRUE(vux_file::Exists(kept));
    auto e = testutil::Catch<vux_err::Error>([&] { vux_file::Tmp t(dir / "no/dir/t"); });
    EXPECT_EQ(e.object(), "tmp_file");
    EXPECT_EQ(e.value(), dir / "no/dir/t");
    EXPECT_EQ(Param(e, "id"), "-1");
    EXPECT_EQ(FailOf([&] { vux_file::TmpDir t(dir / "no/dir/t"); }), "tmp_dir");
}

// ---- descriptors ----

TEST(FileDescriptors, NoLeaksAndCloseOnExec) {
    TempDir dir;
    testutil::WriteFile(dir / "src/a", testutil::RandomBytes(10000, 1));
    testutil::WriteFile(dir / "src/sub/b", "b");
    const std::set<int> before = testutil::OpenFds();
    for (int i = 0; i < 100; ++i) {
        const std::string n = std::to_string(i);
        vux_file::Write(dir / "f" + n, "data" + n);
        vux_file::Append(dir / "f" + n, "more");
        EXPECT_EQ(vux_file::Read(dir / "f" + n), "data" + n + "more");
        vux_file::Copy(dir / "src", dir / "copy" + n);
        vux_file::Attrs(0700).Set(dir / "copy" + n, true);
        vux_file::Attrs(0750).SafeSet(dir / "copy" + n, true);
        {
            vux_file::Dir d(dir.path());
            d.Read();
            vux_file::Lock l(dir / "lock", true);
            vux_file::Tmp t(dir / "tmp");
            vux_stream::InStream in(dir / "f" + n);
            vux_stream::BackReader back(in);
            std::string line;
            back.GetLine(line);
            for (int fd : testutil::OpenFds())
                if (!before.count(fd)) {
                    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "fd " << fd;
                }
        }
        // Failures must not leak either.
        EXPECT_THROW(vux_file::Read(dir / "none"), vux_file::Fail);
        EXPECT_THROW(vux_file::CopyFile(dir / "src", dir / "x"), vux_err::Error);
        EXPECT_THROW(vux_file::Create(dir / "f" + n, "x"), vux_file::Fail);
        EXPECT_THROW(vux_file::Write("/dev/full", "x"), vux_file::Fail);
        vux_file::Remove(dir / "copy" + n);
    }
    EXPECT_EQ(testutil::OpenFds(), before);
}
