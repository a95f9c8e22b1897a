#include <dirent.h>
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

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <libvux/vuxfile.h>

#include "test_util.h"

using vux_file::Info;

TEST(FileInfo, RegularFileDirectoryAndLink) {
    testutil::TempDir dir;
    std::string file = dir / "a file\nwith newline";
    testutil::WriteFile(file, "12345");
    ASSERT_EQ(chmod(file.c_str(), 0750), 0);
    ASSERT_EQ(symlink(file.c_str(), (dir / "link").c_str()), 0);

    Info f(file, false);
    EXPECT_TRUE(f.IsFile());
    EXPECT_FALSE(f.IsDir());
    EXPECT_EQ(f.Size(), 5);
    EXPECT_TRUE(f.IsExecutable());
    EXPECT_FALSE(f.IsMissed());
    EXPECT_EQ(f.GetAttrs().mode(), 0750);
    EXPECT_EQ(f.Owner(), getuid());

    Info followed(dir / "link", false);
    EXPECT_TRUE(followed.IsFile());
    EXPECT_EQ(followed.Inode(), f.Inode());
    Info link(dir / "link", true);
    EXPECT_TRUE(link.IsLink());
    EXPECT_FALSE(link.IsFile());

    EXPECT_TRUE(Info(dir.path(), false).IsDir());
}

TEST(FileInfo, MissingFiles) {
    testutil::TempDir dir;
    std::string missing = dir / "none";
    try {
        Info i(missing, false);
        FAIL() << "a missing file must throw";
    } catch (const Info::InfoFail& e) {
        EXPECT_EQ(e.type(), "file");
        EXPECT_EQ(e.object(), "stat");
        EXPECT_EQ(e.value(), missing);
        EXPECT_EQ(e.xml().GetNode("/doc/error").GetProp("report"), "yes");
    }
    Info soft(missing, 2);
    EXPECT_TRUE(soft.IsMissed());
    EXPECT_EQ(soft.Size(), 0);
    EXPECT_FALSE(soft.IsExecutable());
    EXPECT_THROW(soft.GetAttrs(), vux_file::Fail);
    EXPECT_TRUE(Info(-1).IsMissed());
    // A dangling link exists for lstat only.
    ASSERT_EQ(symlink(missing.c_str(), (dir / "dangling").c_str()), 0);
    EXPECT_TRUE(Info(dir / "dangling", 1 | 2).IsLink());
    EXPECT_TRUE(Info(dir / "dangling", 2).IsMissed());
}

TEST(FileInfo, DescriptorsAndDevices) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "f", std::string(1000, 'x'));
    int fd = open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Info(fd).Size(), 1000);
    int dfd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dfd, 0);
    EXPECT_EQ(Info(dfd, "f").Size(), 1000);
    EXPECT_TRUE(Info(dfd, "nothing").IsMissed());
    close(dfd);
    close(fd);
    EXPECT_TRUE(Info("/dev/null", false).IsDev());
}

TEST(FileInfo, DummyAccessorsAssert) {
    Info dummy;
    EXPECT_TRUE(dummy.IsMissed());
    EXPECT_FALSE(dummy.IsExecutable());
    try {
        dummy.Size();
        FAIL();
    } catch (const vux_err::AssertError& a) {
        EXPECT_STREQ(a.file(), "vuxfile_unix");
        EXPECT_EQ(a.desc(), "get size of dummy info");
    }
    try {
        dummy.GetAttrs();
        FAIL();
    } catch (const vux_err::AssertError& a) {
        EXPECT_EQ(a.desc(), "copy permissions on dummy info");
    }
    try {
        dummy.HardLinkCount();
        FAIL();
    } catch (const vux_err::AssertError& a) {
        EXPECT_EQ(a.desc(), "get link of dummy info");
    }
}

// ---- paths ----

TEST(FilePath, StringsOnly) {
    using namespace vux_file;
    EXPECT_EQ(GoodPath("//a///b/"), "/a/b");
    EXPECT_EQ(GoodPath("/"), "/");
    EXPECT_EQ(GoodPath("///"), "/");
    EXPECT_EQ(GoodPath("a//b/"), "a/b");
    EXPECT_EQ(GoodPath(""), "");
    EXPECT_EQ(SplitPath("/a"), std::make_pair(std::string(), std::string("a")));
    EXPECT_EQ(SplitPath("a/b/c"), std::make_pair(std::string("a/b"), std::string("c")));
    EXPECT_EQ(SplitPath("plain"), std::make_pair(std::string(), std::string("plain")));
    EXPECT_EQ(Name("/x/y.conf"), "y.conf");
    EXPECT_EQ(ConcatPath("a/", "/b"), "a/b");
    EXPECT_EQ(ConcatPath("", "b"), "b");
    EXPECT_EQ(ConcatPath("a", ""), "a");
    EXPECT_EQ(ConcatPath("/srv", "www/", "x"), "/srv/www/x");
    EXPECT_EQ(ConcatNPath(4, "/a", "", "b//", "c"), "/a/b/c");
    EXPECT_EQ(ConcatNPath(0), "");
}

