// OS detection against real system files: each case runs in a child of its own
// with a private mount namespace, where /etc is an overlay of the real one and
// the case writes or removes the release files there.
#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <libvux/vuxenv.h>
#include <libvux/vuxerr.h>

#include "test_util.h"

namespace {

struct Seen {
    int type = -1;
    std::string version, os, arch, repo;
    int openvz = -1;
    std::string failure;
};

struct Case {
    std::vector<std::pair<std::string, std::string>> write;  // path under /etc, content
    std::vector<std::string> remove;
    std::string rpm_answer;
    const char* beancounters = nullptr;
    bool chrooted = false;  // run where / is not a mount point, as in a package builder's chroot
};

[[noreturn]] void Die(int fd, const std::string& why) {
    std::string msg = "!" + why + ": " + strerror(errno);
    (void)!write(fd, msg.data(), msg.size());
    _exit(1);
}

// Enters a chroot whose / is a plain directory, with the real top-level entries bound into it.
void EnterChroot(int out, const std::string& root) {
    if (unshare(CLONE_NEWNS) != 0) Die(out, "unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Die(out, "private /");
    if (mkdir(root.c_str(), 0755) != 0) Die(out, "mkdir " + root);
    DIR* top = opendir("/");
    if (!top) Die(out, "opendir /");
    while (dirent* e = readdir(top)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string from = "/" + name, to = root + "/" + name;
        struct stat st;
        if (lstat(from.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
            if (n < 0) Die(out, "readlink " + from);
            target[n] = '\0';
            if (symlink(target, to.c_str()) != 0) Die(out, "symlink " + to);
        } else if (S_ISDIR(st.st_mode)) {
            if (mkdir(to.c_str(), 0755) != 0 || mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
                Die(out, "bind " + from);
        }
    }
    closedir(top);
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) Die(out, "chroot");
}

// Makes the mounts of this (new) namespace private, so nothing mounted here reaches the host.
// Where / is not a mount point (a chroot) it cannot be made private: bind the root onto a
// directory of its own, make that private and move into it.
void MakeRootPrivate(int out, const std::string& spare) {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return;
    if (errno != EINVAL) Die(out, "private /");
    if (mkdir(spare.c_str(), 0755) != 0) Die(out, "mkdir " + spare);
    if (mount("/", spare.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) Die(out, "bind /");
    if (mount(nullptr, spare.c_str(), nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Die(out, "private /");
    if (chroot(spare.c_str()) != 0 || chdir("/") != 0) Die(out, "chroot");
}

Seen Detect(const Case& c) {
    testutil::TempDir scratch;
    std::filesystem::create_directories(scratch / "upper");
    std::filesystem::create_directories(scratch / "work");
    int p[2];
    if (pipe(p) != 0) return Seen{};
    pid_t child = fork();
    if (child == 0) {
        close(p[0]);
        const int out = p[1];
        if (c.chrooted) EnterChroot(out, scratch / "chroot");
        if (unshare(CLONE_NEWNS) != 0) Die(out, "unshare");
        MakeRootPrivate(out, scratch / "private-root");
        const std::string opts = "lowerdir=/etc,upperdir=" + (scratch / "upper") + ",workdir=" + (scratch / "work");
        if (mount("overlay", "/etc", "overlay", 0, opts.c_str()) != 0) Die(out, "overlay /etc");
        std::error_code ec;
        for (const std::string& r : c.remove) std::filesystem::remove_all(r, ec);
        for (const auto& w : c.write) testutil::WriteFile(w.first, w.second);
        setenv("PATH", (std::string(VUX_SOURCE_DIR "/tests/standin:") + getenv("PATH")).c_str(), 1);
        setenv("VUX_TEST_RPM_ANSWER", c.rpm_answer.c_str(), 1);
        std::ostringstream s;
        try {
            s << static_cast<int>(vux_env::GetOsType()) << '\n'
              << vux_env::GetOsVersion() << '\n'
              << vux_env::GetOs() << '\n'
              << vux_env::GetOsArch() << '\n'
              << vux_env::GetRepoFile() << '\n';
            if (c.beancounters) {
                if (mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) Die(out, "tmpfs /proc");
                testutil::WriteFile("/proc/user_beancounters", c.beancounters);
            }
            s << vux_env::IsOpenVZChild() << '\n';
        } catch (const vux_err::Error& e) {
            s.str("!" + std::string(e.what()));
        }
        const std::string text = s.str();
        (void)!write(out, text.data(), text.size());
        _exit(0);
    }
    close(p[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    close(p[0]);
    waitpid(child, nullptr, 0);
    Seen seen;
    if (!text.empty() && text[0] == '!') {
        seen.failure = text;
        return seen;
    }
    std::istringstream in(text);
    std::string type, openvz;
    std::getline(in, type);
    std::getline(in, seen.version);
    std::getline(in, seen.os);
    std::getline(in, seen.arch);
    std::getline(in, seen.repo);
    std::getline(in, openvz);
    seen.type = type.empty() ? -1 : std::stoi(type);
    seen.openvz = openvz.empty() ? -1 : std::stoi(openvz);
    return seen;
}

Case RedHat(const std::string& release, const std::string& rpm = "") {
    Case c;
    c.write = {{"/etc/redhat-release", release}};
    c.remove = {"/etc/debian_version", "/etc/lsb-release"};
    c.rpm_answer = rpm;
    return c;
}

Case Debian(const std::string& version) {
    Case c;
    c.write = {{"/etc/debian_version", version}};
    c.remove = {"/etc/redhat-release", "/etc/lsb-release"};
    return c;
}

}  // namespace

TEST(OsDetection, RedHatFamilyRefinements) {
    struct Expect {
        const char* release;
        int type;
        const char* name;
    };
    const Expect cases[] = {
        {"CentOS Linux release 7.9.2009 (Core)\n", vux_env::OsCentOS, "CentOS"},
        {"CentOS release 6.10 (Final)\n", vux_env::OsCentOS, "CentOS"},
        {"Scientific Linux release 7.2 (Nitrogen)\n", vux_env::OsCentOS, "CentOS"},
        {"Fedora release 38 (Thirty Eight)\n", vux_env::OsFedora, ""},
        {"CloudLinux release 8.8 (Anatoly Filipchenko)\n", vux_env::OsCloudLinux, "CloudLinux"},
        {"Virtuozzo Linux release 7.9\n", vux_env::OsVirtuozzoLinux, "VirtuozzoLinux"},
        {"Red Hat Enterprise Linux release 9.2 (Plow)\n", vux_env::OsRedHat, "RedHat"},
        {"Rocky Linux release 8.8, a rebuild like CentOS Linux release 8\n", vux_env::OsRedHat, "RedHat"},
    };
    for (const Expect& e : cases) {
        const Seen s = Detect(RedHat(e.release, "7.9.2009.1.el7"));
        ASSERT_EQ(s.failure, "");
        EXPECT_EQ(s.type, e.type) << e.release;
        EXPECT_EQ(s.version, "7.9.2009.1.el7") << e.release;
        EXPECT_EQ(s.os, std::string(e.name) + " 7.9.2009.1.el7") << e.release;
        EXPECT_EQ(s.repo, "/etc/yum.repos.d/qexworks.repo");
    }
    // rpm's complaint about a file that no package owns is no version.
    const Seen orphan = Detect(RedHat("CentOS Linux release 7.9.2009 (Core)\n"));
    EXPECT_EQ(orphan.type, vux_env::OsCentOS);
    EXPECT_EQ(orphan.version, "");
}

TEST(OsDetection, DebianAndUbuntu) {
    Seen s = Detect(Debian("10\n"));
    ASSERT_EQ(s.failure, "");
    EXPECT_EQ(s.type, vux_env::OsDebian);
    EXPECT_EQ(s.version, "10.0");
    EXPECT_EQ(s.os, "Debian 10.0");
    EXPECT_EQ(s.repo, "/etc/apt/sources.list.d/qexworks.list");
    EXPECT_EQ(Detect(Debian("12.4\n")).version, "12.4");
    EXPECT_EQ(Detect(Debian("9.13")).version, "9.13");
    EXPECT_EQ(Detect(Debian("11.7.1\n")).version, "11.7");

    Case ubuntu = Debian("bookworm/sid\n");
    ubuntu.write.push_back({"/etc/lsb-release", "DISTRIB_ID=Ubuntu\nDISTRIB_RELEASE=22.04\n"});
    ubuntu.write.push_back({"/etc/issue", "Ubuntu 22.04.3 LTS \\n \\l\n\n"});
    s = Detect(ubuntu);
    EXPECT_EQ(s.type, vux_env::OsUbuntu);
    EXPECT_EQ(s.version, "22.04.3");
    EXPECT_EQ(s.os, "Ubuntu 22.04.3");
    EXPECT_EQ(s.repo, "/etc/apt/sources.list.d/qexworks.list");

    Case chrooted = Debian("12.4\n");
    chrooted.chrooted = true;
    s = Detect(chrooted);
    ASSERT_EQ(s.failure, "") << "a root that is not a mount point";
    EXPECT_EQ(s.version, "12.4");

    Case testing = Debian("trixie/sid\n");
    testing.write.push_back({"/etc/issue", "Debian GNU/Linux trixie/sid \\n \\l\n"});
    s = Detect(testing);
    EXPECT_EQ(s.type, vux_env::OsDebian);
    EXPECT_EQ(s.version, "") << "no digit-led word";
}

TEST(OsDetection, OtherSystemsAndRepositoryFallback) {
    Case gentoo;
    gentoo.write = {{"/etc/gentoo-release", "Gentoo Base System release 2.14\n"}};
    gentoo.remove = {"/etc/redhat-release", "/etc/debian_version"};
    Seen s = Detect(gentoo);
    ASSERT_EQ(s.failure, "");
    EXPECT_EQ(s.type, vux_env::OsGentoo);
    EXPECT_EQ(s.version, "");
    EXPECT_EQ(s.os, "Gentoo ");

    Case none;
    none.remove = {"/etc/redhat-release", "/etc/debian_version", "/etc/gentoo-release", "/etc/yum.repos.d"};
    none.write = {{"/etc/apt/sources.list.d/keep", ""}};
    s = Detect(none);
    EXPECT_EQ(s.type, 0);
    EXPECT_EQ(s.repo, "/etc/apt/sources.list.d/qexworks.list") << "the first whose directory exists";
    none.remove.push_back("/etc/apt/sources.list.d");
    none.write = {{"/etc/yum.repos.d/keep", ""}};
    EXPECT_EQ(Detect(none).repo, "/etc/yum.repos.d/qexworks.repo");
    none.write.clear();
    EXPECT_EQ(Detect(none).repo, "");
}

TEST(OsDetection, OpenVZHostAndContainer) {
    const char* host =
        "Version: 2.5\n"
        "       uid  resource                     held              maxheld              barrier\n"
        "      101:  kmemsize                  2624577              5013504             14372700\n"
        "            lockedpages                     0                    8                  256\n"
        "        0:  kmemsize                 11751396             16486400  9223372036854775807\n";
    const char* container =
        "Version: 2.5\n"
        "       uid  resource                     held              maxheld              barrier\n"
        "      101:  kmemsize                  2624577              5013504             14372700\n"
        "            lockedpages                     0                    8                  256\n";
    Case c = Debian("12.4\n");
    c.beancounters = host;
    Seen s = Detect(c);
    ASSERT_EQ(s.failure, "");
    EXPECT_EQ(s.openvz, 0) << "the host lists id 0";
    c.beancounters = container;
    EXPECT_EQ(Detect(c).openvz, 1);
    c.beancounters = nullptr;
    EXPECT_EQ(Detect(c).openvz, 0) << "no beancounters at all";
}

TEST(OsDetection, ThisMachineFromManyThreads) {
    // In a child, so that this process keeps no cached answer for the cases above.
    testutil::TempDir dir;
    pid_t child = fork();
    if (child == 0) {
        std::vector<std::thread> threads;
        std::vector<std::string> seen(8);
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&seen, i] { seen[i] = vux_env::GetOs() + "|" + vux_env::GetOsArch(); });
        for (auto& t : threads) t.join();
        testutil::WriteFile(dir / "seen", seen[0]);
        for (const auto& s : seen)
            if (s != seen[0]) _exit(1);
        _exit(0);
    }
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "every thread saw the same answer";
    std::string version = testutil::ReadFile("/etc/debian_version");
    version = version.substr(0, version.find('\n'));
    if (version.find('.') == std::string::npos) version += ".0";
    struct utsname u;
    uname(&u);
    EXPECT_EQ(testutil::ReadFile(dir / "seen"), "Debian " + version + "|" + u.machine);
}

TEST(Environment, GetSetDrop) {
    EXPECT_EQ(vux_env::GetEnv("VUX_ENV_TEST"), "");
    vux_env::SetEnv("VUX_ENV_TEST", "one");
    vux_env::SetEnv("VUX_ENV_TEST", "two = three");
    EXPECT_EQ(vux_env::GetEnv("VUX_ENV_TEST"), "two = three");
    EXPECT_STREQ(getenv("VUX_ENV_TEST"), "two = three");
    vux_env::DropEnv("VUX_ENV_TEST");
    EXPECT_EQ(getenv("VUX_ENV_TEST"), nullptr);
    vux_env::DropEnv("VUX_ENV_TEST");
    try {
        vux_env::SetEnv("BAD=NAME", "x");
        FAIL();
    } catch (const vux_err::Error& e) {
        EXPECT_EQ(e.type(), "sys");
        EXPECT_EQ(e.object(), "setenv");
    }
    try {
        vux_env::DropEnv("");
        FAIL();
    } catch (const vux_err::Error& e) {
        EXPECT_EQ(e.object(), "unsetenv");
    }
}
