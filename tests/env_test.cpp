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
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <libvux/vuxenv.h>
#include <libvux/vuxerr.h>

#include "test_util.h"

namespace {

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

// "type|version|os|repo|openvz" as the library sees the case's system, or "!" and why it could not look.
std::string Detect(const Case& c) {
    testutil::TempDir scratch;
    std::filesystem::create_directories(scratch / "upper");
    std::filesystem::create_directories(scratch / "work");
    int p[2];
    if (pipe(p) != 0) return "!pipe";
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
            s << static_cast<int>(vux_env::GetOsType()) << '|' << vux_env::GetOsVersion() << '|'
              << vux_env::GetOs() << '|' << vux_env::GetRepoFile() << '|';
            if (c.beancounters) {
                if (mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) Die(out, "tmpfs /proc");
                testutil::WriteFile("/proc/user_beancounters", c.beancounters);
            }
            s << vux_env::IsOpenVZChild();
        } catch (const vux_err::Error& e) {
            s.str("!" + std::string(e.what()));
        }
        const std::string text = s.str();
        (void)!write(out, text.data(), text.size());
        _exit(0);
    }
    close(p[1]);
    const std::string text = testutil::ReadToEnd(p[0]);
    close(p[0]);
    waitpid(child, nullptr, 0);
    return text;
}

const char kYum[] = "/etc/yum.repos.d/qexworks.repo";
const char kApt[] = "/etc/apt/sources.list.d/qexworks.list";

// What Detect gives for a system the library names `name` (the os is the name, a space and the version).
std::string Seen(int type, const std::string& version, const std::string& name, const std::string& repo,
                 int openvz = 0) {
    return std::to_string(type) + "|" + version + "|" + name + " " + version + "|" + repo + "|" +
           std::to_string(openvz);
}

Case RedHat(const std::string& release, const std::string& rpm = "") {
    return {{{"/etc/redhat-release", release}}, {"/etc/debian_version", "/etc/lsb-release"}, rpm};
}

Case Debian(const std::string& version, std::vector<std::pair<std::string, std::string>> more = {}) {
    more.push_back({"/etc/debian_version", version});
    return {more, {"/etc/redhat-release", "/etc/lsb-release"}, ""};
}

}  // namespace

TEST(OsDetection, RedHatFamilyRefinements) {
    const std::string v = "7.9.2009.1.el7";
    const std::pair<const char*, std::string> cases[] = {
        {"CentOS Linux release 7.9.2009 (Core)\n", Seen(vux_env::OsCentOS, v, "CentOS", kYum)},
        {"CentOS release 6.10 (Final)\n", Seen(vux_env::OsCentOS, v, "CentOS", kYum)},
        {"Scientific Linux release 7.2 (Nitrogen)\n", Seen(vux_env::OsCentOS, v, "CentOS", kYum)},
        {"Fedora release 38 (Thirty Eight)\n", Seen(vux_env::OsFedora, v, "", kYum)},
        {"CloudLinux release 8.8 (Anatoly Filipchenko)\n", Seen(vux_env::OsCloudLinux, v, "CloudLinux", kYum)},
        {"Virtuozzo Linux release 7.9\n", Seen(vux_env::OsVirtuozzoLinux, v, "VirtuozzoLinux", kYum)},
        {"Red Hat Enterprise Linux release 9.2 (Plow)\n", Seen(vux_env::OsRedHat, v, "RedHat", kYum)},
        {"Rocky Linux release 8.8, a rebuild like CentOS Linux release 8\n",
         Seen(vux_env::OsRedHat, v, "RedHat", kYum)},
    };
    for (const auto& [release, seen] : cases) EXPECT_EQ(Detect(RedHat(release, v)), seen) << release;
    // rpm's complaint about a file that no package owns is no version.
    EXPECT_EQ(Detect(RedHat("CentOS Linux release 7.9.2009 (Core)\n")), Seen(vux_env::OsCentOS, "", "CentOS", kYum));
}

TEST(OsDetection, DebianFamilyOthersAndOpenVZ) {
    const std::string container =
        "Version: 2.5\n"
        "       uid  resource                     held              maxheld              barrier\n"
        "      101:  kmemsize                  2624577              5013504             14372700\n"
        "            lockedpages                     0                    8                  256\n";
    const std::string host =
        container + "        0:  kmemsize                 11751396             16486400  9223372036854775807\n";
    Case on_host = Debian("12.4\n"), in_container = on_host;
    on_host.beancounters = host.c_str();  // only the host lists id 0
    in_container.beancounters = container.c_str();
    Case chrooted = Debian("12.4\n");
    chrooted.chrooted = true;  // a root that is not a mount point
    Case gentoo{{{"/etc/gentoo-release", "Gentoo Base System release 2.14\n"}, {"/etc/apt/sources.list.d/keep", ""}},
                {"/etc/redhat-release", "/etc/debian_version"}, ""};
    Case none{{{"/etc/apt/sources.list.d/keep", ""}},
              {"/etc/redhat-release", "/etc/debian_version", "/etc/gentoo-release", "/etc/yum.repos.d"}, ""};
    Case yum_only = none;
    yum_only.remove.push_back("/etc/apt/sources.list.d");
    yum_only.write = {{"/etc/yum.repos.d/keep", ""}};
    Case neither = yum_only;
    neither.write.clear();
    const std::pair<Case, std::string> cases[] = {
        {Debian("10\n"), Seen(vux_env::OsDebian, "10.0", "Debian", kApt)},
        {Debian("12.4\n"), Seen(vux_env::OsDebian, "12.4", "Debian", kApt)},  // and no beancounters at all
        {on_host, Seen(vux_env::OsDebian, "12.4", "Debian", kApt, 0)},
        {in_container, Seen(vux_env::OsDebian, "12.4", "Debian", kApt, 1)},
        {Debian("9.13"), Seen(vux_env::OsDebian, "9.13", "Debian", kApt)},
        {Debian("11.7.1\n"), Seen(vux_env::OsDebian, "11.7", "Debian", kApt)},
        {chrooted, Seen(vux_env::OsDebian, "12.4", "Debian", kApt)},
        {Debian("bookworm/sid\n", {{"/etc/lsb-release", "DISTRIB_ID=Ubuntu\nDISTRIB_RELEASE=22.04\n"},
                                   {"/etc/issue", "Ubuntu 22.04.3 LTS \\n \\l\n\n"}}),
         Seen(vux_env::OsUbuntu, "22.04.3", "Ubuntu", kApt)},
        // No digit-led word in the issue file: no version.
        {Debian("trixie/sid\n", {{"/etc/issue", "Debian GNU/Linux trixie/sid \\n \\l\n"}}),
         Seen(vux_env::OsDebian, "", "Debian", kApt)},
        {gentoo, Seen(vux_env::OsGentoo, "", "Gentoo", kApt)},
        // Elsewhere the repository file is the first whose directory exists.
        {none, Seen(0, "", "", kApt)}, {yum_only, Seen(0, "", "", kYum)}, {neither, Seen(0, "", "", "")},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(Detect(cases[i].first), cases[i].second) << "case " << i;
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
    EXPECT_EQ(testutil::ErrorKindOf([] { vux_env::SetEnv("BAD=NAME", "x"); }), "sys/setenv");
    EXPECT_EQ(testutil::ErrorKindOf([] { vux_env::DropEnv(""); }), "sys/unsetenv");
}