TEST(FilePath, RealPathOfPartlyExistingPaths) {
    testutil::TempDir dir;
    std::string base = vux_file::RealPath(dir.path());
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", (dir / "ln").c_str()), 0);
    EXPECT_EQ(vux_file::RealPath(dir / "ln"), base + "/real");
    // The missing tail is kept as written.
    EXPECT_EQ(vux_file::RealPath(dir / "ln/no/../such"), base + "/real/no/../such");
    {
        testutil::ChDir cd(dir.path());
        EXPECT_EQ(vux_file::RealPath("x/y"), base + "/x/y");
        EXPECT_EQ(vux_file::RealPath("ln/z"), base + "/real/z");
        EXPECT_EQ(vux_file::GetCurrentDir(), base);
    }
    EXPECT_EQ(vux_file::RealPath("/no-such-root-entry/a"), "/no-such-root-entry/a");
    // A dangling link is judged by where it points: a write through it lands there.
    ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
    EXPECT_EQ(vux_file::RealPath(dir / "dangling"), base + "/nowhere");
}

TEST(FilePath, IsChild) {
    testutil::TempDir dir;
    ASSERT_EQ(mkdir((dir / "srv").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "srv2").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "srv/a").c_str(), 0755), 0);
    EXPECT_TRUE(vux_file::IsChild(dir / "srv", dir / "srv/a"));
    EXPECT_TRUE(vux_file::IsChild(dir / "srv", dir / "srv/new/file"));
    EXPECT_FALSE(vux_file::IsChild(dir / "srv", dir / "srv"));
    EXPECT_FALSE(vux_file::IsChild(dir / "srv", dir / "srv2/a"));
    EXPECT_FALSE(vux_file::IsChild(dir / "srv", dir / "srv/b/../../etc"));
    // An existing prefix is resolved: the ".." is gone and the result is a child.
    EXPECT_TRUE(vux_file::IsChild(dir / "srv", dir / "srv/a/../a/x"));
    // A link inside the tree that leads out of it is not a child.
    ASSERT_EQ(symlink("/etc", (dir / "srv/out").c_str()), 0);
    EXPECT_FALSE(vux_file::IsChild(dir / "srv", dir / "srv/out/passwd"));
    EXPECT_TRUE(vux_file::IsChild("/", "/etc"));
}

TEST(FilePath, LinksAreJudgedByWhereTheyPoint) {
    testutil::TempDir dir;
    std::string base = vux_file::RealPath(dir.path());
    std::string tree = dir / "tree";
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "outside/new").c_str(), (tree + "/abs").c_str()), 0);
    ASSERT_EQ(symlink("../outside/new", (tree + "/rel").c_str()), 0);
    ASSERT_EQ(symlink("sub/new", (tree + "/inside").c_str()), 0);
    ASSERT_EQ(symlink("rel", (tree + "/chain").c_str()), 0);
    ASSERT_EQ(symlink((dir / "no-such-dir/new").c_str(), (tree + "/deep").c_str()), 0);

    EXPECT_EQ(vux_file::RealPath(tree + "/abs"), base + "/outside/new");
    EXPECT_EQ(vux_file::RealPath(tree + "/rel"), base + "/outside/new");
    EXPECT_EQ(vux_file::RealPath(tree + "/chain"), base + "/outside/new");
    EXPECT_EQ(vux_file::RealPath(tree + "/abs/more/x"), base + "/outside/new/more/x");
    EXPECT_EQ(vux_file::RealPath(tree + "/inside"), base + "/tree/sub/new");
    EXPECT_EQ(vux_file::RealPath(tree + "/deep"), base + "/no-such-dir/new");
    for (const char* name : {"/abs", "/rel", "/chain", "/abs/more", "/deep"})
        EXPECT_FALSE(vux_file::IsChild(tree, tree + name)) << name;
    EXPECT_TRUE(vux_file::IsChild(tree, tree + "/inside"));
    EXPECT_TRUE(vux_file::IsChild(tree, tree + "/inside/x"));
    {
        testutil::ChDir cd(tree);
        EXPECT_EQ(vux_file::RealPath("rel"), base + "/outside/new");
        EXPECT_EQ(vux_file::RealPath("deep/x"), base + "/no-such-dir/new/x");
        EXPECT_FALSE(vux_file::IsChild(".", "rel"));
        EXPECT_TRUE(vux_file::IsChild(".", "inside"));
    }
    // A loop of links resolves to nothing.
    ASSERT_EQ(symlink("loop2", (tree + "/loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", (tree + "/loop2").c_str()), 0);
    EXPECT_THROW(vux_file::RealPath(tree + "/loop1"), vux_err::Error);
}

TEST(FilePath, GetFullPathSearchesSortedDirectories) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "b/tool-xyz", "#!/bin/sh\n");
    testutil::WriteFile(dir / "a/tool-xyz", "#!/bin/sh\n");
    const char* old = getenv("PATH");
    std::string saved = old ? old : "";
    setenv("PATH", (dir / "b" + ":" + dir / "a").c_str(), 1);
    EXPECT_EQ(vux_file::GetFullPath("tool-xyz"), dir / "a/tool-xyz");
    EXPECT_EQ(vux_file::GetFullPath("no-such-tool-xyz"), "");
    std::string sh = vux_file::GetFullPath("sh");
    EXPECT_TRUE(sh == "/bin/sh" || sh == "/usr/bin/sh") << sh;
    setenv("PATH", saved.c_str(), 1);
}

