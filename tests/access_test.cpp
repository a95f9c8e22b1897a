#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <libvux/vuxaccess.h>
#include <libvux/vuxaccess_file.h>

#include "test_util.h"

using namespace vux_access;
using vux_access_file::Access;

TEST(AccessLevels, MasksAndConstants) {
    EXPECT_EQ(static_cast<AccessMask>(MinLevel(0)), 0xFFFFFFFFu);
    EXPECT_EQ(static_cast<AccessMask>(MaxLevel(0)), 0u);
    EXPECT_EQ(static_cast<AccessMask>(MinLevel(0x10000)), 0xFFFF0000u);
    EXPECT_EQ(static_cast<AccessMask>(MaxLevel(0x10000)), 0x0001FFFFu);
    EXPECT_EQ(static_cast<AccessMask>(MaxLevel(0x80000000u)), 0xFFFFFFFFu);
    EXPECT_EQ(AccessAll, 0xFFFFFFFFu);
    EXPECT_EQ(AccessAdmin, 0xE0000000u);
}

TEST(AccessLevels, Expressions) {
    EXPECT_EQ(GetAccessByName("admin+"), AccessAdmin);
    EXPECT_EQ(GetAccessByName("user-"), 0x0001FFFFu);
    EXPECT_EQ(GetAccessByName("  user \t admin "), 0x20010000u);
    EXPECT_EQ(GetAccessByName("3+"), 0xFFFFFFF8u);
    EXPECT_EQ(GetAccessByName("35"), 8u);  // modulo 32
    EXPECT_EQ(GetAccessByName("4294967298"), 4u);  // beyond 32 bits, still modulo 32
    EXPECT_EQ(GetAccessByName("0-"), 1u);
    EXPECT_EQ(GetAccessByName("registered"), 0xFFFFFFFCu);
    EXPECT_EQ(GetAccessByName(""), 0u);
    EXPECT_EQ(GetAccessByName("   "), 0u);
    // Group masks cannot take a suffix; the whole expression collapses to the top level.
    EXPECT_EQ(GetAccessByName("all+"), 0x80000000u);
    EXPECT_EQ(GetAccessByName("user public-"), 0x80000000u);
    EXPECT_EQ(GetAccessByName("nosuchlevel"), 0x80000000u);
    EXPECT_EQ(GetAccessByName("user nosuchlevel"), 0x80010000u);
    // A bare suffix names no level: it must not grant every level.
    EXPECT_EQ(GetAccessByName("+"), 0x80000000u);
}

TEST(AccessLevels, AddedNamesKeepTheFirstMask) {
    AddAccessName("Operator", 0x00100000u);
    EXPECT_EQ(GetAccessByName("operator+"), 0xFFF00000u);
    AddAccessName("operator", 0x1u);
    EXPECT_EQ(GetAccessByName("operator"), 0x00100000u);
    AddAccessName("admin", 0x1u);
    EXPECT_EQ(GetAccessByName("admin"), 0x20000000u);
}

TEST(AccessFile, FirstMatchingRuleDecides) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "deny-first", "deny bob *\nallow * *\n");
    Access a(dir / "deny-first", "mail");
    EXPECT_FALSE(a.Good("bob"));
    EXPECT_TRUE(a.Good("alice"));
    EXPECT_EQ(a.Decide("bob"), 1);
    EXPECT_EQ(a.Decide("alice"), 2);
    testutil::WriteFile(dir / "allow-first", "allow * *\ndeny bob *\n");
    Access b(dir / "allow-first", "mail");
    EXPECT_TRUE(b.Good("bob"));
    EXPECT_TRUE(b.Good("alice"));
}

TEST(AccessFile, ScopesCommentsAndBadLines) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "rules",
                        "# comment\n"
                        "\n"
                        "allow bob web\r\n"
                        "permit carol *\n"
                        "   deny carol *\n"
                        "deny bob mail server\n"
                        "deny dave *\n"
                        "deny * web\n");
    Access web(dir / "rules", "web");
    EXPECT_TRUE(web.Good("bob"));  // CRLF line still matches its scope
    EXPECT_FALSE(web.Good("carol"));  // an indented rule counts; the unknown type is skipped
    EXPECT_FALSE(web.Good("dave"));
    EXPECT_FALSE(web.Good("erin"));
    Access mail(dir / "rules", "mail server");
    EXPECT_FALSE(mail.Good("bob"));
    EXPECT_FALSE(mail.Good("carol"));
    EXPECT_TRUE(mail.Good("erin"));  // no rule matches: allowed
    Access other(dir / "rules", "ftp");
    EXPECT_TRUE(other.Good("bob"));
    EXPECT_EQ(other.Decide("bob"), 0);
    EXPECT_EQ(other.Rules().size(), 2u);
}

TEST(AccessFile, MissingAllowsButUnreadableDenies) {
    testutil::TempDir dir;
    Access missing(dir / "none", "x");
    EXPECT_TRUE(missing.Good("anyone"));
    EXPECT_FALSE(missing.Unreadable());
    testutil::WriteFile(dir / "empty", "");
    EXPECT_TRUE(Access(dir / "empty", "x").Good("anyone"));

    // A directory where the file should be cannot be read.
    ASSERT_EQ(mkdir((dir / "adir").c_str(), 0755), 0);
    Access isdir(dir / "adir", "x");
    EXPECT_FALSE(isdir.Good("anyone"));
    EXPECT_TRUE(isdir.Unreadable());
    EXPECT_EQ(isdir.Decide("anyone"), -1);

    // A file the process may not read; checked as an unprivileged user.
    testutil::WriteFile(dir / "secret", "deny bob *\n");
    ASSERT_EQ(chmod((dir / "secret").c_str(), 0600), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
        Access a(dir / "secret", "x");
        _exit(a.Good("alice") ? 1 : a.Unreadable() ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
