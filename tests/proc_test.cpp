// Child processes, for real: exit codes, pipes, time-outs, groups, users,
// descriptors, environment; kills, lists and pid locks.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxthread.h>
#include <libvux/vuxuser.h>

#include "test_util.h"

using vux_proc::Execute;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Our children that have exited and were never waited for.
std::vector<int> Zombies() {
    std::vector<int> out;
    const std::string me = std::to_string(getpid());
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.empty() || !isdigit(static_cast<unsigned char>(name[0]))) continue;
        std::string stat;
        try {
            stat = testutil::ReadFile(e.path() / "stat");
        } catch (const std::exception&) {
            continue;
        }
        std::istringstream rest(stat.substr(stat.rfind(')') + 2));
        std::string state, ppid;
        rest >> state >> ppid;
        if (state == "Z" && ppid == me) out.push_back(std::stoi(name));
    }
    return out;
}

bool Alive(pid_t pid) { return kill(pid, 0) == 0 && vux_proc::Exists(pid); }

// Whether the process whose pid a child wrote into `pidfile` is gone within a second.
bool GoneSoon(const std::string& pidfile) {
    const pid_t pid = std::stoi(testutil::ReadFile(pidfile));
    for (int i = 0; i < 50 && Alive(pid); ++i) usleep(20000);
    if (!Alive(pid)) return true;
    kill(pid, SIGKILL);
    return false;
}

// Descriptor numbers the child `ls -l /proc/self/fd` shows, less the listing's own.
std::set<int> ChildFds(const std::string& listing) {
    std::set<int> fds;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        const std::string::size_type arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        if (line.find("/fd", arrow) != std::string::npos && line.find("/proc/", arrow) != std::string::npos) continue;
        const std::string::size_type start = line.rfind(' ', arrow - 1);
        fds.insert(std::stoi(line.substr(start + 1, arrow - start - 1)));
    }
    return fds;
}

// Runs f in a child of the test and gives its exit code, 200 + the signal that killed it,
// or -1 when it did not end within `seconds` (then it is killed with its group).
template <class F>
int InChild(F f, int seconds = 30) {
    const pid_t pid = fork();
    if (pid < 0) return -2;
    if (pid == 0) _exit(f());
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int st = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 200 + WTERMSIG(st);
        if (r < 0) return -3;
        if (std::chrono::steady_clock::now() > until) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -1;
        }
        usleep(10000);
    }
}

// Runs f in a child of the test that leads a session whose controlling terminal, and
// standard input, is a new pseudo-terminal with `typed` already typed into it.
template <class F>
int OnTerminal(const std::string& typed, F f) {
    return InChild([&] {
        if (setsid() < 0) return 100;
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 101;
        // A session leader without a terminal acquires the first it opens.
        const int slave = open(ptsname(master), O_RDWR);
        if (slave < 0 || dup2(slave, 0) < 0) return 102;
        if (tcgetpgrp(0) != getpgrp()) return 103;
        if (write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) return 104;
        return f();
    });
}

int Run(const std::string& cmd) { return std::system(cmd.c_str()); }

// A user made for one test, with two supplementary groups; removed afterwards.
class TestUser {
public:
    TestUser() : name_("vuxt" + std::to_string(getpid())) {
        // useradd and groupadd refuse to run while another holds /etc/passwd.
        for (int attempt = 0; attempt < 50; ++attempt) {
            Cleanup();
            if (Run("groupadd " + name_ + "a && groupadd " + name_ + "b && useradd -M -N -s /bin/sh -g nogroup -G " +
                    name_ + "a," + name_ + "b " + name_) == 0)
                return;
            usleep(100000);
        }
        throw std::runtime_error("cannot create the test user");
    }
    ~TestUser() { Cleanup(); }
    const std::string& name() const { return name_; }
    std::string group(char which) const { return name_ + which; }

private:
    void Cleanup() {
        Run("userdel " + name_ + " >/dev/null 2>&1; groupdel " + name_ + "a >/dev/null 2>&1; groupdel " + name_ +
            "b >/dev/null 2>&1");
    }
    std::string name_;
};

}  // namespace