namespace {

// Names the file system must take as they are.
const std::vector<std::string> kOddNames = {"with space", "new\nline", std::string("bad\xff\xfe-utf8"), "-dash",
                                            "tab\there"};

template <class E, class F>
E Catch(F f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    throw std::runtime_error("no exception");
}

std::string Param(const vux_err::Error& e, const std::string& name) {
    vux_xml::XmlNode text = e.xml().GetNode("/doc/error/param[@name='" + name + "']/text()");
    return text ? text.Str() : "";
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

}  // namespace

// ---- contents ----

TEST(FileContent, ReadWriteAppendOddNames) {
    testutil::TempDir dir;
    std::string data = testutil::RandomBytes(300000, 7);
    for (const std::string& name : kOddNames) {
        std::string path = dir / name;
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
    testutil::TempDir dir;
    auto e = Catch<vux_file::Fail>([&] { vux_file::Read(dir / "none"); });
    EXPECT_EQ(e.object(), "open_r");
    EXPECT_EQ(e.value(), dir / "none");
    EXPECT_EQ(vux_file::ReadE(dir / "none"), "");
    EXPECT_EQ(vux_file::ReadE(dir.path()), "");  // a directory reads as an error
    EXPECT_THROW(vux_file::Read(dir.path()), vux_err::Error);
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::Write(dir / "no/dir/f", "x"); }).object(), "open_w");
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::Truncate(dir / "none", 0); }).object(), "truncate");
    // A full device must never pass for success, small writes (held in the buffer) included.
    for (std::size_t n : {std::size_t(1), std::size_t(100), std::size_t(1 << 20)}) {
        auto w = Catch<vux_file::Fail>([&] { vux_file::Write("/dev/full", std::string(n, 'x')); });
        EXPECT_EQ(w.object(), "write");
        EXPECT_EQ(w.value(), "/dev/full");
        EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::Append("/dev/full", std::string(n, 'x')); }).object(),
                  "write");
    }
}

TEST(FileContent, CreateIsExclusiveAndRefusesLinks) {
    testutil::TempDir dir;
    vux_file::Attrs attrs(0640);
    vux_file::Create(dir / "new", "data", &attrs);
    EXPECT_EQ(testutil::ReadFile(dir / "new"), "data");
    EXPECT_EQ(ModeOf(dir / "new"), 0640u);
    vux_file::Create(dir / "plain", "");
    EXPECT_EQ(ModeOf(dir / "plain"), 0600u);
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::Create(dir / "new", "other"); }).object(), "open_w");
    EXPECT_EQ(testutil::ReadFile(dir / "new"), "data");
    // A planted link is not followed to its target.
    testutil::WriteFile(dir / "target", "keep");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "planted").c_str()), 0);
    EXPECT_THROW(vux_file::Create(dir / "planted", "evil"), vux_file::Fail);
    EXPECT_EQ(testutil::ReadFile(dir / "target"), "keep");
    ASSERT_EQ(symlink((dir / "absent").c_str(), (dir / "dangling").c_str()), 0);
    EXPECT_THROW(vux_file::Create(dir / "dangling", "evil"), vux_file::Fail);
    EXPECT_FALSE(vux_file::Exists(dir / "absent"));
}

// ---- trees ----

TEST(FileTree, CopyKeepsLinksModesAndContent) {
    testutil::TempDir dir;
    std::string src = dir / "src";
    testutil::WriteFile(src + "/sub/deep/file", "deep");
    testutil::WriteFile(src + "/" + kOddNames[1], "odd");
    testutil::WriteFile(src + "/big", testutil::RandomBytes(3 << 20, 3));
    ASSERT_EQ(chmod((src + "/sub").c_str(), 0710), 0);
    ASSERT_EQ(chmod((src + "/big").c_str(), 0604), 0);
    ASSERT_EQ(symlink("sub/deep/file", (src + "/link").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent", (src + "/dangling").c_str()), 0);
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
    EXPECT_EQ(ModeOf(dir / "dst2"), 0700u);
    EXPECT_EQ(ModeOf(dir / "dst2/sub/deep"), 0700u);
    EXPECT_EQ(ModeOf(dir / "dst2/big"), 0700u);

    // Copying a tree into itself ends.
    vux_file::Copy(src, src + "/sub/again");
    EXPECT_EQ(testutil::ReadFile(src + "/sub/again/sub/deep/file"), "deep");
    EXPECT_FALSE(vux_file::Exists(src + "/sub/again/sub/again"));
    EXPECT_EQ(Catch<vux_file::Info::InfoFail>([&] { vux_file::Copy(dir / "none", dir / "x"); }).object(), "stat");
}

TEST(FileTree, CopyFileReplacesReadOnlyTargetsAndCleansUp) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "from", "new content");
    testutil::WriteFile(dir / "to", "old");
    ASSERT_EQ(chmod((dir / "to").c_str(), 0444), 0);
    vux_file::CopyFile(dir / "from", dir / "to");
    EXPECT_EQ(testutil::ReadFile(dir / "to"), "new content");
    // Copying a file onto itself keeps its content.
    vux_file::CopyFile(dir / "from", dir / "from");
    EXPECT_EQ(testutil::ReadFile(dir / "from"), "new content");
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::CopyFile(dir / "none", dir / "x"); }).object(), "open_r");
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::CopyFile(dir / "from", dir / "no/dir/x"); }).object(),
              "open_w");
    // A read error midway leaves no partial target behind.
    ASSERT_EQ(mkdir((dir / "adir").c_str(), 0755), 0);
    auto e = Catch<vux_err::Error>([&] { vux_file::CopyFile(dir / "adir", dir / "partial"); });
    EXPECT_EQ(e.object(), "copy");
    EXPECT_EQ(Param(e, "from"), dir / "adir");
    EXPECT_EQ(Param(e, "to"), dir / "partial");
    EXPECT_EQ(Param(e, "err"), std::to_string(EISDIR));
    EXPECT_FALSE(vux_file::Exists(dir / "partial"));
}

