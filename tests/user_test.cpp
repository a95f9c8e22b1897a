#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include <gtest/gtest.h>

#include <libvux/vuxuser.h>

#include "test_util.h"

TEST(User, SystemAccounts) {
    EXPECT_EQ(vux_user::GetDefaultAdministrator(), "root");
    EXPECT_TRUE(vux_user::Exists("root"));
    EXPECT_EQ(vux_user::Uid("root"), 0u);
    EXPECT_EQ(vux_user::Gid("root"), 0u);
    EXPECT_EQ(vux_user::GetHome("root"), "/root");
    EXPECT_EQ(vux_user::GroupGid("root"), 0u);
    EXPECT_EQ(vux_user::NameByUid(0), "root");
    EXPECT_EQ(vux_user::GroupByGid(0), "root");
    EXPECT_EQ(vux_user::Uid("nobody"), 65534u);
    EXPECT_EQ(vux_user::GroupGid("nogroup"), 65534u);
    EXPECT_EQ(vux_user::NameByUid(65534), "nobody");
    EXPECT_EQ(vux_user::GroupByGid(65534), "nogroup");
}

TEST(User, MissingEntries) {
    EXPECT_FALSE(vux_user::Exists("no-such-user-vux"));
    EXPECT_EQ(testutil::ErrorOf<vux_user::Fail>([] { vux_user::Uid("no-such-user-vux"); }), "user/user_not_exists/no-such-user-vux");
    EXPECT_EQ(testutil::ErrorOf<vux_user::Fail>([] { vux_user::Gid("no-such-user-vux"); }), "user/user_not_exists/no-such-user-vux");
    EXPECT_EQ(testutil::ErrorOf<vux_user::Fail>([] { vux_user::GetHome("no-such-user-vux"); }), "user/user_not_exists/no-such-user-vux");
    EXPECT_EQ(testutil::ErrorOf<vux_user::Fail>([] { vux_user::GroupGid("no-such-group-vux"); }), "user/group_not_exists/no-such-group-vux");
    EXPECT_EQ(vux_user::NameByUid(3999999), "");
    EXPECT_EQ(vux_user::GroupByGid(3999999), "");
}

TEST(User, EntryLargerThanTheFirstBuffer) {
    // A comment of 5000 bytes makes the entry outgrow the first buffer.
    const std::string name = "vuxl" + std::to_string(getpid());
    const std::string home = "/nonexistent/" + name;
    const std::string cmd = "useradd -M -N -g nogroup -d " + home + " -c " + std::string(5000, 'c') + " " + name;
    int rc = -1;
    for (int attempt = 0; attempt < 50 && rc != 0; ++attempt) {
        std::system(("userdel " + name + " >/dev/null 2>&1").c_str());
        rc = std::system(cmd.c_str());
        if (rc != 0) usleep(100000);
    }
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(vux_user::Exists(name));
    EXPECT_EQ(vux_user::GetHome(name), home);
    EXPECT_EQ(vux_user::Gid(name), 65534u);
    const uid_t uid = vux_user::Uid(name);
    EXPECT_GT(uid, 0u);
    EXPECT_EQ(vux_user::NameByUid(uid), name);
    std::system(("userdel " + name).c_str());
    EXPECT_FALSE(vux_user::Exists(name));
}