TEST(Execute, ExitCodesAndSignals) {
    EXPECT_EQ(Execute("exit 3", 0).Result(), 3);
    EXPECT_EQ(Execute("kill -9 $$", 0).Result(), -1);
    EXPECT_EQ(Execute(std::vector<std::string>{"/bin/true"}, 0).Result(), 0);
    const char* argv[] = {"false", nullptr};
    EXPECT_EQ(Execute(argv, 0).Result(), 1) << "found on PATH";
    EXPECT_EQ(Execute(static_cast<const char**>(nullptr), 0).Result(), 1) << "nothing to run is no success";
    Execute e("exit 7", 0);
    EXPECT_EQ(e.Result(), 7);
    EXPECT_EQ(e.Result(), 7) << "waited once";
    EXPECT_TRUE(Zombies().empty());
}

TEST(Execute, OutputCollectedAndStable) {
    Execute both("echo out; echo err >&2; echo more", Execute::PipeOut | Execute::PipeErr);
    EXPECT_EQ(both.Str(), "out\nmore\nerr\n") << "stdout, then stderr";
    EXPECT_EQ(both.Str(), "out\nmore\nerr\n");
    EXPECT_EQ(Execute("echo a; echo b >&2; echo c", Execute::PipeOut | Execute::PipeErr | Execute::MergeErr).Str(),
              "a\nb\nc\n");
    EXPECT_EQ(Execute("echo plain", 0).Str(), "plain\n") << "Str pipes stdout by itself";
    // What a caller already read is not collected again; what its read buffered is.
    Execute partial("echo first; seq 1 20000", Execute::PipeOut);
    std::string line, expected;
    ASSERT_TRUE(std::getline(partial.Out(), line));
    EXPECT_EQ(line, "first");
    for (int i = 1; i <= 20000; ++i) expected += std::to_string(i) + "\n";
    EXPECT_EQ(partial.Str(), expected);
    Execute cat(std::vector<std::string>{"cat"}, Execute::PipeIn | Execute::PipeOut);
    cat.In() << "to the child\n";
    EXPECT_EQ(cat.Str(), "to the child\n");
}

TEST(Execute, BigOutputOnBothStreamsDoesNotDeadlock) {
    // Each stream gets 16 times a pipe buffer, stderr first: read one after the
    // other, the child would block on stderr while the parent waits on stdout.
    const std::string size = std::to_string(1 << 20);
    Execute e("head -c " + size + " /dev/zero | tr '\\0' e >&2; head -c " + size + " /dev/zero | tr '\\0' o",
              Execute::PipeOut | Execute::PipeErr);
    e.SetTimeout(15);
    const auto start = std::chrono::steady_clock::now();
    const std::string out = e.Str();
    EXPECT_LT(Seconds(start), 30);
    EXPECT_EQ(e.Result(), 0);
    ASSERT_EQ(out.size(), 2u << 20);
    EXPECT_EQ(out.find_first_not_of('o'), std::size_t(1) << 20);
    EXPECT_EQ(out.find_first_not_of('e', 1 << 20), std::string::npos);
}