TEST(FileTree, CopyFileFromAPipeGetsEveryByte) {
    testutil::TempDir dir;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::string expected;
    for (int i = 0; i < 200; ++i) expected += std::string(997, static_cast<char>('a' + i % 26));
    // The writer dribbles: the copy sees many short reads.
    std::thread writer([&] {
        for (std::size_t off = 0; off < expected.size(); off += 4099) {
            std::size_t n = std::min<std::size_t>(4099, expected.size() - off);
            ASSERT_EQ(write(p[1], expected.data() + off, n), static_cast<ssize_t>(n));
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
    testutil::TempDir dir;
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

    // Removing a link to a directory leaves the directory's content.
    testutil::WriteFile(dir / "keep/inner", "x");
    ASSERT_EQ(symlink((dir / "keep").c_str(), (dir / "ln").c_str()), 0);
    vux_file::Remove(dir / "ln");
    EXPECT_FALSE(vux_file::Exists(dir / "ln"));
    EXPECT_TRUE(vux_file::Exists(dir / "keep/inner"));
    testutil::WriteFile(dir / "tree/x/" + kOddNames[2], "x");
    ASSERT_EQ(symlink((dir / "keep").c_str(), (dir / "tree/x/ln").c_str()), 0);
    vux_file::Remove(dir / "tree");
    EXPECT_FALSE(vux_file::Exists(dir / "tree"));
    EXPECT_TRUE(vux_file::Exists(dir / "keep/inner"));
    EXPECT_NO_THROW(vux_file::Remove(dir / "none"));
    EXPECT_NO_THROW(vux_file::RemoveFile(dir / "none"));
    auto rf = Catch<vux_err::Error>([&] { vux_file::RemoveFile(dir / "keep"); });
    EXPECT_EQ(rf.object(), "remove");
    EXPECT_EQ(Param(rf, "fserr"), std::to_string(EISDIR));

    // New parents get the attributes, an existing one is left alone.
    ASSERT_EQ(mkdir((dir / "m").c_str(), 0755), 0);
    vux_file::Attrs attrs(0701);
    vux_file::MkDir(dir / "m/b/c", &attrs);
    EXPECT_EQ(ModeOf(dir / "m"), 0755u);
    EXPECT_EQ(ModeOf(dir / "m/b"), 0701u);
    EXPECT_EQ(ModeOf(dir / "m/b/c"), 0701u);
    vux_file::Attrs other(0700);
    vux_file::MkDir(dir / "m/b", &other);  // exists: untouched
    EXPECT_EQ(ModeOf(dir / "m/b"), 0701u);
    vux_file::MkDir(dir / "keep-link-parent//x///");
    EXPECT_TRUE(Info(dir / "keep-link-parent/x", false).IsDir());
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::MkDir(dir / "keep/inner"); }).object(), "mkdir_not_folder_exists");
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::MkDir(dir / "m/nope/.."); }).object(), "mkdir");
    ASSERT_EQ(symlink((dir / "keep").c_str(), (dir / "dirlink").c_str()), 0);
    EXPECT_NO_THROW(vux_file::MkDir(dir / "dirlink"));
}

TEST(FileTree, LinksAndTheirErrors) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "t", "x");
    vux_file::MkLink("t", dir / "s");
    EXPECT_EQ(vux_file::ReadLink(dir / "s"), "t");
    vux_file::MkHardLink(dir / "t", dir / "h");
    EXPECT_EQ(Info(dir / "t", false).HardLinkCount(), 2u);
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::MkLink("t", dir / "s"); }).object(), "symlink_exists");
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::MkHardLink(dir / "t", dir / "h"); }).object(), "symlink_exists");
    auto e = Catch<vux_err::Error>([&] { vux_file::MkLink("t", dir / "no/dir/s"); });
    EXPECT_EQ(e.object(), "symlink");
    EXPECT_EQ(Param(e, "fserr"), std::to_string(ENOENT));
    auto r = Catch<vux_err::Error>([&] { vux_file::ReadLink(dir / "t"); });
    EXPECT_EQ(r.object(), "read_link");
    EXPECT_EQ(Param(r, "fserr"), std::to_string(EINVAL));
    // Targets longer than the first buffer.
    std::string longtarget(4095, 'x');
    for (std::size_t i = 200; i < longtarget.size(); i += 200) longtarget[i] = '/';
    ASSERT_EQ(symlink(longtarget.c_str(), (dir / "long").c_str()), 0);
    EXPECT_EQ(vux_file::ReadLink(dir / "long"), longtarget);
}

// ---- trees that other users own, moves across file systems ----

