#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    EXPECT_EQ(f.GetAttrs().mode, 0750);
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