TEST(Execute, TimeoutEndsChildAndItsGroup) {
    testutil::TempDir dir;
    const std::string pidfile = dir / "grandchild";
    // The child and its child ignore SIGTERM; the grandchild holds the output pipe open.
    Execute e("trap '' TERM; (trap '' TERM; exec sleep 30) & echo $! > '" + pidfile + "'; sleep 30", Execute::PipeOut);
    e.SetTimeout(1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(e.Result(), -1);
    EXPECT_GE(Seconds(start), 0.8);
    EXPECT_LT(Seconds(start), 5);
    EXPECT_TRUE(GoneSoon(pidfile)) << "the grandchild died with the group";
    // Without any pipe the wait loop itself ends it.
    Execute quiet("sleep 10", 0);
    quiet.SetTimeout(1);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(quiet.Result(), -1);
    EXPECT_LT(Seconds(start), 5);
    EXPECT_TRUE(Zombies().empty());
}

// With the terminal as standard input, a time-out still ends what the child started.
TEST(Execute, TimeoutOnATerminalEndsTheChildsChildren) {
    testutil::TempDir dir;
    const std::string pidfile = dir / "grandchild";
    // Checked inside the session: its end would hang the terminal up, and the
    // hang-up alone could end the grandchild.
    const int r = OnTerminal("", [&] {
        Execute e("trap '' TERM HUP; (trap '' TERM HUP; exec sleep 30) & echo $! > '" + pidfile + "'; wait", 0);
        e.SetTimeout(1);
        const auto start = std::chrono::steady_clock::now();
        return e.Result() != -1 ? 1 : Seconds(start) > 5 ? 2 : !GoneSoon(pidfile) ? 3 : 0;
    });
    EXPECT_EQ(r, 0) << "1: not killed, 2: too late, 3: the grandchild outlived the child";
}

// A program run from a terminal runs a child that asks the terminal.
TEST(Execute, ChildReadsAnInheritedTerminal) {
    const int r = OnTerminal("hello\n", [] {
        Execute e("read line; echo \"got:$line\"", Execute::PipeOut);
        e.SetTimeout(5);  // bounds the test should the child be stopped
        return e.Str() != "got:hello\n" ? 1 : e.Result() != 0 ? 2 : 0;
    });
    EXPECT_EQ(r, 0) << "1: the child did not read the terminal (stopped?), 2: it failed";
}

TEST(Execute, TerminateAndIsAlive) {
    testutil::TempDir dir;
    const std::string pidfile = dir / "grandchild";
    Execute e("sleep 30 & echo $! > '" + pidfile + "'; wait", 0);
    EXPECT_FALSE(e.IsAlive()) << "not started";
    e.Run();
    for (int i = 0; i < 100 && !vux_file::Exists(pidfile); ++i) usleep(20000);
    usleep(50000);
    EXPECT_TRUE(e.IsAlive());
    EXPECT_EQ(e.Terminate(), -1);
    EXPECT_FALSE(e.IsAlive());
    EXPECT_EQ(e.Terminate(), 0) << "nothing left to end";
    EXPECT_TRUE(GoneSoon(pidfile));
    // IsAlive sees the end, and the output is still there afterwards.
    Execute quick("echo done", Execute::PipeOut);
    quick.Run();
    while (quick.IsAlive()) usleep(10000);
    EXPECT_EQ(quick.Str(), "done\n");
    EXPECT_EQ(quick.Result(), 0);
}

TEST(Execute, FailuresAreClearAndLeaveNoZombie) {
    testutil::TempDir dir;
    const std::string log = dir / "proc.log";
    setenv("VUX_LOGFILE", log.c_str(), 1);
    vux_log::Init("proc_test", vux_log::LevelError);

    Execute missing(std::vector<std::string>{"/nonexistent/program", "arg"}, Execute::PipeOut | Execute::PipeErr);
    missing.Run();
    EXPECT_TRUE(Zombies().empty()) << "reaped at once, before anyone asks";
    EXPECT_EQ(missing.Result(), 1);
    EXPECT_EQ(missing.Str(), "") << "the reason is logged, not passed off as the program's output";
    EXPECT_EQ(Execute(std::vector<std::string>{"no-such-program-vux"}, Execute::PipeErr).Result(), 1);

    testutil::ChDir cd(dir.path());
    Execute nodir("touch marker", Execute::PipeErr);
    nodir.SetDir(dir / "no/such/dir");
    EXPECT_EQ(nodir.Result(), 1);
    EXPECT_EQ(nodir.Str(), "");
    EXPECT_FALSE(vux_file::Exists(dir / "marker")) << "the command must not run elsewhere";

    Execute nouser("touch marker", 0);
    nouser.SetUser("no-such-user-vux");
    const auto e = testutil::Catch<vux_user::Fail>([&] { nouser.Run(); });
    EXPECT_EQ(e.type(), "user");
    EXPECT_EQ(e.object(), "user_not_exists");
    EXPECT_EQ(e.value(), "no-such-user-vux");
    EXPECT_EQ(testutil::AssertText([&] { nouser.Pid(); }), "Proccess not started yet") << "nothing was forked";
    EXPECT_FALSE(vux_file::Exists(dir / "marker"));
    EXPECT_TRUE(Zombies().empty());

    vux_log::Close();
    unsetenv("VUX_LOGFILE");
    const std::string text = testutil::ReadFile(log);
    EXPECT_NE(text.find("Failed to run '/nonexistent/program arg': cannot execute '/nonexistent/program': No such file "
                        "or directory"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("cannot change directory to '" + (dir / "no/such/dir") + "': No such file or directory"),
              std::string::npos)
        << text;
}

TEST(Execute, RunsAsAnotherUser) {
    if (const std::string why = testutil::UnprivilegedPathsBlocked(); !why.empty()) GTEST_SKIP() << why;
    TestUser user;
    const std::string out = Execute("id -u; id -g; id -G", Execute::PipeOut).SetUser(user.name()).Str();
    std::istringstream in(out);
    unsigned uid, gid;
    in >> uid >> gid;
    std::set<unsigned> groups;
    for (unsigned g; in >> g;) groups.insert(g);
    EXPECT_EQ(uid, vux_user::Uid(user.name())) << out;
    EXPECT_EQ(gid, vux_user::Gid(user.name()));
    EXPECT_EQ(groups,
              (std::set<unsigned>{gid, vux_user::GroupGid(user.group('a')), vux_user::GroupGid(user.group('b'))}))
        << "exactly the user's groups, none of root's";
}

TEST(Execute, NeverRunsUnderTheWrongIdentity) {
    if (const std::string why = testutil::UnprivilegedPathsBlocked(); !why.empty()) GTEST_SKIP() << why;
    TestUser user;
    testutil::TempDir dir;
    chmod(dir.path().c_str(), 01777);
    const std::string marker = dir / "marker";
    // As "nobody" the switch to another user fails; the command must not run
    // as "nobody" instead (it could: the directory is writable by all).
    EXPECT_EQ(InChild([&] {
                  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 10;
                  // The reason goes to the log, not to the caller's standard error.
                  const int err = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
                  if (err < 0 || dup2(err, 2) < 0) return 13;
                  Execute e("touch '" + marker + "'", Execute::PipeErr);
                  const int r = e.SetUser(user.name()).Result();
                  return r != 1 ? 11 : !e.Str().empty() ? 12 : 0;
              }),
              0);
    EXPECT_FALSE(vux_file::Exists(marker));
    EXPECT_EQ(testutil::ReadFile(dir / "stderr"), "");
}

TEST(Execute, OnlyRequestedDescriptorsReachTheChild) {
    testutil::TempDir dir;
    // Inheritable descriptors of every kind.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ResHandle null_fd(open("/dev/null", O_RDONLY)), in(p[0]), out(p[1]), sock(socket(AF_UNIX, SOCK_STREAM, 0)),
        file(open((dir / "f").c_str(), O_WRONLY | O_CREAT, 0600));
    ASSERT_TRUE(null_fd && sock && file);
    auto listing = [](int flags) { return ChildFds(Execute("ls -l /proc/self/fd", Execute::PipeOut | flags).Str()); };
    EXPECT_EQ(listing(Execute::PipeErr | Execute::PipeIn), (std::set<int>{0, 1, 2}));
    EXPECT_EQ(listing(0), (std::set<int>{0, 1, 2}));
    const std::set<int> kept = listing(Execute::KeepFiles);
    EXPECT_TRUE(kept.count(null_fd.fd()) && kept.count(p[0]) && kept.count(sock.fd()) && kept.count(file.fd()))
        << "KeepFiles keeps inherited descriptors";
    ResHandle to(open((dir / "listing").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    EXPECT_EQ(Execute("ls -l /proc/self/fd", 0).RedirectOutTo(to).Result(), 0);
    to.Close();
    EXPECT_EQ(ChildFds(testutil::ReadFile(dir / "listing")), (std::set<int>{0, 1, 2}));
    EXPECT_EQ(fcntl(file.fd(), F_GETFD), 0) << "the parent's descriptors are left alone";
}

TEST(Execute, StandardDescriptorsSitOnLowNumbers) {
    // With 0-2 closed in the parent, new pipes must not land on them and clobber each other.
    EXPECT_EQ(InChild([] {
                  close(0);
                  close(1);
                  close(2);
                  Execute e("cat; echo err >&2", Execute::PipeIn | Execute::PipeOut | Execute::PipeErr);
                  e.In() << "in\n";
                  return e.Str() == "in\nerr\n" && e.Result() == 0 ? 0 : 1;
              }),
              0);
}

TEST(Execute, EnvironmentAndLimits) {
    setenv("LD_LIBRARY_PATH", "/parent/libs", 1);
    setenv("VUX_PARENT_VAR", "from parent", 1);
    auto env = [](int flags) { return Execute(std::vector<std::string>{"env"}, Execute::PipeOut | flags); };
    std::string text = env(0).SetEnv("VUX_ADDED", "a=b").Str();
    EXPECT_NE(text.find("\nVUX_PARENT_VAR=from parent\n"), std::string::npos);
    EXPECT_NE(text.find("\nVUX_ADDED=a=b\n"), std::string::npos);
    EXPECT_EQ(text.find("LD_LIBRARY_PATH"), std::string::npos);
    EXPECT_NE(env(Execute::KeepLdLibraryPath).Str().find("LD_LIBRARY_PATH=/parent/libs\n"), std::string::npos);
    text = env(Execute::KeepLdLibraryPath).SetEnv("VUX_PARENT_VAR", "replaced").Str();
    EXPECT_NE(text.find("\nVUX_PARENT_VAR=replaced\n"), std::string::npos);
    EXPECT_EQ(text.find("from parent"), std::string::npos);
    EXPECT_EQ(env(0).SetEnv(StringMap{{"ONLY", "this"}}).Str(),
              "ONLY=this\nPATH=" + std::string(getenv("PATH")) + "\n");
    EXPECT_EQ(env(0).SetEnv(StringMap{{"PATH", "/bin"}, {"A", "1"}}).Str(), "A=1\nPATH=/bin\n");
    unsetenv("LD_LIBRARY_PATH");
    unsetenv("VUX_PARENT_VAR");

    EXPECT_EQ(Execute("ulimit -S -s; ulimit -H -s; echo ${STACK_RLIMIT-unset}", Execute::PipeOut)
                  .SetEnv("STACK_RLIMIT", "4194304")
                  .Str(),
              "4096\n4096\nunset\n");
    testutil::TempDir dir;
    EXPECT_EQ(Execute("pwd", Execute::PipeOut).SetDir(dir.path()).Str(), dir.path() + "\n");
    const std::string stat = Execute("cat /proc/self/stat", Execute::PipeOut).SetPriority(7).Str();
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string f;
    for (int i = 3; i <= 19; ++i) fields >> f;
    EXPECT_EQ(f, "7") << "the nice value";
    EXPECT_EQ(
        Execute("x=$(readlink /proc/$$/fd/1); echo \"$x\" >&2", Execute::PipeErr).RedirectOutTo(ResHandle()).Str(),
        "/dev/null\n");
}

TEST(Execute, MisuseIsAnAssertion) {
    using testutil::AssertText;
    Execute e("true", 0), m("true", 0);
    e.SetEnv("A", "1");
    EXPECT_EQ(AssertText([&] { e.SetEnv(StringMap{{"B", "2"}}); }), "Some env was already set");
    m.SetEnv(StringMap{{"B", "2"}});
    EXPECT_EQ(AssertText([&] { m.SetEnv("A", "1"); }), "SetEnv second call");
    EXPECT_EQ(AssertText([&] { m.SetEnv(StringMap{}); }), "SetEnv second call");
    m.SetDir("/");
    EXPECT_EQ(AssertText([&] { m.SetDir("/tmp"); }), "SetDir second call");
    m.SetUser("root");
    EXPECT_EQ(AssertText([&] { m.SetUser("root"); }), "SetUser second call");
    EXPECT_EQ(AssertText([&] { m.CloseIn(); }), "Process is not started yet");
    m.Run();
    EXPECT_EQ(AssertText([&] { m.SetTimeout(1); }), "Process already started");
    EXPECT_EQ(AssertText([&] { m.In(); }), "Input stream not available");
    EXPECT_EQ(AssertText([&] { m.Out(); }), "Output stream not available");
    EXPECT_EQ(m.Result(), 0);
    EXPECT_EQ(AssertText([] { Execute().Run(); }), "Dummy process handle");
    EXPECT_EQ(AssertText([] { vux_proc::Kill(12345, 0); }), "Invalid kill timeout");
    EXPECT_EQ(AssertText([] { vux_proc::Kill(0, 1); }), "Invalid pid") << "0 would be our own group";
}

TEST(Execute, DestructorWaitsOrKills) {
    testutil::TempDir dir;
    const std::string marker = dir / "marker";
    Execute("sleep 0.3; touch '" + marker + "'", 0).Run();
    EXPECT_TRUE(vux_file::Exists(marker)) << "the last handle waited";

    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    try {
        Execute e("trap '' TERM; sleep 30", 0);
        e.Run();
        pid = e.Pid();
        usleep(100000);
        throw std::runtime_error("unwinding");
    } catch (const std::runtime_error&) {
    }
    EXPECT_LT(Seconds(start), 8);
    EXPECT_FALSE(Alive(pid));
    EXPECT_TRUE(Zombies().empty());

    // The input of a child that has gone away is dropped, not a SIGPIPE.
    Execute gone("exit 0", Execute::PipeIn);
    gone.In() << "unread";
    while (gone.IsAlive()) usleep(10000);
    EXPECT_EQ(gone.Result(), 0);
}

// Writing to a child that has gone fails the stream; the writer lives on.
TEST(Execute, WritingToAChildThatHasGoneFailsTheStream) {
    for (bool thread : {false, true}) {
        const int r = InChild([thread] {
            // A child of the test, where SIGPIPE kills as it does by default.
            signal(SIGPIPE, SIG_DFL);
            auto body = [] {
                Execute e("exit 0", 0);
                std::ostream& in = e.In();
                while (e.IsAlive()) vux_proc::Sleep(10);
                in << std::string(1 << 16, 'x') << std::flush;
                if (in.good()) return 11;
                sigset_t pending, mask;
                sigpending(&pending);
                pthread_sigmask(SIG_SETMASK, nullptr, &mask);
                return sigismember(&pending, SIGPIPE) ? 12
                       : sigismember(&mask, SIGPIPE)  ? 13
                       : e.Result() == 0              ? 0
                                                      : 14;
            };
            int out = 0;
            if (!thread) return body();
            std::thread([&] { out = body(); }).join();
            return out;
        });
        EXPECT_EQ(r, 0) << (thread ? "in a thread: " : "")
                        << "11 stream still good, 12 SIGPIPE left pending, 13 left blocked, 200+ killed by a signal";
    }
}

TEST(Execute, AbortEndsTheWaitAndTheChild) {
    // A request thread told to stop while it waits for a child, and while it
    // waits for a stubborn process to go: the waits end, the processes too.
    pid_t waited = 0, stubborn_pid = 0;
    int status = 0;
    double kill_took = 0;
    std::atomic<int> stage{0};
    std::string seen;
    std::thread worker([&] {
        vux_thread::InitState("proc-abort", "start");
        try {
            Execute e("sleep 30", Execute::PipeOut);
            e.Run();
            waited = e.Pid();
            stage = 1;
            e.Result();
            seen += "not aborted;";
        } catch (const vux_thread::Aborted&) {
            seen += "aborted wait;";
        }
        Execute stubborn("trap '' TERM; exec sleep 30", 0);
        {
            // The abort stays requested: starting must not be where it fires.
            vux_thread::NoFail quiet;
            stubborn.Run();
        }
        stubborn_pid = stubborn.Pid();
        const auto start = std::chrono::steady_clock::now();
        try {
            vux_proc::Kill(stubborn_pid, 10);
            seen += "not aborted;";
        } catch (const vux_thread::Aborted&) {
            seen += "aborted kill;";
        }
        kill_took = Seconds(start);
        vux_thread::NoFail quiet;
        status = stubborn.Result();
    });
    while (stage < 1) usleep(1000);
    usleep(100000);
    vux_thread::FailIt("proc-abort");
    worker.join();
    EXPECT_EQ(seen, "aborted wait;aborted kill;");
    EXPECT_FALSE(Alive(waited)) << "the aborted wait ended its child";
    EXPECT_LT(kill_took, 5);
    EXPECT_EQ(status, -1) << "SIGKILL went out before the abort";
    EXPECT_FALSE(Alive(stubborn_pid));
    EXPECT_TRUE(Zombies().empty());
}

TEST(Proc, KillListAndExists) {
    testutil::TempDir dir;
    const std::string sleeper = dir / "vuxsleeper";
    std::filesystem::copy_file("/bin/sleep", sleeper);
    Execute a(std::vector<std::string>{sleeper, "30"}, 0), b(std::vector<std::string>{sleeper, "30"}, 0);
    a.Run();
    b.Run();
    std::vector<int> pids;
    for (int i = 0; i < 100 && !(vux_proc::List("vuxsleeper", pids, true) && pids.size() == 2); ++i) usleep(10000);
    EXPECT_EQ(std::set<int>(pids.begin(), pids.end()), (std::set<int>{a.Pid(), b.Pid()}));
    EXPECT_TRUE(vux_proc::List("vuxsleeper", pids, false));
    EXPECT_EQ(pids.size(), 1u);
    EXPECT_TRUE(vux_proc::Exists(std::string("vuxsleeper")));
    EXPECT_EQ(vux_proc::Kill(std::string("vuxsleeper")), 2);
    EXPECT_EQ(a.Result(), -1);
    EXPECT_EQ(b.Result(), -1);
    EXPECT_FALSE(vux_proc::Exists(std::string("vuxsleeper")));
    EXPECT_FALSE(vux_proc::List("vuxsleeper", pids, true));
    EXPECT_TRUE(pids.empty());

    Execute stubborn("trap '' TERM; exec sleep 30", 0);
    stubborn.Run();
    usleep(100000);
    const auto start = std::chrono::steady_clock::now();
    vux_proc::Kill(stubborn.Pid(), 2);
    EXPECT_GE(Seconds(start), 1.8);
    EXPECT_LT(Seconds(start), 4);
    EXPECT_EQ(stubborn.Result(), -1);

    // The state follows the name, which may hold spaces: "(a Z b) S" is no zombie.
    const std::string odd = dir / "a Z b";
    std::filesystem::copy_file("/bin/sleep", odd);
    Execute named(std::vector<std::string>{odd, "30"}, 0);
    named.Run();
    usleep(100000);
    EXPECT_TRUE(vux_proc::Exists(named.Pid()));
    named.Terminate();
    const pid_t z = fork();
    if (z == 0) _exit(0);
    usleep(100000);
    EXPECT_FALSE(vux_proc::Exists(z)) << "a zombie counts as gone";
    waitpid(z, nullptr, 0);
    EXPECT_FALSE(vux_proc::Exists(z));
    EXPECT_TRUE(vux_proc::Exists(vux_proc::Id()));
}

TEST(Proc, CloseFilesBeyondOneBatch) {
    EXPECT_EQ(InChild([] {
                  int keep = -1;
                  for (int i = 0; i < 3000; ++i) {
                      const int fd = open("/dev/null", O_RDONLY);
                      if (fd < 0) return 2;
                      if (i == 1500) keep = fd;
                  }
                  vux_proc::CloseFiles({0, 1, 2, keep});
                  const auto left = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
                  // 0, 1, 2, keep and the iterator's own descriptor.
                  return left == 5 && fcntl(keep, F_GETFD) >= 0 ? 0 : 1;
              }),
              0);
}

TEST(Proc, EscapeSurvivesTheShell) {
    EXPECT_EQ(vux_proc::Escape("a b$c"), "a\\ b\\$c");
    EXPECT_EQ(vux_proc::DecorateEnvParam("HOME"), "$HOME");
    for (const std::string s : {"plain", "two words", "a\nb", "tab\there", "#not a comment", "~root", "$(id)", "`id`",
                                "it's", "\"q\"", "*", "a;b|c&d", "<in >out", "\\", "[x]{y}(z)", "?", "--", "-n"})
        EXPECT_EQ(Execute("printf '%s' " + vux_proc::Escape(s), Execute::PipeOut).Str(), s) << s;
}

TEST(Proc, SingleInstanceAcrossProcesses) {
    testutil::TempDir dir;
    testutil::ChDir cd(dir.path());
    vux_file::MkDir("var");
    EXPECT_EQ(vux_proc::SingleInstance::PidFile("svc"), "var/svc.pid");
    {
        vux_proc::SingleInstance one("svc");
        EXPECT_EQ(testutil::ReadFile("var/svc.pid"), std::to_string(getpid()));
        const auto second = [] { vux_proc::SingleInstance two("svc"); };
        EXPECT_EQ(InChild([&] { return testutil::ErrorOf<vux_err::Exists>(second) == "exists/proc/svc" ? 0 : 1; }), 0)
            << "the second instance is refused";
        EXPECT_THROW(vux_proc::SingleInstance("svc"), vux_err::Exists);
    }
    EXPECT_FALSE(vux_file::Exists("var/svc.pid"));
    vux_proc::SingleInstance again("svc");
    EXPECT_TRUE(vux_file::Exists("var/svc.pid"));
}

TEST(Proc, PipeAndSmallUtilities) {
    vux_proc::Pipe p;
    EXPECT_TRUE(fcntl(p.read_side(O_NONBLOCK).fd(), F_GETFL) & O_NONBLOCK);
    ResHandle w = p.move_write_side();
    ASSERT_EQ(write(w.fd(), "x", 1), 1);
    w.Close();
    char c;
    EXPECT_EQ(read(p.read_side().fd(), &c, 1), 1);
    EXPECT_EQ(read(p.read_side().fd(), &c, 1), 0) << "the moved side closed with its copy";
    EXPECT_FALSE(p.write_side());
    EXPECT_EQ(vux_proc::ToString(4321), "4321");
    EXPECT_EQ(vux_proc::FromString("4321"), 4321);
    EXPECT_EQ(vux_proc::Id(), getpid());
    const std::string stat = testutil::ReadFile("/proc/stat");
    const long btime = std::stol(stat.substr(stat.find("\nbtime ") + 7));
    EXPECT_EQ(vux_proc::GetBootTime().AsDateTime(), vux_date::DateTime(btime).AsDateTime());
    const auto start = std::chrono::steady_clock::now();
    vux_proc::Sleep(120);
    EXPECT_GE(Seconds(start), 0.115);
}