namespace {

const uid_t kNobody = 65534;

bool BecomeNobody() {
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

void ChownTree(const std::string& root, uid_t uid) {
    ASSERT_EQ(lchown(root.c_str(), uid, uid), 0);
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        ASSERT_EQ(lchown(e.path().c_str(), uid, uid), 0) << e.path();
}

// Runs f in a forked child and gives back what it returns ("" when all went well) or
// the description of what it threw.
template <class F>
std::string InChild(F f) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return "pipe";
    pid_t pid = fork();
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
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(p[0]);
    waitpid(pid, nullptr, 0);
    return text.empty() ? "the child died" : text.substr(1);
}

std::string Content(const std::string& path) {
    try {
        return testutil::ReadFile(path);
    } catch (const std::exception&) {
        return "(unreadable)";
    }
}

void StopChild(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// A process of the tree's owner that, until killed or out of turns, swaps the directory
// `dir` for a link to `outside` and back, as fast as it can. It works from a descriptor of
// dir's parent, opened before it drops root, so it needs no search right on the path there.
pid_t SwapInChild(const std::string& dir, const std::string& outside) {
    pid_t pid = fork();
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

// A tree of the user nobody in which "tree/d" holds the same names as `outside`.
void BuildRacedTree(const std::string& tree, int files) {
    for (int i = 0; i < files; ++i) {
        testutil::WriteFile(tree + "/d/f" + std::to_string(i), "public");
        testutil::WriteFile(tree + "/d/sub/g" + std::to_string(i), "public");
    }
    ChownTree(tree, kNobody);
}

void BuildOutside(const std::string& outside, int files) {
    for (int i = 0; i < files; ++i) {
        testutil::WriteFile(outside + "/f" + std::to_string(i), "secret");
        testutil::WriteFile(outside + "/sub/g" + std::to_string(i), "secret");
        ASSERT_EQ(chmod((outside + "/f" + std::to_string(i)).c_str(), 0600), 0);
    }
}

std::size_t CountFiles(const std::string& root) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file()) ++n;
    return n;
}

}  // namespace

TEST(FileHostile, RemoveRacedByTheTreeOwnerStaysInside) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    testutil::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const int kFiles = 150;
    BuildOutside(dir / "outside", kFiles);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int rounds = 0, thrown = 0;
    for (; rounds < 40 && std::chrono::steady_clock::now() < end; ++rounds) {
        std::string tree = dir / "tree";
        BuildRacedTree(tree, kFiles);
        pid_t swapper = SwapInChild(tree + "/d", dir / "outside");
        ASSERT_GT(swapper, 0);
        try {
            vux_file::Remove(tree);
        } catch (const vux_err::Error& e) {
            EXPECT_EQ(e.type(), "file") << e.object();
            ++thrown;
        }
        StopChild(swapper);
        ASSERT_EQ(CountFiles(dir / "outside"), 2u * kFiles) << "round " << rounds;
        std::filesystem::remove_all(tree);
    }
    EXPECT_GT(rounds, 0);
    RecordProperty("rounds", rounds);
    RecordProperty("thrown", thrown);
}

TEST(FileHostile, CopyRacedByTheTreeOwnerReadsNothingOutside) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    testutil::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const int kFiles = 150;
    BuildOutside(dir / "outside", kFiles);
    std::string tree = dir / "tree";
    BuildRacedTree(tree, kFiles);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int rounds = 0, thrown = 0;
    for (; rounds < 40 && std::chrono::steady_clock::now() < end; ++rounds) {
        pid_t swapper = SwapInChild(tree + "/d", dir / "outside");
        ASSERT_GT(swapper, 0);
        std::string copy = dir / "copy";
        try {
            vux_file::Copy(tree, copy);
        } catch (const vux_err::Error& e) {
            EXPECT_EQ(e.type(), "file") << e.object();
            ++thrown;
        }
        StopChild(swapper);
        if (vux_file::Exists(copy)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(copy)) {
                if (e.is_regular_file() && !e.is_symlink()) {
                    ASSERT_EQ(Content(e.path()), "public") << e.path() << " in round " << rounds;
                }
            }
        }
        std::filesystem::remove_all(copy);
        // The swapper may have been killed with the directory set aside.
        if (!vux_file::Exists(tree + "/d") || Info(tree + "/d", true).IsLink()) {
            unlink((tree + "/d").c_str());
            ASSERT_EQ(rename((tree + "/d.aside").c_str(), (tree + "/d").c_str()), 0);
        }
    }
    EXPECT_GT(rounds, 0);
    RecordProperty("rounds", rounds);
    RecordProperty("thrown", thrown);
    EXPECT_EQ(CountFiles(dir / "outside"), 2u * kFiles);
}

TEST(FileTree, MoveIntoItselfThrowsAndTouchesNothing) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "a/f", "1");
    testutil::WriteFile(dir / "a/sub/g", "2");
    auto e = Catch<vux_err::Error>([&] { vux_file::Move(dir / "a", dir / "a/b"); });
    EXPECT_EQ(e.type(), "file");
    EXPECT_EQ(Catch<vux_err::Error>([&] { vux_file::Move(dir / "a", dir / "a/sub/deeper/b"); }).type(), "file");
    ASSERT_EQ(symlink((dir / "a/sub").c_str(), (dir / "via").c_str()), 0);
    EXPECT_EQ(Catch<vux_err::Error>([&] { vux_file::Move(dir / "a", dir / "via/b"); }).type(), "file");
    EXPECT_EQ(testutil::ReadFile(dir / "a/f"), "1");
    EXPECT_EQ(testutil::ReadFile(dir / "a/sub/g"), "2");
    EXPECT_FALSE(vux_file::Exists(dir / "a/b"));
    EXPECT_FALSE(vux_file::Exists(dir / "a/sub/deeper"));
    // A bind mount makes rename fail for another reason; the copy must still not start.
    if (geteuid() != 0) return;
    std::string r = InChild([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mkdir((dir / "bind").c_str(), 0755) != 0 ||
            mount((dir / "a").c_str(), (dir / "bind").c_str(), nullptr, MS_BIND, nullptr) != 0)
            return "";  // no namespace here: nothing to show
        try {
            vux_file::Move(dir / "a", dir / "bind/sub/b");
            return "moved into itself";
        } catch (const vux_err::Error& e) {
            if (e.type() != "file") return "threw " + e.type();
        }
        // A file moved onto itself under its other name.
        try {
            vux_file::Move(dir / "a/f", dir / "bind/f");
            return "moved onto itself";
        } catch (const vux_err::Error& e) {
            if (e.type() != "file") return "threw " + e.type();
        }
        return "";
    });
    EXPECT_EQ(r, "");
    EXPECT_EQ(testutil::ReadFile(dir / "a/f"), "1");
    EXPECT_EQ(testutil::ReadFile(dir / "a/sub/g"), "2");
    EXPECT_FALSE(vux_file::Exists(dir / "a/sub/b"));
}

namespace {

// A directory on another file system than /tmp, for moves that cannot rename: a tmpfs
// mounted on dir/mnt in a private mount namespace (so call it in a child of its own, which
// takes the mount with it), else the directory SpareShm names. "" when there is none.
std::string SpareShm(const testutil::TempDir& dir) {
    return "/dev/shm/" + vux_file::Name(dir.path());
}

std::string OtherFs(const testutil::TempDir& dir) {
    const std::string spare = dir / "mnt";
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mkdir(spare.c_str(), 0755) == 0 && mount("tmpfs", spare.c_str(), "tmpfs", 0, "mode=0755") == 0)
        return spare;
    struct stat a, b;
    const std::string shm = SpareShm(dir);
    if (stat("/tmp", &a) == 0 && stat("/dev/shm", &b) == 0 && a.st_dev != b.st_dev && mkdir(shm.c_str(), 0755) == 0)
        return shm;
    return "";
}

// Removes what OtherFs may have left in /dev/shm.
struct ShmCleaner {
    explicit ShmCleaner(const testutil::TempDir& dir) : path(SpareShm(dir)) {}
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
    testutil::TempDir dir;
};

TEST_F(FileTreeAsNobody, ReadOnlyDirectoriesAreCopiedByTheirOwner) {
    std::string src = dir / "w/src";
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
    std::string src = dir / "w/src";
    BuildReadOnlyTree(src);
    ShmCleaner cleaner(dir);
    std::string r = InChild([&]() -> std::string {
        std::string other = OtherFs(dir);
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
    testutil::TempDir dir;
    std::string src = dir / "src";
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
    std::string r = InChild([&]() -> std::string {
        std::string other = OtherFs(dir);
        if (other.empty()) return "skip";
        std::string dst = other + "/dst";
        vux_file::Move(src, dst);
        Problems check;
        struct stat st;
        check(Content(dst + "/file") == "x", "file");
        check(lstat((dst + "/fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && (st.st_mode & 07777) == 0642,
              "fifo");
        check(lstat((dst + "/null").c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3) &&
                  (st.st_mode & 07777) == 0620,
              "device");
        check(lstat((dst + "/in/sock").c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && (st.st_mode & 07777) == 0604 &&
                  st.st_uid == kNobody,
              "socket");
        check(ModeOf(dst + "/in") == 0750, "mode of in");
        return check.text;
    });
    if (r == "skip") GTEST_SKIP() << "no second file system";
    EXPECT_EQ(r, "");
    EXPECT_FALSE(vux_file::Exists(src));
}

TEST_F(FileTreeAsNobody, CrossDeviceMoveThatCannotKeepAnEntryRemovesNothing) {
    std::string src = dir / "w/src";
    testutil::WriteFile(src + "/file", "x");
    testutil::WriteFile(src + "/sub/more", "y");
    ASSERT_EQ(mkfifo((src + "/sub/fifo").c_str(), 0600), 0);
    ASSERT_EQ(mknod((src + "/sub/null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    ChownTree(src, kNobody);
    ShmCleaner cleaner(dir);
    std::string r = InChild([&]() -> std::string {
        std::string other = OtherFs(dir);
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

TEST(FileAttrs, FieldsAndMerging) {
    vux_file::Attrs a(017777);
    EXPECT_EQ(a.mode(), 07777);
    EXPECT_FALSE(a.has_owner());
    EXPECT_FALSE(a.has_group());
    vux_file::Attrs b(-1, 5);
    EXPECT_FALSE(b.has_mode());
    EXPECT_EQ(b.owner(), 5u);
    a.set(b);
    EXPECT_EQ(a.mode(), 07777);
    EXPECT_EQ(a.owner(), 5u);
    a.drop_mode().set_group(9);
    EXPECT_FALSE(a.has_mode());
    EXPECT_EQ(a.group(), 9u);
    EXPECT_EQ(a.set_mode(0100644).mode(), 0644);
}

TEST(FileAttrs, RecursiveSetDoesNotFollowLinksOutOfTheTree) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "outside", "secret");
    ASSERT_EQ(chmod((dir / "outside").c_str(), 0600), 0);
    testutil::WriteFile(dir / "tree/a/f", "x");
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/a/ln").c_str()), 0);
    ASSERT_EQ(symlink("..", (dir / "tree/a/up").c_str()), 0);  // would loop if followed
    ASSERT_EQ(mkfifo((dir / "tree/fifo").c_str(), 0600), 0);   // must not block the walk
    const bool root = geteuid() == 0;
    vux_file::Attrs attrs(0751, root ? 65534u : vux_file::Attrs::NotSet, root ? 65534u : vux_file::Attrs::NotSet);
    attrs.Set(dir / "tree", true);
    EXPECT_EQ(ModeOf(dir / "tree"), 0751u);
    EXPECT_EQ(ModeOf(dir / "tree/a/f"), 0751u);
    EXPECT_EQ(ModeOf(dir / "tree/fifo"), 0751u);
    EXPECT_EQ(ModeOf(dir / "outside"), 0600u);
    if (root) {
        EXPECT_EQ(Info(dir / "tree/a/f", false).Owner(), 65534u);
        EXPECT_EQ(Info(dir / "outside", false).Owner(), 0u);
    }
    vux_file::Attrs(0640).Set(dir / "outside");
    EXPECT_EQ(ModeOf(dir / "outside"), 0640u);
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::Attrs(0600).Set(dir / "none", true); }).object(), "open_r");
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::Attrs(0600).Set(dir / "none"); }).object(), "set_permissions");
}

TEST(FileAttrs, SafeSetSkipsLinkedFilesAndRefusesLinks) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "tree/single", "1");
    testutil::WriteFile(dir / "victim", "2");
    ASSERT_EQ(chmod((dir / "victim").c_str(), 0600), 0);
    ASSERT_EQ(link((dir / "victim").c_str(), (dir / "tree/hard").c_str()), 0);
    vux_file::Attrs attrs(0644);
    attrs.SafeSet(dir / "tree", true);
    EXPECT_EQ(ModeOf(dir / "tree"), 0644u);
    EXPECT_EQ(ModeOf(dir / "tree/single"), 0644u);
    EXPECT_EQ(ModeOf(dir / "victim"), 0600u);
    vux_file::Attrs(0666).SafeSet(dir / "victim");
    EXPECT_EQ(ModeOf(dir / "victim"), 0600u);
    ASSERT_EQ(symlink((dir / "tree/single").c_str(), (dir / "ln").c_str()), 0);
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::Attrs(0600).SafeSet(dir / "ln"); }).object(), "open_r");
    EXPECT_EQ(ModeOf(dir / "tree/single"), 0644u);
}

TEST(FileAttrs, RelativeToADirectoryDescriptor) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "d/sub/f", "x");
    testutil::WriteFile(dir / "outside", "x");
    ASSERT_EQ(chmod((dir / "outside").c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "d/ln").c_str()), 0);
    int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    vux_file::Attrs(0700).Set(fd, "d", true);
    EXPECT_EQ(ModeOf(dir / "d"), 0700u);
    EXPECT_EQ(ModeOf(dir / "d/sub/f"), 0700u);
    EXPECT_EQ(ModeOf(dir / "outside"), 0600u);
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::Attrs(0700).Set(fd, "none", false); }).object(), "open");
    close(fd);
}

// ---- listings ----

TEST(FileDir, ListsEverythingButDots) {
    testutil::TempDir dir;
    std::set<std::string> expected;
    for (const std::string& n : kOddNames) {
        testutil::WriteFile(dir / n, "");
        expected.insert(n);
    }
    testutil::WriteFile(dir / "x.conf", "");
    expected.insert("x.conf");
    std::set<std::string> seen;
    vux_file::Dir d(dir.path() + "///");
    int confs = 0;
    while (d.Read()) {
        seen.insert(d.name());
        EXPECT_EQ(d.FullName(), dir / d.name());
        EXPECT_TRUE(d.Info(true).IsFile());
        if (d.HasExt(".conf")) ++confs;
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(confs, 1);
    EXPECT_FALSE(d.Read());

    vux_file::Dir missing(dir / "none", 2);
    EXPECT_FALSE(missing.Read());
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::Dir x(dir / "none"); }).object(), "open_folder");
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::Dir x(dir / "x.conf", 2); }).object(), "open_folder");
    vux_file::Dir root("");
    EXPECT_EQ((root.Read(), root.FullName().substr(0, 1)), "/");

    // A descriptor's listing leaves the descriptor and its position alone.
    int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    off_t before = lseek(fd, 0, SEEK_CUR);
    std::size_t count = 0;
    {
        vux_file::Dir byfd(fd);
        while (byfd.Read()) ++count;
        EXPECT_TRUE(byfd.HasPrefix(""));
    }
    EXPECT_EQ(count, expected.size());
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), before);
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
    close(fd);

    vux_file::Dir dummy;
    try {
        dummy.Read();
        FAIL();
    } catch (const vux_err::AssertError& a) {
        EXPECT_EQ(a.desc(), "read from dummy dir");
    }
}

// ---- locks ----

namespace {

// A child process that holds a lock until killed; returns its pid once it holds it.
pid_t HoldInChild(const std::string& path, bool exclusive) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0640);
        if (fd < 0 || flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) _exit(1);
        if (write(ready[1], "1", 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char c;
    bool ok = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    return ok ? pid : -1;
}

void Kill(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

TEST(FileLock, HeldByAnotherProcessUntilItDies) {
    testutil::TempDir dir;
    std::string path = dir / "lock file";
    pid_t child = HoldInChild(path, true);
    ASSERT_GT(child, 0);
    vux_file::Lock lock;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock.TryLock(path, true));
    EXPECT_FALSE(lock.TryLock(path, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_FALSE(lock);
    EXPECT_EQ(Catch<vux_file::Lock::LockFail>([&] { lock.DoLockWithTimeout(path, true, 0, 1); }).object(), "lock");
    // A blocking lock waits for the holder's death.
    std::thread killer([child] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Kill(child);
    });
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

TEST(FileLock, SharedLocksCoexistAndTimeoutsWait) {
    testutil::TempDir dir;
    std::string path = dir / "l";
    pid_t child = HoldInChild(path, false);
    ASSERT_GT(child, 0);
    vux_file::Lock shared;
    EXPECT_TRUE(shared.TryLock(path, false));
    vux_file::Lock ex;
    EXPECT_FALSE(ex.TryLock(path, true));
    std::thread killer([child] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Kill(child);
    });
    shared.Release();
    ex.DoLockWithTimeout(path, true, 5, 1);
    killer.join();
    EXPECT_TRUE(ex);
}

TEST(FileLock, TimeoutWithoutAnIntervalIsTime) {
    testutil::TempDir dir;
    std::string path = dir / "l";
    pid_t child = HoldInChild(path, true);
    ASSERT_GT(child, 0);
    vux_file::Lock lock;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Catch<vux_file::Lock::LockFail>([&] { lock.DoLockWithTimeout(path, true, 1, 0); }).object(), "lock");
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_LT(waited, std::chrono::seconds(3));
    // Freed within the time-out: taken without waiting for a whole interval.
    std::thread killer([child] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        Kill(child);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(lock.DoLockWithTimeout(path, true, 5, 0));
    killer.join();
    EXPECT_TRUE(lock);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // A time-out shorter than the interval is kept too.
    lock.Release();
    pid_t again = HoldInChild(path, true);
    ASSERT_GT(again, 0);
    start = std::chrono::steady_clock::now();
    EXPECT_THROW(lock.DoLockWithTimeout(path, true, 1, 30), vux_file::Lock::LockFail);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    Kill(again);
}

TEST(FileLock, ReplacedLockFileIsLockedAfresh) {
    testutil::TempDir dir;
    std::string path = dir / "l";
    pid_t child = HoldInChild(path, true);
    ASSERT_GT(child, 0);
    vux_file::Lock lock;
    std::thread replacer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        unlink(path.c_str());
        testutil::WriteFile(path, "");
        Kill(child);  // releases the lock on the old, removed file
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
    testutil::TempDir dir;
    vux_file::Lock lock(dir / "pid", true);
    lock.Write("12345\n");
    lock.Append("more");
    EXPECT_EQ(testutil::ReadFile(dir / "pid"), "12345\nmore");
    lock.Write("1");
    EXPECT_EQ(testutil::ReadFile(dir / "pid"), "1");
    vux_file::Lock reader;
    testutil::WriteFile(dir / "other", std::string(5000, 'r'));
    ASSERT_TRUE(reader.TryLock(dir / "other", false));
    EXPECT_EQ(reader.Read(), std::string(5000, 'r'));
    vux_file::Lock dummy;
    try {
        dummy.Write("x");
        FAIL();
    } catch (const vux_err::AssertError& a) {
        EXPECT_EQ(a.desc(), "try to write to dummy lock");
    }
    EXPECT_THROW(vux_file::Lock(dir / "no/dir/l", true), vux_file::Lock::LockFail);
}

// ---- temporary entries ----

TEST(FileTmp, RemovedUnlessKept) {
    testutil::TempDir dir;
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
    auto e = Catch<vux_err::Error>([&] { vux_file::Tmp t(dir / "no/dir/t"); });
    EXPECT_EQ(e.object(), "tmp_file");
    EXPECT_EQ(e.value(), dir / "no/dir/t");
    EXPECT_EQ(Param(e, "id"), "-1");
    EXPECT_EQ(Catch<vux_file::Fail>([&] { vux_file::TmpDir t(dir / "no/dir/t"); }).object(), "tmp_dir");
}

// ---- descriptors ----

namespace {

std::set<int> OpenFds() {
    std::set<int> out;
    DIR* d = opendir("/proc/self/fd");
    int self = dirfd(d);
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' && atoi(e->d_name) != self) out.insert(atoi(e->d_name));
    closedir(d);
    return out;
}

void ExpectCloseOnExec(const std::set<int>& before) {
    for (int fd : OpenFds())
        if (!before.count(fd)) {
            EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "fd " << fd;
        }
}

}  // namespace

TEST(FileDescriptors, NoLeaksAndCloseOnExec) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "src/a", testutil::RandomBytes(10000, 1));
    testutil::WriteFile(dir / "src/sub/b", "b");
    std::set<int> before = OpenFds();
    for (int i = 0; i < 100; ++i) {
        std::string n = std::to_string(i);
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
            ExpectCloseOnExec(before);
        }
        // Failures must not leak either.
        EXPECT_THROW(vux_file::Read(dir / "none"), vux_file::Fail);
        EXPECT_THROW(vux_file::CopyFile(dir / "src", dir / "x"), vux_err::Error);
        EXPECT_THROW(vux_file::Create(dir / "f" + n, "x"), vux_file::Fail);
        EXPECT_THROW(vux_file::Write("/dev/full", "x"), vux_file::Fail);
        vux_file::Remove(dir / "copy" + n);
    }
    EXPECT_EQ(OpenFds(), before);
}
